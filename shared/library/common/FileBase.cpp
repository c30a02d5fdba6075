#include "FileBase.h"

#include <atomic>
#include <new>

#include "FileException.h"
#include "FileOps.h"
#include "FileUtils.h"
#include "platform/FileSystem.h"

namespace Brolix {

namespace {

std::atomic<int32_t> g_defaultLockSeconds{0};

}  // namespace

FileBase::FileBase(const std::string& path, int32_t kind)
    : m_name(path),
      m_path(path),
      m_tmpMode(false),
      m_access(0),
      m_kind(kind),
      m_position(0),
      m_eof(false),
      m_closed(true),
      m_lockTimeout(LOCK_SECONDS) {
    const int32_t seconds = g_defaultLockSeconds;
    if (seconds != 0) m_lockTimeout = TimeSpan(seconds);
}

FileBase::~FileBase() = default;

int64_t FileBase::tell() { return m_position; }

bool FileBase::isEOF() { return m_eof; }

std::string FileBase::getShortName() const { return getFileName(m_name); }

uint64_t FileBase::getSize() const { return getFileSize(m_name); }

void FileBase::setDefaultLockTimeout(const TimeSpan& span) { g_defaultLockSeconds = span.value(); }

void FileBase::makeLock(uint32_t failCode) {
    m_lock.reset();
    m_lock.reset(new (std::nothrow) LockFile(m_path));
    if (!m_lock) BROLIX_THROW(FileException, failCode, m_name);
}

void FileBase::chooseTarget(bool writing) {
    // A name that the system takes for one of its devices ("nul", "con.conf"
    // on Windows) would write to the device, not to a file: refused.
    if (writing && platform::isDeviceName(m_name)) BROLIX_THROW(FileException, FileException::FL_CANNOT_OPEN, m_name);
    m_path = writing ? platform::resolveLinks(m_name) : m_name;
    // A link that another account planted is not followed, and the file it
    // stands for is not written.
    if (m_path.empty()) {
        m_path = m_name;
        BROLIX_THROW(FileException, FileException::FL_CANNOT_OPEN, m_name);
    }
}

bool FileBase::createTemporary(bool targetExists) {
    const std::string tmp = tmpName();
    // The temporary file is always made anew: an old one (left by a writer
    // that stopped) is removed, and a name that is still taken after that, by
    // a file or a planted link, fails the opening rather than being followed.
    if (!deleteFile(tmp) && fileExists(tmp)) removeFile(tmp, true);
    m_newFile.reset(new (std::nothrow) platform::NewFile);
    if (m_newFile && m_newFile->create(tmp, targetExists ? m_path : std::string())) return true;
    m_newFile.reset();
    return false;
}

void FileBase::discardTemporary() {
    if (m_newFile) m_newFile->discard();
    m_newFile.reset();
    m_tmpMode = false;
}

void FileBase::commitWaiting(bool synced, bool flushFolder) {
    if (!m_awaitingCommit) return;
    m_awaitingCommit = false;
    if (m_tmpMode && !synced && !(m_newFile && m_newFile->sync())) {
        discardTemporary();
        if (holdsLock()) m_lock->unlock();
        BROLIX_THROW(FileException, FileException::FL_CANNOT_CLOSE, m_name);
    }
    if (!commitAndUnlock(flushFolder)) {
        BROLIX_THROW(FileException, FileException::FL_RENAME,
                     m_kind == KIND_GZ ? "Failed to update the file: " + m_name
                                       : "Failed to update the file \"" + m_name + "\"");
    }
}

void FileBase::discardWaiting() {
    if (!m_awaitingCommit) return;
    m_awaitingCommit = false;
    if (m_tmpMode) discardTemporary();
    if (holdsLock() && !m_lock->unlock()) BROLIX_THROW(FileException, FileException::FL_CANNOT_UNLOCK, m_name);
}

bool FileBase::commitAndUnlock(bool flushFolder) {
    bool committed = true;
    if (m_tmpMode) {
        // Whatever happens, this opening's update ends here: a failed one is
        // never committed by a later close of the same object.
        m_tmpMode = false;
        if (holdsLock()) m_lock->releaseTarget();
        committed = false;
        platform::NewFile::Commit result = platform::NewFile::FAILED;
        for (int attempt = 1; m_newFile && attempt <= UPDATE_ATTEMPTS; ++attempt) {
            result = m_newFile->commit(m_path, flushFolder);
            if (result != platform::NewFile::FAILED) break;
            // The lock keeps other writers away only until it expires.
            const bool timeLeft = !holdsLock() || DateTime() + TimeSpan(UPDATE_PAUSE_MS / 1000) < m_lock->expiry();
            if (attempt == UPDATE_ATTEMPTS || !timeLeft) break;
            retryPause(UPDATE_PAUSE_MS);
        }
        committed = result == platform::NewFile::COMMITTED;
        if (result == platform::NewFile::FAILED && m_newFile) m_newFile->discard();
        m_newFile.reset();
    }
    if (holdsLock() && !m_lock->unlock() && committed) {
        BROLIX_THROW(FileException, FileException::FL_CANNOT_UNLOCK, m_name);
    }
    return committed;
}

void FileBase::releaseLock() {
    if (m_lock) {
        const bool held = m_lock->isPresent();
        if (!m_lock->unlock()) BROLIX_THROW(FileException, FileException::FL_CANNOT_UNLOCK, m_name);
        if (held && m_createdTarget) removeFile(m_path, false);
        m_lock.reset();
    }
    m_createdTarget = false;
    if (m_tmpMode) discardTemporary();
}

}  // namespace Brolix
