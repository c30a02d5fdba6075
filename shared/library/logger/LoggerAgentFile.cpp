#include "LoggerAgentFile.h"

#include <new>

#include "FileOps.h"
#include "FilePlain.h"
#include "SystemInfo.h"
#include "TimeException.h"
#include "platform/Directory.h"
#include "platform/Thread.h"

namespace Brolix {

namespace {

/// The resource that holds the creation time of the current log file.
const char* const OPENED_RESOURCE = "coreLogOpened";

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
    m_openTimeReported = false;
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
        // The line and its end go out in one write; the buffer is reused under the
        // local guard, so lines cost no allocation once it has grown.
        m_lineBuffer.assign(line);
        m_lineBuffer.append("\r\n", 2);
        m_file->seek(0, FileBase::FROM_END);
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
    if (!takeGuards()) return false;
    bool opened = true;
    try {
        if (!existed) makeDirectories(directoryOf(path));
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
        if (m_namedGuard->enforce()) break;
        platform::sleepFor(GUARD_PAUSE_MS);
    }
    if (m_namedGuard->isHeld()) return true;
    m_localGuard.relax();
    return false;
}

void LoggerAgentFile::giveGuardsBack() {
    m_namedGuard->relax();
    m_localGuard.relax();
}

}  // namespace Brolix
