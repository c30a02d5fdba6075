#include "platform/FileSystem.h"

#include <fcntl.h>
#include <glob.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <system_error>

#include "platform/NativePath.h"

namespace Brolix {
namespace platform {

namespace {

thread_local uint32_t t_lastError = 0;

bool fail(int error) {
    t_lastError = static_cast<uint32_t>(error);
    return false;
}

bool fail(const std::error_code& error) { return fail(error.value() != 0 ? error.value() : EIO); }

bool hasWildcard(const std::string& path) { return path.find_first_of("*?") != std::string::npos; }

/// The glob pattern for a library path: only "*" and "?" are wildcards, so
/// brackets (and the backslash, glob's escape) match themselves.
std::string globPattern(const std::string& native) {
    std::string pattern;
    for (char c : native) {
        if (c == '[' || c == ']' || c == '\\') pattern += '\\';
        pattern += c;
    }
    return pattern;
}

bool isHiddenName(const std::string& native) {
    const size_t slash = native.find_last_of('/');
    const std::string name = slash == std::string::npos ? native : native.substr(slash + 1);
    return name.size() > 1 && name[0] == '.' && name != "..";
}

/// Flushes a file's data (or a directory's entries) to the disk; false with
/// the error recorded when the system cannot.
bool syncPath(const std::string& native, int flags) {
    const int fd = ::open(native.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return fail(errno);
    const bool synced = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    return synced || fail(error);
}

std::string parentOf(const std::string& native) {
    const size_t slash = native.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return native.substr(0, slash);
}

bool copyNative(const std::string& source, const std::string& destination, bool failIfExists) {
    std::error_code error;
    const auto options = failIfExists ? std::filesystem::copy_options::none
                                      : std::filesystem::copy_options::overwrite_existing;
    if (!std::filesystem::copy_file(source, destination, options, error)) return fail(error);
    return true;
}

}  // namespace

bool findFirstFile(const std::string& path, FileStatus& status) {
    std::string native = toNativePath(path);
    if (native.empty()) return fail(ENOENT);
    if (hasWildcard(native)) {
        glob_t found{};
        const int rc = ::glob(globPattern(native).c_str(), 0, nullptr, &found);
        if (rc != 0 || found.gl_pathc == 0) {
            ::globfree(&found);
            return fail(ENOENT);
        }
        native = found.gl_pathv[0];
        ::globfree(&found);
    }
    struct statx info {};
    if (::statx(AT_FDCWD, native.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) return fail(errno);
    status = FileStatus();
    status.size = info.stx_size;
    const bool directory = S_ISDIR(info.stx_mode);
    if (directory) status.attributes |= ATTR_DIRECTORY;
    if ((info.stx_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) status.attributes |= ATTR_READONLY;
    if (isHiddenName(native)) status.attributes |= ATTR_HIDDEN;
    if (status.attributes == 0) status.attributes = ATTR_NORMAL;
    status.accessed = info.stx_atime.tv_sec;
    status.modified = info.stx_mtime.tv_sec;
    if (info.stx_mask & STATX_BTIME) {
        status.created = info.stx_btime.tv_sec;
    } else {
        // No birth time on this file system: the earliest time the entry shows.
        status.created = info.stx_ctime.tv_sec < info.stx_mtime.tv_sec ? info.stx_ctime.tv_sec
                                                                         : info.stx_mtime.tv_sec;
    }
    return true;
}

std::string fullPathName(const std::string& path) {
    if (path.empty()) return std::string();
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(toNativePath(path), error);
    if (error) return std::string();
    std::string full = absolute.lexically_normal().string();
    // "dir/." normalises to "dir/"; keep a trailing separator only where the
    // caller wrote one.
    const char last = path.back();
    if (full.size() > 1 && full.back() == '/' && last != '/' && last != '\\') full.pop_back();
    return full;
}

bool toSystemTime(int64_t seconds, SystemTime& time) {
    const time_t value = static_cast<time_t>(seconds);
    struct tm fields {};
    if (::gmtime_r(&value, &fields) == nullptr) return fail(EOVERFLOW);
    time.year = fields.tm_year + 1900;
    time.month = fields.tm_mon + 1;
    time.day = fields.tm_mday;
    time.hour = fields.tm_hour;
    time.minute = fields.tm_min;
    time.second = fields.tm_sec;
    return true;
}

uint32_t driveType(const std::string& drive) {
    // There are no drive letters here; a name of that form is a volume only if
    // a directory of that name exists.
    struct stat info {};
    if (::stat(toNativePath(drive).c_str(), &info) != 0) {
        fail(errno);
        return DRIVE_TYPE_NO_ROOT;
    }
    return S_ISDIR(info.st_mode) ? DRIVE_TYPE_FIXED : DRIVE_TYPE_NO_ROOT;
}

bool setFileAttributes(const std::string& path, uint16_t attributes) {
    // Only read-only has a counterpart: the write permission bits. Making a
    // file writable again gives write permission to its owner. The file is
    // opened without following a link and changed through that opening, so
    // that a link put under the name in the meantime changes nothing.
    const std::string native = toNativePath(path);
    const int fd = ::open(native.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return fail(errno);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISLNK(info.st_mode)) {
        const int error = S_ISLNK(info.st_mode) ? ELOOP : errno;
        ::close(fd);
        return fail(error);
    }
    mode_t mode = info.st_mode & 07777;
    if (attributes & ATTR_READONLY) {
        mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    } else if ((mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        mode |= S_IWUSR;
    }
    bool changed = true;
    if (mode != (info.st_mode & 07777)) {
        char opened[64];
        std::snprintf(opened, sizeof opened, "/proc/self/fd/%d", fd);
        changed = ::chmod(opened, mode) == 0;
    }
    const int error = errno;
    ::close(fd);
    return changed || fail(error);
}

bool copyFile(const std::string& source, const std::string& destination, bool failIfExists) {
    return copyNative(toNativePath(source), toNativePath(destination), failIfExists);
}

bool moveFile(const std::string& source, const std::string& destination) {
    const std::string from = toNativePath(source);
    const std::string to = toNativePath(destination);
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    const int error = errno;
    if (error == EINVAL || error == ENOSYS || error == ENOTSUP) {
        // The file system cannot rename without replacing: a new link fails on
        // an existing name just the same.
        if (::link(from.c_str(), to.c_str()) != 0) return fail(errno);
        if (::unlink(from.c_str()) != 0) {
            const int unlinkError = errno;
            ::unlink(to.c_str());
            return fail(unlinkError);
        }
        return true;
    }
    if (error == EXDEV) {
        if (!copyNative(from, to, true)) return false;
        if (::unlink(from.c_str()) != 0) {
            const int unlinkError = errno;
            ::unlink(to.c_str());
            return fail(unlinkError);
        }
        return true;
    }
    return fail(error);
}

bool moveFileReplace(const std::string& source, const std::string& destination) {
    const std::string from = toNativePath(source);
    const std::string to = toNativePath(destination);
    // The data reaches the disk before the new name does, so a crash leaves
    // either the old file or the complete new one.
    if (!syncPath(from, O_RDONLY)) return false;
    if (::rename(from.c_str(), to.c_str()) != 0) {
        const int error = errno;
        if (error != EXDEV) return fail(error);
        if (!copyNative(from, to, false) || !syncPath(to, O_RDONLY)) return false;
        if (::unlink(from.c_str()) != 0) return fail(errno);
    }
    // The new name is on the disk once the directory is. The move has happened
    // whatever this reports, so its result does not count.
    syncPath(parentOf(to), O_RDONLY | O_DIRECTORY);
    return true;
}

bool deleteFile(const std::string& path) {
    if (::unlink(toNativePath(path).c_str()) != 0) return fail(errno);
    return true;
}

std::string resolveLinks(const std::string& path) {
    std::string current = toNativePath(path);
    // A chain longer than the system's own limit is a loop; it stays as given.
    for (int step = 0; step < 40; ++step) {
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return step == 0 ? path : current;
        // As the system protects shared folders: a link is trusted when it is
        // this account's, the administrator's, or the folder owner's.
        struct stat folder {};
        const std::string parent = parentOf(current);
        const bool trusted = info.st_uid == ::geteuid() || info.st_uid == 0 ||
                             (::stat(parent.c_str(), &folder) == 0 && folder.st_uid == info.st_uid);
        if (!trusted) {
            fail(EACCES);
            return std::string();
        }
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink(current.c_str(), buffer, sizeof buffer - 1);
        if (n < 0) return path;
        const std::string next(buffer, static_cast<size_t>(n));
        current = next[0] == '/' ? next : parent + "/" + next;
    }
    return path;
}

bool copyAccess(const std::string& source, const std::string& destination) {
    struct stat info {};
    const std::string to = toNativePath(destination);
    if (::stat(toNativePath(source).c_str(), &info) != 0) return fail(errno);
    // Another owner can be given only with the privilege to do so; the
    // permission bits then still keep the file as closed as before.
    if (::chown(to.c_str(), info.st_uid, info.st_gid) != 0 && errno != EPERM) return fail(errno);
    if (::chmod(to.c_str(), info.st_mode & 07777) != 0) return fail(errno);
    return true;
}

bool flushFile(const std::string& path) { return syncPath(toNativePath(path), O_RDONLY); }

bool fileIdentity(const std::string& path, FileIdentity& identity, bool followLinks) {
    const std::string native = toNativePath(path);
    if (native.empty()) return fail(ENOENT);
    struct stat info {};
    const int rc = followLinks ? ::stat(native.c_str(), &info) : ::lstat(native.c_str(), &info);
    if (rc != 0) return fail(errno);
    identity.volume = static_cast<uint64_t>(info.st_dev);
    identity.index = static_cast<uint64_t>(info.st_ino);
    return true;
}

uint32_t lastError() { return t_lastError; }

int writeAccess(const std::string& nativePath, bool folder) {
    return ::access(nativePath.c_str(), folder ? W_OK | X_OK : W_OK) == 0 ? 0 : errno;
}

bool existsNative(const std::string& nativePath) { return ::access(nativePath.c_str(), F_OK) == 0; }

}  // namespace platform
}  // namespace Brolix
