// Named locks are flock() locks on one file per name in a shared lock directory.
// flock locks belong to the open file description, so two descriptors opened on
// the same file exclude each other even inside one process, and the kernel drops
// the lock when the last descriptor goes away, including when the holder dies.
//
// The descriptor stays open between tries: taking and giving up the lock is then
// two system calls, which matters because the file log agent takes a named lock
// for every line it writes. Two things can make a kept descriptor wrong:
//  - a fork: the child shares the parent's open file description and with it the
//    parent's lock, so a child reopens the file for itself (a fork handler counts
//    forks, which costs nothing per try);
//  - the file being removed from the directory (a cleaner sweeping old files):
//    a newcomer would lock a new file of the same name, so the old one is dropped.
//    This is checked when a try succeeds, at most once a second, since the check
//    costs as much as the lock itself.
//
// The directory is "/run/lock/brolix" where the system has "/run/lock", else
// "/tmp/brolix-locks"; it and its files are open to every user (sticky, like
// /tmp), and files are opened read-only, which is all flock needs.
#include "platform/NamedMutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>

namespace Brolix {
namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// How often a held descriptor is checked for a file removed from the directory.
const std::chrono::seconds LINK_CHECK_INTERVAL(1);

// Counts the forks of this process, as seen in the child.
std::atomic<unsigned> g_forks(0);

extern "C" void countFork() { g_forks.fetch_add(1, std::memory_order_relaxed); }

void watchForks() {
    static const bool registered = ::pthread_atfork(nullptr, nullptr, countFork) == 0;
    (void)registered;
}

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
    unsigned forks = 0;  ///< the fork count when the descriptor was opened
    Clock::time_point linkChecked;
    bool locked = false;

    bool inherited() const { return forks != g_forks.load(std::memory_order_relaxed); }

    void closeFile() {
        if (fd >= 0) ::close(fd);
        fd = -1;
        locked = false;
    }
};

NamedMutex::NamedMutex(const std::string& name) : m_state(new State) {
    watchForks();
    m_state->path = lockDirectory() + "/" + lockFileName(name);
}

NamedMutex::~NamedMutex() {
    // Closing the only descriptor of this process's description releases the lock;
    // a forked child's copy must not release the parent's lock, so it only closes.
    if (m_state->locked && !m_state->inherited()) ::flock(m_state->fd, LOCK_UN);
    m_state->closeFile();
}

NamedMutex::Result NamedMutex::tryLock() {
    State& s = *m_state;
    if (s.fd >= 0 && s.inherited()) {
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
            s.forks = g_forks.load(std::memory_order_relaxed);
            s.linkChecked = Clock::now();
        }
        int rc;
        do {
            rc = ::flock(s.fd, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) return errno == EWOULDBLOCK ? BUSY : FAILED;
        const Clock::time_point now = Clock::now();
        if (now - s.linkChecked >= LINK_CHECK_INTERVAL) {
            struct stat st;
            if (::fstat(s.fd, &st) != 0 || st.st_nlink == 0) {
                // The file is gone from the directory; lock the one that is there now.
                s.closeFile();
                continue;
            }
            s.linkChecked = now;
        }
        s.locked = true;
        return ACQUIRED;
    }
    return FAILED;
}

bool NamedMutex::unlock() {
    State& s = *m_state;
    if (!s.locked) return true;
    if (s.inherited()) {
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
