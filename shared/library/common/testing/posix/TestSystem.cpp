// The POSIX side of the test system services: the environment through setenv,
// children by fork and execve with pipes made close-on-exec (so that no other
// child inherits them) and every other descriptor closed at the exec, open
// handles from /proc/self/fd, the resource store through BROLIX_REGISTRY, and a
// tmpfs in a mount namespace of the process's own.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "TestDirectory.h"
#include "testing/TestSystemSide.h"

extern char** environ;

namespace Brolix {
namespace test {

void setVariable(const std::string& name, const std::string& value) {
    ::setenv(name.c_str(), value.c_str(), 1);
}

void unsetVariable(const std::string& name) { ::unsetenv(name.c_str()); }

std::string thisProgram() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

void killThisProcess() {
    ::raise(SIGKILL);
    ::_exit(137);
}

namespace side {

struct Process {
    pid_t pid = -1;
    int input = -1;
    int streams[3] = {-1, -1, -1};  // indexed by stream number; 0 unused
};

namespace {

void closeDescriptor(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

/// The environment of the child: this process's with the changes applied.
std::vector<std::string> childEnvironment(const ChildOptions& options) {
    std::vector<std::string> variables;
    auto changed = [&](const std::string& entry) {
        const std::string name = entry.substr(0, entry.find('='));
        for (const auto& set : options.setVariables) {
            if (set.first == name) return true;
        }
        for (const std::string& unset : options.unsetVariables) {
            if (unset == name) return true;
        }
        return false;
    };
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!changed(*entry)) variables.emplace_back(*entry);
    }
    for (const auto& set : options.setVariables) variables.push_back(set.first + "=" + set.second);
    return variables;
}

}  // namespace

Process* startProcess(const std::string& program, const std::vector<std::string>& arguments,
                      const ChildOptions& options, std::string& problem) {
    // Everything the child needs is made before the fork: between fork and exec
    // only async-signal-safe calls are made.
    std::vector<std::string> argumentCopies;
    argumentCopies.push_back(program);
    argumentCopies.insert(argumentCopies.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : argumentCopies) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<std::string> variables = childEnvironment(options);
    std::vector<char*> envp;
    for (std::string& v : variables) envp.push_back(&v[0]);
    envp.push_back(nullptr);

    // A child that stops reading its input must fail the write (EPIPE), not
    // end the test program; the child gets the usual disposition back.
    if (options.withInput) ::signal(SIGPIPE, SIG_IGN);
    std::unique_ptr<Process> process(new Process);
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    int errors[2] = {-1, -1};
    bool piped = true;
    if (options.withInput) piped = ::pipe2(input, O_CLOEXEC) == 0;
    if (piped && options.captureOutput)
        piped = ::pipe2(output, O_CLOEXEC) == 0 && ::pipe2(errors, O_CLOEXEC) == 0;
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (!piped || null < 0) {
        problem = std::string("no pipe: ") + std::strerror(errno);
        for (int fd : {input[0], input[1], output[0], output[1], errors[0], errors[1], null}) {
            if (fd >= 0) ::close(fd);
        }
        return nullptr;
    }
    // Where exec fails, the child reports its errno through this pipe.
    int failure[2];
    if (::pipe2(failure, O_CLOEXEC) != 0) failure[0] = failure[1] = -1;
    const long descriptors = ::sysconf(_SC_OPEN_MAX);

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        ::dup2(options.withInput ? input[0] : null, 0);
        if (options.captureOutput) {
            ::dup2(output[1], 1);
            ::dup2(errors[1], 2);
        }
        // Whatever else this process holds open stays here.
        if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            for (long fd = 3; fd < descriptors; ++fd) ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        }
        if (!options.directory.empty() && ::chdir(options.directory.c_str()) != 0) {
            const int error = errno;
            if (::write(failure[1], &error, sizeof error) < 0) {
            }
            ::_exit(127);
        }
        ::execve(argv[0], argv.data(), envp.data());
        const int error = errno;
        if (::write(failure[1], &error, sizeof error) < 0) {
        }
        ::_exit(127);
    }
    ::close(null);
    closeDescriptor(input[0]);
    closeDescriptor(output[1]);
    closeDescriptor(errors[1]);
    closeDescriptor(failure[1]);
    int error = 0;
    const bool failed =
        pid < 0 || (failure[0] >= 0 && ::read(failure[0], &error, sizeof error) == sizeof error);
    if (pid < 0) error = errno;
    closeDescriptor(failure[0]);
    if (failed) {
        if (pid > 0) ::waitpid(pid, nullptr, 0);
        problem = "cannot start " + program + ": " + std::strerror(error);
        for (int fd : {input[1], output[0], errors[0]}) {
            if (fd >= 0) ::close(fd);
        }
        return nullptr;
    }
    process->pid = pid;
    process->input = input[1];
    process->streams[1] = output[0];
    process->streams[2] = errors[0];
    return process.release();
}

size_t readStream(Process& process, int stream, char* buffer, size_t size) {
    const int fd = process.streams[stream];
    if (fd < 0) return 0;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, size);
        if (got >= 0) return static_cast<size_t>(got);
        if (errno != EINTR) return 0;
    }
}

bool writeInput(Process& process, const std::string& text) {
    if (process.input < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(process.input, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

void closeInput(Process& process) { closeDescriptor(process.input); }

ProcessEnd waitProcess(Process& process, long timeoutMs) {
    ProcessEnd end;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const pid_t done = ::waitpid(process.pid, &status, WUNTRACED | (timeoutMs >= 0 ? WNOHANG : 0));
        if (done == process.pid) break;
        if (done < 0 && errno != EINTR) {
            end.running = true;
            return end;
        }
        if (done == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                end.running = true;
                return end;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    if (WIFSTOPPED(status)) {
        end.stopped = true;
        return end;
    }
    if (WIFEXITED(status)) end.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) {
        end.signal = WTERMSIG(status);
        end.killed = end.signal == SIGKILL;
    }
    process.pid = -1;
    return end;
}

void killProcess(Process& process) {
    if (process.pid > 0) ::kill(process.pid, SIGKILL);
}

void resumeProcess(Process& process) {
    if (process.pid > 0) ::kill(process.pid, SIGCONT);
}

bool askToStop(Process& process, ChildProcess::StopRequest request) {
    return process.pid > 0 &&
           ::kill(process.pid, request == ChildProcess::StopRequest::INTERRUPT ? SIGINT : SIGTERM) == 0;
}

void releaseProcess(Process* process) {
    closeDescriptor(process->input);
    closeDescriptor(process->streams[1]);
    closeDescriptor(process->streams[2]);
    delete process;
}

}  // namespace side

int openHandles(const std::string& path) {
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real) == nullptr) return 0;
    int count = 0;
    DIR* descriptors = ::opendir("/proc/self/fd");
    if (descriptors == nullptr) return 0;
    while (const dirent* entry = ::readdir(descriptors)) {
        char target[PATH_MAX];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        if (length > 0 && std::string(target, static_cast<size_t>(length)) == real) ++count;
    }
    ::closedir(descriptors);
    return count;
}

struct ResourceStore::State {
    std::unique_ptr<TestDirectory> directory;  // none when the store is the parent's
    std::string file;
    std::unique_ptr<ScopedVariable> store;
};

ResourceStore::ResourceStore() : m_state(new State) {
    const char* parents = std::getenv(TEST_STORE_VARIABLE);
    if (parents != nullptr && *parents != '\0') {
        m_state->file = parents;
    } else {
        m_state->directory.reset(new TestDirectory);
        if (m_state->directory->path().empty()) return;
        m_state->file = m_state->directory->file("registry.reg");
    }
    m_state->store.reset(new ScopedVariable("BROLIX_REGISTRY", m_state->file));
}

ResourceStore::~ResourceStore() = default;

bool ResourceStore::usable() const { return !m_state->file.empty(); }

const std::string& ResourceStore::file() const { return m_state->file; }

std::vector<std::pair<std::string, std::string>> ResourceStore::childVariables() const {
    return {{TEST_STORE_VARIABLE, m_state->file}, {"BROLIX_REGISTRY", m_state->file}};
}

PrivateTmpfs::PrivateTmpfs(const std::string& path, size_t kilobytes) : m_path(path) {
    static const bool ownNamespace =
        ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    if (!ownNamespace) return;
    const std::string options = "size=" + std::to_string(kilobytes) + "k";
    m_mounted = ::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

PrivateTmpfs::~PrivateTmpfs() {
    if (m_mounted) ::umount2(m_path.c_str(), MNT_DETACH);
}

void PrivateTmpfs::fill(const std::string& name) const {
    const int fd = ::open((m_path + "/" + name).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    while (::write(fd, "f", 1) > 0) {
    }
    ::close(fd);
}

size_t longestPath() { return PATH_MAX; }

bool openFilesBlockReplacement() { return false; }

int processId() { return static_cast<int>(::getpid()); }

// Slots are abstract unix sockets, which belong to the network namespace. As
// root a new namespace is enough; otherwise a user namespace comes with it, in
// which this user keeps its own ids.
bool ownSlotNames(std::string& problem) {
    if (::unshare(CLONE_NEWNET) == 0) return true;
    const int asUser = errno;
    const std::string uid = std::to_string(::getuid()), gid = std::to_string(::getgid());
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        problem = std::string("no network namespace of its own (unshare: ") + std::strerror(asUser) + ", " +
                  std::strerror(errno) + " with a user namespace)";
        return false;
    }
    auto put = [](const char* path, const std::string& text) {
        const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
        const bool written =
            fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        if (fd >= 0) ::close(fd);
        return written;
    };
    put("/proc/self/setgroups", "deny");
    if (!put("/proc/self/uid_map", uid + " " + uid + " 1\n") ||
        !put("/proc/self/gid_map", gid + " " + gid + " 1\n")) {
        problem = "no ids in the user namespace of its own";
        return false;
    }
    return true;
}

std::string systemErrorWords(int error) { return std::strerror(error); }

// Slots are unix datagram sockets: a second bind fails, a connect without a
// receiver is refused, a full queue is "try again".
const SlotFacts& slotFacts() {
    static const SlotFacts facts = {EADDRINUSE, ECONNREFUSED, EAGAIN, ECONNREFUSED, 0};
    return facts;
}

std::string systemName(const std::string& utf8) { return utf8; }

}  // namespace test
}  // namespace Brolix
