// Named locks are process-shared robust mutexes, one per name, each living in a
// small file of a shared lock directory that every user of the name maps into
// memory. Taking and giving up a free lock is then an atomic operation in user
// space, without a system call; the file log agent takes a named lock for every
// line it writes, and a lock that cost system calls would cost more than the
// write of the line itself.
//
//  - Exclusion: every object of one name, in one process or in several, maps the
//    same mutex, and a try by a second object finds it busy, also on the
//    holder's own thread.
//  - A holder that dies: the mutex is robust. When the owning thread ends, the
//    system marks the mutex as abandoned, and the next try takes it over.
//  - Setting up: the file is created empty; a user that finds it without the
//    mark of a finished mutex reserves its blocks and sets the mutex up. Users
//    check and set up under an flock of the file, so a file left half made by a
//    process that died is finished by the next user.
//  - A folder or file the system will not let this process use (a plain file in
//    the folder's place, a read-only or full file system, a lock file it may not
//    open) makes every try FAILED at once, never BUSY: callers wait for BUSY.
//  - A fork: the child inherits the mapping but not the ownership; a lock the
//    parent held stays the parent's, and the child's objects start afresh.
//  - The file being removed from the directory (a cleaner sweeping old files): a
//    newcomer would map a new file of the same name. A holder checks the link
//    count after taking the lock, at most once a second (on a coarse clock that
//    costs no system call), and moves to the file that is there now.
//  - The lock belongs to the thread that took it, and only that thread can give
//    it up; another thread's unlock is refused without asking the system.
//
//  - Accounts: every account has a lock folder of its own, which only that
//    account can enter, "/run/lock/brolix-<user id>" where the system has
//    "/run/lock", else "/tmp/brolix-locks-<user id>" (both parents are sticky and
//    open to everybody, so nobody else can remove or rename it). Its files are
//    readable and writable by the account alone. Another account can therefore
//    neither hold nor map nor remove this account's locks: a guard excludes the
//    processes of one account. A folder of that name that belongs to another
//    account, or that others may write, is not used (every try is FAILED): it
//    was put there to take the account's guards over.
#include "platform/NamedMutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/Thread.h"

namespace Brolix {
namespace platform {

namespace {

std::string lockDirectory() {
    static const bool runLock = [] {
        struct stat st;
        return ::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode);
    }();
    return std::string(runLock ? "/run/lock/brolix-" : "/tmp/brolix-locks-") + std::to_string(::geteuid());
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
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st;
    return ::lstat(directory.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

int openLockFile(const std::string& path) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0 || errno != ENOENT) return fd;
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            // For the account alone, whatever the process's file-creation mask.
            if (::fchmod(fd, 0600) != 0) {
                ::close(fd);
                return -1;
            }
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// This process's id, asked of the kernel once: every try and every release of a
// named lock needs it. The child of a fork forgets the copied id.
std::atomic<pid_t> g_processId{0};

void forgetProcessId() { g_processId.store(0, std::memory_order_relaxed); }

pid_t processId() {
    static const int registered = ::pthread_atfork(nullptr, nullptr, &forgetProcessId);
    (void)registered;
    pid_t id = g_processId.load(std::memory_order_relaxed);
    if (id == 0) {
        id = ::getpid();
        g_processId.store(id, std::memory_order_relaxed);
    }
    return id;
}

/// The shared part of a named lock, at the start of its file.
struct SharedLock {
    std::atomic<uint32_t> mark;  ///< READY once the mutex is set up
    pthread_mutex_t mutex;
};

const uint32_t READY = 0x4d6f6e31;

/// Milliseconds on a clock that the system serves without a system call.
int64_t coarseMilliseconds() {
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

const int64_t LINK_CHECK_MS = 1000;

/// Holds an flock of `fd` while the shared part is checked or set up. Holders
/// keep it for a moment only; a file that stays locked longer is refused.
bool lockForSetUp(int fd) {
    for (int attempt = 0; attempt < 5000; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        sleepFor(1);
    }
    return false;
}

/// Maps the shared part of the open lock file `fd`, setting the mutex up when
/// nobody has finished that yet; null on failure.
SharedLock* mapSharedLock(int fd) {
    if (!lockForSetUp(fd)) return nullptr;
    SharedLock* shared = nullptr;
    // The blocks are reserved before the file is mapped: on a full disk a page of
    // a mapping that has no block behind it kills the process at its first
    // write, where a refused reservation is only a lock that cannot be made.
    if (::posix_fallocate(fd, 0, sizeof(SharedLock)) == 0) {
        void* map = ::mmap(nullptr, sizeof(SharedLock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) shared = static_cast<SharedLock*>(map);
    }
    if (shared != nullptr && shared->mark.load(std::memory_order_acquire) != READY) {
        pthread_mutexattr_t attributes;
        bool ready = ::pthread_mutexattr_init(&attributes) == 0;
        ready = ready && ::pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
                ::pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
                ::pthread_mutex_init(&shared->mutex, &attributes) == 0;
        ::pthread_mutexattr_destroy(&attributes);
        if (ready) {
            shared->mark.store(READY, std::memory_order_release);
        } else {
            ::munmap(shared, sizeof(SharedLock));
            shared = nullptr;
        }
    }
    ::flock(fd, LOCK_UN);
    return shared;
}

}  // namespace

struct NamedMutex::State {
    std::string directory;
    std::string path;
    int fd = -1;
    SharedLock* shared = nullptr;
    pid_t pid = 0;
    bool locked = false;
    uint32_t owner = 0;  ///< the thread that holds the lock through this object
    int64_t linkCheckedAt = 0;

    bool attach() {
        if (!ensureLockDirectory(directory)) return false;
        fd = openLockFile(path);
        if (fd < 0) return false;
        // Only a file of this account's own is ever mapped.
        struct stat own;
        if (::fstat(fd, &own) != 0 || own.st_uid != ::geteuid() || !S_ISREG(own.st_mode)) {
            closeFile();
            return false;
        }
        shared = mapSharedLock(fd);
        if (shared == nullptr) {
            closeFile();
            return false;
        }
        pid = processId();
        linkCheckedAt = coarseMilliseconds();
        return true;
    }

    /// False when the file was removed from the directory since it was mapped.
    bool stillLinked() {
        const int64_t now = coarseMilliseconds();
        if (now - linkCheckedAt < LINK_CHECK_MS) return true;
        linkCheckedAt = now;
        struct stat st;
        return ::fstat(fd, &st) != 0 || st.st_nlink > 0;
    }

    void closeFile() {
        if (shared != nullptr) ::munmap(shared, sizeof(SharedLock));
        shared = nullptr;
        if (fd >= 0) ::close(fd);
        fd = -1;
        locked = false;
    }
};

NamedMutex::NamedMutex(const std::string& name) : m_state(new State) {
    m_state->directory = lockDirectory();
    m_state->path = m_state->directory + "/" + lockFileName(name);
}

NamedMutex::~NamedMutex() {
    // A forked child's copy must not touch the parent's lock, and a thread other
    // than the holder cannot give it up; either only lets go of the mapping.
    if (m_state->locked && m_state->pid == processId() && m_state->owner == currentThreadId()) {
        ::pthread_mutex_unlock(&m_state->shared->mutex);
    }
    m_state->closeFile();
}

NamedMutex::Result NamedMutex::tryLock() {
    State& s = *m_state;
    if (s.shared != nullptr && s.pid != processId()) {
        // Inherited across fork: any lock held through it is the parent's.
        s.closeFile();
    }
    if (s.locked) return ACQUIRED;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (s.shared == nullptr && !s.attach()) return FAILED;
        int rc = ::pthread_mutex_trylock(&s.shared->mutex);
        if (rc == EOWNERDEAD) {
            // The last holder ended while holding the lock; it passes to this one.
            rc = ::pthread_mutex_consistent(&s.shared->mutex);
        }
        if (rc == EBUSY || rc == EDEADLK) return BUSY;
        if (rc != 0) return FAILED;
        if (s.stillLinked()) {
            s.locked = true;
            s.owner = currentThreadId();
            return ACQUIRED;
        }
        // The file is gone from the directory; lock the one that is there now.
        ::pthread_mutex_unlock(&s.shared->mutex);
        s.closeFile();
    }
    return FAILED;
}

bool NamedMutex::unlock() {
    State& s = *m_state;
    if (!s.locked) return true;
    if (s.pid != processId()) {
        // A forked child's copy: the lock is the parent's to give up.
        s.closeFile();
        return true;
    }
    // Only the holding thread may give the lock up; the system would refuse the
    // others too, but asking it to is already a fault.
    if (s.owner != currentThreadId() || ::pthread_mutex_unlock(&s.shared->mutex) != 0) return false;
    s.locked = false;
    return true;
}

}  // namespace platform
}  // namespace Brolix
