/// A machine-wide lock known by its name. Two NamedMutex objects of one name
/// exclude each other whether they live in one process or in two, and a lock held
/// by a process that ends is released by the operating system. The lock is only
/// ever tried, never waited for: callers decide how to wait.
///
/// Machine-wide means every session of the machine: on Windows a service and a
/// program in a user's session exclude each other (the mutex lives in the
/// "Global\" namespace; where the account may not make objects there, in its
/// session's). Names that differ only in letter case are one lock on Windows,
/// whose file names ignore case, and two on Linux, whose file names do not.
///
/// One object is used by one thread at a time.
#pragma once

#include <memory>
#include <string>

namespace Brolix {
namespace platform {

class NamedMutex {
public:
    enum Result {
        ACQUIRED,  ///< this object holds the lock now
        BUSY,      ///< another holder has it
        FAILED,    ///< the system refused (the lock cannot be made or reached)
    };

    /// Nothing is opened yet; the first tryLock does that.
    explicit NamedMutex(const std::string& name);
    /// Releases the lock if this object holds it.
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    /// Takes the lock at once or reports why not; never blocks.
    Result tryLock();
    /// Gives the lock up; false when the system refuses.
    bool unlock();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace platform
}  // namespace Brolix
