#include "Monopoly.h"

#include <new>

#include "platform/NamedMutex.h"
#include "platform/Thread.h"

namespace Brolix {

Monopoly::Monopoly() : m_named(false), m_held(false), m_closing(false), m_depth(0), m_owner(0) {}

Monopoly::Monopoly(const std::string& name)
    : m_named(true), m_held(false), m_closing(false), m_depth(0), m_owner(0) {
    setName(name);
}

Monopoly::~Monopoly() {
    if (m_named) {
        relaxNamed();
        return;
    }
    m_closing = true;
    // Give a thread that has just left the section time to finish with it.
    platform::sleepFor(10);
    // A lock must not be destroyed while held: give back what this thread holds.
    if (m_held && m_owner == platform::currentThreadId()) {
        while (m_depth > 0) {
            --m_depth;
            m_section.unlock();
        }
        m_owner = 0;
        m_held = false;
    }
}

bool Monopoly::setName(const std::string& name) {
    if (m_held) return false;
    std::string stored(name);
    for (char& c : stored) {
        if (c == '/' || c == '\\') c = '_';
    }
    if (stored != m_name) m_mutex.reset();
    m_name = stored;
    m_named = true;
    m_held = false;
    return true;
}

bool Monopoly::enforce() {
    if (m_named) return enforceNamed();
    m_section.lock();
    ++m_depth;
    m_held = true;
    m_owner = platform::currentThreadId();
    return true;
}

bool Monopoly::relax() {
    if (!m_held) return true;
    if (m_named) return relaxNamed();
    if (m_owner != platform::currentThreadId()) return false;
    // The bookkeeping is finished before the section is left: once it is left,
    // the next thread in writes the same fields.
    if (--m_depth == 0) {
        m_owner = 0;
        m_held = false;
    }
    m_section.unlock();
    return true;
}

bool Monopoly::enforceNamed() {
    m_refused = false;
    if (m_held) return true;
    if (m_name.empty()) return false;
    if (!m_mutex) {
        try {
            m_mutex.reset(new platform::NamedMutex(m_name));
        } catch (const std::bad_alloc&) {
            m_refused = true;
            return false;
        }
    }
    const platform::NamedMutex::Result result = m_mutex->tryLock();
    if (result != platform::NamedMutex::ACQUIRED) {
        m_refused = result == platform::NamedMutex::FAILED;
        return false;
    }
    m_held = true;
    return true;
}

bool Monopoly::relaxNamed() {
    if (!m_held) return true;
    if (!m_mutex->unlock()) return false;
    m_held = false;
    return true;
}

}  // namespace Brolix
