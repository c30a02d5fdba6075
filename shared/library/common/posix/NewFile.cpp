// New files of a safe update on Linux. The file is made with openat in a
// descriptor of its folder, O_EXCL and O_NOFOLLOW, mode 0600; its owner and mode
// are set with fchown and fchmod; its data is flushed with fsync on the
// descriptor. The commit checks the temporary name against the descriptor's
// device and inode, then swaps the file with the target in one step
// (renameat2 with RENAME_EXCHANGE; the old target is removed afterwards) and
// checks the target's name the same way. The folder may be writable by another
// account, which can replace the temporary name in the instant between the
// check and the swap: then the swap is undone, and the target is as it was.
// Should the names have changed once more before that, nothing foreign stays
// under the target's name: the file this object holds is linked there by its
// descriptor (through /proc/self/fd, so that nothing but this very file can
// arrive), or, when that file is gone too, the name is removed. Where the file
// system cannot swap, a plain rename follows the first check.
#include "platform/NewFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/NativePath.h"
#include "posix/FileDescriptors.h"

namespace Brolix {
namespace platform {

namespace {

/// The permission bits a new file of this process gets: 0666 less the
/// process's file-creation mask, read once from the kernel's account of the
/// process (changing the mask to learn it would race with other threads).
mode_t newFileMode() {
    static const mode_t mode = [] {
        mode_t mask = 022;
        if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
            char line[256];
            while (std::fgets(line, sizeof line, status) != nullptr) {
                if (std::strncmp(line, "Umask:", 6) == 0) {
                    mask = static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8));
                    break;
                }
            }
            std::fclose(status);
        }
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

bool sameFile(const struct stat& info, const FileIdentity& identity) {
    return static_cast<uint64_t>(info.st_dev) == identity.volume &&
           static_cast<uint64_t>(info.st_ino) == identity.index;
}

/// True when `name` in `folder` names the file `identity`, not following a link.
bool namesFile(int folder, const std::string& name, const FileIdentity& identity) {
    struct stat info {};
    return ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(info, identity);
}

}  // namespace

struct NewFile::State {
    int folder = -1;
    int fd = -1;
    std::string name;
    int targetFolder = -1;
    FileIdentity identity;

    void close() {
        if (fd >= 0) ::close(fd);
        if (targetFolder >= 0 && targetFolder != folder) ::close(targetFolder);
        if (folder >= 0) ::close(folder);
        fd = folder = targetFolder = -1;
    }
};

namespace {

/// Gives the file held by `s` the name `name` in the target folder, removing
/// what stands there: the file is linked by its descriptor, not by a name, so
/// nothing but this very file can arrive there. True when the name names it
/// afterwards.
bool claimName(NewFile::State& s, const std::string& name) {
    char held[64];
    std::snprintf(held, sizeof held, "/proc/self/fd/%d", s.fd);
    for (int attempt = 0; attempt < 3; ++attempt) {
        ::unlinkat(s.targetFolder, name.c_str(), 0);
        if (::linkat(AT_FDCWD, held, s.targetFolder, name.c_str(), AT_SYMLINK_FOLLOW) == 0 &&
            namesFile(s.targetFolder, name, s.identity))
            return true;
    }
    return false;
}

}  // namespace

NewFile::NewFile() : m_state(new State) {}

NewFile::~NewFile() { m_state->close(); }

const FileIdentity& NewFile::identity() const { return m_state->identity; }

bool NewFile::isOpen() const { return m_state->fd >= 0; }

bool NewFile::create(const std::string& path, const std::string& accessFrom) {
    State& s = *m_state;
    s.close();
    m_path = path;
    const std::string native = toNativePath(path);
    if (native.empty()) {
        m_error = ENOENT;
        return false;
    }
    const Place place = placeOf(native);
    s.name = place.name;
    s.folder = ::open(place.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (s.folder < 0) {
        m_error = static_cast<uint32_t>(errno);
        return false;
    }
    s.fd = ::openat(s.folder, s.name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (s.fd < 0) {
        m_error = static_cast<uint32_t>(errno);
        s.close();
        return false;
    }
    // The rights the file will have once it replaces the target, given before
    // it holds a byte. Another owner can be given only with the privilege to
    // do so; the permission bits then still keep the file as closed as the
    // target. The owner goes first: a change of owner clears set-id bits.
    // The target is looked at through a descriptor of its own that follows
    // no link: a link put under its name meanwhile lends no other file's owner.
    struct stat source {};
    bool fromTarget = false;
    if (!accessFrom.empty()) {
        const int target = ::open(toNativePath(accessFrom).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        fromTarget = target >= 0 && ::fstat(target, &source) == 0;
        if (target >= 0) ::close(target);
        if (fromTarget && !S_ISREG(source.st_mode)) {
            m_error = EINVAL;
            ::unlinkat(s.folder, s.name.c_str(), 0);
            s.close();
            return false;
        }
    }
    bool given = true;
    if (fromTarget) {
        struct stat own {};
        if (::fstat(s.fd, &own) == 0 && (own.st_uid != source.st_uid || own.st_gid != source.st_gid) &&
            ::fchown(s.fd, source.st_uid, source.st_gid) != 0 && errno != EPERM) {
            given = false;
        }
        given = given && ::fchmod(s.fd, source.st_mode & 07777) == 0;
    } else {
        given = ::fchmod(s.fd, newFileMode()) == 0;
    }
    struct stat created {};
    if (!given || ::fstat(s.fd, &created) != 0) {
        m_error = static_cast<uint32_t>(errno);
        ::unlinkat(s.folder, s.name.c_str(), 0);
        s.close();
        return false;
    }
    s.identity.volume = static_cast<uint64_t>(created.st_dev);
    s.identity.index = static_cast<uint64_t>(created.st_ino);
    return true;
}

std::FILE* NewFile::stream(const char* mode) {
    const int fd = duplicate();
    if (fd < 0) return nullptr;
    std::FILE* stream = ::fdopen(fd, mode);
    if (stream == nullptr) {
        m_error = static_cast<uint32_t>(errno);
        ::close(fd);
    }
    return stream;
}

int NewFile::duplicate() {
    if (m_state->fd < 0) {
        m_error = EBADF;
        return -1;
    }
    const int fd = ::fcntl(m_state->fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) m_error = static_cast<uint32_t>(errno);
    return fd;
}

bool NewFile::sync() {
    if (m_state->fd < 0) {
        m_error = EBADF;
        return false;
    }
    if (::fsync(m_state->fd) == 0) return true;
    m_error = static_cast<uint32_t>(errno);
    return false;
}

NewFile::Commit NewFile::commit(const std::string& target, bool flushFolder) {
    State& s = *m_state;
    if (s.fd < 0) {
        m_error = EBADF;
        return FAILED;
    }
    const Place place = placeOf(toNativePath(target));
    if (s.targetFolder < 0) {
        s.targetFolder = place.folder == placeOf(toNativePath(m_path)).folder
                             ? s.folder
                             : ::open(place.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (s.targetFolder < 0) {
            m_error = static_cast<uint32_t>(errno);
            return FAILED;
        }
    }
    const char* from = s.name.c_str();
    const char* to = place.name.c_str();
    if (!namesFile(s.folder, s.name, s.identity)) {
        m_error = ESTALE;
        s.close();
        return TAKEN_OVER;
    }
    // A directory is never moved aside for a file.
    struct stat existing {};
    const bool hadTarget = ::fstatat(s.targetFolder, to, &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (hadTarget && S_ISDIR(existing.st_mode)) {
        m_error = EISDIR;
        return FAILED;
    }
    FileIdentity previous;
    previous.volume = static_cast<uint64_t>(existing.st_dev);
    previous.index = static_cast<uint64_t>(existing.st_ino);
    enum { SWAPPED, PLACED, MOVED } how = hadTarget ? SWAPPED : PLACED;
    int rc = hadTarget ? ::renameat2(s.folder, from, s.targetFolder, to, RENAME_EXCHANGE)
                       : ::renameat2(s.folder, from, s.targetFolder, to, RENAME_NOREPLACE);
    if (rc != 0 && (errno == ENOENT || errno == EEXIST)) {
        // The target went or came in between: the other way, once.
        how = how == SWAPPED ? PLACED : SWAPPED;
        rc = how == SWAPPED ? ::renameat2(s.folder, from, s.targetFolder, to, RENAME_EXCHANGE)
                            : ::renameat2(s.folder, from, s.targetFolder, to, RENAME_NOREPLACE);
    }
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
        // A file system that knows neither swap nor a move that refuses to
        // replace: the first check has to do.
        how = MOVED;
        rc = ::renameat(s.folder, from, s.targetFolder, to);
    }
    if (rc != 0) {
        m_error = static_cast<uint32_t>(errno);
        return FAILED;
    }
    if (!namesFile(s.targetFolder, place.name, s.identity)) {
        // Something else stood under the temporary name at the moment of the
        // move: it goes back, and the target is as it was.
        bool restored = false;
        if (how == SWAPPED) {
            restored = ::renameat2(s.folder, from, s.targetFolder, to, RENAME_EXCHANGE) == 0 &&
                       namesFile(s.targetFolder, place.name, previous);
        } else if (how == PLACED) {
            restored = ::renameat2(s.targetFolder, to, s.folder, from, RENAME_NOREPLACE) == 0 &&
                       ::faccessat(s.targetFolder, to, F_OK, AT_SYMLINK_NOFOLLOW) != 0;
        }
        if (!restored) {
            // The names changed once more in between (or could not be swapped
            // back): nothing foreign stays under the target's name. This file,
            // whole and on the disk, takes it if it still exists.
            if (claimName(s, place.name)) {
                if (flushFolder) ::fsync(s.targetFolder);
                s.close();
                return COMMITTED;
            }
            ::unlinkat(s.targetFolder, to, 0);
        }
        m_error = ESTALE;
        s.close();
        return TAKEN_OVER;
    }
    // The old target now has the temporary name. (Should that name have been
    // taken over in between, only a name is removed; nothing is written.)
    if (how == SWAPPED) ::unlinkat(s.folder, from, 0);
    // The new name is on the disk once the folder is. The replacement has
    // happened whatever this reports.
    if (flushFolder) ::fsync(s.targetFolder);
    s.close();
    return COMMITTED;
}

bool NewFile::syncAll(const std::vector<NewFile*>& files) {
    // One syncfs per file system writes out every file's data there and
    // reports a write-back failure of any of them: a single pass where each
    // file's own fsync would wait for the disk once per file.
    std::vector<dev_t> done;
    bool synced = true;
    for (NewFile* file : files) {
        if (file == nullptr || file->m_state->fd < 0) continue;
        struct stat info {};
        if (::fstat(file->m_state->fd, &info) != 0) {
            synced = false;
            continue;
        }
        bool seen = false;
        for (dev_t device : done) seen = seen || device == info.st_dev;
        if (seen) continue;
        done.push_back(info.st_dev);
        if (::syncfs(file->m_state->fd) != 0) synced = false;
    }
    return synced;
}

bool NewFile::syncFolders(const std::vector<std::string>& paths) {
    std::vector<dev_t> done;
    bool synced = true;
    for (const std::string& path : paths) {
        const std::string folder = placeOf(toNativePath(path)).folder;
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct stat info {};
        if (fd < 0 || ::fstat(fd, &info) != 0) {
            if (fd >= 0) ::close(fd);
            synced = false;
            continue;
        }
        bool seen = false;
        for (dev_t device : done) seen = seen || device == info.st_dev;
        if (!seen) {
            done.push_back(info.st_dev);
            if (::syncfs(fd) != 0) synced = false;
        }
        ::close(fd);
    }
    return synced;
}

void NewFile::discard() {
    State& s = *m_state;
    if (s.fd >= 0 && namesFile(s.folder, s.name, s.identity)) ::unlinkat(s.folder, s.name.c_str(), 0);
    s.close();
}

void NewFile::release() { m_state->close(); }

}  // namespace platform
}  // namespace Brolix
