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

void FileBase::chooseTarget(bool writing) { m_path = writing ? platform::resolveLinks(m_name) : m_name; }

bool FileBase::commitAndUnlock() {
    bool committed = true;
    if (m_tmpMode) {
        // Whatever happens, this opening's update ends here: a failed one is
        // never committed by a later close of the same object.
        m_tmpMode = false;
        if (holdsLock()) m_lock->releaseTarget();
        committed = false;
        for (int attempt = 1; attempt <= UPDATE_ATTEMPTS && !committed; ++attempt) {
            committed = moveFile(tmpName(), m_path, true);
            if (!committed) retryPause(UPDATE_PAUSE_MS);
        }
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
    if (m_tmpMode) {
        const std::string tmp = tmpName();
        if (fileExists(tmp)) removeFile(tmp, true);
    }
}

}  // namespace Brolix
