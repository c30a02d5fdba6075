/// Whole-file services of the operating system on library paths: looking a
/// path up, attributes, copying, moving and deleting. Each call reports failure
/// by its result; the system's error code of the last failure in the calling
/// thread is available from lastError. Retries and result policy belong to the
/// callers.
#pragma once

#include <cstdint>
#include <string>

namespace Brolix {
namespace platform {

/// Attribute bits as the library knows them; the layer translates the system's
/// own attributes to and from these.
enum FileAttribute : uint16_t {
    ATTR_ARCHIVE = 0x0001,
    ATTR_COMPRESSED = 0x0002,
    ATTR_DIRECTORY = 0x0004,
    ATTR_ENCRYPTED = 0x0008,
    ATTR_HIDDEN = 0x0010,
    ATTR_OFFLINE = 0x0020,
    ATTR_READONLY = 0x0040,
    ATTR_SYSTEM = 0x0080,
    ATTR_TEMPORARY = 0x0100,
    ATTR_NORMAL = 0x0200,
    ATTR_SPARSE = 0x1000,
};

/// A point in time broken down in UTC, as a directory entry's times convert.
struct SystemTime {
    int32_t year = 0;
    int32_t month = 0;
    int32_t day = 0;
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;
};

/// What a directory entry says about a file or directory.
struct FileStatus {
    uint64_t size = 0;
    uint16_t attributes = 0;
    /// Seconds since 1970-01-01 00:00:00 UTC (64-bit: no 2038 limit here).
    int64_t created = 0;
    int64_t accessed = 0;
    int64_t modified = 0;
};

/// Describes the first entry that `path` names; the last part of the path may
/// hold the wildcards "*" and "?". False when nothing matches.
bool findFirstFile(const std::string& path, FileStatus& status);

/// The absolute form of `path`, made lexically (no link is followed, the file
/// need not exist): the current directory put in front of a relative path, "."
/// and ".." parts resolved. "" when the current directory is unknown.
std::string fullPathName(const std::string& path);

/// Converts seconds since 1970 into UTC fields; false when the system cannot.
bool toSystemTime(int64_t seconds, SystemTime& time);

/// Drive types as the library knows them: 0 unknown, 1 no such root directory,
/// 2 and above a usable volume.
enum DriveType : uint32_t { DRIVE_TYPE_UNKNOWN = 0, DRIVE_TYPE_NO_ROOT = 1, DRIVE_TYPE_FIXED = 3 };
/// The type of the volume named by a drive text such as "C:".
uint32_t driveType(const std::string& drive);

/// Applies the settable attribute bits (archive, hidden, offline, read-only,
/// system, temporary, normal) as far as the system keeps them. A symbolic link
/// is not followed: the call fails for it.
bool setFileAttributes(const std::string& path, uint16_t attributes);

/// Copies a file; with failIfExists an existing destination is left alone and
/// the call fails.
bool copyFile(const std::string& source, const std::string& destination, bool failIfExists);

/// Moves a file or directory; fails when the destination exists. Works across
/// file systems for files.
bool moveFile(const std::string& source, const std::string& destination);

/// Moves a file, replacing an existing destination; across file systems by
/// copying and deleting. The data is on disk when it returns true: a source
/// whose data cannot be flushed to the disk is not moved.
bool moveFileReplace(const std::string& source, const std::string& destination);

/// Deletes a file (not a directory).
bool deleteFile(const std::string& path);

/// The path of the file that `path` names once symbolic links are followed:
/// `path` itself when it is no link or does not exist; for a link, where the
/// chain of links ends, whether that exists or not. Only links that this
/// process's account, the system's administrator or the owner of the folder
/// the link sits in made are followed: a link that another account planted in a
/// folder it may write gives "" (a writer then refuses the file rather than
/// write where that account points it).
std::string resolveLinks(const std::string& path);

/// Gives `destination` the access rights that `source` has, so that a file
/// that replaces another is no more open than the one it replaces (on Linux the
/// permission bits and, where the process may set them, owner and group; on
/// Windows the access list). False when the rights cannot be set.
bool copyAccess(const std::string& source, const std::string& destination);

/// Makes sure that what was written to the file is on the disk, not only in the
/// system's caches; false when the system reports that it could not.
bool flushFile(const std::string& path);

/// Who a file is, whatever its names: the volume it lives on and its number
/// there. Two paths name one file exactly when their identities are equal.
struct FileIdentity {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool operator==(const FileIdentity& other) const { return volume == other.volume && index == other.index; }
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

/// The identity of the file that `path` names; with followLinks a symbolic link
/// stands for the file it leads to, without it for itself. False when the path
/// names nothing (or the system cannot tell).
bool fileIdentity(const std::string& path, FileIdentity& identity, bool followLinks = true);

/// The system error code of the calling thread's last failed call of this layer.
uint32_t lastError();

/// Which programs hold the file at `path` open, for a message to a person: each
/// as its name and process number ("notepad.exe (process 4242)"), separated by
/// ", ". Empty when nobody does or the system cannot tell (Linux keeps no such
/// record that another account's processes would reveal: always empty there;
/// Windows asks its Restart Manager).
std::string fileHolder(const std::string& path);

/// True when the last part of `path` names one of the system's devices rather
/// than a file, so that opening it reaches the device: on Windows "CON", "PRN",
/// "AUX", "NUL", "COM1" to "COM9", "LPT1" to "LPT9", "CONIN$" and "CONOUT$" in
/// any letter case, with any extension and trailing blanks ("nul", "con.conf",
/// "Aux .txt"); on Linux no name is (devices live under /dev, by path).
bool isDeviceName(const std::string& path);

/// 0 when this account may write the file at `nativePath` (native form), or with
/// `folder` make and remove names in that folder; else the system's reason as an
/// errno value (ENOENT when it does not exist). Windows tells only about the
/// read-only attribute of files this way; a folder always answers 0 there.
int writeAccess(const std::string& nativePath, bool folder);

/// True when something exists at `nativePath` (native form).
bool existsNative(const std::string& nativePath);

}  // namespace platform
}  // namespace Brolix
