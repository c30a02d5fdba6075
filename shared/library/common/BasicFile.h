/// BasicFile is the library's thin file object over a standard byte stream. It
/// never throws: every operation returns success or failure and leaves a numeric
/// error code (getError) that the file classes put into their messages.
///
/// Besides the stream it keeps the size of the file (measured when opened and
/// grown by every write that extends it), the side of the last operation (read or
/// write) with the position after it, and an end-of-file flag of its own. The
/// stream's own error state is always cleared after a failure, so the object
/// stays usable.
///
/// The stream has one position for reading and writing; the read and write
/// "sides" therefore share it. In the appending modes every write lands at the
/// end of the file whatever the position; the position starts at 0 in every mode.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace Brolix {

namespace platform {
class NewFile;
}

class BasicFile {
public:
    /// Open modes; 0 means closed.
    enum Mode : uint32_t {
        MODE_CLOSED = 0,
        MODE_READ = 1,                ///< read only; the file must exist
        MODE_WRITE = 2,               ///< write only; empties or creates the file
        MODE_APPEND = 3,              ///< write only, every write at the end; creates the file
        MODE_READ_WRITE = 4,          ///< read and write; the file must exist, content kept
        MODE_READ_WRITE_TRUNCATE = 5, ///< read and write; emptied or created on opening
        MODE_READ_APPEND = 6,         ///< read and write, every write at the end; creates the file
    };

    /// Result of the last operation (each operation first resets it to BF_NONE).
    enum Error : int {
        BF_NONE = 0,
        BF_NOT_OPEN = 1,
        BF_IS_OPEN = 2,
        BF_BAD_MODE = 3,
        BF_OPEN = 4,
        BF_BAD_ORIGIN = 5,
        BF_NOT_READABLE = 6,
        BF_READ = 7,
        BF_NOT_WRITABLE = 8,
        BF_WRITE = 9,
        BF_AT_EOF = 10,
        BF_NO_SIDE = 11,
        BF_SEEK = 12,
        BF_CONTROL_CHAR = 13,
    };

    /// Sides of seek, tell and isAtEnd. SIDE_LAST follows the last operation;
    /// SIDE_NONE is the side before any operation decided one.
    enum Side : int { SIDE_READ = 0, SIDE_WRITE = 1, SIDE_LAST = 2, SIDE_BOTH = 3, SIDE_NONE = 4 };

    /// Seek origins. Note the order: the end comes before the current position.
    enum Origin : int { ORIGIN_BEGIN = 0, ORIGIN_END = 1, ORIGIN_CURRENT = 2 };

    BasicFile();
    BasicFile(const BasicFile&) = delete;
    BasicFile& operator=(const BasicFile&) = delete;
    /// Closes an open stream.
    virtual ~BasicFile();

    /// Opens `path` in `mode`. Mode 0 succeeds without opening anything.
    bool open(const std::string& path, uint32_t mode);
    /// Creates the file `path`, which must not exist yet (a symbolic link of that
    /// name counts as existing and is never followed), and opens it in `mode`,
    /// one of the writable modes; the file starts empty. BF_OPEN when it cannot.
    bool create(const std::string& path, uint32_t mode);
    /// Opens a stream on `file`, a new file made for a safe update, in `mode`,
    /// one of the writable modes; the stream is the object's own, closing it
    /// leaves `file`'s hold. BF_OPEN when it cannot.
    bool openNew(platform::NewFile& file, uint32_t mode);
    /// Closes the stream. False (BF_WRITE) when buffered data could not be
    /// written; the object is closed in either case. Closing a closed object
    /// succeeds.
    bool close();

    /// Reads up to `count` bytes (never beyond the size) into `text`, which is
    /// emptied first. Success with fewer bytes at the end of the file.
    bool read(std::string& text, uint64_t count);
    /// The next line without its line feed; carriage returns are dropped. A line
    /// holding another control character (tab excepted) is consumed whole and
    /// gives "" with BF_CONTROL_CHAR.
    std::string readLine();

    bool write(const std::string& text);
    bool write(const void* data, uint64_t count);
    /// The text followed by "\n".
    bool writeLine(const std::string& text);
    /// Pushes buffered data to the system; BF_WRITE when the system refuses it.
    bool flush();

    bool seek(int64_t offset, int origin, int side);
    /// The position on `side`; -1 when the file is not open.
    int64_t tell(int side);
    bool isAtEnd(int side);
    /// The size; -1 when the file is not open.
    int64_t getSize();

    int getError() const { return m_error; }
    uint32_t getMode() const { return m_mode; }
    bool isClosed() const { return m_mode == MODE_CLOSED; }
    const std::string& getPath() const { return m_path; }

private:
    /// The checks of create and openNew: the object is closed and `mode` is a
    /// writable mode (BF_IS_OPEN, BF_BAD_MODE otherwise).
    bool mayCreate(uint32_t mode);
    /// The common part of open and create: takes over `stream` and measures it.
    bool adopt(std::FILE* stream, const std::string& path, uint32_t mode);
    bool readable() const;
    bool writable() const;
    /// The C stream needs a reposition between a write and a following read
    /// (and the other way round); this does it when the direction changes.
    void prepareFor(int side);
    /// Brings the stream back to the stored position after a failure.
    void restorePosition();
    /// Asks the stream for a position that an appending write left unknown.
    void syncPosition();

    std::string m_path;
    std::FILE* m_stream;
    uint32_t m_mode;
    int64_t m_size;
    int64_t m_position;
    int m_side;
    bool m_eof;
    int m_error;
    int m_direction;  ///< side of the last transfer on the stream, SIDE_NONE after a seek
    /// An appending write moved the position to the end of the file; it is
    /// asked for only when needed (asking costs a system call each time).
    bool m_positionStale;
};

}  // namespace Brolix
