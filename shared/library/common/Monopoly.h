/// Monopoly gives one holder at a time exclusive access to a resource. It has two
/// forms, chosen at construction:
///  - unnamed: serialises the threads of this process. enforce blocks until the
///    guard is free; the holding thread may enforce again and must relax as often.
///  - named: serialises processes on the machine (and objects of the same name
///    inside one process). enforce never blocks: it takes the guard at once or
///    returns false, and the caller decides how to wait. It keeps no count: a
///    second enforce by the holder succeeds without effect and one relax frees it.
///    A process that ends while holding the guard releases it.
///
/// A named guard is used by one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace Brolix {

namespace platform {
class NamedMutex;
}

class Monopoly {
public:
    /// The unnamed form.
    Monopoly();
    /// The named form; the name is stored as setName stores it.
    explicit Monopoly(const std::string& name);
    /// The named form gives the guard up. The unnamed form waits a moment for
    /// threads leaving it and releases whatever the destroying thread still holds.
    virtual ~Monopoly();
    Monopoly(const Monopoly&) = delete;
    Monopoly& operator=(const Monopoly&) = delete;

    /// Makes this a named guard called `name` with every "/" and "\" turned into
    /// "_". Refused (false, old name kept) while the guard is held.
    bool setName(const std::string& name);
    /// Takes the guard; true when this object holds it afterwards. A named guard
    /// with an empty name is never taken.
    bool enforce();
    /// Gives the guard up; true when it was not held. False when the named lock
    /// cannot be released (the guard stays held) or when a thread other than the
    /// holder tries to relax the unnamed form.
    bool relax();
    bool isHeld() const { return m_held; }
    /// Whether the last enforce of the named form failed because the system
    /// refused the guard (its lock cannot be made or reached), rather than because
    /// another holder has it. Waiting does not help against a refusal.
    bool refusedBySystem() const { return m_refused; }

    /// The stored name ("" for the unnamed form).
    const std::string& name() const { return m_name; }
    bool isNamed() const { return m_named; }

private:
    bool enforceNamed();
    bool relaxNamed();

    std::string m_traceLabel;
    std::recursive_mutex m_section;
    std::unique_ptr<platform::NamedMutex> m_mutex;  ///< opened on first enforce
    bool m_named;
    std::atomic<bool> m_held;
    std::string m_name;
    bool m_closing;
    bool m_refused = false;
    int32_t m_depth;                 ///< changed only by the holder
    std::atomic<uint32_t> m_owner;  ///< thread id of the unnamed form's holder, 0 when free
};

}  // namespace Brolix
