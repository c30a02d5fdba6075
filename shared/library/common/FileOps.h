/// Whole-file operations that the file classes, the lock files and the logger
/// build on: existence, file information, attributes, copy, move with retries,
/// removal, and writing or appending a whole text. None of them throws; each
/// reports failure by its result and leaves the reporting to the caller. Only
/// moveFile keeps the system's error code (lastMoveError).
///
/// Pauses between retries go through one replaceable sleeper (setRetrySleeper),
/// so that tests count them instead of waiting.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "DateTime.h"

namespace Brolix {

/// Attribute bits of FileInfo.
enum FileAttributes : uint16_t {
    ATTRIBUTE_ARCHIVE = 0x0001,
    ATTRIBUTE_COMPRESSED = 0x0002,
    ATTRIBUTE_DIRECTORY = 0x0004,
    ATTRIBUTE_ENCRYPTED = 0x0008,
    ATTRIBUTE_HIDDEN = 0x0010,
    ATTRIBUTE_OFFLINE = 0x0020,
    ATTRIBUTE_READONLY = 0x0040,
    ATTRIBUTE_SYSTEM = 0x0080,
    ATTRIBUTE_TEMPORARY = 0x0100,
    ATTRIBUTE_NORMAL = 0x0200,
    ATTRIBUTE_SPARSE = 0x1000,
};

/// The description of a file or directory.
struct FileInfo {
    bool exists = false;
    /// The absolute form of the path.
    std::string fullPath;
    /// The whole size in bytes, 4 GiB and more included.
    uint64_t size = 0;
    /// The high 32 bits of the size, for callers that want them on their own;
    /// size already holds them (do not add the two).
    uint32_t sizeHigh = 0;
    uint16_t attributes = 0;
    /// Times in UTC (local flag 0, weekday not set).
    DateTimeFields created;
    DateTimeFields accessed;
    DateTimeFields modified;
};

/// Describes the first entry that `path` names (its last part may hold the
/// wildcards "*" and "?"). False, with exists false, when nothing is found.
bool getFileInfo(const std::string& path, FileInfo& info);

/// True for an existing file or directory. One trailing separator is ignored;
/// a drive text such as "C:" asks whether that volume exists; a lone separator
/// names the root directory.
bool fileExists(std::string path);

/// The size of the file; 0 when it does not exist.
uint64_t getFileSize(const std::string& path);

/// Sets the settable attribute bits (archive, hidden, offline, read-only,
/// system, temporary, normal); the others are ignored.
bool setAttributes(const std::string& path, uint16_t attributes);

/// Copies a file; an existing destination fails the copy unless `overwrite`.
bool copyFile(const std::string& source, const std::string& destination, bool overwrite);

/// Moves a file, with `replace` over an existing destination (across file
/// systems too, data on disk when it returns). Without `replace` an existing
/// destination makes the move fail. A failing move is tried 6 times with a
/// pause of 2000 ms after each failure but the last.
bool moveFile(const std::string& source, const std::string& destination, bool replace);

/// The system error code of the last failed move; 0 after a successful one.
uint32_t lastMoveError();

/// Deletes a file.
bool deleteFile(const std::string& path);

/// True for an existing directory.
bool isDirectory(const std::string& path);

/// Makes sure that what was written to the file is on the disk; false when the
/// system reports that it could not.
bool flushFile(const std::string& path);

/// Gives `destination` the access rights of `source` (permission bits, owner
/// where allowed); false when they cannot be set.
bool copyAccess(const std::string& source, const std::string& destination);

/// Removes a file: false when it does not exist. Without `force` a read-only
/// file is left alone (false); with it, a delete that fails is retried after
/// the attributes are set to normal.
bool removeFile(const std::string& path, bool force);

/// Writes `text` as the whole content of the file, creating or emptying it. A
/// failed write removes the file again.
bool writeFile(const std::string& path, const std::string& text);

/// Appends `text` to an existing file, or writes a new file with it.
bool appendFile(const std::string& path, const std::string& text);

/// Number of attempts and the pause between them for moveFile.
constexpr int MOVE_ATTEMPTS = 6;
constexpr uint32_t MOVE_PAUSE_MS = 2000;

/// The pause used between retries of the file layer.
using RetrySleeper = std::function<void(uint32_t milliseconds)>;
/// Replaces the sleeper and returns the one it replaces; an empty function
/// brings back the system's sleep.
RetrySleeper setRetrySleeper(RetrySleeper sleeper);
/// Pauses through the current sleeper.
void retryPause(uint32_t milliseconds);

}  // namespace Brolix
