#include "FilePlain.h"

#include <cstring>

#include "FileException.h"
#include "FileOps.h"
#include "TimeException.h"

namespace Brolix {

FilePlain::FilePlain(const std::string& path) : FileBase(path, KIND_PLAIN) {}

FilePlain::~FilePlain() {
    if (m_closed) return;
    try {
        close();
    } catch (...) {
        // A destructor reports nothing; the object goes either way.
    }
}

std::string FilePlain::streamMessage() const {
    return m_name + " - BFile error: " + std::to_string(m_stream.getError()) +
           " - Access: " + std::to_string(m_stream.getMode());
}

void FilePlain::open(uint16_t access) {
    if (!m_closed) BROLIX_THROW(FileException, FileException::FL_IS_OPEN, m_name);
    const bool reading = (access & ACCESS_READ) != 0;
    const bool writing = (access & ACCESS_WRITE) != 0;
    if (reading && !writing && (access & (ACCESS_TRUNCATE | ACCESS_CREATE | ACCESS_APPEND))) {
        BROLIX_THROW(FileException, FileException::FL_ACCESS_COMB, m_name);
    }
    if ((access & ACCESS_TRUNCATE) && (access & ACCESS_APPEND)) {
        BROLIX_THROW(FileException, FileException::FL_ACCESS_COMB, m_name);
    }
    const bool existed = fileExists(m_name);
    if (reading && !writing && !existed) {
        BROLIX_THROW(FileException, FileException::FL_EXISTS_NOT, m_name + "-->File does not exist.");
    }

    std::string openPath = m_name;
    bool copyMade = false;
    if (writing && !(access & ACCESS_NOLOCK)) {
        try {
            makeLock(FileException::FL_MEM);
        } catch (TimeException& e) {
            e.addLocation(__FILE__, __LINE__);
            throw e;
        }
        if (m_lock->isPresent() && !m_lock->unlock()) {
            m_lock.reset();
            BROLIX_THROW(FileException, FileException::FL_IS_LOCKED, m_name);
        }
        const bool safe = !(access & ACCESS_UNSAFE);
        if (safe) {
            if (existed) {
                // Without the copy the update would start from a stale or
                // missing file and then replace the target with it.
                if (!copyFile(m_name, tmpName(), true)) {
                    m_lock.reset();
                    BROLIX_THROW(FileException, FileException::FL_CANNOT_COPY, m_name);
                }
                copyMade = true;
            }
            openPath = tmpName();
            m_tmpMode = true;
        }
        if (!m_lock->lockFor(m_lockTimeout, safe)) {
            if (copyMade) removeFile(openPath, false);
            m_lock.reset();
            m_tmpMode = false;
            BROLIX_THROW(FileException, FileException::FL_CANNOT_LOCK, m_name);
        }
    }

    uint32_t mode = BasicFile::MODE_CLOSED;
    if (reading && writing) {
        if (access & ACCESS_APPEND) {
            mode = BasicFile::MODE_READ_APPEND;
        } else if (access & ACCESS_TRUNCATE) {
            mode = BasicFile::MODE_READ_WRITE_TRUNCATE;
        } else {
            mode = BasicFile::MODE_READ_WRITE;
            // Read-write needs an existing file; ACCESS_CREATE makes a missing
            // one (empty, so nothing is lost).
            if ((access & ACCESS_CREATE) && !fileExists(openPath)) {
                BasicFile creator;
                creator.open(openPath, BasicFile::MODE_APPEND);
            }
        }
    } else if (reading) {
        mode = BasicFile::MODE_READ;
    } else if (writing) {
        mode = (access & ACCESS_APPEND) ? BasicFile::MODE_APPEND : BasicFile::MODE_WRITE;
    } else {
        BROLIX_THROW(FileException, FileException::FL_ACCESS_COMB, m_name);
    }

    if (!m_stream.open(openPath, mode)) {
        releaseLock();
        if (copyMade) removeFile(openPath, false);
        m_tmpMode = false;
        BROLIX_THROW(FileException, FileException::FL_CANNOT_OPEN, openPath);
    }
    m_closed = false;
    m_access = access;
    m_position = 0;
    if (access & ACCESS_APPEND) m_position = seek(0, FROM_END);
}

void FilePlain::close() {
    if (m_closed) return;
    const bool written = m_stream.close();
    if (holdsLock() && !m_lock->unlock()) BROLIX_THROW(FileException, FileException::FL_CANNOT_UNLOCK, m_name);
    m_closed = true;
    m_access = 0;
    m_position = 0;
    if (!written) {
        // The last data never reached the disk: a safe update is not committed,
        // so the target keeps its earlier content.
        if (m_tmpMode) {
            removeFile(tmpName(), true);
            m_tmpMode = false;
        }
        BROLIX_THROW(FileException, FileException::FL_CANNOT_CLOSE, m_name);
    }
    if (m_tmpMode) commitUpdate();
}

void FilePlain::commitUpdate() {
    for (int attempt = 1; attempt <= UPDATE_ATTEMPTS; ++attempt) {
        if (moveFile(tmpName(), m_name, true)) {
            m_tmpMode = false;
            return;
        }
        retryPause(UPDATE_PAUSE_MS);
    }
    BROLIX_THROW(FileException, FileException::FL_RENAME, "Failed to update the file \"" + m_name + "\"");
}

void FilePlain::abort() {
    if (m_closed) return;
    m_stream.close();
    const bool held = holdsLock();
    if (held && !m_lock->unlock()) BROLIX_THROW(FileException, FileException::FL_CANNOT_UNLOCK, m_name);
    if (held && !m_lock->targetExisted()) removeFile(m_name, false);
    m_closed = true;
    m_access = 0;
    m_position = 0;
    if (m_tmpMode) {
        removeFile(tmpName(), true);
        m_tmpMode = false;
    }
}

bool FilePlain::readText(std::string& text, uint64_t count) {
    if (!m_stream.read(text, count)) BROLIX_THROW(FileException, FileException::FL_READ, m_name);
    return text.size() == count;
}

uint64_t FilePlain::readBytes(char* buffer, uint64_t count) {
    if (m_closed) BROLIX_THROW(FileException, FileException::FL_IS_CLOSED, m_name);
    if (!(m_access & ACCESS_READ)) BROLIX_THROW(FileException, FileException::FL_READ, m_name);
    if (isEOF()) BROLIX_THROW(FileException, FileException::FL_EOF, m_name);
    std::string data;
    if (!m_stream.read(data, count)) BROLIX_THROW(FileException, FileException::FL_READ, m_name);
    // Every byte read is handed over, zero bytes included.
    if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
    buffer[data.size()] = '\0';
    m_position += static_cast<int64_t>(data.size());
    return data.size();
}

bool FilePlain::writeText(const std::string& text) {
    if (!m_stream.write(text)) BROLIX_THROW(FileException, FileException::FL_WRITE, streamMessage());
    return true;
}

uint64_t FilePlain::writeBytes(const char* buffer, uint64_t count) {
    if (m_closed) BROLIX_THROW(FileException, FileException::FL_IS_CLOSED, m_name);
    if (!(m_access & ACCESS_WRITE)) BROLIX_THROW(FileException, FileException::FL_CANNOT_WRITE, m_name);
    if (!m_stream.write(buffer, count)) BROLIX_THROW(FileException, FileException::FL_WRITE, streamMessage());
    m_position += static_cast<int64_t>(count);
    return count;
}

std::string FilePlain::readLine() {
    if (m_closed) BROLIX_THROW(FileException, FileException::FL_IS_CLOSED, m_name);
    if (!(m_access & ACCESS_READ)) BROLIX_THROW(FileException, FileException::FL_CANNOT_READ, m_name);
    if (isEOF()) BROLIX_THROW(FileException, FileException::FL_EOF, m_name);
    std::string line = m_stream.readLine();
    const int error = m_stream.getError();
    if (error == BasicFile::BF_CONTROL_CHAR) BROLIX_THROW(FileException, FL_CONTROL_CHARACTER, m_name);
    if (error != BasicFile::BF_NONE) BROLIX_THROW(FileException, FileException::FL_READ, m_name);
    return line;
}

void FilePlain::writeLine(const std::string& text) {
    if (!m_stream.writeLine(text)) BROLIX_THROW(FileException, FileException::FL_WRITE, streamMessage());
}

void FilePlain::flush() {
    if (m_closed) BROLIX_THROW(FileException, FileException::FL_IS_CLOSED, m_name);
    if (!(m_access & ACCESS_WRITE)) BROLIX_THROW(FileException, FileException::FL_CANNOT_WRITE, m_name);
    if (!m_stream.flush()) BROLIX_THROW(FileException, FileException::FL_FLUSH, m_name);
}

int64_t FilePlain::seek(int64_t offset, int origin) {
    if (m_closed) BROLIX_THROW(FileException, FileException::FL_IS_CLOSED, m_name);
    // The stream counts its origins as beginning, end, current.
    int streamOrigin = -1;
    switch (origin) {
        case FROM_BEGIN:
            streamOrigin = BasicFile::ORIGIN_BEGIN;
            break;
        case FROM_CURRENT:
            streamOrigin = BasicFile::ORIGIN_CURRENT;
            break;
        case FROM_END:
            streamOrigin = BasicFile::ORIGIN_END;
            break;
        default:
            break;
    }
    if (!m_stream.seek(offset, streamOrigin, BasicFile::SIDE_LAST)) {
        BROLIX_THROW(FileException, FileException::FL_POSITION, m_name);
    }
    m_position = m_stream.tell(BasicFile::SIDE_LAST);
    return m_position;
}

int64_t FilePlain::tell() {
    // A closed file has no stream position; it reports the recorded one (0).
    if (m_stream.isClosed()) return m_position;
    m_position = m_stream.tell(BasicFile::SIDE_LAST);
    return m_position;
}

bool FilePlain::isEOF() { return m_stream.isAtEnd(BasicFile::SIDE_LAST); }

}  // namespace Brolix
