// Named locks are flock() locks on one file per name in a shared lock directory.
// flock locks belong to the open file description, so two descriptors opened on
// the same file exclude each other even inside one process, and the kernel drops
// the lock when the last descriptor goes away, including when the holder dies.
//
// The descriptor stays open between tries: taking and giving up the lock is then
// two system calls, which matters because the file log agent takes a named lock
// for every line it writes. Two things can make a kept descriptor wrong, and both
// are checked on every try:
//  - a fork: the child shares the parent's open file description and with it the
//    parent's lock, so a child reopens the file for itself;
//  - the file being removed from the directory (a cleaner sweeping old files):
//    a newcomer would lock a new file of the same name, so the old one is dropped.
//
// The directory is "/run/lock/brolix" where the system has "/run/lock", else
// "/tmp/brolix-locks"; it and its files are open to every user (sticky, like
// /tmp), and files are opened read-only, which is all flock needs.
#include "platform/NamedMutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace Brolix {
namespace platform {

namespace {

const std::string& lockDirectory() {
    static const std::string directory = [] {
        struct stat st;
        if (::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode)) return std::string("/run/lock/brolix");
        return std::string("/tmp/brolix-locks");
    }();
    return directory;
}

// The lock file of a name: slashes cannot be part of a file name, and very long
// names keep their start and a hash of the whole so that they stay distinct.
std::string lockFileName(const std::string& name) {
    std::string file;
    if (name.size() <= 200) {
        file = name;
    } else {
        uint64_t hash = 14695981039346656037ull;
        for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
        file = name.substr(0, 180) + "~" + hex;
    }
    for (char& c : file) {
        if (c == '/') c = '_';
    }
    return file + ".mutex";
}

bool ensureLockDirectory(const std::string& directory) {
    if (::mkdir(directory.c_str(), 01777) == 0) {
        // The process's umask narrowed the mode; every user must be able to add files.
        ::chmod(directory.c_str(), 01777);
        return true;
    }
    if (errno != EEXIST) return false;
    struct stat st;
    return ::lstat(directory.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int openLockFile(const std::string& path) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Open an existing file without O_CREAT: in a sticky directory the system may
        // refuse O_CREAT on another user's file.
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0 || errno != ENOENT) return fd;
        fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) {
            ::fchmod(fd, 0666);
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

}  // namespace

struct NamedMutex::State {
    std::string path;
    int fd = -1;
    pid_t pid = 0;
    bool locked = false;

    void closeFile() {
        if (fd >= 0) ::close(fd);
        fd = -1;
        locked = false;
    }
};

NamedMutex::NamedMutex(const std::string& name) : m_state(new State) {
    m_state->path = lockDirectory() + "/" + lockFileName(name);
}

NamedMutex::~NamedMutex() {
    // Closing the only descriptor of this process's description releases the lock;
    // a forked child's copy must not release the parent's lock, so it only closes.
    if (m_state->locked && m_state->pid == ::getpid()) ::flock(m_state->fd, LOCK_UN);
    m_state->closeFile();
}

NamedMutex::Result NamedMutex::tryLock() {
    State& s = *m_state;
    if (s.fd >= 0 && s.pid != ::getpid()) {
        // Inherited across fork: the description (and any lock on it) is the parent's.
        ::close(s.fd);
        s.fd = -1;
        s.locked = false;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (s.fd < 0) {
            if (!ensureLockDirectory(lockDirectory())) return FAILED;
            s.fd = openLockFile(s.path);
            if (s.fd < 0) return FAILED;
            s.pid = ::getpid();
        }
        int rc;
        do {
            rc = ::flock(s.fd, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) return errno == EWOULDBLOCK ? BUSY : FAILED;
        struct stat st;
        if (::fstat(s.fd, &st) == 0 && st.st_nlink > 0) {
            s.locked = true;
            return ACQUIRED;
        }
        // The file is gone from the directory; lock the one that is there now.
        s.closeFile();
    }
    return FAILED;
}

bool NamedMutex::unlock() {
    State& s = *m_state;
    if (!s.locked) return true;
    if (s.pid != ::getpid()) {
        // A forked child's copy: the lock is the parent's to give up.
        s.closeFile();
        return true;
    }
    if (::flock(s.fd, LOCK_UN) != 0) return false;
    s.locked = false;
    return true;
}

}  // namespace platform
}  // namespace Brolix
