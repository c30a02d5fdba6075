// End-to-end tests: the real ardwen binary in a temporary installation with its
// own resource store, its own directories and, for the numbered messages, the
// real receiver program listening on the central service's slot.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

extern char** environ;

namespace {

struct RunResult {
    int exitCode = -1;
    std::string out;
};

/// One line of the debug log, taken apart: "debug-3", "NOTICE", ...; the identity
/// such as "(9.10.11)"; and the text after the thread number.
struct LogLine {
    std::string prefix;
    std::string identity;
    std::string text;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string gunzipFile(const std::string& path) {
    gzFile gz = gzopen(path.c_str(), "rb");
    if (!gz) return "<cannot open>";
    std::string data;
    char buffer[4096];
    int n;
    while ((n = gzread(gz, buffer, sizeof buffer)) > 0) data.append(buffer, n);
    gzclose(gz);
    return data;
}

class ArdwenEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
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

    /// In a forked child: replaces the process by ardwen with the installation's
    /// environment, in `cwd` (the installation root when empty).
    [[noreturn]] void execArdwen(const std::vector<std::string>& args, const std::string& cwd,
                                 const std::string& outPath) {
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
        if (chdir((cwd.empty() ? root : cwd).c_str()) != 0) _exit(120);
        int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0) _exit(121);
        execve(argv[0], argv.data(), envp.data());
        _exit(122);
    }

    static int waitExit(pid_t pid) {
        int status = 0;
        if (waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    RunResult run(const std::vector<std::string>& args, const std::string& cwd = "") {
        const std::string outPath = root + "stdout.txt";
        pid_t pid = fork();
        if (pid == 0) execArdwen(args, cwd, outPath);
        RunResult result;
        result.exitCode = waitExit(pid);
        result.out = readFile(outPath);
        return result;
    }

    /// Runs ardwen while the real receiver program owns the central service's
    /// slot, both inside a network namespace of their own so that no other
    /// program's slot of that name is touched. Returns ardwen's exit code; the
    /// receiver's lines (it stops after `messages` lines) land in `received`.
    int runWithReceiver(const std::vector<std::string>& args, int messages, std::string& received) {
        const std::string receiverOut = root + "received.txt";
        pid_t pid = fork();
        if (pid == 0) {
            if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) _exit(123);
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
            pid_t ardwen = fork();
            if (ardwen == 0) execArdwen(args, "", root + "stdout.txt");
            const int code = waitExit(ardwen);
            const int receiverCode = waitExit(receiver);
            _exit(receiverCode == 0 ? code : 100 + receiverCode);
        }
        const int code = waitExit(pid);
        received = readFile(receiverOut);
        return code;
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

    std::string defaultLog() const { return root + "Log/ArdwenDebugLog.log"; }

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

TEST_F(ArdwenEndToEnd, BuildsFromResourcesAndWritesExactFiles) {
    writeSmallInstallation();
    setResources({"\"ConfigurationDir\"=\"" + root + "conf\"", "\"ArdwenFile\"=\"build.lst\"",
                  "\"InstallDir\"=\"" + root + "inst\""});
    RunResult r = run({});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(readFile(root + "conf/a.conf"), aExpected);
    EXPECT_EQ(gunzipFile(root + "conf/c.conf.gz"), cExpected);
    // Level 0 from the missing "ArdwenDebugLevel": nothing is logged at all.
    EXPECT_FALSE(fs::exists(root + "inst/Log/ArdwenDebugLog.log"));
}

TEST_F(ArdwenEndToEnd, ExitCodesOfFatalFailures) {
    // Files that crashed the builder (60,000 levels behind a lexing trick) and
    // files after which the XML library read past the end of its buffer.
    std::string deep;
    for (int i = 0; i < 60000; ++i) deep += "<b>";
    for (int i = 0; i < 60000; ++i) deep += "</b>";
    const std::string bomInTag = "<?xml version=\"1.0\"?><r><\xEF\xBB\xBF" + std::string("a></a>") + deep;
    const std::string reference = "<r>&#x<x;" + deep;
    const std::string referenceAtEnd = "<?xml><l n='&#'#;\xF4";
    const std::string bomAtEnd = "<?xml><\xEF\xBB\xBF\n\xDF>\xDF";
    const struct {
        const char* name;
        const char* buildList;  // null: no build list file
        const char* xml;        // content of conf/xml/a.xml, null: none
        int exitCode;
        const char* identity;
        const char* text;
    } cases[] = {
        {"missing build list", nullptr, nullptr, 3, "(9.10.05)", "(Message not found.) Parameters: #LIST#  60."},
        {"dotted name unquoted", "a.conf { \"xml/a.xml\" }", nullptr, 4, "(9.10.06)",
         "(Message not found.) Parameters: #LIST#  123  "},
        {"entry without xml", "\"a.conf\" { }", nullptr, 4, "(9.10.07)",
         "(Message not found.) Parameters: #LIST#  "},
        {"comments only", "// nothing to build\n", nullptr, 5, "(9.10.02)", "(Message not found.)"},
        {"empty build list", "", nullptr, 5, "(9.10.02)", "(Message not found.)"},
        {"missing xml", "\"a.conf\" { \"xml/a.xml\" }", nullptr, 6, "(9.10.10)",
         "(Message not found.) Parameters: #CONF#xml/a.xml  Failed to open file  "},
        {"broken xml", "\"a.conf\" { \"xml/a.xml\" }", "<Root><Object></Root>", 6, "(9.10.10)",
         "(Message not found.) Parameters: #CONF#xml/a.xml  "},
        {"empty xml", "\"a.conf\" { \"xml/a.xml\" }", "", 6, "(9.10.10)",
         "(Message not found.) Parameters: #CONF#xml/a.xml  Error document empty.  "},
        {"deep behind a byte-order mark", "\"a.conf\" { \"xml/a.xml\" }", bomInTag.c_str(), 6, "(9.10.10)",
         "(Message not found.) Parameters: #CONF#xml/a.xml  Elements nested deeper than 2000 levels.  "},
        {"deep behind a reference", "\"a.conf\" { \"xml/a.xml\" }", reference.c_str(), 6, "(9.10.10)",
         "(Message not found.) Parameters: #CONF#xml/a.xml  Elements nested deeper than 2000 levels.  "},
        {"reference at the end", "\"a.conf\" { \"xml/a.xml\" }", referenceAtEnd.c_str(), 6, "(9.10.10)",
         "(Message not found.) Parameters: #CONF#xml/a.xml  Error parsing Element.  "},
        {"multi-byte character at the end", "\"a.conf\" { \"xml/a.xml\" }", bomAtEnd.c_str(), 6, "(9.10.10)",
         "(Message not found.) Parameters: #CONF#xml/a.xml  Error reading Element value.  "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        if (c.buildList) write("conf/build.lst", c.buildList);
        if (c.xml) write("conf/xml/a.xml", c.xml);
        const std::string list = root + "conf/build.lst";
        RunResult r = run({"--installdir=" + root, list});
        EXPECT_EQ(r.exitCode, c.exitCode);
        auto lines = logLines(defaultLog());
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().prefix, "FATAL");
        EXPECT_EQ(lines.back().identity, c.identity);
        std::string expected = c.text;
        for (auto [key, value] : {std::pair<std::string, std::string>{"#LIST#", list},
                                  std::pair<std::string, std::string>{"#CONF#", root + "conf/"}}) {
            const size_t at = expected.find(key);
            if (at != std::string::npos) expected.replace(at, key.size(), value);
        }
        EXPECT_EQ(lines.back().text.substr(0, expected.size()), expected);
        EXPECT_FALSE(fs::exists(root + "conf/a.conf"));
    }
}

TEST_F(ArdwenEndToEnd, MissingResourcesWithoutArgumentEndWithTwo) {
    // Neither "ConfigurationDir" nor "ArdwenFile"; no "InstallDir": the log goes
    // below the current directory.
    RunResult r = run({"--debug=1"});
    EXPECT_EQ(r.exitCode, 2);
    auto lines = logLines(defaultLog());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().prefix, "FATAL");
    EXPECT_EQ(lines.back().identity, "(9.10.04)");

    setResources({"\"ConfigurationDir\"=\"" + root + "conf\""});  // "ArdwenFile" still missing
    EXPECT_EQ(run({}).exitCode, 2);
}

TEST_F(ArdwenEndToEnd, DebugLinesAtEachLevel) {
    writeSmallInstallation();
    const std::string list = root + "conf/build.lst";

    EXPECT_EQ(run({"--installdir=" + root, "--debug=0", list}).exitCode, 0);
    EXPECT_FALSE(fs::exists(defaultLog()));

    EXPECT_EQ(run({"--installdir=" + root, "--debug=1", list}).exitCode, 0);
    const std::vector<std::string> level1 = {
        "debug-1 LoggerUnit: Created logger for the Ardwen module.",
        "NOTICE (9.10.11)",
        "debug-1 Creating output files...",
        "debug-1 Exiting Ardwen. Building seems to have been successful.",
        "NOTICE (9.10.12)",
        "debug-1 LoggerUnit: Destroyed logger for the Ardwen module.",
    };
    EXPECT_EQ(logSummary(defaultLog()), level1);

    fs::remove(defaultLog());
    EXPECT_EQ(run({"--installdir=" + root, "--debug=4", list}).exitCode, 0);
    const std::string conf = root + "conf/";
    const std::vector<std::string> level4 = {
        "debug-1 LoggerUnit: Created logger for the Ardwen module.",
        "NOTICE (9.10.11)",
        "debug-2 Building configuration files...",
        "debug-3 Reading configuration...",
        "debug-4 Reading file \"" + list + "\"...",
        "debug-3 Finished reading configuration.",
        "debug-1 Creating output files...",
        "debug-3 Creating output file \"" + conf + "a.conf\"...",
        "debug-3 Creating DOM tree from \"" + conf + "xml/a.xml\"...",
        "debug-3 Finished parsing file.",
        "debug-3 Creating DOM tree from \"" + conf + "xml/b.xml\"...",
        "debug-3 Finished parsing file.",
        "debug-4 Writing data to file...",
        "debug-3 Created output file \"a.conf\".",
        "debug-3 Creating output file \"" + conf + "c.conf.gz\"...",
        "debug-3 Creating DOM tree from \"" + conf + "xml/c.xml\"...",
        "debug-3 Finished parsing file.",
        "debug-4 Writing data to file...",
        "debug-3 Created output file \"c.conf.gz\".",
        "debug-2 Finished building configuration files.",
        "debug-1 Exiting Ardwen. Building seems to have been successful.",
        "NOTICE (9.10.12)",
        "debug-1 LoggerUnit: Destroyed logger for the Ardwen module.",
    };
    EXPECT_EQ(logSummary(defaultLog()), level4);

    fs::remove(defaultLog());
    EXPECT_EQ(run({"--installdir=" + root, "--debug=5", list}).exitCode, 0);
    // Level 5 adds the plan listing and one pair of lines per object (a.xml holds
    // two objects, b.xml and c.xml one each).
    const std::string produce = "debug-5 Producing output data...";
    const std::string produced = "debug-5 Finished producing output data.";
    std::vector<std::string> expected5;
    int parsed = 0;
    for (const auto& line : level4) {
        expected5.push_back(line);
        if (line == "debug-3 Finished reading configuration.") {
            expected5.push_back(
                "debug-5 Configuration files and the XML files they are to be built from: \n"
                "a.conf\n\t- xml/a.xml\n\t- xml/b.xml\nc.conf.gz\n\t- xml/c.xml");
        }
        if (line == "debug-3 Finished parsing file.") {
            if (++parsed == 1) {
                expected5.insert(expected5.end(), {produce, produce, produced, produced});
            } else {
                expected5.insert(expected5.end(), {produce, produced});
            }
        }
    }
    const auto level5 = logSummary(defaultLog());
    EXPECT_EQ(level5, expected5);
}

TEST_F(ArdwenEndToEnd, OptionEdgeCases) {
    writeSmallInstallation();
    const std::string list = root + "conf/build.lst";
    auto levelsSeen = [&](const std::string& log) {
        int highest = -1;
        for (const auto& l : logLines(log)) {
            if (l.prefix.rfind("debug-", 0) == 0) highest = std::max(highest, std::stoi(l.prefix.substr(6)));
        }
        return highest;
    };

    // The last "--debug" wins.
    EXPECT_EQ(run({"--installdir=" + root, "--debug=3", "--debug=1", list}).exitCode, 0);
    EXPECT_EQ(levelsSeen(defaultLog()), 1);
    fs::remove(defaultLog());

    // Out of range: the process-wide level stays at its initial 5.
    EXPECT_EQ(run({"--installdir=" + root, "--debug=7", list}).exitCode, 0);
    EXPECT_EQ(levelsSeen(defaultLog()), 5);
    fs::remove(defaultLog());

    // Negative: not given, so the resource decides; "ArdwenDebugLog" names the log.
    setResources({"\"ArdwenDebugLevel\"=dword:00000002", "\"ArdwenDebugLog\"=\"custom.log\""});
    EXPECT_EQ(run({"--installdir=" + root, "--debug=-2", list}).exitCode, 0);
    EXPECT_EQ(levelsSeen(root + "Log/custom.log"), 2);

    // "--debug" without a value is level 0; "--" and unknown options are ignored.
    setResources({"\"ArdwenDebugLevel\"=dword:00000002"});
    EXPECT_EQ(run({"--installdir=" + root, "--debug", "--", "--quiet=yes", list}).exitCode, 0);
    EXPECT_FALSE(fs::exists(defaultLog()));

    // An empty "--installdir" looks up "InstallDir" again; one without a final
    // separator receives one.
    setResources({"\"InstallDir\"=\"" + root + "fromresource\""});
    EXPECT_EQ(run({"--installdir=", "--debug=1", list}).exitCode, 0);
    EXPECT_TRUE(fs::exists(root + "fromresource/Log/ArdwenDebugLog.log"));
    EXPECT_EQ(run({"--installdir=" + root + "given", "--debug=1", list}).exitCode, 0);
    EXPECT_TRUE(fs::exists(root + "given/Log/ArdwenDebugLog.log"));

    // No "InstallDir" at all: the current directory.
    setResources({});
    fs::create_directories(root + "cwd");
    EXPECT_EQ(run({"--debug=1", list}, root + "cwd").exitCode, 0);
    EXPECT_TRUE(fs::exists(root + "cwd/Log/ArdwenDebugLog.log"));

    // The second positional argument is used; quotes around it are removed; a
    // single hyphen starts a build-list path, not an option.
    EXPECT_EQ(run({"--installdir=" + root, root + "conf/missing.lst", list}).exitCode, 0);
    EXPECT_EQ(run({"--installdir=" + root, "\"" + list + "\""}).exitCode, 0);
    EXPECT_EQ(run({"--installdir=" + root, "'" + list + "'"}).exitCode, 0);
    EXPECT_EQ(run({"--installdir=" + root, "\"" + list}).exitCode, 3);
    EXPECT_EQ(run({"--installdir=" + root, list, "-v"}).exitCode, 3);
}

TEST_F(ArdwenEndToEnd, BuildListWithoutDirectoryIsRelativeToTheCurrentDirectory) {
    writeSmallInstallation();
    EXPECT_EQ(run({"--installdir=" + root, "build.lst"}, root + "conf").exitCode, 0);
    EXPECT_EQ(readFile(root + "conf/a.conf"), aExpected);
}

TEST_F(ArdwenEndToEnd, WriteFailureOfOneOutputIsReportedAndTheBuildGoesOn) {
    writeSmallInstallation();
    write("conf/build.lst",
          "\"first.conf\" { \"xml/c.xml\" }\n"
          "\"no/such/dir/second.conf\" { \"xml/c.xml\" }\n"
          "\"third.conf\" { \"xml/b.xml\" }\n");
    RunResult r = run({"--installdir=" + root, "--debug=1", root + "conf/build.lst"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFile(root + "conf/first.conf"), cExpected);
    EXPECT_EQ(readFile(root + "conf/third.conf"), "Second(t)=\"\"{}\n");
    int errors = 0;
    for (const auto& l : logLines(defaultLog())) {
        if (l.prefix == "ERROR") {
            ++errors;
            EXPECT_EQ(l.identity, "(9.10.09)");
            EXPECT_EQ(l.text.rfind("(Message not found.) Parameters: " + root + "conf/no/such/dir/second.conf  60.",
                                   0),
                      0u)
                << l.text;
        }
    }
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(logSummary(defaultLog()).back(), "debug-1 LoggerUnit: Destroyed logger for the Ardwen module.");
}

TEST_F(ArdwenEndToEnd, NumberedMessagesReachTheReceiverWithTheirParameters) {
    writeSmallInstallation();
    write("conf/build.lst",
          "\"first.conf\" { \"xml/c.xml\" }\n"
          "\"no/such/dir/second.conf\" { \"xml/empty.xml\" }\n");
    write("conf/xml/empty.xml", "<Root><Other/></Root>");
    const std::string list = root + "conf/build.lst";

    // Debug level 1: start and end notices, the warning and the error between.
    std::string received;
    ASSERT_EQ(runWithReceiver({"--installdir=" + root, "--debug=1", list}, 4, received), 0) << received;
    std::vector<std::string> lines;
    std::stringstream in(received);
    for (std::string line; std::getline(in, line);) {
        // "SEVERITY time (identity) thread: text": keep severity, identity and text.
        const size_t open = line.find('(');
        const size_t colon = line.find(": ", open);
        lines.push_back(line.substr(0, line.find(' ')) + " " + line.substr(open, line.find(')', open) - open + 1) +
                        " " + line.substr(colon + 2));
    }
    const std::vector<std::string> expected = {
        "NOTICE (9.10.11) (Message not found.)",
        "WARNING (9.10.08) (Message not found.) Parameters: " + root + "conf/xml/empty.xml  ",
        "ERROR (9.10.09) (Message not found.) Parameters: " + root + "conf/no/such/dir/second.conf  60.5  ",
        "NOTICE (9.10.12) (Message not found.)",
    };
    EXPECT_EQ(lines, expected);

    // Debug level 0: notices are not sent; a fatal failure is, with its parameters.
    write("conf/build.lst", "\"a.conf\" { \"xml/missing.xml\" }\n");
    ASSERT_EQ(runWithReceiver({"--installdir=" + root, "--debug=0", list}, 1, received), 6) << received;
    EXPECT_NE(received.find("FATAL    "), std::string::npos) << received;
    EXPECT_NE(received.find("(9.10.10) "), std::string::npos) << received;
    EXPECT_NE(received.find("Parameters: " + root + "conf/xml/missing.xml  Failed to open file  "),
              std::string::npos)
        << received;
    EXPECT_EQ(received.find("NOTICE"), std::string::npos) << received;
}

}  // namespace
