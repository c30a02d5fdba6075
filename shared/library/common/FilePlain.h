/// FilePlain is the FileBase for ordinary files. It reads and writes through
/// one BasicFile and adds the library's file discipline: access-flag checks, an
/// optional lock, and the safe update.
///
/// Safe update (ACCESS_WRITE with locking and without ACCESS_UNSAFE): open takes
/// the lock, makes "name.tmp" anew (never through a link planted under that
/// name) and all reading and writing goes there; the target itself keeps its
/// earlier content, held open by the lock. A write-only opening without
/// ACCESS_APPEND starts from an empty temporary file; ACCESS_APPEND or
/// ACCESS_READ with ACCESS_WRITE start from a copy of the target.
///
/// close commits: the data is flushed to the disk, then, while the lock is still
/// held, the temporary file replaces the target in one rename (up to 10 attempts
/// with a pause of 2 s after each failure), and only then is the lock given up.
/// A write or flush that failed during the opening, or data that cannot reach
/// the disk at close, makes close throw FL_CANNOT_CLOSE and discard the update;
/// abort discards it too. So the target only ever holds its whole earlier
/// content or the whole new one, for readers and after a crash alike; a process
/// that stops in between leaves the target untouched and the partial update in
/// "name.tmp", which the next safe opening replaces.
#pragma once

#include <string>

#include "BasicFile.h"
#include "FileBase.h"

namespace Brolix {

class FilePlain : public FileBase {
public:
    explicit FilePlain(const std::string& path);
    /// Closes an open file (committing a safe update); errors are swallowed.
    ~FilePlain() override;

    void open(uint16_t access) override;
    void close() override;
    void abort() override;
    bool readText(std::string& text, uint64_t count) override;
    /// Copies the bytes read into `buffer` followed by a zero byte: the caller
    /// provides count + 1 bytes.
    uint64_t readBytes(char* buffer, uint64_t count) override;
    bool writeText(const std::string& text) override;
    uint64_t writeBytes(const char* buffer, uint64_t count) override;
    /// A line holding a control character other than tab, carriage return and
    /// line feed throws FileException with code 27.
    std::string readLine() override;
    void writeLine(const std::string& text) override;
    void flush() override;
    int64_t seek(int64_t offset, int origin) override;
    int64_t tell() override;
    bool isEOF() override;
    void finishWriting() override;

    /// The code of a line holding a control character.
    static constexpr uint32_t FL_CONTROL_CHARACTER = 27;

private:
    /// The FL_WRITE message: path, stream error and stream mode.
    std::string streamMessage() const;
    /// Marks the opening as failed and throws FL_WRITE.
    [[noreturn]] void writeFailed();
    /// Makes the temporary file of a safe update, with a copy of the target
    /// when the opening keeps its content.
    void openTemporary(uint16_t access, uint32_t mode, bool existed);
    void finishOpening(uint16_t access);
    /// Removes a safe update's temporary file and gives the lock up.
    void discardUpdate();

    BasicFile m_stream;
    /// A write or flush of this opening failed: its content is not whole.
    bool m_failed = false;
};

}  // namespace Brolix
