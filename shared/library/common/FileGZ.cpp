#include "FileGZ.h"

#include <algorithm>
#include <new>

#include "BasicFile.h"
#include "FileException.h"
#include "FileOps.h"
#include "TimeException.h"
#include "platform/NativePath.h"
#include "platform/Stream.h"

namespace Brolix {

namespace {

/// zlib transfers at most an unsigned int at a time; larger requests go in
/// pieces of this size.
constexpr uint64_t GZ_PIECE = 1u << 30;
/// Writes go to zlib in pieces smaller than its buffer (8 KiB), which it then
/// copies into that buffer. A larger piece it compresses straight from the
/// caller's memory, and when the system refuses the write (a full disk) zlib
/// keeps pointing into that memory, which it reads again when the file is
/// closed, long after the caller has let it go.
constexpr uint64_t GZ_WRITE_PIECE = 4096;

/// Pieces of the append copy and of readText.
constexpr uint64_t COPY_PIECE = 1024;
constexpr uint64_t TEXT_PIECE = 64 * 1024;

const char* const ORIG_SUFFIX = ".orig.copy";

}  // namespace

FileGZ::FileGZ(const std::string& path) : FileBase(path, KIND_GZ), m_handle(nullptr), m_size(-1) {}

FileGZ::~FileGZ() {
    if (m_closed && !m_awaitingCommit) return;
    try {
        close();
    } catch (...) {
        // A destructor reports nothing; the object goes either way.
    }
}

int64_t FileGZ::readTrailerSize(const std::string& path) const {
    BasicFile file;
    if (!file.open(path, BasicFile::MODE_READ))
        BROLIX_THROW(FileException, FileException::FL_CANNOT_OPEN, path);
    if (!file.seek(-4, BasicFile::ORIGIN_END, BasicFile::SIDE_READ)) {
        BROLIX_THROW(FileException, FileException::FL_POSITION, path);
    }
    std::string trailer;
    if (!file.read(trailer, 4) || trailer.size() != 4)
        BROLIX_THROW(FileException, FileException::FL_READ, path);
    file.close();
    // The uncompressed length modulo 4 GiB, little-endian and unsigned.
    uint32_t size = 0;
    for (int i = 3; i >= 0; --i) size = (size << 8) | static_cast<unsigned char>(trailer[i]);
    return static_cast<int64_t>(size);
}

void FileGZ::open(uint16_t access) {
    if (!m_closed) BROLIX_THROW(FileException, FileException::FL_IS_OPEN, m_name);
    const bool reading = (access & ACCESS_READ) != 0;
    const bool writing = (access & ACCESS_WRITE) != 0;
    if (reading && writing) {
        BROLIX_THROW(FileException, FileException::FL_ACCESS_COMB,
                     "Cannot open gzip file: " + m_name + "\tfor both reading and writing.");
    }
    if (!reading && !writing && !(access & ACCESS_UNSAFE)) {
        BROLIX_THROW(
            FileException, FileException::FL_ACCESS_COMB,
            "Only ACCESS_READ or ACCESS_WRITE or ACCESS_WRITE + ACCESS_UNSAFE allowed for gzip file: " +
                m_name);
    }
    if (reading && !fileExists(m_name)) BROLIX_THROW(FileException, FileException::FL_EXISTS_NOT, m_name);
    chooseTarget(!reading);
    // Whatever an earlier opening left, this one starts afresh.
    m_tmpMode = false;
    m_failed = false;
    m_createdTarget = false;
    m_origCopy.clear();
    // A directory is never written over or moved aside.
    if (!reading && isDirectory(m_path)) BROLIX_THROW(FileException, FileException::FL_CANNOT_OPEN, m_name);

    if (writing && !(access & ACCESS_NOLOCK)) {
        try {
            makeLock(FileException::FL_CANNOT_LOCK);
        } catch (TimeException& e) {
            e.addLocation(__FILE__, __LINE__);
            throw e;
        }
        if (m_lock->isPresent() && !m_lock->unlock()) {
            m_lock.reset();
            BROLIX_THROW(FileException, FileException::FL_IS_LOCKED, m_name);
        }
        if (!m_lock->lockFor(m_lockTimeout, true)) {
            // Another writer may have taken the lock in the meantime.
            const bool taken = m_lock->isPresent();
            m_lock.reset();
            BROLIX_THROW(FileException, taken ? FileException::FL_IS_LOCKED : FileException::FL_CANNOT_LOCK, m_name);
        }
        m_tmpMode = !(access & ACCESS_UNSAFE);
    }

    if (reading) {
        m_size = readTrailerSize(m_path);
        m_handle = gzopen(platform::toNativePath(m_path).c_str(), "rb");
        if (m_handle == nullptr) BROLIX_THROW(FileException, FileException::FL_CANNOT_OPEN, m_name);
    } else if (m_tmpMode) {
        openTemporary(access);
    } else {
        openTarget(access);
    }
    m_closed = false;
    m_access = access;
    m_position = 0;
    if (reading) return;
    m_size = 0;
    const std::string oldContent = m_tmpMode ? m_path : m_origCopy;
    if ((access & ACCESS_APPEND) && !oldContent.empty() && fileExists(oldContent)) {
        try {
            copyOldContent(oldContent);
        } catch (FileException& e) {
            gzclose(m_handle);
            m_handle = nullptr;
            m_closed = true;
            m_access = 0;
            try {
                discard();
            } catch (...) {
                // The copy's failure is the one to report.
            }
            e.addLocation(__FILE__, __LINE__);
            throw e;
        }
    }
}

void FileGZ::openTemporary(uint16_t access) {
    (void)access;
    const std::string tmp = tmpName();
    // The temporary file is always made anew, never through a link planted
    // under its name, with the target's access rights before it holds a byte.
    // The target stays as it is until the update is committed, so an
    // appending opening reads the old content from the target itself.
    const int fd = createTemporary(fileExists(m_path)) ? m_newFile->duplicate() : -1;
    m_handle = fd < 0 ? nullptr : gzdopen(fd, "wb");
    if (m_handle == nullptr) {
        if (fd >= 0) platform::closeFile(fd);
        releaseLock();
        m_tmpMode = false;
        BROLIX_THROW(FileException, FileException::FL_CANNOT_OPEN, tmp);
    }
}

void FileGZ::openTarget(uint16_t access) {
    // The target is written directly, so the lock's hold on it serves nothing;
    // and where the system refuses to move a file that is open (Windows), the
    // hold would keep the target from being set aside or put back below.
    if (holdsLock()) m_lock->releaseTarget();
    const std::string orig = m_path + ORIG_SUFFIX;
    // An old copy beside the target means that an append was cut short (the
    // process stopped, or putting the copy back failed): the copy is the whole
    // old content and the target an unfinished rebuild, so the copy comes back
    // before anything else happens. It is never overwritten.
    if (fileExists(orig) && !moveFile(orig, m_path, true)) {
        releaseLock();
        BROLIX_THROW(FileException, FileException::FL_CANNOT_OPEN, m_name);
    }
    const bool existed = fileExists(m_path);
    if ((access & ACCESS_CREATE) && !existed) {
        gzFile created = gzopen(platform::toNativePath(m_path).c_str(), "wb");
        if (created != nullptr && gzclose(created) == Z_OK) m_createdTarget = true;
    }
    // An append sets the old file aside until the new one is complete: a
    // failure at any point, or a stop, leaves the old content in the copy.
    if ((access & ACCESS_APPEND) && existed) {
        if (!moveFile(m_path, orig, false)) {
            releaseLock();
            BROLIX_THROW(FileException, FileException::FL_CANNOT_OPEN, m_name);
        }
        m_origCopy = orig;
    }
    m_handle = gzopen(platform::toNativePath(m_path).c_str(), "wb");
    if (m_handle == nullptr) {
        discard();
        BROLIX_THROW(FileException, FileException::FL_CANNOT_OPEN, m_name);
    }
}

void FileGZ::copyOldContent(const std::string& oldPath) {
    FileGZ old(oldPath);
    old.open(ACCESS_READ);
    try {
        if (getFileSize(oldPath) != 0) {
            std::string piece;
            while (!old.isEOF()) {
                old.readText(piece, COPY_PIECE);
                if (writeRaw(piece.data(), piece.size()) != piece.size()) {
                    BROLIX_THROW(FileException, FileException::FL_WRITE, m_name);
                }
            }
        }
    } catch (FileException&) {
        try {
            old.close();
        } catch (...) {
        }
        throw;
    }
    old.close();
}

void FileGZ::close() {
    finishWriting();
    commitWaiting(false, true);
}

void FileGZ::finishWriting() {
    if (m_closed) return;
    const int rc = gzclose(m_handle);
    m_handle = nullptr;
    m_closed = true;
    m_access = 0;
    m_position = 0;
    // The new file counts only when all of it is written (and, written in
    // place, on the disk).
    bool whole = rc == Z_OK && !m_failed;
    if (whole && !m_origCopy.empty()) whole = flushFile(m_path);
    if (!whole) {
        discard();
        BROLIX_THROW(FileException, FileException::FL_CANNOT_CLOSE, m_name);
    }
    if (!m_origCopy.empty()) {
        const std::string orig = m_origCopy;
        m_origCopy.clear();
        if (!removeFile(orig, true)) {
            if (holdsLock()) m_lock->unlock();
            BROLIX_THROW(FileException, FileException::FL_REMOVE, orig);
        }
    }
    m_awaitingCommit = true;
}

void FileGZ::abort() {
    if (m_closed) {
        discardWaiting();
        return;
    }
    const int rc = gzclose(m_handle);
    m_handle = nullptr;
    m_closed = true;
    m_access = 0;
    m_position = 0;
    discard();
    if (rc != Z_OK) BROLIX_THROW(FileException, FileException::FL_CANNOT_CLOSE, m_name);
}

void FileGZ::discard() {
    if (m_tmpMode) discardTemporary();
    if (!m_origCopy.empty()) {
        // The old content goes back; if even that fails, the copy stays and
        // the next opening puts it back.
        moveFile(m_origCopy, m_path, true);
        m_origCopy.clear();
    } else if (m_createdTarget) {
        removeFile(m_path, false);
    }
    m_createdTarget = false;
    if (m_lock) {
        const bool held = m_lock->isPresent();
        if (held && !m_lock->unlock()) BROLIX_THROW(FileException, FileException::FL_CANNOT_UNLOCK, m_name);
    }
}

bool FileGZ::readText(std::string& text, uint64_t count) {
    text.clear();
    try {
        // Grown piece by piece, so a large count costs only what the file holds.
        // The end of the data ends the text, as it does for a plain file; a
        // damaged stream is an error, which isEOF tells apart from the end.
        while (text.size() < count && !isEOF()) {
            const uint64_t wanted = std::min<uint64_t>(count - text.size(), TEXT_PIECE);
            const size_t start = text.size();
            text.resize(start + static_cast<size_t>(wanted));
            uint64_t got = 0;
            try {
                got = readBytes(&text[start], wanted);
            } catch (...) {
                text.resize(start);
                throw;
            }
            text.resize(start + static_cast<size_t>(got));
        }
    } catch (const std::bad_alloc&) {
        BROLIX_THROW(FileException, FileException::FL_MEM, "Unable to read from the file: " + m_name);
    } catch (FileException& e) {
        e.addLocation(__FILE__, __LINE__);
        throw e;
    }
    return text.size() == count;
}

uint64_t FileGZ::readBytes(char* buffer, uint64_t count) {
    if (m_closed) BROLIX_THROW(FileException, FileException::FL_IS_CLOSED, m_name);
    if (!(m_access & ACCESS_READ)) BROLIX_THROW(FileException, FileException::FL_READ, m_name);
    if (isEOF()) BROLIX_THROW(FileException, FileException::FL_EOF, m_name);
    uint64_t total = 0;
    while (total < count) {
        const unsigned piece = static_cast<unsigned>(std::min(count - total, GZ_PIECE));
        const int got = gzread(m_handle, buffer + total, piece);
        if (got < 0) BROLIX_THROW(FileException, FileException::FL_READ, m_name);
        total += static_cast<uint64_t>(got);
        m_position += got;
        if (static_cast<unsigned>(got) < piece) break;
    }
    return total;
}

bool FileGZ::writeText(const std::string& text) {
    try {
        return writeBytes(text.data(), text.size()) == text.size();
    } catch (FileException& e) {
        e.addLocation(__FILE__, __LINE__);
        throw e;
    }
}

uint64_t FileGZ::writeBytes(const char* buffer, uint64_t count) {
    if (m_closed) BROLIX_THROW(FileException, FileException::FL_IS_CLOSED, m_name);
    if (!(m_access & ACCESS_WRITE)) BROLIX_THROW(FileException, FileException::FL_CANNOT_WRITE, m_name);
    return writeRaw(buffer, count);
}

uint64_t FileGZ::writeRaw(const char* buffer, uint64_t count) {
    uint64_t total = 0;
    while (total < count) {
        const unsigned piece = static_cast<unsigned>(std::min(count - total, GZ_WRITE_PIECE));
        const int written = gzwrite(m_handle, buffer + total, piece);
        if (written <= 0) {
            // What zlib could not write is gone: the file cannot become whole.
            m_failed = true;
            BROLIX_THROW(FileException, FileException::FL_WRITE, m_name);
        }
        total += static_cast<uint64_t>(written);
        m_position += written;
        m_size += written;
    }
    return total;
}

std::string FileGZ::readLine() {
    if (m_closed) BROLIX_THROW(FileException, FileException::FL_IS_CLOSED, m_name);
    if (!(m_access & ACCESS_READ)) BROLIX_THROW(FileException, FileException::FL_CANNOT_READ, m_name);
    if (isEOF()) BROLIX_THROW(FileException, FileException::FL_EOF, m_name);
    std::string line;
    for (;;) {
        const int c = gzgetc(m_handle);
        if (c < 0) {
            if (isEOF()) break;
            BROLIX_THROW(FileException, FileException::FL_READ, m_name);
        }
        ++m_position;
        if (c == '\n') break;
        line.push_back(static_cast<char>(c));
    }
    return line;
}

void FileGZ::writeLine(const std::string& text) {
    try {
        writeBytes(text.data(), text.size());
        writeBytes("\n", 1);
    } catch (FileException& e) {
        e.addLocation(__FILE__, __LINE__);
        throw e;
    }
}

void FileGZ::flush() {}

int64_t FileGZ::seek(int64_t offset, int origin) {
    if (m_closed) BROLIX_THROW(FileException, FileException::FL_IS_CLOSED, m_name);
    switch (origin) {
        case FROM_CURRENT: {
            if (offset == 0) return m_position;
            if (offset > 0) {
                const z_off_t result = gzseek(m_handle, static_cast<z_off_t>(offset), SEEK_CUR);
                if (result < 0) BROLIX_THROW(FileException, FileException::FL_POSITION, m_name);
                m_position = gztell(m_handle);
                if (m_position > m_size && !(m_access & ACCESS_READ)) m_size = m_position;
                return m_position;
            }
            const uint64_t back = 0 - static_cast<uint64_t>(offset);
            if (back > static_cast<uint64_t>(m_position)) {
                BROLIX_THROW(FileException, FileException::FL_ERROR, "FileGZ seek underflow.");
            }
            return seekTo(m_position - static_cast<int64_t>(back));
        }
        case FROM_BEGIN:
            return seekTo(offset);
        case FROM_END: {
            const uint64_t back =
                offset < 0 ? 0 - static_cast<uint64_t>(offset) : static_cast<uint64_t>(offset);
            if (m_size < 0 || back > static_cast<uint64_t>(m_size)) {
                BROLIX_THROW(FileException, FileException::FL_ERROR, "FileGZ seek overflow.");
            }
            return seekTo(m_size - static_cast<int64_t>(back));
        }
        default:
            BROLIX_THROW(FileException, FileException::FL_POSITION, m_name);
    }
}

int64_t FileGZ::seekTo(int64_t target) {
    const bool reading = (m_access & ACCESS_READ) != 0;
    if (target < m_position && !reading) {
        BROLIX_THROW(FileException, FileException::FL_ERROR, "FileGZ negative seek for FILE_WRITE.");
    }
    if (gzseek(m_handle, static_cast<z_off_t>(target), SEEK_SET) < 0) {
        BROLIX_THROW(FileException, FileException::FL_POSITION, m_name);
    }
    m_position = gztell(m_handle);
    // Writing forwards fills the gap with zero bytes, which the file then holds.
    if (!reading && m_position > m_size) m_size = m_position;
    return m_position;
}

bool FileGZ::isEOF() {
    if (m_closed) BROLIX_THROW(FileException, FileException::FL_IS_CLOSED, m_name);
    if (!(m_access & ACCESS_READ)) return m_position == m_size;
    // The data decides: one byte is looked at and put back.
    const int c = gzgetc(m_handle);
    if (c >= 0) {
        gzungetc(c, m_handle);
        return false;
    }
    // A damaged or cut-off stream is an error, not an end.
    int error = Z_OK;
    gzerror(m_handle, &error);
    if (error != Z_OK || !gzeof(m_handle)) BROLIX_THROW(FileException, FileException::FL_READ, m_name);
    // At the real end: position and size are what the file holds.
    m_position = gztell(m_handle);
    m_size = m_position;
    return true;
}

}  // namespace Brolix
