// End-to-end tests with real faults: the real ardwen binary killed while it
// writes, on a full disk, against read-only files and folders, under a memory
// limit, and watched by a reader in another process while it builds again and
// again. A configuration file is only ever the whole old or the whole new one.
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "ArdwenEndToEnd.h"

namespace e2e {
namespace {

/// An XML file whose top object holds a chain of `depth` nested objects named
/// "L", the innermost holding `leaves` empty objects. Nesting multiplies: every
/// leaf's line carries the whole chain's indent.
std::string chainWithLeaves(size_t depth, size_t leaves) {
    std::string xml = "<R>";
    for (size_t i = 0; i < depth; ++i) xml += "<Object><Name>L</Name><SubObjects>";
    for (size_t i = 0; i < leaves; ++i) xml += "<Object/>";
    for (size_t i = 0; i < depth; ++i) xml += "</SubObjects></Object>";
    return xml + "</R>";
}

/// The configuration text of chainWithLeaves (depth >= 1, leaves >= 1).
std::string chainWithLeavesOutput(size_t depth, size_t leaves) {
    std::string out;
    for (size_t i = 0; i < depth; ++i)
        out += std::string(i, '\t') + "L()=\"\"\n" + std::string(i, '\t') + "{\n";
    const std::string leaf = std::string(depth, '\t') + "()=\"\"{}\n";
    for (size_t i = 0; i < leaves; ++i) out += leaf;
    for (size_t i = depth; i-- > 0;) out += std::string(i, '\t') + "}\n";
    return out;
}

/// An XML file of `count` objects under one top object, with names and values
/// that do not compress well, and its configuration text.
void scatteredObjects(size_t count, std::string& xml, std::string& out) {
    uint32_t state = 12345;
    auto next = [&]() {
        state = state * 1103515245u + 12345u;
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", state);
        return std::string(hex);
    };
    xml = "<R><Object><Name>Top</Name><SubObjects>";
    out = "Top()=\"\"\n{\n";
    for (size_t i = 0; i < count; ++i) {
        const std::string name = "k" + next();
        const std::string value = next() + next();
        xml += "<Object><Name>" + name + "</Name><Value type=\"t\">" + value + "</Value></Object>";
        out += "\t" + name + "(t)=\"" + value + "\"{}\n";
    }
    xml += "</SubObjects></Object></R>";
    out += "}\n";
}

void writeGzip(const std::string& path, const std::string& text) {
    gzFile gz = gzopen(path.c_str(), "wb");
    if (gz == nullptr) return;
    gzwrite(gz, text.data(), static_cast<unsigned>(text.size()));
    gzclose(gz);
}

uint64_t sizeOf(const std::string& path) {
    std::error_code ec;
    const uint64_t size = fs::file_size(path, ec);
    return ec ? 0 : size;
}

const char kOld[] = "Old(int)=\"1\"{}\n";

/// A file's text as a failure message shows it: large texts by their size and end.
std::string shown(const std::string& text) {
    if (text.size() <= 100) return "\"" + text + "\"";
    return std::to_string(text.size()) + " bytes ending in \"" + text.substr(text.size() - 40) + "\"";
}

TEST_F(ArdwenEndToEnd, KilledWhileWritingLeavesTheOldFileWhole) {
    // About 3 MB of XML that makes 40 MB of configuration text.
    const size_t depth = 100, leaves = 360000;
    write("conf/xml/big.xml", chainWithLeaves(depth, leaves));
    const std::string expected = chainWithLeavesOutput(depth, leaves);
    int killedWhileWriting = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        SCOPED_TRACE(attempt);
        // A name of its own each time.
        const std::string name = "out" + std::to_string(attempt) + ".conf";
        const std::string target = root + "conf/" + name;
        write("conf/" + name, kOld);
        write("conf/build.lst", "\"" + name + "\" { \"xml/big.xml\" }\n");
        const pid_t pid = startArdwen({"--installdir=" + root, root + "conf/build.lst"});
        // Killed as soon as the new text is on its way to the disk: the
        // temporary copy, or the target itself, grows past the old text.
        bool killed = false;
        for (;;) {
            siginfo_t info = {};
            if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == pid)
                break;  // it finished first
            if (sizeOf(target + ".tmp") > sizeof kOld || sizeOf(target) != sizeof kOld - 1) {
                kill(pid, SIGKILL);
                killed = true;
                break;
            }
            usleep(100);
        }
        const int code = waitExit(pid);
        if (killed && code == 128 + SIGKILL) {
            ++killedWhileWriting;
            const std::string text = readFile(target);
            EXPECT_TRUE(text == kOld) << shown(text);
        } else {
            EXPECT_EQ(code, 0);
            const std::string text = readFile(target);
            EXPECT_TRUE(text == expected) << shown(text);
        }
    }
    EXPECT_GE(killedWhileWriting, 1);
}

TEST_F(ArdwenEndToEnd, AnOutputLockedByAnotherWriterIsLeftAlone) {
    writeSmallInstallation();
    write("conf/build.lst", "\"out.conf\" { \"xml/c.xml\" }\n");
    write("conf/out.conf", kOld);
    // The lock of another writer that does not mark its locks (its identity
    // has no "~"), valid for a minute.
    auto stamp = [](time_t t) {
        char text[32];
        tm fields;
        std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", gmtime_r(&t, &fields));
        return std::string(text);
    };
    const time_t now = time(nullptr);
    write("conf/out.conf.lock", stamp(now) + "\n" + stamp(now + 60) + "\nanother writer\nmissing\n");
    RunResult r = run({"--installdir=" + root, root + "conf/build.lst"});
    EXPECT_EQ(r.exitCode, 7);
    EXPECT_EQ(readFile(root + "conf/out.conf"), kOld);
    EXPECT_EQ(r.err, atRoot("ardwen: #ROOT#conf/out.conf: cannot write the configuration file: File: "
                            "Someone else has locked the file. (Code: 60.18); its lock "
                            "#ROOT#conf/out.conf.lock is held by another writer that is still running "
                            "(or by a program that does not mark its locks, until the lock expires)\n"
                            "ardwen: 1 of 1 configuration files could not be written\n"));
    EXPECT_TRUE(fs::exists(root + "conf/out.conf.lock"));
}

TEST_F(ArdwenEndToEnd, FullDiskKeepsTheOldFiles) {
    std::string bigXml, bigOut;
    scatteredObjects(20000, bigXml, bigOut);  // 700 KB of text, more than 300 KB compressed
    write("conf/xml/big.xml", bigXml);
    writeSmallInstallation();
    // The build list and its outputs on a disk of 128 KiB, mounted in a mount
    // namespace of a child process; what is there afterwards is copied out.
    const std::string disk = root + "conf/disk/";
    const std::string after = root + "after/";
    fs::create_directories(disk);
    fs::create_directories(after);
    const pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0) _exit(90);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(91);
        if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=128k") != 0) _exit(92);
        write("conf/disk/build.lst",
              "\"plain.conf\" { \"../xml/big.xml\" }\n"
              "\"packed.conf.gz\" { \"../xml/big.xml\" }\n"
              "\"small.conf\" { \"../xml/c.xml\" }\n");
        write("conf/disk/plain.conf", kOld);
        writeGzip(disk + "packed.conf.gz", kOld);
        const int code = waitExit(startArdwen({"--installdir=" + root, disk + "build.lst"}));
        std::string listing;
        for (const auto& entry : fs::directory_iterator(disk))
            listing += entry.path().filename().string() + "\n";
        write("after/listing.txt", listing);
        for (const char* name : {"plain.conf", "packed.conf.gz", "small.conf"}) {
            std::error_code ec;
            fs::copy_file(disk + name, after + name, ec);
        }
        _exit(code);
    }
    const int code = waitExit(child);
    if (code >= 90 && code <= 92)
        GTEST_SKIP() << "no private mount namespace with a tmpfs here (" << code << ")";
    EXPECT_EQ(code, 7);
    const std::string plain = readFile(after + "plain.conf");
    const std::string packed = gunzipFile(after + "packed.conf.gz");
    EXPECT_TRUE(plain == kOld) << shown(plain);
    EXPECT_TRUE(packed == kOld) << shown(packed);
    EXPECT_EQ(readFile(after + "small.conf"), cExpected);  // the build went on
    // Nothing of the failed updates is left beside the targets.
    std::vector<std::string> names;
    std::stringstream listing(readFile(after + "listing.txt"));
    for (std::string name; std::getline(listing, name);) names.push_back(name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"build.lst", "packed.conf.gz", "plain.conf", "small.conf"}));
    const std::string err = readFile(errPath());
    for (const char* name : {"plain.conf", "packed.conf.gz"}) {
        EXPECT_NE(err.find("ardwen: " + disk + name + ": cannot write the configuration file: File: "),
                  std::string::npos)
            << err;
    }
    EXPECT_NE(err.find("ardwen: 2 of 3 configuration files could not be written\n"), std::string::npos)
        << err;
}

TEST_F(ArdwenEndToEnd, ReadOnlyFileAndFolderAreNotWritten) {
    writeSmallInstallation();
    // Root may write anything: the program runs as an ordinary user then, and
    // a folder that root owns is one more case.
    const bool asNobody = geteuid() == 0;
    const uid_t nobody = 65534;
    write("conf/build.lst", std::string("\"read-only.conf\" { \"xml/c.xml\" }\n"
                                        "\"closed/old.conf\" { \"xml/c.xml\" }\n") +
                                (asNobody ? "\"roots/new.conf\" { \"xml/c.xml\" }\n" : "") +
                                "\"fine.conf\" { \"xml/c.xml\" }\n");
    write("conf/read-only.conf", kOld);
    write("conf/closed/old.conf", kOld);
    if (asNobody) {
        chmod(root.c_str(), 0755);
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (lchown(entry.path().c_str(), nobody, nobody) != 0)
                FAIL() << "cannot hand over " << entry.path();
        }
        fs::create_directories(root + "conf/roots");
    }
    fs::permissions(root + "conf/read-only.conf",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::permissions(root + "conf/closed", fs::perms::owner_read | fs::perms::owner_exec |
                                              fs::perms::group_read | fs::perms::group_exec |
                                              fs::perms::others_read | fs::perms::others_exec);
    Start start;
    if (asNobody) {
        start.beforeExec = [=]() {
            if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) _exit(126);
        };
    }
    RunResult r = run({"--installdir=" + root, root + "conf/build.lst"}, start);
    if (r.exitCode == 126) GTEST_SKIP() << "cannot run as an ordinary user here";
    EXPECT_EQ(r.exitCode, 7);
    EXPECT_EQ(readFile(root + "conf/read-only.conf"), kOld);
    EXPECT_EQ(fs::status(root + "conf/read-only.conf").permissions() & fs::perms::owner_write,
              fs::perms::none);
    EXPECT_EQ(readFile(root + "conf/closed/old.conf"), kOld);
    EXPECT_EQ(readFile(root + "conf/fine.conf"), cExpected);
    // The system's own reason, for the file or its folder.
    EXPECT_EQ(r.err, atRoot(std::string("ardwen: #ROOT#conf/read-only.conf: cannot write the configuration "
                                        "file: File: Unable to lock file. (Code: 60.17); the file is read-only: "
                                        "Permission denied\n"
                                        "ardwen: #ROOT#conf/closed/old.conf: cannot write the configuration "
                                        "file: File: Unable to lock file. (Code: 60.17); the folder "
                                        "#ROOT#conf/closed/ cannot be written: Permission denied\n") +
                            (asNobody ? "ardwen: #ROOT#conf/roots/new.conf: cannot write the configuration "
                                        "file: File: Unable to lock file. (Code: 60.17); the folder "
                                        "#ROOT#conf/roots/ cannot be written: Permission denied\n"
                                        "ardwen: 3 of 4 configuration files could not be written\n"
                                        // The errors did not reach the debug log either.
                                        "ardwen: the debug log #ROOT#Log/ArdwenDebugLog.log cannot be written: "
                                        "the folder #ROOT# cannot be written: Permission denied\n"
                                      : "ardwen: 2 of 3 configuration files could not be written\n")));
}

// The debug log is appended to in place: a log file that may be written, in a
// folder that may not, is written, and nothing is said about it.
TEST_F(ArdwenEndToEnd, ALogFileThatMayBeWrittenInAClosedFolderIsWrittenWithoutAWord) {
    writeSmallInstallation();
    write("conf/build.lst", "\"fine.conf\" { \"xml/c.xml\" }\n");
    write("Log/ArdwenDebugLog.log", "");
    // Root may write anything: the program runs as an ordinary user then.
    const bool asNobody = geteuid() == 0;
    const uid_t nobody = 65534;
    if (asNobody) {
        chmod(root.c_str(), 0755);
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (lchown(entry.path().c_str(), nobody, nobody) != 0) FAIL() << "cannot hand over " << entry.path();
        }
    }
    fs::permissions(root + "Log", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    Start start;
    if (asNobody) {
        start.beforeExec = [=]() {
            if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) _exit(126);
        };
    }
    RunResult r = run({"--debug=1", "--installdir=" + root, root + "conf/build.lst"}, start);
    fs::permissions(root + "Log", fs::perms::owner_all);
    if (r.exitCode == 126) GTEST_SKIP() << "cannot run as an ordinary user here";
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(root + "conf/fine.conf"), cExpected);
    EXPECT_NE(readFile(root + "Log/ArdwenDebugLog.log"), "");
}

TEST_F(ArdwenEndToEnd, RepeatedBuildsWithAPollingReaderShowNoPartialFile) {
    // Two builds of one file that alternate; a reader in another process reads
    // it whole, again and again, and must only ever find one of the two texts.
    const size_t depth = 8, leaves = 30000;  // about 500 KB of text each
    write("conf/xml/a.xml", chainWithLeaves(depth, leaves));
    write("conf/xml/b.xml", chainWithLeaves(depth + 1, leaves));
    const std::string a = chainWithLeavesOutput(depth, leaves);
    const std::string b = chainWithLeavesOutput(depth + 1, leaves);
    write("conf/a.lst", "\"out.conf\" { \"xml/a.xml\" }\n");
    write("conf/b.lst", "\"out.conf\" { \"xml/b.xml\" }\n");
    ASSERT_EQ(run({"--installdir=" + root, root + "conf/a.lst"}).exitCode, 0);
    const std::string target = root + "conf/out.conf";
    const std::string stop = root + "stop";

    int counts[2];
    ASSERT_EQ(pipe(counts), 0);
    const pid_t reader = fork();
    if (reader == 0) {
        // reads of a, reads of b, reads of anything else
        long seen[3] = {0, 0, 0};
        while (access(stop.c_str(), F_OK) != 0) {
            const std::string text = readFile(target);
            ++seen[text == a ? 0 : text == b ? 1 : 2];
        }
        const ssize_t written = ::write(counts[1], seen, sizeof seen);
        _exit(written == sizeof seen ? 0 : 1);
    }
    close(counts[1]);
    const int builds = 60;
    int failed = 0;
    for (int i = 0; i < builds; ++i) {
        if (run({"--installdir=" + root, root + (i % 2 == 0 ? "conf/b.lst" : "conf/a.lst")}).exitCode != 0)
            ++failed;
    }
    write("stop", "");
    long seen[3] = {0, 0, 0};
    EXPECT_EQ(read(counts[0], seen, sizeof seen), static_cast<ssize_t>(sizeof seen));
    close(counts[0]);
    EXPECT_EQ(waitExit(reader), 0);
    std::cout << builds << " builds; the reader saw the first text " << seen[0] << " times, the second "
              << seen[1] << " times, anything else " << seen[2] << " times\n";
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(seen[2], 0);
    EXPECT_GT(seen[0], 0);
    EXPECT_GT(seen[1], 0);
    EXPECT_EQ(readFile(target), a);
}

/// Forty outputs of half a megabyte each from one XML file, each output's old
/// text kOld; returns the new text.
std::string writeFortyOutputs(ArdwenEndToEnd* fixture, std::vector<std::string>& outputs,
                              void (ArdwenEndToEnd::*writeFile)(const std::string&, const std::string&)) {
    (fixture->*writeFile)("conf/xml/big.xml", chainWithLeaves(20, 20000));
    std::string list;
    for (int i = 0; i < 40; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "out%02d.conf", i);
        outputs.push_back(name);
        list += "\"" + std::string(name) + "\" { \"xml/big.xml\" }\n";
        (fixture->*writeFile)(std::string("conf/") + name, kOld);
    }
    (fixture->*writeFile)("conf/build.lst", list);
    return chainWithLeavesOutput(20, 20000);
}

/// Waits until the file at `path` exists, or `pid` has ended (false then).
bool waitForFile(pid_t pid, const std::string& path) {
    for (;;) {
        siginfo_t info = {};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return false;
        if (fs::exists(path)) return true;
        usleep(200);
    }
}

class Interruption : public ArdwenEndToEnd {
public:
    using ArdwenEndToEnd::write;
};

TEST_F(Interruption, AStopRequestEndsTheBuildCleanly) {
    std::vector<std::string> outputs;
    const std::string expected = writeFortyOutputs(this, outputs, &Interruption::write);
    const struct {
        int signal;
        int exitCode;
        const char* name;
    } cases[] = {{SIGINT, 130, "SIGINT"}, {SIGTERM, 143, "SIGTERM"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& name : outputs) write("conf/" + name, kOld);
        fs::remove_all(root + "Log");
        const pid_t pid = startArdwen({"--installdir=" + root, "--report=" + root + "report.json",
                                       root + "conf/build.lst"});
        // Stopped once the first file is written whole (the second one is on
        // its way), for more than the second after which a terminal would see
        // progress; the request comes while it is stopped and is seen when it
        // goes on. The files written whole by then are committed, the one on
        // its way is abandoned.
        ASSERT_TRUE(waitForFile(pid, root + "conf/" + outputs[1] + ".tmp")) << "the build ended first";
        kill(pid, SIGSTOP);
        usleep(1200 * 1000);
        kill(pid, c.signal);
        kill(pid, SIGCONT);
        const int code = waitExit(pid);
        EXPECT_EQ(code, c.exitCode);

        // Every file is the whole old or the whole new text, and nothing else
        // is left beside them.
        std::vector<std::string> written, notWritten;
        for (const auto& name : outputs) {
            const std::string text = readFile(root + "conf/" + name);
            EXPECT_TRUE(text == kOld || text == expected) << name << ": " << shown(text);
            (text == expected ? written : notWritten).push_back(name);
        }
        EXPECT_GE(written.size(), 1u);
        EXPECT_GE(notWritten.size(), 1u);
        std::vector<std::string> expectedNames = outputs;
        expectedNames.insert(expectedNames.end(), {"build.lst", "xml"});
        std::sort(expectedNames.begin(), expectedNames.end());
        EXPECT_EQ(names(root + "conf"), expectedNames);

        // One line says so, naming what was and was not written (ten at most).
        auto listed = [](const std::vector<std::string>& files) {
            std::string text;
            for (size_t i = 0; i < files.size() && i < 10; ++i) text += (i == 0 ? "" : ", ") + files[i];
            if (files.size() > 10) text += " and " + std::to_string(files.size() - 10) + " more";
            return text;
        };
        const std::string err = readFile(errPath());
        EXPECT_EQ(err, "ardwen: the build was interrupted before its end; written: " + listed(written) +
                           "; not written: " + listed(notWritten) + "\n");
        const auto lines = logLines(defaultLog());
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().prefix + " " + lines.back().identity, "ERROR (9.10.14)");
        EXPECT_EQ(lines.back().text, "(Message not found.) Parameters: " + listed(written) + "  " +
                                         listed(notWritten) + "  ");
        const std::string report = readFile(root + "report.json");
        EXPECT_NE(report.find(std::string("  \"interrupted\": \"") + c.name + "\",\n  \"exitStatus\": " +
                              std::to_string(c.exitCode) + "\n}\n"),
                  std::string::npos)
            << report;
        EXPECT_NE(report.find("{\"path\": \"" + root + "conf/" + outputs[0] + "\", \"state\": \"written\""),
                  std::string::npos)
            << report;
        EXPECT_NE(report.find("{\"path\": \"" + root + "conf/" + outputs.back() + "\", \"state\": \"not built\""),
                  std::string::npos)
            << report;
    }
}

// A build list that comes through a pipe whose writer stalls: a stop request
// ends the wait for it, and nothing is built.
TEST_F(Interruption, AStopRequestEndsTheWaitForABuildListOnStandardInput) {
    writeSmallInstallation();
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    Start start;
    start.beforeExec = [input]() {
        if (dup2(input[0], 0) < 0) _exit(123);
        close(input[0]);
        close(input[1]);
    };
    const pid_t pid = startArdwen({"--installdir=" + root, "-"}, start);
    close(input[0]);
    // Waits until the program waits in its read of standard input (system call
    // 0 on descriptor 0); a system that does not show it cannot run the test.
    const std::string syscallFile = "/proc/" + std::to_string(pid) + "/syscall";
    bool waiting = false;
    for (int i = 0; i < 2000 && !waiting; ++i) {
        waiting = readFile(syscallFile).rfind("0 0x0 ", 0) == 0;
        if (!waiting) usleep(5000);
    }
    if (!waiting) {
        close(input[1]);
        waitExit(pid);
        GTEST_SKIP() << "cannot see the program wait for its input here";
    }
    kill(pid, SIGINT);
    // A program that went on waiting would read the end of its input once the
    // pipe closes, and then end for its empty plan, not as interrupted.
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 1000 && (ended = waitpid(pid, &status, WNOHANG)) == 0; ++i) usleep(5000);
    close(input[1]);
    if (ended != pid) ended = waitpid(pid, &status, 0);
    ASSERT_EQ(ended, pid);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), 130);
    EXPECT_EQ(readFile(errPath()), "ardwen: the build was interrupted before its end; written: none; not written: none\n");
    EXPECT_FALSE(fs::exists(root + "conf/a.conf"));
}

TEST_F(Interruption, ProgressShowsOnATerminalOnly) {
    std::vector<std::string> outputs;
    writeFortyOutputs(this, outputs, &Interruption::write);
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string terminal = ptsname(master);
    Start start;
    start.beforeExec = [terminal]() {
        setsid();
        const int fd = open(terminal.c_str(), O_RDWR);
        if (fd < 0 || dup2(fd, 2) < 0) _exit(123);
    };
    const pid_t pid = startArdwen({"--installdir=" + root, root + "conf/build.lst"}, start);
    // What the terminal shows is read on the way, so that it never fills up.
    std::string shownText;
    auto drain = [&]() {
        char buffer[4096];
        for (;;) {
            pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) return;
            const ssize_t got = read(master, buffer, sizeof buffer);
            if (got <= 0) return;
            shownText.append(buffer, static_cast<size_t>(got));
        }
    };
    ASSERT_TRUE(waitForFile(pid, root + "conf/" + outputs[1] + ".tmp")) << "the build ended first";
    kill(pid, SIGSTOP);
    usleep(1200 * 1000);
    kill(pid, SIGCONT);
    for (;;) {
        drain();
        siginfo_t info = {};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            break;
        usleep(1000);
    }
    EXPECT_EQ(waitExit(pid), 0);
    drain();
    close(master);
    // Lines "ardwen: N of 40: outMM.conf" rewritten in place, and at the end
    // the line cleared.
    ASSERT_FALSE(shownText.empty());
    size_t draws = 0;
    for (size_t at = 0; (at = shownText.find("\rardwen: ", at)) != std::string::npos; ++at) {
        ++draws;
        const std::string rest = shownText.substr(at + 9, 24);
        int number = 0, outputNumber = -1;
        ASSERT_EQ(std::sscanf(rest.c_str(), "%d of 40: out%d.conf", &number, &outputNumber), 2) << rest;
        EXPECT_EQ(number, outputNumber + 1);
    }
    EXPECT_GE(draws, 1u);
    const size_t clear = shownText.find_last_of('\r', shownText.size() - 2);
    ASSERT_NE(clear, std::string::npos);
    EXPECT_EQ(shownText.back(), '\r');
    EXPECT_EQ(shownText.substr(clear + 1, shownText.size() - clear - 2),
              std::string(shownText.size() - clear - 2, ' '));
}

TEST_F(ArdwenEndToEnd, ConfigurationTextBeyondMemoryEndsWithFatalOne) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer ends a process itself when an allocation fails";
#else
    // A megabyte of XML, 900 levels deep, asks for 90 MB of text; the program
    // may have 160 MiB of address space in all, enough to load it (on a stack
    // reserved for as many levels as the file has elements, and with the
    // allocator's own reservations) but not to hold the text.
    write("conf/xml/deep.xml", chainWithLeaves(900, 100000));
    write("conf/build.lst", "\"out.conf\" { \"xml/deep.xml\" }\n");
    write("conf/out.conf", kOld);
    Start start;
    start.beforeExec = []() {
        const rlimit limit = {160u << 20, 160u << 20};
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
    };
    RunResult r = run({"--installdir=" + root, root + "conf/build.lst"}, start);
    EXPECT_EQ(r.exitCode, 6);
    EXPECT_EQ(
        r.err,
        "ardwen: " + root +
            "conf/out.conf: out of memory while loading an XML file or producing a configuration file\n");
    EXPECT_EQ(readFile(root + "conf/out.conf"), kOld);
    const auto lines = logLines(defaultLog());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().prefix + " " + lines.back().identity, "FATAL (9.10.01)");
#endif
}

}  // namespace
}  // namespace e2e
