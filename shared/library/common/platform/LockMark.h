/// Lock files ("name.lock") whose holders can be told alive or dead by asking
/// the system. A holder keeps its lock file open and marked as in use for as
/// long as it holds the lock: on Linux with an advisory lock (flock) on its own
/// open file, taken before the file has its name; on Windows through its open
/// handle, which does not share deletion. Both marks end with the holder's
/// process, however it ends, so a lock file that nobody marks any more belongs
/// to a holder that is gone.
///
/// LockMark is the holder's side: the file is written whole under no name or a
/// name of its own, marked, and only then given the lock file's name by a step
/// that fails when the name exists; so nobody ever sees a lock file that is
/// still being written or not yet marked. LockProbe is everybody else's side: it
/// looks at a lock file without following a link and without ever waiting, and
/// can remove the name of a lock file that nobody marks, while it keeps the mark
/// itself, so that no holder can be starting on that very file meanwhile.
///
/// Policy (whose lock may be broken when) belongs to the caller: a lock file
/// written by a program that never marks its files looks unmarked too.
#pragma once

#include <memory>
#include <string>

namespace Brolix {
namespace platform {

class LockMark {
public:
    enum Result {
        TAKEN,   ///< the lock file is ours and marked
        EXISTS,  ///< a file of the name exists
        FAILED,  ///< the system refused (lastError tells why)
    };

    LockMark();
    /// Gives the mark up and leaves the lock file where it is (a holder that
    /// ends without release leaves it for the next writer to break at once).
    ~LockMark();
    LockMark(const LockMark&) = delete;
    LockMark& operator=(const LockMark&) = delete;

    /// Makes the lock file `path` (library form) with `content`. Where the file
    /// system cannot mark files, the file is made unmarked with
    /// `unmarkedContent` instead (marked() then tells false).
    Result take(const std::string& path, const std::string& content, const std::string& unmarkedContent);
    /// The lock file made by take is marked.
    bool marked() const;
    /// Removes the lock file's name if it still names this object's file, then
    /// gives up the mark. True when the name is gone.
    bool release();

    uint32_t lastError() const { return m_error; }

private:
    struct State;
    std::unique_ptr<State> m_state;
    uint32_t m_error = 0;
};

class LockProbe {
public:
    enum State {
        NONE,        ///< no file of the name
        HELD,        ///< its holder keeps it marked: the holder is alive
        FREE,        ///< nobody marks it (now kept marked by this probe)
        UNKNOWN,     ///< it cannot be opened or asked (a link, a folder, no access...)
        BUSY_SYSTEM, ///< the system has no descriptor or memory to spare this moment
    };

    LockProbe();
    /// Gives up what the probe holds.
    ~LockProbe();
    LockProbe(const LockProbe&) = delete;
    LockProbe& operator=(const LockProbe&) = delete;

    /// Looks at the lock file `path`; never waits.
    State probe(const std::string& path);
    /// What the file held (its first 4 KiB) when it was probed: read for HELD
    /// and FREE where the system lets it be read.
    const std::string& content() const { return m_content; }
    /// After FREE: removes the name if it still names the probed file. True
    /// when it was removed.
    bool removeProbed();

private:
    struct Handle;
    std::unique_ptr<Handle> m_handle;
    std::string m_content;
};

/// Keeps an existing file open for writing so that the system knows it in use
/// (on Windows nobody can then remove or rename it), and so that a file this
/// process may not write is refused. The opening never creates or changes the
/// file, does not follow a symbolic link under the name, and opens nothing but
/// a regular file (a FIFO or device planted under the name is refused before it
/// is opened for writing).
class FileHold {
public:
    FileHold();
    ~FileHold();
    FileHold(const FileHold&) = delete;
    FileHold& operator=(const FileHold&) = delete;

    /// False when `path` names no regular file or it cannot be opened for
    /// writing.
    bool open(const std::string& path);
    void close();

private:
    struct Handle;
    std::unique_ptr<Handle> m_handle;
};

}  // namespace platform
}  // namespace Brolix
