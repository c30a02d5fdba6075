/// The system services that tests need beyond what the library itself offers:
/// the environment, child processes (this test program again, or another
/// program), the handles open on a file, a resource store of the test's own,
/// and a small file system that fills up. One header for every system; the
/// build links the side that serves it (testing/posix or testing/win32), so
/// that the same tests run everywhere and a test never asks which system it
/// is on. Where a service cannot exist on a system (a mount of the test's own
/// on Windows), it says so through usable(), and the test skips with the
/// reason.
///
/// Everything here is independent of the library under test: it uses the
/// system's calls directly.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Brolix {
namespace test {

// ---- the environment ----

/// Sets a variable of this process's environment (children inherit it). On
/// Windows the C runtime keeps no empty variables: an empty value removes the
/// variable in this process, while a child started with an empty value
/// (ChildOptions) sees it set and empty.
void setVariable(const std::string& name, const std::string& value);
/// Removes a variable of this process's environment.
void unsetVariable(const std::string& name);

/// Sets or removes a variable for the object's lifetime and then puts back
/// what was there before.
class ScopedVariable {
public:
    /// Sets `name` to `value`.
    ScopedVariable(const std::string& name, const std::string& value);
    /// Removes `name`.
    explicit ScopedVariable(const std::string& name);
    ~ScopedVariable();
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    std::string m_name;
    bool m_had = false;
    std::string m_previous;
};

// ---- child processes ----

/// The path of the running program.
std::string thisProgram();

/// How a child process ended, or why a wait for it returned before its end.
struct ProcessEnd {
    bool running = false;  ///< a wait with a time limit ran out first
    bool stopped = false;  ///< it stopped itself (POSIX SIGSTOP); resume() lets it go on
    int exitCode = -1;     ///< the status it exited with; -1 when it did not exit by itself
    bool killed = false;   ///< ended by ChildProcess::kill or killThisProcess
    int signal = 0;        ///< POSIX: the signal that ended it (SIGKILL when killed)
};

/// How a child process is started.
struct ChildOptions {
    /// Variables set (name, value) and removed in the child's environment;
    /// everything else is inherited.
    std::vector<std::pair<std::string, std::string>> setVariables;
    std::vector<std::string> unsetVariables;
    /// Its working directory; empty: this process's.
    std::string directory;
    /// Its standard output and error are collected (output(), errors());
    /// otherwise it writes to this process's.
    bool captureOutput = true;
    /// Its standard input is a pipe that write() feeds; otherwise the null
    /// device.
    bool withInput = false;
};

/// One child process, started by the constructor. The object owns it: a child
/// still running when the object goes is killed and waited for. Nothing else
/// of this process is inherited by the child (no open files, no handles).
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const ChildOptions& options = ChildOptions());
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// False when the system could not start the program; problem() says why.
    bool started() const;
    const std::string& problem() const;

    /// Feeds its standard input (withInput); false when that failed.
    bool write(const std::string& text);
    /// Ends its standard input.
    void closeInput();

    /// Waits until what it wrote to its standard output contains `text`; false
    /// when it ended or the time ran out first.
    bool waitForOutput(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(30000));
    /// Waits until it ends or stops itself. After its end all its output has
    /// been collected.
    ProcessEnd wait();
    /// As wait(), giving up after `timeout` (running is then true).
    ProcessEnd wait(std::chrono::milliseconds timeout);
    /// Ends it at once, without giving it a chance to clean up (SIGKILL,
    /// TerminateProcess), and waits for its end.
    ProcessEnd kill();
    /// Lets a stopped child go on.
    void resume();

    /// How a person asks a console program to stop.
    enum class StopRequest {
        INTERRUPT,  ///< Ctrl+C (SIGINT)
        TERMINATE,  ///< POSIX SIGTERM
    };
    /// Asks it to stop; false where a test cannot ask so (Windows: Ctrl+C reaches
    /// only the programs of the test's own console, and its children are
    /// started without one).
    bool askToStop(StopRequest request);

    /// What it wrote to its standard output and error so far.
    std::string output() const;
    std::string errors() const;

    struct State;

private:
    std::unique_ptr<State> m_state;
};

/// The variable that tells a child started by startThisTest its role.
constexpr const char* TEST_ROLE_VARIABLE = "BROLIX_TEST_ROLE";

/// Starts this test program again to run the current test alone, with the
/// variable TEST_ROLE_VARIABLE set to `role`. The test finds its role with
/// testRole(), plays it and ends the process with its result (std::_Exit), so
/// that a test holds both sides of a conversation between processes.
std::unique_ptr<ChildProcess> startThisTest(const std::string& role, ChildOptions options = ChildOptions());
/// The role this process was started for by startThisTest; empty in the test's
/// own process.
std::string testRole();

/// Ends this process at once, as ChildProcess::kill would.
[[noreturn]] void killThisProcess();

// ---- open handles ----

/// The number of handles (file descriptors) of this process that are open on
/// the file at `path`; 0 when the file does not exist.
int openHandles(const std::string& path);

// ---- a resource store of the test's own ----

/// For the object's lifetime every resource this process reads or writes goes
/// to a store of its own, fresh and empty. On Linux the store is a file in a
/// fresh directory, named by BROLIX_REGISTRY; on Windows this process's
/// HKEY_LOCAL_MACHINE is redirected to a fresh key of the current user.
/// Afterwards everything is as before and the store is gone. The variable
/// BROLIX_ENV is left as it is.
///
/// A child started with childVariables() in its environment shares the store:
/// a ResourceStore made there uses the parent's instead of making one. On Linux
/// any program started so uses it; on Windows only test programs do.
class ResourceStore {
public:
    ResourceStore();
    ~ResourceStore();
    ResourceStore(const ResourceStore&) = delete;
    ResourceStore& operator=(const ResourceStore&) = delete;

    /// False when the store could not be set up.
    bool usable() const;
    /// The store's file where the store is a file; empty where it is the
    /// system's registry.
    const std::string& file() const;
    /// The variables that let a child use this store.
    std::vector<std::pair<std::string, std::string>> childVariables() const;

    struct State;

private:
    std::unique_ptr<State> m_state;
};

/// The variable through which a child finds its parent's ResourceStore.
constexpr const char* TEST_STORE_VARIABLE = "BROLIX_TEST_STORE";

// ---- a file system that fills up ----

/// A small file system of `kilobytes` mounted on `path` (an empty directory)
/// for the object's lifetime, seen by this process only (Linux: a tmpfs in a
/// mount namespace of the process's own). usable() is false where the system
/// refuses or has no such thing (not root, no namespaces, Windows): the test
/// skips then.
class PrivateTmpfs {
public:
    PrivateTmpfs(const std::string& path, size_t kilobytes);
    ~PrivateTmpfs();
    PrivateTmpfs(const PrivateTmpfs&) = delete;
    PrivateTmpfs& operator=(const PrivateTmpfs&) = delete;

    bool usable() const { return m_mounted; }
    /// Fills what is left of the file system with one file of that name.
    void fill(const std::string& name) const;

private:
    std::string m_path;
    bool m_mounted = false;
};

// ---- what the system's calls take ----

/// The longest path, in bytes with its terminating zero, that the system's
/// calls of the library take (Linux PATH_MAX; Windows MAX_PATH for the ANSI
/// calls).
size_t longestPath();

// ---- mail slots ----

/// This process's id, for names that no other test program uses at the same
/// moment.
int processId();

/// The system's words for one of its error codes, as a program shows them
/// (without a line end).
std::string systemErrorWords(int error);

/// The variable that tells tests on Windows that the whole machine is theirs
/// (scripts/test sets it to 1 for the fresh Wine prefix it runs them in).
constexpr const char* PRIVATE_MACHINE_VARIABLE = "BROLIX_TEST_PRIVATE_MACHINE";

/// Makes the mail slots that this process and the children it starts from now
/// on own and write to their own, so that a test may use the slot of a real
/// service ("Brolix_Core") without meeting a program of the machine. Linux: a
/// network namespace of the process's own (call it before the process starts
/// threads). Windows: only where the machine is the tests' own
/// (PRIVATE_MACHINE_VARIABLE); the names are then shared by every test of the
/// run, so tests that own "Brolix_Core" hold the ctest resource lock of that name
/// (brolix_add_tests OWNING_CORE_SLOT). False, with the reason in `problem`,
/// where that cannot be had: the test then skips rather than reach a real service.
bool ownSlotNames(std::string& problem);

/// What the system answers around mail slots. On Windows the values are those
/// measured under Wine 8, where it differs from Windows as noted.
struct SlotFacts {
    int nameTaken;   ///< the error of a second receiver of a name
    int noReceiver;  ///< the error of opening a slot that has no receiver
    int full;        ///< the error of a write that found the queue full for its whole wait
    /// The error of a write after the receiver closed its slot; 0 where the
    /// write succeeds and the message is lost (Wine).
    int receiverGone;
    /// The error of opening the broadcast form; 0 where it opens (Wine: 3, the
    /// path is not found).
    int broadcastRefused;
};
const SlotFacts& slotFacts();

// ---- what the system does with open files ----

/// True where a file that some process holds open cannot be replaced or
/// removed until it is closed (Windows), so that a reader can hold up a
/// writer's commit for a while.
bool openFilesBlockReplacement();

// ---- names beyond ASCII ----

/// A name given in UTF-8 as the system's calls on names take it: Linux names are
/// bytes, UTF-8 by custom, so the text itself; the ANSI calls of Windows read the
/// active code page, so the text converted to it. "" where the code page has no
/// such characters (the test then has nothing to try).
std::string systemName(const std::string& utf8);

}  // namespace test
}  // namespace Brolix
