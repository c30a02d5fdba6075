/// FilePlain is the FileBase for ordinary files. It reads and writes through
/// one BasicFile and adds the library's file discipline: access-flag checks, an
/// optional lock, and the safe update.
///
/// Safe update (ACCESS_WRITE with locking and without ACCESS_UNSAFE): open
/// copies an existing target to "name.tmp" and all reading and writing goes
/// there; the target itself keeps its earlier content, held open by the lock.
/// close moves the temporary file onto the target (up to 10 attempts with a
/// pause of 2 s after each failure); abort removes it, so the target is left as
/// it was. A write-only opening without ACCESS_APPEND starts from an empty
/// temporary file; ACCESS_APPEND or ACCESS_READ with ACCESS_WRITE keep the
/// copied content. A process that stops in between leaves the target untouched
/// and the partial update in "name.tmp".
#pragma once

#include <string>

#include "BasicFile.h"
#include "FileBase.h"

namespace Brolix {

class FilePlain : public FileBase {
public:
    /// Attempts of the final replacement and the pause after each failed one.
    static constexpr int UPDATE_ATTEMPTS = 10;
    static constexpr uint32_t UPDATE_PAUSE_MS = 2000;

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

    /// The code of a line holding a control character.
    static constexpr uint32_t FL_CONTROL_CHARACTER = 27;

private:
    /// The FL_WRITE message: path, stream error and stream mode.
    std::string streamMessage() const;
    /// Moves the temporary file onto the target; FL_RENAME when it cannot.
    void commitUpdate();

    BasicFile m_stream;
};

}  // namespace Brolix
