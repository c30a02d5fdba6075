// The Windows side of the test system services, on the system's own calls:
//
//  - the environment through the C runtime's _putenv_s, which also sets the
//    process's own (children are made from that);
//  - children by CreateProcessA with anonymous pipes; the handle list of the
//    start-up attributes names the only handles a child inherits, so that it
//    never holds a file of the test open (an open file could not be replaced
//    or removed while the child lives);
//  - "killing" is TerminateProcess with the status KILLED_STATUS, which is how
//    a killed child is told from one that exited;
//  - every child belongs to a job object that ends it when this process ends,
//    so that a test that is stopped (a time limit) leaves no worker behind;
//  - open handles: every handle value of this process, compared by the final
//    path of each file handle;
//  - the resource store: HKEY_LOCAL_MACHINE of this process is redirected to a
//    key of the current user with RegOverridePredefKey.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "testing/TestSystemSide.h"

namespace Brolix {
namespace test {

namespace {

/// The exit status of a process ended by kill() or killThisProcess().
const UINT KILLED_STATUS = 137;

std::string systemText(DWORD error) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message(text != nullptr ? text : "", length);
    if (text != nullptr) ::LocalFree(text);
    while (!message.empty() && static_cast<unsigned char>(message.back()) <= ' ') message.pop_back();
    return message + " (error " + std::to_string(error) + ")";
}

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

/// One argument quoted so that the C runtime's parser of the child gives it
/// back unchanged: backslashes are literal except before a quote.
std::string quoted(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) return argument;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, '\\');
    out.push_back('"');
    return out;
}

/// The environment block of a child: this process's with the changes applied.
std::vector<char> childEnvironment(const ChildOptions& options) {
    std::vector<std::string> entries;
    char* block = ::GetEnvironmentStringsA();
    for (const char* entry = block; entry != nullptr && *entry != '\0'; entry += std::strlen(entry) + 1) {
        const std::string text(entry);
        // Entries such as "=C:=C:\dir" keep their leading '='.
        const std::string name = text.substr(0, text.find('=', 1));
        bool changed = false;
        for (const auto& set : options.setVariables) changed = changed || sameName(set.first, name);
        for (const std::string& unset : options.unsetVariables) changed = changed || sameName(unset, name);
        if (!changed) entries.push_back(text);
    }
    if (block != nullptr) ::FreeEnvironmentStringsA(block);
    for (const auto& set : options.setVariables) entries.push_back(set.first + "=" + set.second);
    std::vector<char> result;
    for (const std::string& e : entries) {
        result.insert(result.end(), e.begin(), e.end());
        result.push_back('\0');
    }
    result.push_back('\0');
    return result;
}

/// Made inheritable only for the time a child is started.
HANDLE inheritableCopy(HANDLE handle) {
    HANDLE copy = nullptr;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, TRUE,
                           DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

/// The job whose processes end with this process (the job's last handle).
HANDLE childrenJob() {
    static const HANDLE job = [] {
        const HANDLE made = ::CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (made != nullptr)
            ::SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        return made;
    }();
    return job;
}

void closeHandle(HANDLE& handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    handle = nullptr;
}

}  // namespace

void setVariable(const std::string& name, const std::string& value) {
    ::_putenv_s(name.c_str(), value.c_str());
}

void unsetVariable(const std::string& name) { ::_putenv_s(name.c_str(), ""); }

std::string thisProgram() {
    std::vector<char> path(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return std::string();
        if (length < path.size()) return std::string(path.data(), length);
        path.resize(path.size() * 2);
    }
}

void killThisProcess() {
    ::TerminateProcess(::GetCurrentProcess(), KILLED_STATUS);
    std::_Exit(static_cast<int>(KILLED_STATUS));
}

namespace side {

struct Process {
    HANDLE process = nullptr;
    HANDLE input = nullptr;
    HANDLE streams[3] = {nullptr, nullptr, nullptr};  // indexed by stream number; 0 unused
};

Process* startProcess(const std::string& program, const std::vector<std::string>& arguments,
                      const ChildOptions& options, std::string& problem) {
    // Handles are inheritable only while a child is made, and every child names
    // its own in the handle list: one child at a time.
    static std::mutex starting;
    std::lock_guard<std::mutex> lock(starting);

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE childEnds[3] = {nullptr, nullptr, nullptr};
    std::unique_ptr<Process> process(new Process);
    bool ready = true;
    if (options.withInput) {
        ready = ::CreatePipe(&childEnds[0], &process->input, &inherit, 0) &&
                ::SetHandleInformation(process->input, HANDLE_FLAG_INHERIT, 0);
    } else {
        childEnds[0] = ::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ready = childEnds[0] != INVALID_HANDLE_VALUE;
    }
    for (int stream = 1; stream <= 2 && ready; ++stream) {
        if (options.captureOutput) {
            ready = ::CreatePipe(&process->streams[stream], &childEnds[stream], &inherit, 0) &&
                    ::SetHandleInformation(process->streams[stream], HANDLE_FLAG_INHERIT, 0);
        } else {
            childEnds[stream] =
                inheritableCopy(::GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE));
        }
    }
    const DWORD setupError = ::GetLastError();

    std::vector<HANDLE> inherited;
    for (HANDLE h : childEnds) {
        if (h != nullptr && h != INVALID_HANDLE_VALUE &&
            std::find(inherited.begin(), inherited.end(), h) == inherited.end())
            inherited.push_back(h);
    }
    SIZE_T attributeSize = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &attributeSize);
    std::vector<char> attributeSpace(attributeSize);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeSpace.data());
    ready = ready && ::InitializeProcThreadAttributeList(attributes, 1, 0, &attributeSize) &&
            ::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                        inherited.size() * sizeof(HANDLE), nullptr, nullptr);

    PROCESS_INFORMATION started = {};
    DWORD error = ready ? 0 : setupError;
    if (ready) {
        STARTUPINFOEXA startup = {};
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = childEnds[0];
        startup.StartupInfo.hStdOutput = childEnds[1];
        startup.StartupInfo.hStdError = childEnds[2];
        startup.lpAttributeList = attributes;
        std::string commandLine = quoted(program);
        for (const std::string& a : arguments) commandLine += " " + quoted(a);
        std::vector<char> environment = childEnvironment(options);
        // Started suspended, so that it is in the job before it runs.
        if (!::CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                              EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED, environment.data(),
                              options.directory.empty() ? nullptr : options.directory.c_str(),
                              &startup.StartupInfo, &started)) {
            error = ::GetLastError();
            ready = false;
        }
        ::DeleteProcThreadAttributeList(attributes);
    }
    for (HANDLE& h : childEnds) closeHandle(h);
    if (!ready) {
        problem = "cannot start " + program + ": " + systemText(error);
        releaseProcess(process.release());
        return nullptr;
    }
    if (childrenJob() != nullptr) ::AssignProcessToJobObject(childrenJob(), started.hProcess);
    ::ResumeThread(started.hThread);
    ::CloseHandle(started.hThread);
    process->process = started.hProcess;
    return process.release();
}

size_t readStream(Process& process, int stream, char* buffer, size_t size) {
    const HANDLE pipe = process.streams[stream];
    if (pipe == nullptr) return 0;
    DWORD got = 0;
    if (!::ReadFile(pipe, buffer, static_cast<DWORD>(size), &got, nullptr)) return 0;
    return got;
}

bool writeInput(Process& process, const std::string& text) {
    if (process.input == nullptr) return false;
    size_t done = 0;
    while (done < text.size()) {
        DWORD wrote = 0;
        if (!::WriteFile(process.input, text.data() + done, static_cast<DWORD>(text.size() - done), &wrote,
                         nullptr) ||
            wrote == 0)
            return false;
        done += wrote;
    }
    return true;
}

void closeInput(Process& process) { closeHandle(process.input); }

ProcessEnd waitProcess(Process& process, long timeoutMs) {
    ProcessEnd end;
    const DWORD waited =
        ::WaitForSingleObject(process.process, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (waited != WAIT_OBJECT_0) {
        end.running = true;
        return end;
    }
    DWORD status = 0;
    ::GetExitCodeProcess(process.process, &status);
    if (status == KILLED_STATUS) {
        end.killed = true;
    } else {
        end.exitCode = static_cast<int>(status);
    }
    return end;
}

void killProcess(Process& process) { ::TerminateProcess(process.process, KILLED_STATUS); }

void resumeProcess(Process&) {}

bool askToStop(Process&, ChildProcess::StopRequest) { return false; }

void releaseProcess(Process* process) {
    closeHandle(process->process);
    closeHandle(process->input);
    closeHandle(process->streams[1]);
    closeHandle(process->streams[2]);
    delete process;
}

}  // namespace side

namespace {

// Handle values are multiples of 4; a test process holds far fewer handles
// than this bound.
const uintptr_t HANDLE_VALUES_LOOKED_AT = 1 << 16;

std::string finalPath(HANDLE file) {
    char path[MAX_PATH * 4];
    const DWORD length = ::GetFinalPathNameByHandleA(file, path, sizeof path, FILE_NAME_NORMALIZED);
    return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}

}  // namespace

int openHandles(const std::string& path) {
    const HANDLE probe =
        ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return 0;
    const std::string wanted = finalPath(probe);
    ::CloseHandle(probe);
    if (wanted.empty()) return 0;

    // This process's own handles, value by value: the system's table of all
    // handles (NtQuerySystemInformation) is not asked, because under Wine that
    // query made the server crash while other processes opened and closed
    // handles.
    int count = 0;
    for (uintptr_t value = 4; value < HANDLE_VALUES_LOOKED_AT; value += 4) {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        if (!::GetHandleInformation(handle, &flags)) continue;
        if (::GetFileType(handle) != FILE_TYPE_DISK) continue;
        if (sameName(finalPath(handle), wanted)) ++count;
    }
    return count;
}

struct ResourceStore::State {
    std::string keyPath;  // below HKEY_CURRENT_USER
    HKEY key = nullptr;
    bool owner = false;
    std::string noFile;
    HKEY outer = nullptr;  // the store in use before this one; none: the machine's
};

namespace {
// The key that stands in for HKEY_LOCAL_MACHINE now (stores nest like scopes).
HKEY g_storeInUse = nullptr;
}  // namespace

ResourceStore::ResourceStore() : m_state(new State) {
    State& s = *m_state;
    const char* parents = std::getenv(TEST_STORE_VARIABLE);
    if (parents != nullptr && *parents != '\0') {
        s.keyPath = parents;
        if (::RegOpenKeyExA(HKEY_CURRENT_USER, s.keyPath.c_str(), 0, KEY_ALL_ACCESS, &s.key) != ERROR_SUCCESS)
            s.key = nullptr;
    } else {
        static std::atomic<unsigned> made{0};
        s.keyPath = "Software\\BrolixTest\\" + std::to_string(::GetCurrentProcessId()) + "-" +
                    std::to_string(::GetTickCount64()) + "-" + std::to_string(made++);
        s.owner = true;
        if (::RegCreateKeyExA(HKEY_CURRENT_USER, s.keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &s.key, nullptr) != ERROR_SUCCESS)
            s.key = nullptr;
    }
    if (s.key != nullptr && ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, s.key) != ERROR_SUCCESS) {
        ::RegCloseKey(s.key);
        s.key = nullptr;
    }
    if (s.key == nullptr) return;
    s.outer = g_storeInUse;
    g_storeInUse = s.key;
}

ResourceStore::~ResourceStore() {
    State& s = *m_state;
    if (s.key == nullptr) return;
    // Back to the store in use before (nullptr: the machine's own key).
    ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, s.outer);
    g_storeInUse = s.outer;
    ::RegCloseKey(s.key);
    if (!s.owner) return;
    ::RegDeleteTreeA(HKEY_CURRENT_USER, s.keyPath.c_str());
    ::RegDeleteKeyA(HKEY_CURRENT_USER, s.keyPath.c_str());
    // The common parent goes with the last store (it cannot while others exist).
    ::RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\BrolixTest");
}

bool ResourceStore::usable() const { return m_state->key != nullptr; }

const std::string& ResourceStore::file() const { return m_state->noFile; }

std::vector<std::pair<std::string, std::string>> ResourceStore::childVariables() const {
    return {{TEST_STORE_VARIABLE, m_state->keyPath}};
}

PrivateTmpfs::PrivateTmpfs(const std::string& path, size_t) : m_path(path) {}

PrivateTmpfs::~PrivateTmpfs() = default;

void PrivateTmpfs::fill(const std::string&) const {}

size_t longestPath() { return MAX_PATH; }

bool openFilesBlockReplacement() { return true; }

int processId() { return static_cast<int>(::GetCurrentProcessId()); }

// Mail slot names are the machine's: only a machine of the tests' own keeps them
// apart from real services.
bool ownSlotNames(std::string& problem) {
    const char* machine = std::getenv(PRIVATE_MACHINE_VARIABLE);
    if (machine != nullptr && std::string(machine) == "1") return true;
    problem =
        std::string("mail slot names are the whole machine's, and ") + PRIVATE_MACHINE_VARIABLE +
        " does not say that this machine is the tests' own (scripts/test sets it for its fresh Wine prefix)";
    return false;
}

std::string systemErrorWords(int error) {
    const std::string text = systemText(static_cast<DWORD>(error));
    return text.substr(0, text.rfind(" (error "));
}

// A write that ran out of time is cancelled and reported as WAIT_TIMEOUT. Wine
// keeps a closed slot's messages to itself and cannot open broadcast paths.
const SlotFacts& slotFacts() {
    static const bool underWine =
        ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    static const SlotFacts facts = {ERROR_ALREADY_EXISTS, ERROR_FILE_NOT_FOUND, WAIT_TIMEOUT, 0,
                                    underWine ? ERROR_PATH_NOT_FOUND : 0};
    return facts;
}

std::string systemName(const std::string& utf8) {
    const int wideLength = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), -1, nullptr, 0);
    if (wideLength <= 0) return std::string();
    std::wstring wide(static_cast<size_t>(wideLength), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), -1, &wide[0], wideLength);
    const UINT page = ::GetACP();
    BOOL defaulted = FALSE;
    const int length = ::WideCharToMultiByte(page, page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS, wide.c_str(), -1,
                                             nullptr, 0, nullptr, page == CP_UTF8 ? nullptr : &defaulted);
    if (length <= 0 || defaulted) return std::string();
    std::string name(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(page, page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, &name[0], length,
                          nullptr, nullptr);
    name.resize(static_cast<size_t>(length - 1));
    return name;
}

}  // namespace test
}  // namespace Brolix
