// What ardwen holds against another local account and against being killed,
// with the real thing: ardwen runs as root, hundreds of times, in a folder that
// the unprivileged account "nobody" may write, while a program of nobody's
// (brolix_local_attacker) reads, moves and plants names there in a tight loop;
// and ardwen is killed at chosen points through the fault injector. Everything
// happens on a small tmpfs in a mount namespace of the test's own.
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace e2e {
extern bool g_isolated;
}

namespace {

constexpr uid_t NOBODY = 65534;
const char kOld[] = "Old(int)=\"1\"{}\n";
const char kNew[] = "Secret(text)=\"new\"{}\n";
const char kFake[] = "root:x:0:0:root:/root:/bin/bash\n";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    ::chmod(path.c_str(), mode);
}

class LocalAttacks : public ::testing::Test {
protected:
    void SetUp() override {
        if (!e2e::g_isolated) GTEST_SKIP() << "no network namespace of the test's own";
        if (::geteuid() != 0) GTEST_SKIP() << "needs root, to run as root beside another account";
        char made[] = "/tmp/ardwen-attacks-XXXXXX";
        ASSERT_NE(::mkdtemp(made), nullptr);
        m_root = made;
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", m_root.c_str(), "tmpfs", 0, "size=16m,mode=0755") != 0) {
            m_mounted = false;
            GTEST_SKIP() << "no private tmpfs here: " << std::strerror(errno);
        }
        m_mounted = true;
        ASSERT_EQ(::mkdir(conf().c_str(), 0777), 0);
        ASSERT_EQ(::chmod(conf().c_str(), 0777), 0);  // nobody may write the output folder
        ASSERT_EQ(::mkdir((m_root + "/etc").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((m_root + "/inst").c_str(), 0755), 0);
        writeFile(fake(), kFake, 0644);
        writeFile(m_root + "/inst/registry.reg", "", 0644);
        writeFile(conf() + "/build.lst", "\"secret.conf\" { \"secret.xml\" }\n", 0644);
        writeFile(conf() + "/secret.xml",
                  "<C><Object><Name>Secret</Name><Value type=\"text\">new</Value></Object></C>\n", 0644);
        writeFile(output(), kOld, 0600);
    }
    void TearDown() override {
        if (m_mounted) ::umount2(m_root.c_str(), MNT_DETACH);
        if (!m_root.empty()) ::rmdir(m_root.c_str());
    }

    std::string conf() const { return m_root + "/conf"; }
    std::string output() const { return conf() + "/secret.conf"; }
    std::string fake() const { return m_root + "/etc/passwd"; }

    /// Runs ardwen as root on the build list; with a non-empty `fault`, under
    /// the fault injector; with `errors`, its standard error goes to that file.
    /// Returns the exit status (128 + the signal).
    int runArdwen(const std::string& fault = std::string(), const std::string& errors = std::string()) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int quiet = ::open("/dev/null", O_RDWR);
            ::dup2(quiet, 0);
            ::dup2(quiet, 1);
            ::dup2(errors.empty() ? quiet : ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            ::clearenv();
            ::setenv("BROLIX_REGISTRY", (m_root + "/inst/registry.reg").c_str(), 1);
            ::setenv("PATH", "/usr/bin:/bin", 1);
            if (!fault.empty()) {
                ::setenv("LD_PRELOAD", BROLIX_FAULT_SHIM, 1);
                ::setenv("BROLIX_FAULT", fault.c_str(), 1);
                ::setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
            }
            const std::string installDir = "--installdir=" + m_root + "/inst/";
            const std::string buildList = conf() + "/build.lst";
            ::execl(ARDWEN_BINARY, "ardwen", installDir.c_str(), buildList.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        if (::waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    /// The attacker, as nobody, until stop() ends it and returns its line.
    class Attacker {
    public:
        explicit Attacker(const std::vector<std::string>& args) {
            int out[2];
            if (::pipe(out) != 0) return;
            m_pid = ::fork();
            if (m_pid == 0) {
                ::dup2(out[1], 1);
                ::close(out[0]);
                ::close(out[1]);
                if (::setgroups(0, nullptr) != 0 || ::setresgid(NOBODY, NOBODY, NOBODY) != 0 ||
                    ::setresuid(NOBODY, NOBODY, NOBODY) != 0)
                    ::_exit(126);
                std::vector<char*> argv{const_cast<char*>(LOCAL_ATTACKER_BINARY)};
                for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
                argv.push_back(nullptr);
                ::execv(LOCAL_ATTACKER_BINARY, argv.data());
                ::_exit(127);
            }
            ::close(out[1]);
            m_out = out[0];
        }
        ~Attacker() { stop(); }
        std::string stop() {
            if (m_pid <= 0) return m_line;
            ::kill(m_pid, SIGTERM);
            char buffer[256];
            ssize_t n;
            while ((n = ::read(m_out, buffer, sizeof buffer)) > 0) m_line.append(buffer, static_cast<size_t>(n));
            ::close(m_out);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
            return m_line;
        }

    private:
        pid_t m_pid = -1;
        int m_out = -1;
        std::string m_line;
    };

    /// The files in the output folder besides the build's own inputs and output.
    std::vector<std::string> leftovers() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(conf())) {
            const std::string name = entry.path().filename().string();
            if (name != "build.lst" && name != "secret.xml" && name != "secret.conf") names.push_back(name);
        }
        return names;
    }

    std::string m_root;
    bool m_mounted = false;
};

// Before the update commits, the new content of a 0600 file sits in its
// temporary file; nobody, reading that name all the time, never gets a byte.
TEST_F(LocalAttacks, NoByteOfASecretsNewContentIsReadable) {
    Attacker reader({"read", output() + ".tmp"});
    for (int run = 0; run < 300; ++run) {
        writeFile(output(), kOld, 0600);
        ASSERT_EQ(runArdwen(), 0) << "run " << run;
        ASSERT_EQ(readFile(output()), kNew) << "run " << run;
    }
    const std::string line = reader.stop();
    std::fprintf(stderr, "reader: %s", line.c_str());
    // Not even an opening: the file is the owner's alone from its creation
    // (before, a reader opened it about five times a run).
    EXPECT_EQ(line, "opened 0 read 0\n");
    struct stat info {};
    ASSERT_EQ(::stat(output().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

// Nobody moves the temporary file aside and plants links to a system file at
// the temporary and lock names, over and over. Ardwen may fail to write (exit
// 7), but no write, change of owner or mode, or rename reaches the system file,
// and the output is never a link: a plain file of root's with the old or the
// new content. (Nobody may remove any name in the folder, the output's too: a
// run whose new file nobody removed in the instant of its commit may end with
// no output at all; that is counted, and the old file put back.)
TEST_F(LocalAttacks, PlantedLinksAndMovedNamesReachNoOtherFile) {
    Attacker swapper({"swap", conf(), "secret.conf", fake()});
    int written = 0;
    int lost = 0;
    for (int run = 0; run < 400; ++run) {
        const int status = runArdwen();
        ASSERT_TRUE(status == 0 || status == 7) << "run " << run << ": exit " << status;
        if (status == 0) ++written;
        struct stat info {};
        ASSERT_EQ(::lstat(fake().c_str(), &info), 0);
        ASSERT_EQ(info.st_mode & 07777, 0644u) << "run " << run;
        ASSERT_EQ(info.st_uid, 0u) << "run " << run;
        ASSERT_EQ(info.st_gid, 0u) << "run " << run;
        ASSERT_EQ(readFile(fake()), kFake) << "run " << run;
        if (::lstat(output().c_str(), &info) != 0) {
            ++lost;
            writeFile(output(), kOld, 0600);
            continue;
        }
        ASSERT_TRUE(S_ISREG(info.st_mode)) << "run " << run << ": the output is no plain file";
        ASSERT_EQ(info.st_uid, 0u) << "run " << run;
        const std::string content = readFile(output());
        ASSERT_TRUE(content == kOld || content == kNew) << "run " << run << ": " << content;
    }
    const std::string line = swapper.stop();
    std::fprintf(stderr, "swapper: %s; %d of 400 runs wrote the output, %d ended without one\n",
                 line.substr(0, line.size() - 1).c_str(), written, lost);
    EXPECT_EQ(line.substr(0, 6), "moved ");
}

// A run killed anywhere in its update leaves the whole old file and blocks no
// rerun: the next run, started at once, builds the file and leaves nothing
// behind (no temporary file, no lock file, no draft of one).
TEST_F(LocalAttacks, AKilledRunBlocksNoRerunAndLeavesNothing) {
    const std::string faults[] = {
        "kill:link:secret.conf.lock:1",        // while taking the lock
        "kill:fsync:secret.conf.tmp:1",        // with the new content written
        "kill:rename:secret.conf.tmp:1",       // just before the commit
        "kill:fsync:" + conf() + ":1",         // after the commit, at the folder's flush
    };
    for (const std::string& fault : faults) {
        for (int round = 0; round < 5; ++round) {
            writeFile(output(), kOld, 0600);
            const int killed = runArdwen(fault);
            ASSERT_EQ(killed, 128 + SIGKILL) << fault;
            const std::string content = readFile(output());
            ASSERT_TRUE(content == kOld || content == kNew) << fault << ": " << content;
            ASSERT_EQ(runArdwen(), 0) << fault << " round " << round;
            ASSERT_EQ(readFile(output()), kNew) << fault;
            ASSERT_EQ(leftovers(), std::vector<std::string>{}) << fault;
        }
    }
}

// The output's new content cannot be flushed to the disk when it is committed
// (the write itself went well): the output is not replaced, the run says so
// and ends with exit 7, and nothing is left beside the file.
TEST_F(LocalAttacks, AFlushThatFailsAtTheCommitIsReported) {
    writeFile(output(), kOld, 0600);
    const int status = runArdwen("fail:fsync:secret.conf.tmp");
    EXPECT_EQ(status, 7);
    EXPECT_EQ(readFile(output()), kOld);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    EXPECT_EQ(runArdwen(), 0);
    EXPECT_EQ(readFile(output()), kNew);
}

// The output is replaced, but its folder cannot be flushed afterwards: the
// run fails (the new entry may not survive a crash) and says that the file
// already holds its new content.
TEST_F(LocalAttacks, AFolderThatCannotBeFlushedIsReportedWithTheTruth) {
    writeFile(output(), kOld, 0600);
    const std::string errors = m_root + "/etc/errors.txt";
    EXPECT_EQ(runArdwen("fail:fsync:" + conf(), errors), 7);
    EXPECT_EQ(readFile(output()), kNew);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    const std::string said = readFile(errors);
    EXPECT_NE(said.find("it holds its new content, but its folder could not be flushed to the disk, so a crash may "
                        "bring back the old file"),
              std::string::npos)
        << said;
}

}  // namespace
