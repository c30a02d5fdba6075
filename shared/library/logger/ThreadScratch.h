/// ThreadScratch lends the calling thread a reusable object of type T (a text
/// or a LogEntry) for the duration of one call, so that the logging path does
/// not allocate its entry and wire text anew for every line. A nested use on
/// the same thread (a messenger that logs while delivering) gets an object of
/// its own instead of the one already lent. Objects that grew very large are shrunk on return so
/// that one huge line does not pin its memory for the life of the thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "LogEntry.h"

namespace Brolix {

template <class T>
class ThreadScratch {
public:
    ThreadScratch() : m_slot(retired() ? nullptr : &slot()) {
        if (m_slot == nullptr || m_slot->busy) {
            m_own.emplace();
            m_value = &*m_own;
        } else {
            m_slot->busy = true;
            m_value = &m_slot->value;
        }
    }
    ThreadScratch(const ThreadScratch&) = delete;
    ThreadScratch& operator=(const ThreadScratch&) = delete;

    ~ThreadScratch() {
        if (m_own) return;
        trim(m_slot->value);
        m_slot->busy = false;
    }

    T& operator*() const { return *m_value; }
    T* operator->() const { return m_value; }

private:
    struct Slot {
        ~Slot() { retired() = true; }
        T value{};
        bool busy = false;
    };

    /// True once this thread's slot is destroyed (at thread exit, and in the
    /// main thread before static objects are destroyed, which may still log).
    /// A plain flag, so it stays readable after the slot is gone.
    static bool& retired() {
        thread_local bool gone = false;
        return gone;
    }

    static Slot& slot() {
        thread_local Slot s;
        return s;
    }

    static void trim(std::string& text) {
        if (text.capacity() > MAX_KEPT) std::string().swap(text);
    }
    static void trim(LogEntry& entry) { trim(entry.text); }

    static constexpr size_t MAX_KEPT = 64 * 1024;

    Slot* m_slot;
    std::optional<T> m_own;
    T* m_value;
};

}  // namespace Brolix
