/// LockFile marks a file as being updated by one writer. The mark is a small
/// text file beside the target, the target's path followed by ".lock", of four
/// lines each ended by a line feed:
///
///   1  the time the lock was taken, UTC basic form ("20100506T123000Z")
///   2  the time until which the lock is valid, same form
///   3  the holder's identity
///   4  "original" when the holder keeps the target itself open, else "missing"
///
/// A writer that finds a foreign lock stays away while the lock's holder is
/// alive; a holder always removes its own lock.
///
/// Whether a holder is alive is asked of the system, not guessed from the
/// clock: a holder keeps its lock file open and marked for as long as it holds
/// the lock (platform/LockMark.h), and the mark ends with the holder's process
/// however it ends. So a lock whose holder runs is never broken, not even after
/// its expiry (a slow writer keeps its lock), and the lock of a holder that was
/// killed or crashed is broken by the next writer at once. Holders that mark
/// their lock files say so in their identity: its eighth character (right after
/// the time of day) is "~", which the identities of holders that do not mark
/// theirs never hold (their ten characters are drawn from 32 to 125). A lock
/// file without that sign is judged by its expiry alone, as its writer expects.
///
/// Taking the lock is atomic: the lock file is written whole and marked before
/// it gets its name, by a step that fails when the name exists. Of two writers
/// that both found no lock, exactly one gets it, and nobody ever reads a lock
/// file that is still being written. Breaking a lock happens while the breaker
/// itself keeps the found lock file marked, and removes the name only if it
/// still names that very file: two writers never both break one lock, and a
/// writer never removes a lock that another writer has just taken.
///
/// Holding the target never creates it and never changes its content: during a
/// safe update the target keeps its earlier content until the update is
/// committed, and a new target appears only with the committed content. The
/// hold is given up (releaseTarget) before the committed file replaces the
/// target, while the lock itself is still held.
#pragma once

#include <memory>
#include <string>

#include "DateTime.h"
#include "TimeSpan.h"
#include "platform/LockMark.h"

namespace Brolix {

class LockFile {
public:
    /// Builds this object's identity, notes whether the target exists and reads
    /// an existing lock file. A time in the lock file that cannot be parsed
    /// throws TimeException (TM_INPUT).
    explicit LockFile(const std::string& path);
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;
    /// Gives up this object's hold of the target and of its lock file; the lock
    /// file itself stays (the next writer finds it unmarked and breaks it).
    virtual ~LockFile();

    /// A lock file exists: found at construction or written by lock().
    bool isPresent() const { return m_present; }
    /// The target existed when this object was made.
    bool targetExisted() const { return m_targetExisted; }
    /// The lock found was written by a holder that marks its lock files.
    bool foundMarked() const { return m_found == Found::MARKED_DEAD || m_found == Found::ALIVE; }
    /// The holder of the lock found is alive (it keeps its lock file marked).
    bool holderAlive() const { return m_found == Found::ALIVE; }

    /// Takes the lock from now for `duration`.
    bool lockFor(const TimeSpan& duration, bool holdTarget);
    /// Takes the lock with the times already set; false while a lock file is
    /// present (break a stale one with unlock first) or when the lock file
    /// cannot be made or the target cannot be held.
    bool lock(bool holdTarget);
    /// True when no lock is present afterwards: this object's own lock is
    /// removed at any time; a foreign one only when its holder is gone (at once
    /// for a holder that marked it, after its expiry for one that did not) and
    /// only while the lock file is still the one found (otherwise the newer
    /// lock is taken note of and the result is false).
    bool unlock();
    /// Closes this object's hold on the target, keeping the lock.
    void releaseTarget();

    const std::string& ownerId() const { return m_ownerId; }
    const std::string& myId() const { return m_myId; }
    const DateTime& lockTime() const { return m_lockTime; }
    const DateTime& expiry() const { return m_expiry; }
    bool holdsTarget() const { return m_holdTarget; }
    std::string lockPath() const { return m_path + ".lock"; }
    /// The system's error code of the last failure to make the lock file.
    uint32_t lastError() const { return m_error; }

private:
    enum class Found {
        NONE,         ///< no lock file
        ALIVE,        ///< its holder keeps it marked
        MARKED_DEAD,  ///< written by a marking holder that is gone
        UNMARKED,     ///< nobody marks it and it does not say it would: the expiry decides
        UNREADABLE,   ///< it cannot be opened or asked: the expiry decides
    };
    /// Looks at the lock file and takes over what it says.
    void readExisting();
    /// The four lines of the lock file for `id`.
    std::string content(const std::string& id, bool holdTarget) const;

    platform::FileHold m_targetHold;
    platform::LockMark m_mark;
    std::unique_ptr<platform::LockProbe> m_probe;
    std::string m_path;
    DateTime m_lockTime;
    DateTime m_expiry;
    std::string m_ownerId;
    std::string m_myId;
    std::string m_unmarkedId;
    bool m_present;
    bool m_targetExisted;
    bool m_holdTarget;
    Found m_found = Found::NONE;
    uint32_t m_error = 0;
};

}  // namespace Brolix
