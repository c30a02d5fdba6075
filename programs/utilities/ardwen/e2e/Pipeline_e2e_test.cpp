// End-to-end tests of what a pipeline relies on: "--check" writes nothing and
// lists what would change, "--only-changed" leaves files with the same content
// untouched, "--report" gives the whole run as JSON even when it fails; and the
// command-line conventions and the messages that name the true cause.
#include <grp.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "ArdwenEndToEnd.h"

namespace e2e {
namespace {

const char kOld[] = "Old(int)=\"1\"{}\n";

void writeGzip(const std::string& path, const std::string& text) {
    gzFile gz = gzopen(path.c_str(), "wb9");
    if (gz == nullptr) return;
    gzwrite(gz, text.data(), static_cast<unsigned>(text.size()));
    gzclose(gz);
}

/// Runs another program of the family with its standard output and error in
/// `out` and `err`; returns its exit code.
int runProgram(const char* binary, const std::vector<std::string>& args, const std::string& out,
               const std::string& err) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<std::string> store{binary};
        store.insert(store.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : store) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(121);
        execv(binary, argv.data());
        _exit(122);
    }
    return waitExit(pid);
}

TEST_F(ArdwenEndToEnd, CheckListsWhatWouldChangeAndWritesNothing) {
    writeSmallInstallation();
    const std::string list = root + "conf/build.lst";
    write("conf/a.conf", kOld);
    // The same content packed by another program: another time stamp and
    // header, the same text.
    writeGzip(root + "conf/c.conf.gz", cExpected);
    const std::vector<std::string> before = names(root + "conf");
    const std::string aBefore = identity(root + "conf/a.conf");
    const std::string cBefore = identity(root + "conf/c.conf.gz");

    RunResult r = run({"--installdir=" + root, "--check", "--report=" + root + "report.json", list});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, root + "conf/a.conf\n");
    EXPECT_EQ(r.err, "");
    // Nothing written: no output, temporary or lock file, and at debug level 0
    // no log either.
    EXPECT_EQ(names(root + "conf"), before);
    EXPECT_EQ(identity(root + "conf/a.conf"), aBefore);
    EXPECT_EQ(identity(root + "conf/c.conf.gz"), cBefore);
    EXPECT_FALSE(fs::exists(root + "Log"));
    EXPECT_EQ(readFile(root + "report.json"),
              atRoot("{\n"
                     "  \"program\": \"ardwen\",\n"
                     "  \"version\": \"1.0.0\",\n"
                     "  \"mode\": \"check\",\n"
                     "  \"buildList\": \"#ROOT#conf/build.lst\",\n"
                     "  \"outputs\": [\n"
                     "    {\"path\": \"#ROOT#conf/a.conf\", \"state\": \"would change\", \"size\": 45},\n"
                     "    {\"path\": \"#ROOT#conf/c.conf.gz\", \"state\": \"unchanged\", \"size\": 11}\n"
                     "  ],\n"
                     "  \"error\": null,\n"
                     "  \"interrupted\": null,\n"
                     "  \"exitStatus\": 1\n"
                     "}\n"));

    // Missing files would change too; after a build nothing would.
    fs::remove(root + "conf/c.conf.gz");
    r = run({"--installdir=" + root, "--check", list});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, atRoot("#ROOT#conf/a.conf\n#ROOT#conf/c.conf.gz\n"));
    ASSERT_EQ(run({"--installdir=" + root, list}).exitCode, 0);
    r = run({"--installdir=" + root, "--check", "--debug=3", list});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    std::vector<std::string> told;
    for (const auto& line : logSummary(defaultLog())) {
        if (line.find("unchanged") != std::string::npos || line.find("would change") != std::string::npos ||
            line.rfind("debug-1 Exiting", 0) == 0)
            told.push_back(line);
    }
    EXPECT_EQ(told, (std::vector<std::string>{
                        "debug-3 Left output file \"a.conf\" unchanged: it holds the same text.",
                        "debug-3 Left output file \"c.conf.gz\" unchanged: it holds the same text.",
                        "debug-1 Exiting Ardwen. Building seems to have been successful.",
                    }));

    // A file that differs only at its end, or is one byte longer, would change.
    write("conf/a.conf", aExpected.substr(0, aExpected.size() - 2) + "X\n");
    EXPECT_EQ(run({"--installdir=" + root, "--check", list}).out, root + "conf/a.conf\n");
    write("conf/a.conf", aExpected + "\n");
    EXPECT_EQ(run({"--installdir=" + root, "--check", list}).out, root + "conf/a.conf\n");
    // A ".gz" output that holds the text unpacked is not what a build writes.
    write("conf/a.conf", aExpected);
    write("conf/c.conf.gz", cExpected);
    EXPECT_EQ(run({"--installdir=" + root, "--check", list}).out, root + "conf/c.conf.gz\n");
}

TEST_F(ArdwenEndToEnd, CheckWritesNothingEvenWhereItCouldNot) {
    // As an ordinary account, in a folder it may not write: the check works.
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run as the account nobody";
    writeSmallInstallation();
    write("conf/a.conf", aExpected);
    chmod(root.c_str(), 0755);
    for (const auto& entry : fs::recursive_directory_iterator(root)) chmod(entry.path().c_str(), 0755);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) chmod(entry.path().c_str(), 0644);
    }
    Start start;
    start.beforeExec = []() {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
    };
    const std::vector<std::string> before = names(root + "conf");
    RunResult r = run({"--installdir=" + root + "conf/", "--check", root + "conf/build.lst"}, start);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, root + "conf/c.conf.gz\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(names(root + "conf"), before);
}

TEST_F(ArdwenEndToEnd, OnlyChangedLeavesFilesWithTheSameTextUntouched) {
    writeSmallInstallation();
    const std::string list = root + "conf/build.lst";
    ASSERT_EQ(run({"--installdir=" + root, list}).exitCode, 0);
    const std::string aBefore = identity(root + "conf/a.conf");
    const std::string cBefore = identity(root + "conf/c.conf.gz");
    write("conf/xml/b.xml", "<Root><Object><Name>Changed</Name><Value type=\"t\"/></Object></Root>");

    RunResult r = run({"--installdir=" + root, "--only-changed", "--debug=3", list});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(root + "conf/a.conf"), "A(T1)=\"V\\\\1\"\n{\n\tB(T2)=\"W\"{}\n}\nChanged(t)=\"\"{}\n");
    EXPECT_NE(identity(root + "conf/a.conf"), aBefore);
    EXPECT_EQ(identity(root + "conf/c.conf.gz"), cBefore);
    std::vector<std::string> told;
    for (const auto& line : logSummary(defaultLog())) {
        if (line.rfind("debug-3 Created", 0) == 0 || line.rfind("debug-3 Left", 0) == 0 ||
            line.rfind("debug-1", 0) == 0)
            told.push_back(line);
    }
    EXPECT_EQ(told, (std::vector<std::string>{
                        "debug-1 LoggerUnit: Created logger for the Ardwen module.",
                        "debug-1 Creating output files...",
                        "debug-3 Left output file \"c.conf.gz\" unchanged: it holds the same text.",
                        "debug-3 Created output file \"a.conf\".",  // when its commit is done
                        "debug-1 1 of 2 configuration files were unchanged and left alone.",
                        "debug-1 Exiting Ardwen. Building seems to have been successful.",
                        "debug-1 LoggerUnit: Destroyed logger for the Ardwen module.",
                    }));

    // An unpacked file at the ".gz" name is replaced by a packed one.
    write("conf/c.conf.gz", cExpected);
    EXPECT_EQ(run({"--installdir=" + root, "--only-changed", list}).exitCode, 0);
    EXPECT_EQ(readFile(root + "conf/c.conf.gz").substr(0, 2), "\x1f\x8b");
    EXPECT_EQ(gunzipFile(root + "conf/c.conf.gz"), cExpected);
}

TEST_F(ArdwenEndToEnd, HundredOutputsInEveryMode) {
    std::string list;
    auto xmlOf = [](int i, const std::string& value) {
        return "<R><Object><Name>N" + std::to_string(i) + "</Name><Value type=\"t\">" + value +
               "</Value></Object></R>";
    };
    auto textOf = [](int i, const std::string& value) {
        return "N" + std::to_string(i) + "(t)=\"" + value + "\"{}\n";
    };
    auto name = [](int i) {
        char text[16];
        std::snprintf(text, sizeof text, "out%03d.conf", i);
        return std::string(text);
    };
    for (int i = 0; i < 100; ++i) {
        list += "\"" + name(i) + "\" { \"xml/" + std::to_string(i) + ".xml\" }\n";
        write("conf/xml/" + std::to_string(i) + ".xml", xmlOf(i, "v"));
    }
    write("conf/build.lst", list);
    const std::string listPath = root + "conf/build.lst";

    RunResult r = run({"--installdir=" + root, "--check", listPath});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 100);
    EXPECT_EQ(names(root + "conf").size(), 2u);  // build.lst and xml

    ASSERT_EQ(run({"--installdir=" + root, "--only-changed", listPath}).exitCode, 0);
    std::vector<std::string> before;
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(readFile(root + "conf/" + name(i)), textOf(i, "v"));
        before.push_back(identity(root + "conf/" + name(i)));
    }
    const std::vector<int> changed = {7, 50, 99};
    for (int i : changed) write("conf/xml/" + std::to_string(i) + ".xml", xmlOf(i, "w"));

    r = run({"--installdir=" + root, "--check", listPath});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, atRoot("#ROOT#conf/out007.conf\n#ROOT#conf/out050.conf\n#ROOT#conf/out099.conf\n"));

    r = run({"--installdir=" + root, "--only-changed", "--report=" + root + "report.json", listPath});
    EXPECT_EQ(r.exitCode, 0);
    const std::string report = readFile(root + "report.json");
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 111);
    for (int i = 0; i < 100; ++i) {
        SCOPED_TRACE(i);
        const bool isChanged = std::find(changed.begin(), changed.end(), i) != changed.end();
        EXPECT_EQ(readFile(root + "conf/" + name(i)), textOf(i, isChanged ? "w" : "v"));
        EXPECT_EQ(identity(root + "conf/" + name(i)) == before[static_cast<size_t>(i)], !isChanged);
        const std::string line = "{\"path\": \"" + root + "conf/" + name(i) + "\", \"state\": \"" +
                                 (isChanged ? "written" : "unchanged") + "\", \"size\": " +
                                 std::to_string(textOf(i, "v").size()) + "}";
        EXPECT_NE(report.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(run({"--installdir=" + root, "--check", listPath}).exitCode, 0);

    // A plain build still writes every file.
    ASSERT_EQ(run({"--installdir=" + root, listPath}).exitCode, 0);
    for (int i = 0; i < 100; ++i) EXPECT_NE(identity(root + "conf/" + name(i)), before[static_cast<size_t>(i)]);
}

TEST_F(ArdwenEndToEnd, TheReportIsWrittenWhateverEndsTheRun) {
    writeSmallInstallation();
    const std::string report = root + "out/report.json";
    fs::create_directories(root + "out");
    const std::string head = "{\n  \"program\": \"ardwen\",\n  \"version\": \"1.0.0\",\n  \"mode\": \"build\",\n";
    const struct {
        const char* name;
        const char* buildList;  // null: none, the resources name none either
        int exitCode;
        const char* body;  // after the mode; #ROOT# is the installation
    } cases[] = {
        {"a file not written",
         "\"first.conf\" { \"xml/c.xml\" }\n\"no/such/second.conf\" { \"xml/c.xml\" }\n", 7,
         "  \"buildList\": \"#ROOT#conf/build.lst\",\n"
         "  \"outputs\": [\n"
         "    {\"path\": \"#ROOT#conf/first.conf\", \"state\": \"written\", \"size\": 11},\n"
         "    {\"path\": \"#ROOT#conf/no/such/second.conf\", \"state\": \"failed\", \"size\": 11, \"reason\": "
         "\"File: Unable to lock file. (Code: 60.17); the folder #ROOT#conf/no/such/ does not exist\", "
         "\"code\": \"60.17\"}\n"
         "  ],\n"
         "  \"error\": null,\n"
         "  \"interrupted\": null,\n"
         "  \"exitStatus\": 7\n"},
        {"an XML file that does not parse",
         "\"first.conf\" { \"xml/c.xml\" }\n\"second.conf\" { \"xml/bad.xml\" }\n\"third.conf\" { "
         "\"xml/c.xml\" }\n",
         6,
         "  \"buildList\": \"#ROOT#conf/build.lst\",\n"
         "  \"outputs\": [\n"
         "    {\"path\": \"#ROOT#conf/first.conf\", \"state\": \"written\", \"size\": 11},\n"
         "    {\"path\": \"#ROOT#conf/second.conf\", \"state\": \"not built\", \"size\": null},\n"
         "    {\"path\": \"#ROOT#conf/third.conf\", \"state\": \"not built\", \"size\": null}\n"
         "  ],\n"
         "  \"error\": \"#ROOT#conf/xml/bad.xml:1:15: cannot load the XML file: Error reading end tag.\",\n"
         "  \"interrupted\": null,\n"
         "  \"exitStatus\": 6\n"},
        {"no build list", nullptr, 2,
         "  \"buildList\": null,\n"
         "  \"outputs\": [],\n"
         "  \"error\": \"no build list given and no resource names one: resource \\\"ConfigurationDir\\\" not "
         "found\",\n"
         "  \"interrupted\": null,\n"
         "  \"exitStatus\": 2\n"},
        // Names are JSON strings: quotes escaped, control characters as \u00XX,
        // bytes that are not UTF-8 as U+FFFD, UTF-8 as it is.
        {"names of every kind", "'q\"\x01\xff\xc3\xa9.conf' { \"xml/c.xml\" }\n", 0,
         "  \"buildList\": \"#ROOT#conf/build.lst\",\n"
         "  \"outputs\": [\n"
         "    {\"path\": \"#ROOT#conf/q\\\"\\u0001\\ufffd\xc3\xa9.conf\", \"state\": \"written\", \"size\": 11}\n"
         "  ],\n"
         "  \"error\": null,\n"
         "  \"interrupted\": null,\n"
         "  \"exitStatus\": 0\n"},
    };
    write("conf/xml/bad.xml", "<Root><Object></Root>");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--installdir=" + root, "--report=" + report};
        if (c.buildList != nullptr) {
            write("conf/build.lst", c.buildList);
            args.push_back(root + "conf/build.lst");
        }
        RunResult r = run(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(readFile(report), head + atRoot(c.body) + "}\n");
        // Written as a safe update: nothing beside it.
        EXPECT_EQ(names(root + "out"), std::vector<std::string>{"report.json"});
    }

    // A report that cannot be written turns a success into exit 9.
    write("conf/build.lst", "\"first.conf\" { \"xml/c.xml\" }\n");
    RunResult r = run({"--installdir=" + root, "--report=" + root + "missing/report.json", root + "conf/build.lst"});
    EXPECT_EQ(r.exitCode, 9);
    EXPECT_EQ(r.err, atRoot("ardwen: cannot write the report #ROOT#missing/report.json: File: Unable to lock "
                            "file. (Code: 60.17)\n"));
}

TEST_F(ArdwenEndToEnd, CommandLineConventions) {
    writeSmallInstallation();
    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* cwd;    // below the installation
        const char* input;  // standard input, null: none
        bool fullOutput;    // standard output is a full disk
        int exitCode;
        const char* out;  // null: begins with the usage
        const char* err;
    };
    write("conf/--odd.lst", "\"odd.conf\" { \"xml/c.xml\" }\n");
    write("piped.lst", "\"piped.conf\" { \"xml/c.xml\" }\n");
    const Case cases[] = {
        {"-h", {"-h"}, "", nullptr, false, 0, nullptr, ""},
        {"-V", {"-V", "--unknown"}, "", nullptr, false, 0, "ardwen 1.0.0\n", ""},
        {"help to a full disk", {"--help"}, "", nullptr, true, 9, "",
         "ardwen: cannot write to standard output: No space left on device\n"},
        {"version to a full disk", {"-V"}, "", nullptr, true, 9, "",
         "ardwen: cannot write to standard output: No space left on device\n"},
        {"after --, -h is a build list", {"--installdir=#ROOT#", "--", "-h"}, "conf", nullptr, false, 3, "",
         "ardwen: -h: cannot read the build list: File: File does not exist. (Code: 60.2)\n"},
        {"after --, a name with two hyphens", {"--installdir=#ROOT#", "--", "--odd.lst"}, "conf", nullptr, false,
         0, "", ""},
        {"--check of standard input", {"--installdir=#ROOT#", "--check", "-"}, "conf", "piped.lst", false, 1,
         "#ROOT#conf/piped.conf\n", ""},
        {"- reads standard input", {"--installdir=#ROOT#", "-"}, "conf", "piped.lst", false, 0, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args;
        for (const auto& a : c.args) args.push_back(atRoot(a));
        Start start;
        start.cwd = root + c.cwd;
        const std::string input = c.input != nullptr ? root + c.input : std::string();
        const bool full = c.fullOutput;
        start.beforeExec = [input, full]() {
            if (!input.empty()) {
                const int fd = open(input.c_str(), O_RDONLY);
                if (fd < 0 || dup2(fd, 0) < 0) _exit(123);
            }
            if (full) {
                const int fd = open("/dev/full", O_WRONLY);
                if (fd < 0 || dup2(fd, 1) < 0) _exit(123);
            }
        };
        RunResult r = run(args, start);
        EXPECT_EQ(r.exitCode, c.exitCode);
        if (c.out != nullptr) {
            EXPECT_EQ(r.out, atRoot(c.out));
        } else {
            EXPECT_EQ(r.out.rfind("Usage: ardwen [--installdir=DIR] [--debug=LEVEL] [BUILDLIST]\n", 0), 0u);
        }
        EXPECT_EQ(r.err, atRoot(c.err));
    }
    EXPECT_EQ(readFile(root + "conf/odd.conf"), cExpected);
    EXPECT_EQ(readFile(root + "conf/piped.conf"), cExpected);

    // The other programs of the family tell their version too.
    for (const auto& [binary, expected] : {std::pair<const char*, const char*>{RESOURCES_BINARY, "brolix-resources 1.0.0\n"},
                                           {LOGRECEIVER_BINARY, "brolix-logreceiver 1.0.0\n"}}) {
        for (const char* option : {"--version", "-V"}) {
            SCOPED_TRACE(std::string(binary) + " " + option);
            EXPECT_EQ(runProgram(binary, {option}, outPath(), errPath()), 0);
            EXPECT_EQ(readFile(outPath()), expected);
            EXPECT_EQ(readFile(errPath()), "");
        }
    }
}

TEST_F(ArdwenEndToEnd, MessagesNameTheTrueCause) {
    writeSmallInstallation();
    write("afile", "not a folder");
    const struct {
        const char* name;
        const char* buildList;          // conf/build.lst
        std::vector<std::string> args;  // #LIST# is its path
        std::vector<std::string> resources;
        int exitCode;
        const char* err;
    } cases[] = {
        {"an entry without its end before the next one",
         "\"a.conf\" { \"xml/a.xml\"\n\"c.conf\" { \"xml/c.xml\" }\n", {"#LIST#"}, {}, 4,
         "ardwen: #LIST#:2: \"}\" expected to close the entry \"a.conf\", found the next entry \"c.conf\" {\n"},
        {"the last entry without its end", "\"a.conf\" { \"xml/a.xml\" }\n\n\"c.conf\" {\n  \"xml/c.xml\"\n",
         {"#LIST#"}, {}, 4,
         "ardwen: #LIST#:3: \"}\" expected to close the entry \"c.conf\", found the end of the list\n"},
        {"a name at the end", "\"a.conf\" { \"xml/a.xml\" }\n\"c.conf\"\n", {"#LIST#"}, {}, 4,
         "ardwen: #LIST#:2: \"{\" expected after the output name \"c.conf\", found the end of the list\n"},
        {"two entries with one output", "\"a.conf\" { \"xml/a.xml\" }\n\"./a.conf\" { \"xml/c.xml\" }\n",
         {"#LIST#"}, {}, 0,
         "ardwen: #LIST#:1: warning: \"a.conf\" is also the output of the entry on line 2, whose text is the "
         "one that stays\n"},
        {"two build lists", "\"c.conf\" { \"xml/c.xml\" }\n", {"#ROOT#other.lst", "#LIST#"}, {}, 0,
         "ardwen: 2 build lists given (\"#ROOT#other.lst\", \"#LIST#\"): the last, \"#LIST#\", is used\n"},
        {"--debug before a path", "\"c.conf\" { \"xml/c.xml\" }\n", {"--debug", "conf/build.lst"}, {}, 0,
         "ardwen: \"--debug\" without \"=LEVEL\": debug level 0 is used; \"conf/build.lst\" counts as a "
         "build-list argument\n"},
        {"a store that cannot be read", nullptr, {}, {"\"InstallDir\"=\"#ROOT#\"", "broken"}, 2,
         "ardwen: no build list given and no resource names one: resource \"ConfigurationDir\" cannot be read: "
         "#ROOT#registry.reg:5: a value name must be written in double quotes (or @ for the unnamed value)\n"},
        {"a log folder that is a file", "\"c.conf\" { \"xml/c.xml\" }\n",
         {"--installdir=#ROOT#afile", "--debug=1", "#LIST#"}, {}, 0,
         "ardwen: the debug log #ROOT#afile/Log/ArdwenDebugLog.log cannot be written: #ROOT#afile is not a "
         "folder\n"},
        {"a mistyped installation folder", "\"c.conf\" { \"xml/c.xml\" }\n",
         {"--installdir=#ROOT#typo/inst", "--debug=1", "#LIST#"}, {}, 0,
         "ardwen: the installation folder #ROOT#typo/inst/ did not exist; it was made to hold the debug log "
         "#ROOT#typo/inst/Log/ArdwenDebugLog.log\n"},
    };
    const std::string list = root + "conf/build.lst";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.buildList != nullptr) write("conf/build.lst", c.buildList);
        std::vector<std::string> resources;
        for (const auto& v : c.resources) resources.push_back(atRoot(v));
        setResources(resources);
        std::vector<std::string> args;
        for (std::string a : c.args) {
            for (size_t at; (at = a.find("#LIST#")) != std::string::npos;) a.replace(at, 6, list);
            args.push_back(atRoot(a));
        }
        RunResult r = run(args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        std::string err = atRoot(c.err);
        for (size_t at; (at = err.find("#LIST#")) != std::string::npos;) err.replace(at, 6, list);
        EXPECT_EQ(r.err, err);
    }
    // At debug level 0 a clean run writes no log, so a mistyped folder is not made.
    write("conf/build.lst", "\"c.conf\" { \"xml/c.xml\" }\n");
    RunResult r = run({"--installdir=" + root + "typo2", list});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fs::exists(root + "typo2"));
}

}  // namespace
}  // namespace e2e
