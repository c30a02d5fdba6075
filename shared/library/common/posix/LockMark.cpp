// Lock files on Linux. A holder makes its lock file as an unnamed file in the
// folder (O_TMPFILE), takes an flock on it, writes it whole and gives it its
// name with linkat, which fails when the name exists. Where the file system has
// no unnamed files, the file is made under a draft name of its own
// ("name.lock.<12 hex digits>", marked from its creation) and moved to the lock
// file's name by a move that fails when the name exists; a draft left by a
// writer that died is unmarked, and the next writer that finds the lock taken
// removes it.
//
// A probe opens the lock file read-only without following a link and without
// blocking (a FIFO planted under the name would otherwise hang it) and tries the
// flock without waiting. The flock needs no more than read access, and it
// belongs to the open file, so a probe that gets it keeps it while it removes a
// name, and no holder can be marking that very file meanwhile.
#include "platform/LockMark.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <random>

#include "platform/NativePath.h"
#include "posix/FileDescriptors.h"

namespace Brolix {
namespace platform {

namespace {

constexpr size_t CONTENT_LIMIT = 4096;
constexpr size_t DRAFT_DIGITS = 12;

/// True when the flock was taken; false with errno otherwise.
bool tryFlock(int fd) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EINTR) return false;
    }
}

std::string readContent(int fd) {
    std::string content(CONTENT_LIMIT, '\0');
    size_t done = 0;
    while (done < CONTENT_LIMIT) {
        const ssize_t n = ::pread(fd, &content[done], CONTENT_LIMIT - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    content.resize(done);
    return content;
}

bool isDraftOf(const std::string& entry, const std::string& lockName) {
    if (entry.size() != lockName.size() + 1 + DRAFT_DIGITS || entry.compare(0, lockName.size(), lockName) != 0 ||
        entry[lockName.size()] != '.')
        return false;
    for (size_t i = lockName.size() + 1; i < entry.size(); ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(entry[i]))) return false;
    }
    return true;
}

/// Removes the drafts of `lockName` in the folder that nobody marks: their
/// writers are gone.
void sweepDrafts(int folder, const std::string& lockName) {
    const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return;
    DIR* dir = ::fdopendir(listing);
    if (dir == nullptr) {
        ::close(listing);
        return;
    }
    while (struct dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!isDraftOf(name, lockName)) continue;
        const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat opened {}, named {};
        if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && tryFlock(fd) &&
            ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == opened.st_dev &&
            named.st_ino == opened.st_ino) {
            ::unlinkat(folder, name.c_str(), 0);
        }
        ::close(fd);
    }
    ::closedir(dir);
}

std::string draftName(const std::string& lockName) {
    static const char HEX[] = "0123456789abcdef";
    std::random_device random;
    std::string name = lockName + ".";
    for (size_t i = 0; i < DRAFT_DIGITS; ++i) name.push_back(HEX[random() % 16]);
    return name;
}

}  // namespace

struct LockMark::State {
    int folder = -1;
    int fd = -1;
    std::string name;
    bool marked = false;
    dev_t device = 0;
    ino_t inode = 0;

    void close() {
        if (fd >= 0) ::close(fd);
        if (folder >= 0) ::close(folder);
        fd = folder = -1;
        marked = false;
    }
};

LockMark::LockMark() : m_state(new State) {}

LockMark::~LockMark() { m_state->close(); }

bool LockMark::marked() const { return m_state->marked; }

namespace {

/// Lock files tell other programs who holds a file; they hold no secret.
constexpr mode_t LOCK_FILE_MODE = 0644;

/// How an attempt to give a lock file its name ended.
enum class Named { TAKEN, EXISTS, FAILED, NO_WAY };

/// Marks the new lock file `fd` and writes it; false with errno when it cannot
/// be written.
bool markAndWrite(int fd, bool& marked, const std::string& content, const std::string& unmarkedContent) {
    // Readable by every program of the family, whatever the file-creation
    // mask: a lock file another account cannot read would pass for a broken
    // one. A file system without flock gets an unmarked lock file, which others
    // judge by its expiry alone.
    ::fchmod(fd, LOCK_FILE_MODE);
    marked = tryFlock(fd);
    return writeAll(fd, marked ? content : unmarkedContent);
}

Named fromErrno(int& error) {
    if (errno == EEXIST) return Named::EXISTS;
    error = errno;
    return Named::FAILED;
}

}  // namespace

LockMark::Result LockMark::take(const std::string& path, const std::string& content,
                                const std::string& unmarkedContent) {
    State& s = *m_state;
    s.close();
    const std::string native = toNativePath(path);
    if (native.empty()) {
        m_error = ENOENT;
        return FAILED;
    }
    const Place place = placeOf(native);
    s.name = place.name;
    s.folder = ::open(place.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (s.folder < 0) {
        m_error = static_cast<uint32_t>(errno);
        return FAILED;
    }
    int error = 0;
    // First as a file without a name, linked in by its descriptor (through
    // /proc) once it is whole and marked.
    Named named = Named::NO_WAY;
    s.fd = ::openat(s.folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, LOCK_FILE_MODE);
    if (s.fd >= 0) {
        char link[64];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", s.fd);
        if (!markAndWrite(s.fd, s.marked, content, unmarkedContent)) {
            named = Named::FAILED;
            error = errno;
        } else if (::linkat(AT_FDCWD, link, s.folder, s.name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            named = Named::TAKEN;
        } else if (errno == EEXIST) {
            named = Named::EXISTS;
        } else {
            // No /proc to link the file by (a chroot, a small container).
            ::close(s.fd);
            s.fd = -1;
        }
    }
    // Else under a draft name of its own, moved to the lock file's name by a
    // move that fails when the name exists.
    if (named == Named::NO_WAY) {
        const std::string draft = draftName(s.name);
        s.fd = ::openat(s.folder, draft.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        LOCK_FILE_MODE);
        if (s.fd < 0) {
            named = fromErrno(error);
        } else if (!markAndWrite(s.fd, s.marked, content, unmarkedContent)) {
            named = Named::FAILED;
            error = errno;
        } else {
            int rc = ::renameat2(s.folder, draft.c_str(), s.folder, s.name.c_str(), RENAME_NOREPLACE);
            if (rc != 0 && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
                // No move that refuses to replace here: a new link fails on an
                // existing name just the same.
                rc = ::linkat(s.folder, draft.c_str(), s.folder, s.name.c_str(), 0);
            }
            named = rc == 0 ? Named::TAKEN : fromErrno(error);
        }
        if (s.fd >= 0) ::unlinkat(s.folder, draft.c_str(), 0);
    }
    Result result = named == Named::TAKEN ? TAKEN : named == Named::EXISTS ? EXISTS : FAILED;
    // Drafts of writers that died are swept when the lock is found taken.
    if (result == EXISTS) sweepDrafts(s.folder, s.name);
    struct stat info {};
    if (result == TAKEN && ::fstat(s.fd, &info) == 0) {
        s.device = info.st_dev;
        s.inode = info.st_ino;
        return TAKEN;
    }
    if (result == TAKEN) {
        // Taken, but the file cannot be told apart from others: give it up.
        error = errno;
        ::unlinkat(s.folder, s.name.c_str(), 0);
        result = FAILED;
    }
    m_error = static_cast<uint32_t>(error);
    s.close();
    return result;
}

bool LockMark::release() {
    State& s = *m_state;
    if (s.fd < 0) return true;
    // The name goes while the mark is still held, so nobody can judge this
    // lock file abandoned and break it in between.
    bool gone = true;
    struct stat named {};
    if (::fstatat(s.folder, s.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == s.device &&
        named.st_ino == s.inode) {
        gone = ::unlinkat(s.folder, s.name.c_str(), 0) == 0 || errno == ENOENT;
        if (!gone) m_error = static_cast<uint32_t>(errno);
    }
    s.close();
    return gone;
}

struct LockProbe::Handle {
    int fd = -1;
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    bool free = false;

    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
        free = false;
    }
};

LockProbe::LockProbe() : m_handle(new Handle) {}

LockProbe::~LockProbe() { m_handle->close(); }

LockProbe::State LockProbe::probe(const std::string& path) {
    Handle& h = *m_handle;
    h.close();
    m_content.clear();
    h.path = toNativePath(path);
    if (h.path.empty()) return NONE;
    h.fd = ::open(h.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (h.fd < 0) {
        // Out of descriptors or memory says nothing about the lock file.
        if (errno == EMFILE || errno == ENFILE || errno == ENOMEM || errno == EINTR) return BUSY_SYSTEM;
        return errno == ENOENT ? NONE : UNKNOWN;
    }
    struct stat info {};
    if (::fstat(h.fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        h.close();
        return UNKNOWN;
    }
    h.device = info.st_dev;
    h.inode = info.st_ino;
    m_content = readContent(h.fd);
    if (tryFlock(h.fd)) {
        // Free, or given up this moment by a holder that removed its name
        // first: only a file that still has the name is free to break.
        struct stat named {};
        if (::lstat(h.path.c_str(), &named) != 0 || named.st_dev != h.device || named.st_ino != h.inode) {
            h.close();
            m_content.clear();
            return NONE;
        }
        h.free = true;
        return FREE;
    }
    const bool held = errno == EWOULDBLOCK;
    h.close();
    return held ? HELD : UNKNOWN;
}

bool LockProbe::removeProbed() {
    Handle& h = *m_handle;
    if (!h.free) return false;
    // A removal by name could hit a lock file that another writer made under
    // the name a moment after it was checked. So the name is first moved aside
    // (to a draft name: nobody marks what is moved there), then the file there
    // is checked: the probed file is removed, any other goes back at once.
    bool removed = false;
    const std::string aside = draftName(h.path);
    if (::renameat2(AT_FDCWD, h.path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
        struct stat moved {};
        if (::lstat(aside.c_str(), &moved) == 0 && moved.st_dev == h.device && moved.st_ino == h.inode) {
            removed = ::unlink(aside.c_str()) == 0;
        } else if (::renameat2(AT_FDCWD, aside.c_str(), AT_FDCWD, h.path.c_str(), RENAME_NOREPLACE) != 0) {
            // The name was taken once more in that instant: the file moved
            // aside cannot go back and is left where a later writer sweeps it.
        }
    } else if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) {
        // No move that refuses to replace on this file system: check, then
        // remove.
        struct stat named {};
        if (::lstat(h.path.c_str(), &named) == 0 && named.st_dev == h.device && named.st_ino == h.inode) {
            removed = ::unlink(h.path.c_str()) == 0;
        }
    }
    h.close();
    return removed;
}

struct FileHold::Handle {
    int fd = -1;
};

FileHold::FileHold() : m_handle(new Handle) {}

FileHold::~FileHold() { close(); }

bool FileHold::open(const std::string& path) {
    close();
    const std::string native = toNativePath(path);
    if (native.empty()) return false;
    // The file is looked at before it is opened for writing: an O_PATH
    // descriptor opens nothing, and the writable descriptor is made from it,
    // so it is the very file that was found regular.
    const int found = ::open(native.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (found < 0) return false;
    struct stat info {};
    int fd = -1;
    if (::fstat(found, &info) == 0 && S_ISREG(info.st_mode)) {
        char again[64];
        std::snprintf(again, sizeof again, "/proc/self/fd/%d", found);
        fd = ::open(again, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        // Without /proc the file can only be held as found.
        if (fd < 0 && errno == ENOENT) fd = ::fcntl(found, F_DUPFD_CLOEXEC, 0);
    }
    ::close(found);
    if (fd < 0) return false;
    m_handle->fd = fd;
    return true;
}

void FileHold::close() {
    if (m_handle->fd >= 0) ::close(m_handle->fd);
    m_handle->fd = -1;
}

}  // namespace platform
}  // namespace Brolix
