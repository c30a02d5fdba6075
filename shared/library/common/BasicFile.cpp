#include "BasicFile.h"

#include <algorithm>

#include "platform/NewFile.h"
#include "platform/Stream.h"

namespace Brolix {

namespace {

const char* const STREAM_MODES[] = {nullptr, "rb", "wb", "ab", "r+b", "w+b", "a+b"};

constexpr size_t READ_PIECE = 1024;

int whenceOf(int origin) {
    switch (origin) {
        case BasicFile::ORIGIN_BEGIN:
            return SEEK_SET;
        case BasicFile::ORIGIN_END:
            return SEEK_END;
        default:
            return SEEK_CUR;
    }
}

}  // namespace

BasicFile::BasicFile()
    : m_stream(nullptr),
      m_mode(MODE_CLOSED),
      m_size(0),
      m_position(0),
      m_side(SIDE_NONE),
      m_eof(true),
      m_error(BF_NONE),
      m_direction(SIDE_NONE),
      m_positionStale(false) {}

BasicFile::~BasicFile() { close(); }

bool BasicFile::readable() const {
    return m_mode == MODE_READ || m_mode == MODE_READ_WRITE || m_mode == MODE_READ_WRITE_TRUNCATE ||
           m_mode == MODE_READ_APPEND;
}

bool BasicFile::writable() const { return m_mode >= MODE_WRITE && m_mode <= MODE_READ_APPEND; }

bool BasicFile::open(const std::string& path, uint32_t mode) {
    m_error = BF_NONE;
    if (!isClosed()) {
        m_error = BF_IS_OPEN;
        return false;
    }
    if (mode == MODE_CLOSED) return true;
    if (mode > MODE_READ_APPEND) {
        m_error = BF_BAD_MODE;
        return false;
    }
    return adopt(platform::openStream(path, STREAM_MODES[mode]), path, mode);
}

bool BasicFile::mayCreate(uint32_t mode) {
    m_error = BF_NONE;
    if (!isClosed()) {
        m_error = BF_IS_OPEN;
        return false;
    }
    if (mode == MODE_CLOSED || mode == MODE_READ || mode > MODE_READ_APPEND) {
        m_error = BF_BAD_MODE;
        return false;
    }
    return true;
}

bool BasicFile::create(const std::string& path, uint32_t mode) {
    return mayCreate(mode) && adopt(platform::createStream(path, STREAM_MODES[mode]), path, mode);
}

bool BasicFile::openNew(platform::NewFile& file, uint32_t mode) {
    return mayCreate(mode) && adopt(file.stream(STREAM_MODES[mode]), file.path(), mode);
}

bool BasicFile::adopt(std::FILE* stream, const std::string& path, uint32_t mode) {
    if (stream == nullptr) {
        m_error = BF_OPEN;
        return false;
    }
    // Measure the file. Some runtimes place appending streams at the end; every
    // mode starts at 0 here, so the flag is set exactly for an empty file.
    int64_t end = -1;
    if (platform::seekStream(stream, 0, SEEK_END)) end = platform::tellStream(stream);
    if (end < 0 || !platform::seekStream(stream, 0, SEEK_SET)) {
        // Not a seekable file (a pipe, a terminal): sizes and positions would be
        // meaningless.
        std::fclose(stream);
        m_error = BF_OPEN;
        return false;
    }
    m_stream = stream;
    m_path = path;
    m_mode = mode;
    m_size = end;
    m_position = 0;
    m_eof = (end == 0);
    m_side = (mode == MODE_READ) ? SIDE_READ : SIDE_WRITE;
    m_direction = SIDE_NONE;
    m_positionStale = false;
    return true;
}

bool BasicFile::close() {
    m_error = BF_NONE;
    if (isClosed()) return true;
    const int rc = std::fclose(m_stream);
    m_stream = nullptr;
    m_mode = MODE_CLOSED;
    m_side = SIDE_NONE;
    m_eof = true;
    m_direction = SIDE_NONE;
    m_positionStale = false;
    if (rc != 0) {
        m_error = BF_WRITE;
        return false;
    }
    return true;
}

void BasicFile::prepareFor(int side) {
    if (m_direction != SIDE_NONE && m_direction != side) platform::seekStream(m_stream, 0, SEEK_CUR);
    m_direction = side;
}

void BasicFile::syncPosition() {
    if (!m_positionStale) return;
    m_positionStale = false;
    const int64_t position = platform::tellStream(m_stream);
    if (position < 0) return;
    m_position = position;
    if (m_position > m_size) m_size = m_position;
}

void BasicFile::restorePosition() {
    std::clearerr(m_stream);
    platform::seekStream(m_stream, m_position, SEEK_SET);
    m_direction = SIDE_NONE;
}

bool BasicFile::read(std::string& text, uint64_t count) {
    m_error = BF_NONE;
    if (isClosed()) {
        m_error = BF_NOT_OPEN;
        return false;
    }
    if (!readable()) {
        m_error = BF_NOT_READABLE;
        return false;
    }
    if (count == 0) {
        text.clear();
        return true;
    }
    if (m_eof) {
        m_error = BF_AT_EOF;
        return false;
    }
    text.clear();
    syncPosition();
    const uint64_t remaining = m_size > m_position ? static_cast<uint64_t>(m_size - m_position) : 0;
    uint64_t wanted = std::min(count, remaining);
    prepareFor(SIDE_READ);
    char piece[READ_PIECE];
    bool failed = false;
    bool atEnd = false;
    while (wanted > 0) {
        const size_t size = static_cast<size_t>(std::min<uint64_t>(wanted, READ_PIECE));
        const size_t got = std::fread(piece, 1, size, m_stream);
        text.append(piece, got);
        wanted -= got;
        if (got < size) {
            failed = std::ferror(m_stream) != 0;
            atEnd = !failed;
            break;
        }
    }
    m_side = SIDE_READ;
    if (failed) {
        restorePosition();
        text.clear();
        m_error = BF_READ;
        return false;
    }
    if (atEnd) {
        m_eof = true;
        std::clearerr(m_stream);
        platform::seekStream(m_stream, 0, SEEK_END);
        m_direction = SIDE_NONE;
    }
    m_position = platform::tellStream(m_stream);
    if (m_position >= m_size) m_eof = true;
    return true;
}

std::string BasicFile::readLine() {
    m_error = BF_NONE;
    if (isClosed()) {
        m_error = BF_NOT_OPEN;
        return std::string();
    }
    if (!readable()) {
        m_error = BF_NOT_READABLE;
        return std::string();
    }
    if (m_eof) {
        m_error = BF_AT_EOF;
        return std::string();
    }
    syncPosition();
    prepareFor(SIDE_READ);
    std::string line;
    bool control = false;
    bool failed = false;
    bool atEnd = false;
    int64_t remaining = m_size - m_position;
    while (remaining > 0) {
        const int c = std::fgetc(m_stream);
        if (c == EOF) {
            failed = std::ferror(m_stream) != 0;
            atEnd = !failed;
            break;
        }
        --remaining;
        ++m_position;
        if (c == '\n') break;
        if (c == '\r') continue;
        if (c == '\t' || c >= 32) {
            if (!control) line.push_back(static_cast<char>(c));
        } else {
            control = true;
        }
    }
    m_side = SIDE_READ;
    if (failed) {
        restorePosition();
        m_error = BF_READ;
        return std::string();
    }
    if (atEnd) {
        m_eof = true;
        std::clearerr(m_stream);
    }
    if (m_position >= m_size) m_eof = true;
    if (control) {
        m_error = BF_CONTROL_CHAR;
        return std::string();
    }
    return line;
}

bool BasicFile::write(const std::string& text) { return write(text.data(), text.size()); }

bool BasicFile::write(const void* data, uint64_t count) {
    m_error = BF_NONE;
    if (isClosed()) {
        m_error = BF_NOT_OPEN;
        return false;
    }
    if (!writable()) {
        m_error = BF_NOT_WRITABLE;
        return false;
    }
    prepareFor(SIDE_WRITE);
    const size_t written = count == 0 ? 0 : std::fwrite(data, 1, static_cast<size_t>(count), m_stream);
    if (written != count) {
        m_side = SIDE_WRITE;
        std::clearerr(m_stream);
        syncPosition();
        restorePosition();
        m_error = BF_WRITE;
        return false;
    }
    m_side = SIDE_WRITE;
    if (m_mode == MODE_APPEND || m_mode == MODE_READ_APPEND) {
        // Every byte went to the end, so the file grew by all of them.
        m_size += static_cast<int64_t>(count);
        m_positionStale = true;
        return true;
    }
    m_position = platform::tellStream(m_stream);
    // The size counts what the file holds: a write over existing bytes does not
    // make it longer.
    if (m_position > m_size) m_size = m_position;
    return true;
}

bool BasicFile::writeLine(const std::string& text) {
    if (!write(text)) return false;
    return write("\n", 1);
}

bool BasicFile::flush() {
    m_error = BF_NONE;
    if (isClosed()) {
        m_error = BF_NOT_OPEN;
        return false;
    }
    if (!writable()) {
        m_error = BF_NOT_WRITABLE;
        return false;
    }
    if (std::fflush(m_stream) != 0) {
        std::clearerr(m_stream);
        m_error = BF_WRITE;
        return false;
    }
    return true;
}

bool BasicFile::seek(int64_t offset, int origin, int side) {
    m_error = BF_NONE;
    if (isClosed()) {
        m_error = BF_NOT_OPEN;
        return false;
    }
    if (side == SIDE_LAST) {
        if (m_side == SIDE_NONE) {
            m_error = BF_NO_SIDE;
            return false;
        }
        side = m_side;
    }
    if (side == SIDE_READ && !readable()) {
        m_error = BF_NOT_READABLE;
        return false;
    }
    if (side == SIDE_WRITE && !writable()) {
        m_error = BF_NOT_WRITABLE;
        return false;
    }
    if (side != SIDE_READ && side != SIDE_WRITE && side != SIDE_BOTH) {
        m_error = BF_NO_SIDE;
        return false;
    }
    if (origin != ORIGIN_BEGIN && origin != ORIGIN_END && origin != ORIGIN_CURRENT) {
        m_error = BF_BAD_ORIGIN;
        return false;
    }
    syncPosition();
    // Reading and writing share the stream's one position, so seeking both
    // sides is one move.
    if (!platform::seekStream(m_stream, offset, whenceOf(origin))) {
        restorePosition();
        m_error = BF_SEEK;
        return false;
    }
    m_direction = SIDE_NONE;
    m_position = platform::tellStream(m_stream);
    if (side == SIDE_BOTH) side = writable() ? SIDE_WRITE : SIDE_READ;
    m_side = side;
    m_eof = m_position >= m_size;
    return true;
}

int64_t BasicFile::tell(int side) {
    m_error = BF_NONE;
    if (isClosed()) {
        m_error = BF_NOT_OPEN;
        return -1;
    }
    syncPosition();
    if (side == SIDE_LAST || side == m_side) return m_position;
    if ((side == SIDE_READ && readable()) || (side == SIDE_WRITE && writable())) {
        return platform::tellStream(m_stream);
    }
    return m_position;
}

bool BasicFile::isAtEnd(int side) {
    if (side == SIDE_LAST || isClosed()) return m_eof;
    syncPosition();
    if ((side == SIDE_READ && readable()) || (side == SIDE_WRITE && writable())) {
        return platform::tellStream(m_stream) == m_size;
    }
    return m_eof;
}

int64_t BasicFile::getSize() {
    m_error = BF_NONE;
    if (isClosed()) {
        m_error = BF_NOT_OPEN;
        return -1;
    }
    return m_size;
}

}  // namespace Brolix
