/// ArdwenEndToEnd is the fixture of the end-to-end tests: a temporary
/// installation with its own resource store and directories in which the real
/// ardwen binary runs as a child process, its exit code, standard output and
/// standard error collected, and, for the numbered messages, the real receiver
/// program listening on the central service's slot.
///
/// The whole test program runs in a network namespace of its own (see main.cpp),
/// so that no run ever reaches a real "Brolix_Core"; the fixture refuses to run
/// when that isolation is missing.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;

/// Set by main once the program has its own network namespace.
extern bool g_isolated;

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

/// One line of the debug log, taken apart: "debug-3", "NOTICE", ...; the identity
/// such as "(9.10.11)"; and the text after the thread number.
struct LogLine {
    std::string prefix;
    std::string identity;
    std::string text;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::string gunzipFile(const std::string& path) {
    gzFile gz = gzopen(path.c_str(), "rb");
    if (!gz) return "<cannot open>";
    std::string data;
    char buffer[4096];
    int n;
    while ((n = gzread(gz, buffer, sizeof buffer)) > 0) data.append(buffer, n);
    gzclose(gz);
    return data;
}

/// Exit code of a child, or 128 + the signal that ended it.
inline int waitExit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

/// True when this process's network namespace is not the one of the process
/// that started it.
inline bool inOwnNetworkNamespace() {
    struct stat self, parent;
    const std::string parentNamespace = "/proc/" + std::to_string(getppid()) + "/ns/net";
    return stat("/proc/self/ns/net", &self) == 0 && stat(parentNamespace.c_str(), &parent) == 0 &&
           self.st_ino != parent.st_ino;
}

class ArdwenEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(g_isolated && inOwnNetworkNamespace())
            << "end-to-end runs need a network namespace of their own";
        char tmpl[] = "/tmp/ardwen-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = std::string(tmpl) + "/";
        fs::create_directories(root + "conf/xml");
        setResources({});
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    void write(const std::string& relative, const std::string& content) {
        fs::create_directories(fs::path(root + relative).parent_path());
        std::ofstream(root + relative, std::ios::binary) << content;
    }

    /// The installation's resource store: lines after the key header, such as
    /// "\"ArdwenFile\"=\"build.lst\"".
    void setResources(const std::vector<std::string>& values) {
        std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brolix\\Resources]\r\n";
        for (const auto& v : values) text += v + "\r\n";
        write("registry.reg", text);
    }

    /// How one run is started.
    struct Start {
        /// Working directory; the installation root when empty.
        std::string cwd;
        /// Runs in the child just before ardwen replaces it (limits, user).
        std::function<void()> beforeExec;
    };

    /// In a forked child: replaces the process by ardwen with the installation's
    /// environment; standard output and error go to the installation's files.
    [[noreturn]] void execArdwen(const std::vector<std::string>& args, const Start& start) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            if (std::strncmp(*e, "BROLIX_", 7) != 0) env.push_back(*e);
        }
        env.push_back("BROLIX_REGISTRY=" + root + "registry.reg");
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<std::string> argStore{ARDWEN_BINARY};
        argStore.insert(argStore.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argStore) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (chdir((start.cwd.empty() ? root : start.cwd).c_str()) != 0) _exit(120);
        const int out = open(outPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int err = open(errPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(121);
        if (start.beforeExec) start.beforeExec();
        execve(argv[0], argv.data(), envp.data());
        _exit(122);
    }

    pid_t startArdwen(const std::vector<std::string>& args, const Start& start = Start()) {
        const pid_t pid = fork();
        if (pid == 0) execArdwen(args, start);
        return pid;
    }

    RunResult finish(pid_t pid) {
        RunResult result;
        result.exitCode = waitExit(pid);
        result.out = readFile(outPath());
        result.err = readFile(errPath());
        return result;
    }

    RunResult run(const std::vector<std::string>& args, const Start& start = Start()) {
        return finish(startArdwen(args, start));
    }
    RunResult run(const std::vector<std::string>& args, const std::string& cwd) {
        Start start;
        start.cwd = cwd;
        return run(args, start);
    }

    /// Runs ardwen while the real receiver program owns the central service's
    /// slot. Returns ardwen's exit code (100 + the receiver's when that failed);
    /// the receiver's lines (it stops after `messages` lines) land in `received`.
    int runWithReceiver(const std::vector<std::string>& args, int messages, std::string& received) {
        const std::string receiverOut = root + "received.txt";
        pid_t receiver = fork();
        if (receiver == 0) {
            int fd = open(receiverOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, 1) < 0) _exit(124);
            const std::string count = std::to_string(messages);
            execl(LOGRECEIVER_BINARY, LOGRECEIVER_BINARY, "--count", count.c_str(), "--timeout", "20",
                  static_cast<char*>(nullptr));
            _exit(125);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the receiver owns its slot
        const int code = waitExit(startArdwen(args));
        const int receiverCode = waitExit(receiver);
        received = readFile(receiverOut);
        return receiverCode == 0 ? code : 100 + receiverCode;
    }

    std::vector<LogLine> logLines(const std::string& logPath) {
        std::vector<LogLine> lines;
        const std::string text = readFile(logPath);
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find("\r\n", start);
            EXPECT_NE(end, std::string::npos) << "a log line without CR LF";
            if (end == std::string::npos) break;
            const std::string line = text.substr(start, end - start);
            start = end + 2;
            LogLine l;
            l.prefix = line.substr(0, line.find(' '));
            const size_t open = line.find('(');
            const size_t close = line.find(')', open);
            l.identity = line.substr(open, close - open + 1);
            const size_t colon = line.find(": ", close);
            l.text = line.substr(colon + 2);
            lines.push_back(l);
        }
        return lines;
    }

    /// "prefix text" per log line, for comparing whole sequences.
    std::vector<std::string> logSummary(const std::string& logPath) {
        std::vector<std::string> summary;
        for (const auto& l : logLines(logPath)) {
            summary.push_back(l.prefix + " " + (l.prefix.rfind("debug-", 0) == 0 ? l.text : l.identity));
        }
        return summary;
    }

    /// `text` with every "#ROOT#" replaced by the installation's root directory.
    std::string atRoot(std::string text) const {
        for (size_t at; (at = text.find("#ROOT#")) != std::string::npos;) text.replace(at, 6, root);
        return text;
    }

    /// The names in a directory, sorted.
    std::vector<std::string> names(const std::string& directory) const {
        std::vector<std::string> found;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(directory, ec)) found.push_back(entry.path().filename().string());
        std::sort(found.begin(), found.end());
        return found;
    }

    /// What tells a file untouched: its inode, size and time stamps, as text.
    std::string identity(const std::string& path) const {
        struct stat s;
        if (stat(path.c_str(), &s) != 0) return "missing";
        return std::to_string(s.st_ino) + " " + std::to_string(s.st_size) + " " + std::to_string(s.st_mtim.tv_sec) +
               "." + std::to_string(s.st_mtim.tv_nsec) + " " + std::to_string(s.st_ctim.tv_sec) + "." +
               std::to_string(s.st_ctim.tv_nsec);
    }

    std::string defaultLog() const { return root + "Log/ArdwenDebugLog.log"; }
    std::string outPath() const { return root + "stdout.txt"; }
    std::string errPath() const { return root + "stderr.txt"; }

    /// A small, complete installation: two entries, one of them gzip.
    void writeSmallInstallation() {
        write("conf/build.lst",
              "// two configuration files\n"
              "\"a.conf\" { \"xml/a.xml\" \"xml/b.xml\" }\n"
              "\n"
              "\"c.conf.gz\" {\n  \"xml/c.xml\"\n}\n");
        write("conf/xml/a.xml",
              "<?xml version=\"1.0\"?>\n<Root><Object><Name>A</Name><Value type=\"T1\">V\\1</Value>"
              "<SubObjects><Note>skip</Note><Object><Name>B</Name><Value type=\"T2\">W</Value></Object>"
              "</SubObjects></Object></Root>\n");
        write("conf/xml/b.xml", "<Root><Object><Name>Second</Name><Value type=\"t\"/></Object></Root>");
        write("conf/xml/c.xml", "<Root><Object><Name>C</Name><Value type=\"x\">1</Value></Object></Root>");
    }
    const std::string aExpected = "A(T1)=\"V\\\\1\"\n{\n\tB(T2)=\"W\"{}\n}\nSecond(t)=\"\"{}\n";
    const std::string cExpected = "C(x)=\"1\"{}\n";

    std::string root;
};

}  // namespace e2e
