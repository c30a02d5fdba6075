// The Linux system log backend against sockets of the test's own: in a child
// with a mount namespace of its own (and a user namespace where it is not
// root), a tmpfs over /run holds the journal's socket, or a tmpfs over /dev
// holds /dev/log, bound by the test; the bytes that arrive are the entry.
#include "platform/SystemLog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

using namespace Brolix;

namespace {

const int CANNOT_RUN = 77;

bool put(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    const bool written = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) ::close(fd);
    return written;
}

// Mounts may be made here: a mount namespace of this process's own, private.
bool ownMounts() {
    const std::string uid = std::to_string(::getuid()), gid = std::to_string(::getgid());
    if (::unshare(CLONE_NEWNS) != 0) {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
        put("/proc/self/setgroups", "deny");
        if (!put("/proc/self/uid_map", uid + " " + uid + " 1\n") || !put("/proc/self/gid_map", gid + " " + gid + " 1\n"))
            return false;
    }
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// A datagram socket bound at `path`; -1 when it cannot be made.
int boundSocket(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    return fd;
}

struct Delivery {
    bool ran = false;
    std::string bytes;        // what arrived at the socket
    std::string destination;  // what the writer said
    bool written = false;
};

// Writes `record` in a child whose journal socket (journal) or /dev/log (not
// journal) is the child's own, and hands back what arrived there; with
// `listening` false, neither socket exists in the child.
Delivery deliver(const platform::SystemLogRecord& record, bool journal, bool listening = true) {
    int pipeFds[2];
    Delivery delivery;
    if (::pipe(pipeFds) != 0) return delivery;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        if (!ownMounts()) ::_exit(CANNOT_RUN);
        // No journal unless the test makes one; /dev/log only where asked for.
        if (::mount("tmpfs", "/run", "tmpfs", 0, "size=64k") != 0) ::_exit(CANNOT_RUN);
        std::string socketPath = "/dev/log";
        if (journal) {
            ::mkdir("/run/systemd", 0755);
            ::mkdir("/run/systemd/journal", 0755);
            socketPath = "/run/systemd/journal/socket";
        } else if (::mount("tmpfs", "/dev", "tmpfs", 0, "size=64k") != 0) {
            ::_exit(CANNOT_RUN);
        }
        const int listener = listening ? boundSocket(socketPath) : -1;
        if (listening && listener < 0) ::_exit(CANNOT_RUN);
        std::string error;
        platform::SystemLog log("brolix-test");
        const bool written = log.write(record, error);
        // Without a listener, the words of the failure stand for the bytes.
        std::string bytes = error;
        if (listening) {
            bytes.assign(256 * 1024, '\0');
            const ssize_t got = ::recv(listener, &bytes[0], bytes.size(), MSG_DONTWAIT);
            bytes.resize(got < 0 ? 0 : static_cast<size_t>(got));
        }
        const std::string report = std::string(written ? "1" : "0") + log.destination() + '\n' + bytes;
        const bool sent = ::write(pipeFds[1], report.data(), report.size()) == static_cast<ssize_t>(report.size());
        ::_exit(sent ? 0 : 1);
    }
    ::close(pipeFds[1]);
    std::string report;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) report.append(buffer, static_cast<size_t>(got));
    ::close(pipeFds[0]);
    int status = 0;
    const bool ended = pid > 0 && ::waitpid(pid, &status, 0) == pid;
    // A child that could not make its own mounts did not run the test; any
    // other end without a report fails it.
    delivery.ran = !(ended && WIFEXITED(status) && WEXITSTATUS(status) == CANNOT_RUN);
    if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return delivery;
    const size_t lineEnd = report.find('\n');
    if (lineEnd == std::string::npos) return delivery;
    delivery.written = report[0] == '1';
    delivery.destination = report.substr(1, lineEnd - 1);
    delivery.bytes = report.substr(lineEnd + 1);
    return delivery;
}

platform::SystemLogRecord sample() {
    platform::SystemLogRecord record;
    record.priority = 3;
    record.identifier = "ardwen";
    record.message = "(9.10.09) cannot write the configuration file (output file: /x/a b.conf; error code: 60.17)";
    record.fields = {{"BROLIX_MESSAGE_NUMBER", "9"}, {"BROLIX_PARAMETER_1", "/x/a b.conf"}, {"BROLIX_PARAMETER_2", "60.17"}};
    return record;
}

TEST(SystemLogTest, JournalGetsEveryFieldInTheNativeProtocol) {
    platform::SystemLogRecord record = sample();
    // A value with a line end travels with its length (64 bits, little-endian).
    record.fields.emplace_back("BROLIX_PARAMETER_3", "two\nlines");
    const Delivery delivery = deliver(record, true);
    if (!delivery.ran) GTEST_SKIP() << "no mount namespace of the test's own here";
    EXPECT_TRUE(delivery.written);
    EXPECT_EQ(delivery.destination, "journal");
    EXPECT_EQ(delivery.bytes,
              std::string("MESSAGE=(9.10.09) cannot write the configuration file (output file: /x/a b.conf; error "
                          "code: 60.17)\n"
                          "PRIORITY=3\n"
                          "SYSLOG_IDENTIFIER=ardwen\n"
                          "BROLIX_MESSAGE_NUMBER=9\n"
                          "BROLIX_PARAMETER_1=/x/a b.conf\n"
                          "BROLIX_PARAMETER_2=60.17\n"
                          "BROLIX_PARAMETER_3\n"
                          "\x09\0\0\0\0\0\0\0two\nlines\n",
                          253));

    // Without an identifier of its own, the record is the source's.
    record = sample();
    record.identifier.clear();
    record.fields.clear();
    record.message = "m";
    record.priority = 7;
    EXPECT_EQ(deliver(record, true).bytes, "MESSAGE=m\nPRIORITY=7\nSYSLOG_IDENTIFIER=brolix-test\n");
}

TEST(SystemLogTest, SyslogWhereNoJournalRuns) {
    const Delivery delivery = deliver(sample(), false);
    if (!delivery.ran) GTEST_SKIP() << "no mount namespace of the test's own here";
    EXPECT_TRUE(delivery.written);
    EXPECT_EQ(delivery.destination, "syslog");
    // <facility daemon (3) * 8 + priority>, the time stamp ("Dec 11 03:32:28"),
    // tag[pid]: the words and the fields.
    const std::string& bytes = delivery.bytes;
    const size_t pidStart = 4 + 15 + std::string(" ardwen[").size();
    const size_t pidEnd = bytes.find("]: ", pidStart);
    ASSERT_NE(pidEnd, std::string::npos) << bytes;
    EXPECT_EQ(bytes.substr(0, 4), "<27>") << bytes;
    EXPECT_EQ(bytes.substr(4 + 3, 1) + bytes.substr(4 + 6, 1) + bytes.substr(4 + 9, 1) + bytes.substr(4 + 12, 1),
              "  ::")
        << bytes;
    EXPECT_EQ(bytes.substr(4 + 15, pidStart - 4 - 15), " ardwen[") << bytes;
    EXPECT_EQ(std::to_string(std::stoul(bytes.substr(pidStart, pidEnd - pidStart))),
              bytes.substr(pidStart, pidEnd - pidStart))
        << bytes;
    EXPECT_EQ(bytes.substr(pidEnd + 3),
              "(9.10.09) cannot write the configuration file (output file: /x/a b.conf; error code: 60.17) "
              "BROLIX_MESSAGE_NUMBER=9 BROLIX_PARAMETER_1=/x/a b.conf BROLIX_PARAMETER_2=60.17");
}

TEST(SystemLogTest, NoSystemLogIsAFailureWithItsReason) {
    const Delivery delivery = deliver(sample(), false, false);
    if (!delivery.ran) GTEST_SKIP() << "no mount namespace of the test's own here";
    EXPECT_FALSE(delivery.written);
    EXPECT_EQ(delivery.destination, "");
    EXPECT_EQ(delivery.bytes, "no system log runs here (neither /run/systemd/journal/socket nor /dev/log is a socket)");
}

}  // namespace
