#include "LoggerAgentFile.h"

#include <new>

#include "FileOps.h"
#include "FilePlain.h"
#include "LogEntry.h"
#include "SystemInfo.h"
#include "TimeException.h"
#include "platform/Directory.h"
#include "platform/FileLock.h"
#include "platform/Thread.h"

namespace Brolix {

namespace {

/// The resource that holds the creation time of the current log file.
const char* const OPENED_RESOURCE = "coreLogOpened";

/// The module number of the logging chain itself, for the agent's own notes.
const int32_t LOGGER_MODULE = 2;

/// A buffer that grew beyond this for one huge line is given back.
const size_t MAX_KEPT_BUFFER = 64 * 1024;

/// Written in place at the end: no temporary copy, no lock file (value 122).
const uint16_t LOG_ACCESS = FileBase::ACCESS_WRITE | FileBase::ACCESS_CREATE | FileBase::ACCESS_APPEND |
                            FileBase::ACCESS_UNSAFE | FileBase::ACCESS_NOLOCK;

/// The base name of `path` (the whole path when it has no separator).
std::string guardNameOf(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

/// Creates `directory` and any missing parents. On a fresh installation the log
/// directory may not exist yet, and every line would be lost without it.
bool makeDirectories(const std::string& directory, int depth = 0) {
    if (directory.empty() || platform::makeDirectory(directory)) return true;
    const size_t separator = directory.find_last_of("\\/");
    if (separator == std::string::npos || separator == 0 || depth > 64) return false;
    if (!makeDirectories(directory.substr(0, separator), depth + 1)) return false;
    return platform::makeDirectory(directory);
}

std::string directoryOf(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

/// Holds an unnamed guard for a scope.
class LocalHold {
public:
    explicit LocalHold(Monopoly& guard) : m_guard(guard) { m_guard.enforce(); }
    ~LocalHold() { m_guard.relax(); }
    LocalHold(const LocalHold&) = delete;
    LocalHold& operator=(const LocalHold&) = delete;

private:
    Monopoly& m_guard;
};

}  // namespace

LoggerAgentFile::LoggerAgentFile() = default;

LoggerAgentFile::~LoggerAgentFile() {
    if (!m_file.isNull() && !m_file->isClosed()) {
        try {
            m_file->close();
        } catch (...) {
            // Nothing to report to at the end of the chain.
        }
    }
    m_file.release();
}

std::string LoggerAgentFile::location() const {
    return "file:///" + (m_file.isNull() ? std::string() : m_file->getName());
}

bool LoggerAgentFile::setFile(const std::string& path) {
    if (!m_file.isNull() && m_file->getName() == path) return true;
    SmartPointer<FileBase> next(new (std::nothrow) FilePlain(path));
    if (next.isNull()) return false;
    if (!m_file.isNull() && !m_file->isClosed()) m_file->close();
    m_file = next;
    m_guardName = guardNameOf(path);
    m_namedGuard.reset();
    m_fileLock.reset();
    m_openTimeReported = false;
    m_noted = 0;
    return true;
}

bool LoggerAgentFile::write(const std::string& line) {
    // This process's threads pass one at a time from the test for an open file to
    // the end of the append, so that two first lines at once open the file once.
    // The local guard is recursive; takeGuards enters it again.
    LocalHold hold(m_localGuard);
    if (m_file.isNull()) return false;
    if (m_file->isClosed() && !openFile()) return false;
    if (!takeGuards()) return false;
    bool written = true;
    try {
        writeNoteIfDue();
        // The line and its end go out in one write; the buffer is reused under the
        // local guard, so lines cost no allocation once it has grown. The file is
        // open for appending: every write lands at its end as it is at that moment,
        // whoever wrote last, so no seek is needed (it cost three system calls a
        // line, more than the rest of the chain together).
        m_lineBuffer.assign(line);
        m_lineBuffer.append("\r\n", 2);
        m_file->writeText(m_lineBuffer);
        m_file->flush();
    } catch (...) {
        written = false;
    }
    if (m_lineBuffer.capacity() > MAX_KEPT_BUFFER) std::string().swap(m_lineBuffer);
    giveGuardsBack();
    return written;
}

bool LoggerAgentFile::openFile() {
    m_openTime.setNow();
    const std::string path = m_file->getName();
    const bool existed = fileExists(path);
    if (existed && !m_openTimeReported) {
        std::string stored;
        if (getResource(OPENED_RESOURCE, stored) == 0) {
            try {
                m_openTime.assignFields(parseDateTime(stored));
            } catch (const TimeException&) {
                // Reported once to the messenger, which writes it into this file;
                // the file is then opened with the current time.
                m_openTimeReported = true;
                throw;
            }
        }
    }
    if (!existed) makeDirectories(directoryOf(path));
    if (!takeGuards()) return false;
    bool opened = true;
    try {
        m_file->open(LOG_ACCESS);
    } catch (...) {
        opened = false;
    }
    giveGuardsBack();
    if (opened && !existed) {
        try {
            setResource(OPENED_RESOURCE, m_openTime.toString(true, true, false));
        } catch (...) {
            // The record is a courtesy; the log file works without it.
        }
    }
    return opened;
}

bool LoggerAgentFile::takeGuards() {
    m_localGuard.enforce();
    if (!m_namedGuard) m_namedGuard.reset(new (std::nothrow) Monopoly(m_guardName));
    if (!m_namedGuard) {
        m_localGuard.relax();
        return false;
    }
    for (int attempt = 0; attempt < GUARD_TRIES; ++attempt) {
        if (m_namedGuard->enforce()) {
            m_hold = HOLD_NAMED;
            return true;
        }
        // Another holder is worth waiting for; a refusal by the system is not.
        if (m_namedGuard->refusedBySystem()) return takeFileLock();
        platform::sleepFor(GUARD_PAUSE_MS);
    }
    m_localGuard.relax();
    return false;
}

// The machine-wide guard is refused. Other processes that find it refused lock
// the log file itself, so this one does too, and waits for them as it would for
// the guard. When the file cannot be locked either, the line is written all the
// same: interleaving with another process's line is the lesser harm than losing it.
bool LoggerAgentFile::takeFileLock() {
    if (!m_fileLock) m_fileLock.reset(new (std::nothrow) platform::FileLock(m_file->getName()));
    platform::FileLock::Result result = platform::FileLock::FAILED;
    for (int attempt = 0; m_fileLock && attempt < GUARD_TRIES; ++attempt) {
        result = m_fileLock->tryLock();
        if (result != platform::FileLock::BUSY) break;
        platform::sleepFor(GUARD_PAUSE_MS);
    }
    if (result == platform::FileLock::BUSY) {
        m_localGuard.relax();
        return false;
    }
    m_hold = result == platform::FileLock::ACQUIRED ? HOLD_FILE_LOCK : HOLD_UNLOCKED;
    return true;
}

void LoggerAgentFile::giveGuardsBack() {
    if (m_hold == HOLD_NAMED) m_namedGuard->relax();
    if (m_hold == HOLD_FILE_LOCK) m_fileLock->unlock();
    m_hold = HOLD_NONE;
    m_localGuard.relax();
}

std::string LoggerAgentFile::fileLockNote(const std::string& guardName) {
    return "LoggerAgentFile: The system refuses the machine-wide lock \"" + guardName +
           "\"; lines are kept apart by a lock on the log file instead.";
}

std::string LoggerAgentFile::unlockedNote(const std::string& guardName) {
    return "LoggerAgentFile: The system refuses the machine-wide lock \"" + guardName +
           "\" and a lock on the log file; lines are written without a machine-wide lock.";
}

// Says once per file, in the file, that lines are kept apart otherwise than by the
// machine-wide guard. Called under the guards, before the line that is written so.
void LoggerAgentFile::writeNoteIfDue() {
    if (m_hold == HOLD_NAMED || (m_noted & (1u << m_hold)) != 0) return;
    m_noted |= 1u << m_hold;
    LogEntry note;
    note.kind = LogEntry::KIND_DEBUG;
    note.module = LOGGER_MODULE;
    note.time.setNow();
    note.debugLevel = 1;
    note.thread = platform::currentThreadId();
    note.text = m_hold == HOLD_FILE_LOCK ? fileLockNote(m_guardName) : unlockedNote(m_guardName);
    m_file->writeText(formatLine(note) + "\r\n");
}

}  // namespace Brolix
