/// Test support for faults made for real: a small file system that fills up
/// (tmpfs in a mount namespace of the test process's own), and the worker
/// process run with the fault injector, stopped or killed at a chosen call.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace Brolix {
namespace test {

/// A tmpfs of `kilobytes` mounted on `path` (an empty directory) for the
/// object's lifetime. The mount lives in a mount namespace of this process's
/// own, so nothing outside the test ever sees it. usable() is false where the
/// system refuses (not root, no namespaces): the test should skip then.
class PrivateTmpfs {
public:
    PrivateTmpfs(const std::string& path, size_t kilobytes) : m_path(path) {
        static const bool ownNamespace =
            ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        if (!ownNamespace) return;
        const std::string options = "size=" + std::to_string(kilobytes) + "k";
        m_mounted = ::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~PrivateTmpfs() {
        if (m_mounted) ::umount2(m_path.c_str(), MNT_DETACH);
    }
    PrivateTmpfs(const PrivateTmpfs&) = delete;
    PrivateTmpfs& operator=(const PrivateTmpfs&) = delete;

    bool usable() const { return m_mounted; }

    /// Fills what is left of the file system with one file of that name.
    void fill(const std::string& name) const {
        const int fd = ::open((m_path + "/" + name).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd < 0) return;
        const std::string block(4096, 'f');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        while (::write(fd, "f", 1) > 0) {
        }
        ::close(fd);
    }

private:
    std::string m_path;
    bool m_mounted = false;
};

/// How a worker process ended.
struct WorkerEnd {
    int exitCode = -1;  ///< -1 when it did not exit by itself
    int signal = 0;     ///< the signal that ended it
    bool stopped = false;
};

/// A worker process (brolix_file_worker) under test.
class Worker {
public:
    /// Starts the worker with `arguments`; with a non-empty `fault` it runs with
    /// the injector loaded and BROLIX_FAULT set to it.
    Worker(const std::vector<std::string>& arguments, const std::string& fault = std::string()) {
        m_pid = ::fork();
        if (m_pid != 0) return;
        if (!fault.empty()) {
            ::setenv("LD_PRELOAD", BROLIX_FAULT_SHIM, 1);
            ::setenv("BROLIX_FAULT", fault.c_str(), 1);
            // The sanitizer runtime must not insist on coming first.
            const char* asan = std::getenv("ASAN_OPTIONS");
            const std::string options =
                std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
            ::setenv("ASAN_OPTIONS", options.c_str(), 1);
        }
        std::vector<char*> argv;
        static std::string program = BROLIX_FILE_WORKER;
        argv.push_back(&program[0]);
        std::vector<std::string> copies(arguments);
        for (std::string& a : copies) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ~Worker() {
        if (m_pid > 0 && !m_done) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    /// Waits until the worker ends or stops itself.
    WorkerEnd wait() {
        WorkerEnd end;
        int status = 0;
        if (::waitpid(m_pid, &status, WUNTRACED) != m_pid) return end;
        if (WIFSTOPPED(status)) {
            end.stopped = true;
            return end;
        }
        m_done = true;
        if (WIFEXITED(status)) end.exitCode = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
        return end;
    }
    /// Lets a stopped worker go on.
    void resume() { ::kill(m_pid, SIGCONT); }

private:
    pid_t m_pid = -1;
    bool m_done = false;
};

/// A reader in a child process of its own that runs `check` over and over until
/// it is stopped; it ends at the first check that fails.
class Poller {
public:
    explicit Poller(const std::function<bool()>& check) {
        if (::pipe(m_stop) != 0) return;
        m_pid = ::fork();
        if (m_pid != 0) return;
        long checks = 0;
        for (;;) {
            if (!check()) _exit(1);
            ++checks;
            struct pollfd stop = {m_stop[0], POLLIN, 0};
            if (::poll(&stop, 1, 0) > 0) break;
        }
        std::fprintf(stderr, "%ld checks passed\n", checks);
        _exit(0);
    }
    ~Poller() { stop(); }
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    /// Stops the reader; true when every check it made passed.
    bool stop() {
        if (m_pid <= 0) return m_result;
        if (::write(m_stop[1], "x", 1) != 1) ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        ::close(m_stop[0]);
        ::close(m_stop[1]);
        m_pid = -1;
        m_result = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        return m_result;
    }

private:
    int m_stop[2] = {-1, -1};
    pid_t m_pid = -1;
    bool m_result = false;
};

/// The exit code of a worker that ended with a FileException of `code`.
inline int exitForCode(unsigned code) { return 20 + static_cast<int>(code); }

}  // namespace test
}  // namespace Brolix
