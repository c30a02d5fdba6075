/// Test support for named guards whose lock folder cannot be used. A test runs
/// tests of its own binary again in a child process that has a private mount
/// namespace, where "/run" is a fresh tmpfs and the account's lock folder
/// "/run/lock/brolix-<user id>" is broken in one of the ways below; the machine's
/// real lock folder is never touched. The child's tests find out which fault they run
/// under with brokenLockFolder().
///
/// Needs the right to make a mount namespace (root, or unprivileged user
/// namespaces); runWithBrokenLockFolder reports when the system refuses it.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace Brolix {
namespace test {

enum class LockFault {
    PLAIN_FILE,   ///< a plain file where the folder should be
    READ_ONLY,    ///< the folder is on a read-only file system
    FULL,         ///< the folder's file system has no free block left
    NOT_ALLOWED,  ///< the lock folder of "nobody", as whom the child runs, belongs to root
};

inline const char* lockFaultName(LockFault fault) {
    switch (fault) {
        case LockFault::PLAIN_FILE:
            return "plain-file";
        case LockFault::READ_ONLY:
            return "read-only";
        case LockFault::FULL:
            return "full";
        case LockFault::NOT_ALLOWED:
            return "not-allowed";
    }
    return "";
}

constexpr char LOCK_FAULT_VARIABLE[] = "BROLIX_TEST_LOCK_FAULT";
/// The exit status of a child that could not set the fault up.
constexpr int LOCK_FAULT_UNAVAILABLE = 77;

/// In a child started by runWithBrokenLockFolder: the fault's name; else null.
inline const char* brokenLockFolder() { return std::getenv(LOCK_FAULT_VARIABLE); }

namespace detail {

inline bool fillFileSystem(const std::string& directory) {
    const int fd = ::open((directory + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return false;
    char block[4096];
    std::memset(block, 'f', sizeof block);
    while (::write(fd, block, sizeof block) > 0) {
    }
    const bool full = errno == ENOSPC;
    ::close(fd);
    return full;
}

/// Sets the fault up in this (forked) process; false when the system refuses.
inline bool breakLockFolder(LockFault fault, const std::string& lockName) {
    if (::unshare(CLONE_NEWNS) != 0 &&
        (fault == LockFault::NOT_ALLOWED || ::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0))
        return false;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    if (::mount("tmpfs", "/run", "tmpfs", 0, "size=1m,mode=0755") != 0) return false;
    if (::mkdir("/run/lock", 01777) != 0 || ::chmod("/run/lock", 01777) != 0) return false;
    const uid_t account = fault == LockFault::NOT_ALLOWED ? 65534 : ::geteuid();
    const std::string folder = "/run/lock/brolix-" + std::to_string(account);
    switch (fault) {
        case LockFault::PLAIN_FILE: {
            const int fd = ::open(folder.c_str(), O_WRONLY | O_CREAT, 0644);
            return fd >= 0 && ::close(fd) == 0;
        }
        case LockFault::READ_ONLY:
            return ::mkdir(folder.c_str(), 01777) == 0 &&
                   ::mount("tmpfs", folder.c_str(), "tmpfs", MS_RDONLY, "size=64k,mode=1777") == 0;
        case LockFault::FULL:
            return ::mkdir(folder.c_str(), 01777) == 0 &&
                   ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=16k,mode=1777") == 0 &&
                   fillFileSystem(folder);
        case LockFault::NOT_ALLOWED: {
            // Put there by another account, open to all: taking it over would
            // hand that account every guard of this one.
            (void)lockName;
            if (::mkdir(folder.c_str(), 0777) != 0 || ::chmod(folder.c_str(), 0777) != 0) return false;
            return ::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
                   ::setresuid(65534, 65534, 65534) == 0;
        }
    }
    return false;
}

}  // namespace detail

/// Runs the tests `filter` of this binary in a child under `fault` and returns its
/// exit status (LOCK_FAULT_UNAVAILABLE when the fault could not be set up; minus
/// the signal's number when a signal ended it), with everything it printed in
/// `output`.
inline int runWithBrokenLockFolder(LockFault fault, const std::string& filter, std::string& output,
                                   const std::string& lockName = "") {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return -1;
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        if (!detail::breakLockFolder(fault, lockName)) {
            std::printf("cannot set the fault up: %s\n", std::strerror(errno));
            std::fflush(stdout);
            ::_exit(LOCK_FAULT_UNAVAILABLE);
        }
        ::setenv(LOCK_FAULT_VARIABLE, lockFaultName(fault), 1);
        const std::string filterOption = "--gtest_filter=" + filter;
        ::execl("/proc/self/exe", "brolix_tests", filterOption.c_str(), nullptr);
        std::printf("cannot run the tests again: %s\n", std::strerror(errno));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
        output.append(buffer, static_cast<size_t>(got));
    ::close(pipeFds[0]);
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

/// Runs the tests `filter` under each fault in turn, expecting them all to pass
/// (the child's output must hold `passed`, gtest's summary line). Returns how
/// many faults could be set up; the test should skip when none could.
inline int runUnderEveryLockFault(const std::string& filter, const std::string& passed,
                                  const std::string& lockName) {
    int ran = 0;
    for (LockFault fault :
         {LockFault::PLAIN_FILE, LockFault::READ_ONLY, LockFault::FULL, LockFault::NOT_ALLOWED}) {
        std::string output;
        const int status = runWithBrokenLockFolder(fault, filter, output, lockName);
        if (status == LOCK_FAULT_UNAVAILABLE) continue;
        ++ran;
        EXPECT_EQ(status, 0) << lockFaultName(fault) << ":\n" << output;
        EXPECT_NE(output.find(passed), std::string::npos) << lockFaultName(fault) << ":\n" << output;
    }
    return ran;
}

}  // namespace test
}  // namespace Brolix
