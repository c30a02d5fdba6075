#include "FilePlain.h"

#include <cstring>

#include "FileException.h"
#include "FileOps.h"
#include "TimeException.h"

namespace Brolix {

FilePlain::FilePlain(const std::string& path) : FileBase(path, KIND_PLAIN) {}

FilePlain::~FilePlain() {
    if (m_closed && !m_awaitingCommit) return;
    try {
        close();
    } catch (...) {
        // A destructor reports nothing; the object goes either way.
    }
}

void FilePlain::writeFailed() {
    // The stream dropped what it could not write: the opening can no longer
    // produce the whole content.
    if (!m_closed && m_stream.getError() == BasicFile::BF_WRITE) m_failed = true;
    BROLIX_THROW(FileException, FileException::FL_WRITE, streamMessage());
}

std::string FilePlain::streamMessage() const {
    return m_name + " - BFile error: " + std::to_string(m_stream.getError()) +
           " - Access: " + std::to_string(m_stream.getMode());
}

namespace {

/// The stream mode of an opening, 0 when it neither reads nor writes.
uint32_t streamMode(uint16_t access) {
    const bool reading = (access & FileBase::ACCESS_READ) != 0;
    const bool writing = (access & FileBase::ACCESS_WRITE) != 0;
    if (reading && writing) {
        if (access & FileBase::ACCESS_APPEND) return BasicFile::MODE_READ_APPEND;
        if (access & FileBase::ACCESS_TRUNCATE) return BasicFile::MODE_READ_WRITE_TRUNCATE;
        return BasicFile::MODE_READ_WRITE;
    }
    if (reading) return BasicFile::MODE_READ;
    if (writing) return (access & FileBase::ACCESS_APPEND) ? BasicFile::MODE_APPEND : BasicFile::MODE_WRITE;
    return BasicFile::MODE_CLOSED;
}

constexpr uint64_t COPY_PIECE = 64 * 1024;

}  // namespace

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
    // Whatever an earlier opening left, this one starts afresh.
    m_tmpMode = false;
    m_failed = false;
    m_createdTarget = false;
    chooseTarget(writing);
    const bool existed = fileExists(m_path);
    if (reading && !writing && !existed) {
        BROLIX_THROW(FileException, FileException::FL_EXISTS_NOT, m_name + "-->File does not exist.");
    }
    const uint32_t mode = streamMode(access);
    if (mode == BasicFile::MODE_CLOSED) BROLIX_THROW(FileException, FileException::FL_ACCESS_COMB, m_name);
    // A directory is never written over, not even by a safe update's rename.
    if (writing && existed && isDirectory(m_path))
        BROLIX_THROW(FileException, FileException::FL_CANNOT_OPEN, m_name);

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
        // The lock comes first: the update starts from the target as it is
        // while nobody else may change it.
        if (!m_lock->lockFor(m_lockTimeout, safe)) {
            // Another writer may have taken the lock in the meantime.
            const bool taken = m_lock->isPresent();
            m_lock.reset();
            BROLIX_THROW(FileException, taken ? FileException::FL_IS_LOCKED : FileException::FL_CANNOT_LOCK, m_name);
        }
        if (safe) {
            m_tmpMode = true;
            openTemporary(access, mode, existed);
            finishOpening(access);
            return;
        }
    }

    if (!m_stream.open(m_path, mode)) {
        // Read-write needs an existing file; ACCESS_CREATE makes a missing one.
        const bool create = mode == BasicFile::MODE_READ_WRITE && (access & ACCESS_CREATE) && !existed;
        if (!create || !m_stream.create(m_path, mode)) {
            releaseLock();
            BROLIX_THROW(FileException, FileException::FL_CANNOT_OPEN, m_name);
        }
    }
    m_createdTarget = writing && !existed;
    finishOpening(access);
}

void FilePlain::openTemporary(uint16_t access, uint32_t mode, bool existed) {
    const std::string tmp = tmpName();
    // The new content will replace the target: the temporary file gets the
    // target's access rights before it holds a byte, so it is never more open
    // than the target, and from now on it is reached only through what its
    // creation handed out.
    const bool missingForReadWrite =
        mode == BasicFile::MODE_READ_WRITE && !existed && !(access & ACCESS_CREATE);
    if (missingForReadWrite || !createTemporary(existed) || !m_stream.openNew(*m_newFile, mode)) {
        releaseLock();
        m_tmpMode = false;
        BROLIX_THROW(FileException, FileException::FL_CANNOT_OPEN, tmp);
    }
    // A writer that keeps the content (appending, or reading too) starts from
    // a copy of the target; one that only writes starts from nothing.
    const bool keep =
        existed && (access & (ACCESS_READ | ACCESS_APPEND)) && mode != BasicFile::MODE_READ_WRITE_TRUNCATE;
    if (!keep) return;
    BasicFile source;
    bool copied = source.open(m_path, BasicFile::MODE_READ);
    std::string piece;
    while (copied && !source.isAtEnd(BasicFile::SIDE_LAST)) {
        copied = source.read(piece, COPY_PIECE) && m_stream.write(piece);
    }
    source.close();
    if (copied && mode == BasicFile::MODE_READ_WRITE) {
        copied = m_stream.seek(0, BasicFile::ORIGIN_BEGIN, BasicFile::SIDE_BOTH);
    }
    if (!copied) {
        // Without the whole copy the update would start from a part of the
        // target and then replace it: nothing of the opening stays.
        m_stream.close();
        releaseLock();
        m_tmpMode = false;
        BROLIX_THROW(FileException, FileException::FL_CANNOT_COPY, m_name);
    }
}

void FilePlain::finishOpening(uint16_t access) {
    m_closed = false;
    m_access = access;
    m_position = 0;
    if (access & ACCESS_APPEND) m_position = seek(0, FROM_END);
}

void FilePlain::close() {
    finishWriting();
    commitWaiting(false, true);
}

void FilePlain::finishWriting() {
    if (m_closed) return;
    // Everything written must be in the file before it counts: a write or
    // flush that failed in this opening, or buffered data that cannot be
    // written now, fails the close, and a safe update is then not committed.
    bool whole = !m_failed;
    if (whole && m_tmpMode) whole = m_stream.flush();
    whole = m_stream.close() && whole;
    m_closed = true;
    m_access = 0;
    m_position = 0;
    if (!whole) {
        discardUpdate();
        BROLIX_THROW(FileException, FileException::FL_CANNOT_CLOSE, m_name);
    }
    m_awaitingCommit = true;
}

void FilePlain::discardUpdate() {
    if (m_tmpMode) discardTemporary();
    if (holdsLock()) m_lock->unlock();
}

void FilePlain::abort() {
    if (m_closed) {
        discardWaiting();
        return;
    }
    m_stream.close();
    const bool held = holdsLock();
    m_closed = true;
    m_access = 0;
    m_position = 0;
    if (m_tmpMode) discardTemporary();
    if (held && m_createdTarget) removeFile(m_path, false);
    if (held && !m_lock->unlock()) BROLIX_THROW(FileException, FileException::FL_CANNOT_UNLOCK, m_name);
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
    if (!m_stream.write(text)) writeFailed();
    return true;
}

uint64_t FilePlain::writeBytes(const char* buffer, uint64_t count) {
    if (m_closed) BROLIX_THROW(FileException, FileException::FL_IS_CLOSED, m_name);
    if (!(m_access & ACCESS_WRITE)) BROLIX_THROW(FileException, FileException::FL_CANNOT_WRITE, m_name);
    if (!m_stream.write(buffer, count)) writeFailed();
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
    if (!m_stream.writeLine(text)) writeFailed();
}

void FilePlain::flush() {
    if (m_closed) BROLIX_THROW(FileException, FileException::FL_IS_CLOSED, m_name);
    if (!(m_access & ACCESS_WRITE)) BROLIX_THROW(FileException, FileException::FL_CANNOT_WRITE, m_name);
    if (!m_stream.flush()) {
        m_failed = true;
        BROLIX_THROW(FileException, FileException::FL_FLUSH, m_name);
    }
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
