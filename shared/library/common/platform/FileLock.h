/// An advisory lock on a whole file, taken through a handle of its own. Two
/// FileLock objects on one file exclude each other whether they live in one
/// process or in two, and the lock of a process that ends is released by the
/// operating system. The lock binds only those who ask for it: reading and
/// writing the file through any other handle goes on as before, also while the
/// lock is held. (Where the system's file locks stop other handles' writes, the
/// backend locks a range far beyond any end of file.) The lock's handle is open
/// for reading, or for writing where reading is refused, because Windows locks
/// only through such handles: an account that may neither read nor write the
/// file cannot lock it (FAILED).
///
/// The lock is only ever tried, never waited for: callers decide how to wait.
/// One object is used by one thread at a time.
#pragma once

#include <memory>
#include <string>

namespace Brolix {
namespace platform {

class FileLock {
public:
    enum Result {
        ACQUIRED,  ///< this object holds the lock now
        BUSY,      ///< another holder has it
        FAILED,    ///< the file cannot be opened or the system refuses to lock it
    };

    /// Nothing is opened yet; the first tryLock opens the file at `path` (a library
    /// path), creating it empty when it does not exist.
    explicit FileLock(const std::string& path);
    /// Releases the lock if this object holds it and closes the handle.
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    /// Takes the lock at once or reports why not; never blocks. Taking it again
    /// while holding it succeeds without effect.
    Result tryLock();
    /// Gives the lock up; false when the system refuses.
    bool unlock();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace platform
}  // namespace Brolix
