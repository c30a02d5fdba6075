/// LockFile marks a file as being updated by one writer. The mark is a small
/// text file beside the target, the target's path followed by ".lock", of four
/// lines each ended by a line feed:
///
///   1  the time the lock was taken, UTC basic form ("20100506T123000Z")
///   2  the time until which the lock is valid, same form
///   3  the holder's identity
///   4  "original" when the holder keeps the target itself open, else "missing"
///
/// A writer that finds a valid foreign lock stays away; a lock whose validity
/// has run out may be broken by anyone; a holder always removes its own lock.
///
/// Taking the lock is atomic: the four lines are written to a file of a name of
/// this object's own and moved to "name.lock" by a move that fails when that
/// name exists. Of two writers that both found no lock, exactly one gets it, and
/// nobody ever reads a lock file that is still being written. A stale lock is
/// broken only when it still holds what was judged stale, so a writer never
/// removes a lock that another writer has just taken.
///
/// Holding the target open never creates it and never changes its content:
/// during a safe update the target keeps its earlier content until the update is
/// committed, and a new target appears only with the committed content. The
/// hold is given up (releaseTarget) before the committed file replaces the
/// target, while the lock itself is still held.
#pragma once

#include <string>

#include "BasicFile.h"
#include "DateTime.h"
#include "TimeSpan.h"

namespace Brolix {

class LockFile {
public:
    /// Builds this object's identity, notes whether the target exists and reads
    /// an existing lock file. A time in the lock file that cannot be parsed
    /// throws TimeException (TM_INPUT).
    explicit LockFile(const std::string& path);
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;
    /// Closes the streams; the lock file itself stays.
    virtual ~LockFile();

    /// A lock file exists: found at construction or written by lock().
    bool isPresent() const { return m_present; }
    /// The target existed when this object was made.
    bool targetExisted() const { return m_targetExisted; }

    /// Takes the lock from now for `duration`.
    bool lockFor(const TimeSpan& duration, bool holdTarget);
    /// Takes the lock with the times already set; false while a lock file is
    /// present (break a stale one with unlock first) or when the lock file or
    /// the target cannot be written.
    bool lock(bool holdTarget);
    /// True when no lock is present afterwards: this object's own lock is
    /// removed at any time, a foreign one only after its expiry and only while
    /// the lock file still holds the lock that was found expired (otherwise the
    /// newer lock is taken note of and the result is false).
    bool unlock();
    /// Closes this object's hold on the target, keeping the lock.
    void releaseTarget();

    const std::string& ownerId() const { return m_ownerId; }
    const std::string& myId() const { return m_myId; }
    const DateTime& lockTime() const { return m_lockTime; }
    const DateTime& expiry() const { return m_expiry; }
    bool holdsTarget() const { return m_holdTarget; }
    std::string lockPath() const { return m_path + ".lock"; }

private:
    /// What a lock file says.
    struct Record {
        DateTime lockTime;
        DateTime expiry;
        std::string ownerId;
        bool holdTarget = false;
    };
    /// Reads the lock file into `record`; false when there is none. A file that
    /// cannot be read, or ends before its times, keeps the times the record
    /// came with.
    bool readRecord(Record& record) const;
    void readExisting();

    BasicFile m_targetStream;
    BasicFile m_lockStream;
    std::string m_path;
    DateTime m_lockTime;
    DateTime m_expiry;
    std::string m_ownerId;
    std::string m_myId;
    bool m_present;
    bool m_targetExisted;
    bool m_holdTarget;
};

}  // namespace Brolix
