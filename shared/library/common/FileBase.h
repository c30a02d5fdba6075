/// FileBase is the library's abstract file: one object per target path, opened
/// and closed any number of times, read and written through a fixed set of
/// virtual operations (their order is part of the interface), with optional
/// locking and an optional safe update in which all writing goes to the
/// temporary copy "name.tmp" that replaces the target only when the file is
/// closed. FilePlain serves ordinary files, FileGZ gzip-compressed ones; the
/// file factory (makeFile) picks one by the file name.
///
/// Every failure throws FileException with an FL code, the path as message
/// (unless a class says otherwise) and the source location.
///
/// A lock taken by open is held by a LockFile ("name.lock") that lives from the
/// opening to the end of the object or until it is released.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "LockFile.h"
#include "TimeSpan.h"
#include "platform/NewFile.h"

namespace Brolix {

class FileBase {
public:
    /// Access flags of open.
    enum Access : uint16_t {
        ACCESS_READ = 0x01,      ///< open for reading
        ACCESS_WRITE = 0x02,     ///< open for writing
        ACCESS_TRUNCATE = 0x04,  ///< with read and write: empty the file on opening
        ACCESS_CREATE = 0x08,    ///< only with write: create a missing file
        ACCESS_APPEND = 0x10,    ///< every write lands at the end; the position starts there
        ACCESS_UNSAFE = 0x20,    ///< write the target directly, without the temporary copy
        ACCESS_NOLOCK = 0x40,    ///< take no lock when writing (and so no temporary copy)
    };

    /// Seek origins.
    enum Origin : int { FROM_BEGIN = 0, FROM_CURRENT = 1, FROM_END = 2 };

    /// The concrete class behind the interface.
    enum Kind : int32_t { KIND_PLAIN = 0, KIND_GZ = 1 };

    /// How long a lock taken by open stays valid, unless a process-wide default
    /// is set.
    static constexpr int32_t LOCK_SECONDS = 30;
    /// Attempts of a safe update's final replacement and the pause after each
    /// failed one.
    static constexpr int UPDATE_ATTEMPTS = 10;
    static constexpr uint32_t UPDATE_PAUSE_MS = 2000;

    FileBase(const std::string& path, int32_t kind);
    FileBase(const FileBase&) = delete;
    FileBase& operator=(const FileBase&) = delete;
    /// Deletes the lock object if one is held. The concrete classes close an
    /// open file first.
    virtual ~FileBase();

    virtual void open(uint16_t access) = 0;
    /// Finishes the opening; commits a safe update.
    virtual void close() = 0;
    /// Finishes the opening and discards a safe update.
    virtual void abort() = 0;
    /// Reads up to `count` bytes into `text`; true when exactly `count` were read.
    virtual bool readText(std::string& text, uint64_t count) = 0;
    /// Reads up to `count` bytes into `buffer`; returns the number read.
    virtual uint64_t readBytes(char* buffer, uint64_t count) = 0;
    virtual bool writeText(const std::string& text) = 0;
    /// Returns the number of bytes written.
    virtual uint64_t writeBytes(const char* buffer, uint64_t count) = 0;
    /// The next line without its line feed.
    virtual std::string readLine() = 0;
    /// Writes the text followed by a line feed.
    virtual void writeLine(const std::string& text) = 0;
    virtual void flush() = 0;
    /// Moves to `offset` from `origin`; returns the new position.
    virtual int64_t seek(int64_t offset, int origin) = 0;
    virtual int64_t tell();
    virtual bool isEOF();
    /// Beyond the fourteen operations above: ends the opening as close does,
    /// except that a safe update's new content is written and closed but not
    /// yet flushed to the disk nor put in the target's place; the lock stays
    /// held until commitWaiting (normally through a CommitBatch, which makes
    /// many such files durable at once). Failures as close.
    virtual void finishWriting() = 0;

    /// A finished opening waits for commitWaiting.
    bool awaitingCommit() const { return m_awaitingCommit; }
    /// Commits what finishWriting left waiting, as close would: flushes the
    /// new content to the disk unless `synced` (the caller did that for it),
    /// replaces the target and gives the lock up; with `flushFolder` the
    /// folder's new entry is flushed too (otherwise the caller does that).
    /// FL_CANNOT_CLOSE when the content cannot be flushed, FL_RENAME when the
    /// replacement fails; either way the update has ended.
    void commitWaiting(bool synced, bool flushFolder);
    /// The temporary file whose commit waits, or null.
    platform::NewFile* waitingFile() const { return m_awaitingCommit && m_tmpMode ? m_newFile.get() : nullptr; }

    /// The path given to the constructor, unchanged.
    const std::string& getName() const { return m_name; }
    /// The part of the path after its last separator.
    std::string getShortName() const;
    /// The size in bytes of the file named by the path (all 64 bits); 0 when it
    /// does not exist.
    uint64_t getSize() const;

    int32_t getKind() const { return m_kind; }
    bool isClosed() const { return m_closed; }
    uint16_t getAccess() const { return m_access; }
    /// A safe update is in progress: writes go to "name.tmp".
    bool inSafeUpdate() const { return m_tmpMode; }
    /// The file that the current opening reads or writes: the path itself, or
    /// for writing through a symbolic link the file the link leads to, so that
    /// an update replaces that file and the link stays.
    const std::string& targetPath() const { return m_path; }
    /// The temporary file of a safe update: the target followed by ".tmp".
    std::string tmpName() const { return m_path + ".tmp"; }

    /// A process-wide lock duration that replaces LOCK_SECONDS for objects made
    /// afterwards while it is non-zero.
    static void setDefaultLockTimeout(const TimeSpan& span);

protected:
    /// Undoes the lock of a failed opening: releases it (FL_CANNOT_UNLOCK when
    /// that fails), removes a target that the opening itself created, deletes
    /// the lock object, and removes the temporary file of a safe update.
    void releaseLock();
    /// Ends an opening whose data is whole and on the disk: a safe update's
    /// temporary file replaces the target while the lock is still held, so that
    /// no other writer starts on the same temporary file in between; then the
    /// lock is given up. The replacement happens only if the temporary name
    /// still names the file this opening made. A replacement the system refuses
    /// for the moment (a reader that holds the target open on Windows) is tried
    /// again, but never past the lock's expiry. False when the replacement
    /// failed: the update has ended all the same (the temporary file is
    /// removed if it is still this opening's, the lock is given up).
    /// FL_CANNOT_UNLOCK when the lock cannot be given up.
    bool commitAndUnlock(bool flushFolder = true);
    /// Ends a waiting commit without committing: the temporary file goes and
    /// the lock is given up.
    void discardWaiting();
    /// Makes the temporary file of a safe update, reached from now on through
    /// m_newFile; it takes the access rights of the target when that exists.
    /// False when it cannot be made (nothing is left behind).
    bool createTemporary(bool targetExists);
    /// Removes this opening's temporary file, if it is still there under its
    /// name, and ends the safe update.
    void discardTemporary();
    /// Settles the file an opening works on (see targetPath).
    void chooseTarget(bool writing);
    /// True when this opening holds the lock.
    bool holdsLock() const { return m_lock && m_lock->isPresent(); }
    /// Makes the lock object for the target, replacing an earlier one; throws
    /// `failCode` when it cannot be allocated.
    void makeLock(uint32_t failCode);

    std::string m_name;
    /// The file the current opening works on (see targetPath).
    std::string m_path;
    bool m_tmpMode;
    uint16_t m_access;
    int32_t m_kind;
    int64_t m_position;
    bool m_eof;
    bool m_closed;
    std::unique_ptr<LockFile> m_lock;
    TimeSpan m_lockTimeout;
    /// The current opening made the target, which did not exist before it.
    bool m_createdTarget = false;
    /// The temporary file of the current safe update.
    std::unique_ptr<platform::NewFile> m_newFile;
    /// The opening was finished (finishWriting); its commit waits.
    bool m_awaitingCommit = false;
};

}  // namespace Brolix
