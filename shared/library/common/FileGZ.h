/// FileGZ is the FileBase for gzip-compressed files. Callers read and write
/// uncompressed bytes; positions and sizes count uncompressed bytes. A gzip file
/// is opened either for reading or for writing, never both.
///
/// Appending recompresses: a new file is written and the old content is copied
/// into it first. In a safe update the new file is "name.tmp" and the target
/// stays untouched until close commits. When the target is written directly
/// (ACCESS_UNSAFE or ACCESS_NOLOCK) the old file is set aside as
/// "name.orig.copy" until close has the new file whole on the disk; a failed
/// write, a failed close, abort or a failed opening puts it back, and an opening
/// that finds such a copy left by a stopped process puts it back first: the old
/// content is never lost, and the copy is never overwritten. After an appending
/// opening the position and the size both equal the number of uncompressed
/// bytes copied, so the next write lands after the old content.
///
/// A write that fails makes close throw FL_CANNOT_CLOSE and discard the new
/// file, as a close that cannot finish the compressed stream does.
///
/// The size of a file opened for reading comes from the gzip trailer (the
/// uncompressed length modulo 4 GiB). End of file is decided by the data itself,
/// so files of 4 GiB and more and files of several gzip members read back whole;
/// when the end is reached the size is corrected to the real length.
///
/// Locking and the safe update through "name.tmp" work as for FilePlain; the
/// lock always holds the target open.
#pragma once

#include <zlib.h>

#include <string>

#include "FileBase.h"

namespace Brolix {

class FileGZ : public FileBase {
public:
    explicit FileGZ(const std::string& path);
    /// Closes an open file (committing a safe update); errors are swallowed.
    ~FileGZ() override;

    void open(uint16_t access) override;
    void close() override;
    void abort() override;
    bool readText(std::string& text, uint64_t count) override;
    /// Reads up to `count` bytes into `buffer`; no zero byte is added.
    uint64_t readBytes(char* buffer, uint64_t count) override;
    bool writeText(const std::string& text) override;
    uint64_t writeBytes(const char* buffer, uint64_t count) override;
    /// The next line without its line feed; carriage returns stay in the line.
    std::string readLine() override;
    void writeLine(const std::string& text) override;
    /// Nothing to do: data reaches the file when it is closed.
    void flush() override;
    /// Reading seeks anywhere (backwards by decompressing again); writing only
    /// forwards, filling with zero bytes. From the end, the offset counts back
    /// from the end whatever its sign: size - |offset|.
    int64_t seek(int64_t offset, int origin) override;
    bool isEOF() override;
    void finishWriting() override;

    /// The uncompressed size as far as known: -1 before the first opening.
    int64_t getUncompressedSize() const { return m_size; }

private:
    /// The size recorded in the trailer of the gzip file at `path`.
    int64_t readTrailerSize(const std::string& path) const;
    /// Makes a safe update's temporary file anew.
    void openTemporary(uint16_t access);
    /// Opens the target itself, setting an appended target's old content aside.
    void openTarget(uint16_t access);
    /// Copies the old content of an appending opening from `oldPath`.
    void copyOldContent(const std::string& oldPath);
    /// Undoes what the opening made: the temporary file goes, an old copy comes
    /// back, a target the opening created goes, and the lock is given up.
    void discard();
    /// Writes without the access check (the append copy needs it).
    uint64_t writeRaw(const char* buffer, uint64_t count);
    int64_t seekTo(int64_t target);

    gzFile m_handle;
    int64_t m_size;
    /// A write of this opening failed: its content is not whole.
    bool m_failed = false;
    /// The old content of an append that writes the target directly.
    std::string m_origCopy;
};

}  // namespace Brolix
