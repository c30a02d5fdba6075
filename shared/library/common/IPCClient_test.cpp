#include "IPCClient.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "MailSlot.h"

using namespace Brolix;

namespace {

const std::string ESC(1, '\x1b');
const std::string SUB(1, '\x1a');  // the parameter separator

std::string uniqueSlot(const char* what) { return "BrolixTest_" + std::to_string(::getpid()) + "_" + what; }

TEST(IPCClientTest, FramesRequests) {
    const struct {
        std::string request;
        std::string second;
        std::string third;
        std::string fourth;
        std::string framed;
    } cases[] = {
        {"LOGMSG", "", "abc", "", "Brolix" + ESC + "LOGMSG" + ESC + ESC + "abc" + ESC},
        {"LOGMSG", "", "abc", "d", "Brolix" + ESC + "LOGMSG" + ESC + ESC + "abc" + ESC + "d" + ESC},
        {"REQ", "two", "", "", "Brolix" + ESC + "REQ" + ESC + "two" + ESC + ESC},
        {"", "", "", "", "Brolix" + ESC + ESC + ESC + ESC},
        // An escape inside a text would split its field for the service, and a zero
        // byte would cut the datagram: both travel as a space. A parameter
        // separator stays: the parameters of a message keep their boundaries.
        {"LOGMSG", "", "sa" + ESC + "b" + SUB + "n3" + SUB, "",
         "Brolix" + ESC + "LOGMSG" + ESC + ESC + "sa b" + SUB + "n3" + SUB + ESC},
        {"LOGMSG", "", std::string("n\0ul\0", 5), ESC,
         "Brolix" + ESC + "LOGMSG" + ESC + ESC + "n ul " + ESC + " " + ESC},
        {"RE" + ESC + "Q", ESC + ESC, "", "", "Brolix" + ESC + "RE Q" + ESC + "  " + ESC + ESC},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IPCClient::frameRequest(c.request, c.second, c.third, c.fourth), c.framed) << c.request;
    }
}

TEST(IPCClientTest, DatagramBytesOnTheWire) {
    // What any receiver sees, read with a bare socket at the slot's address: the
    // framed text and one zero byte, one datagram per send.
    const std::string name = uniqueSlot("wire");
    std::string address = "brolix/mailslot/" + name;
    for (char& c : address) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path + 1, address.data(), address.size());
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + address.size())),
              0);

    IPCClient client(name);
    EXPECT_TRUE(client.sendRequest("LOGMSG", "", "abc", ""));
    EXPECT_TRUE(client.sendText(""));
    EXPECT_TRUE(client.sendRequest("LOGMSG", "", "p" + ESC + std::string("a\0b", 3), ""));
    char buffer[256];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    EXPECT_EQ(std::string(buffer, n > 0 ? n : 0),
              std::string("Brolix\x1bLOGMSG\x1b\x1b" "abc\x1b") + std::string(1, '\0'));
    n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    EXPECT_EQ(std::string(buffer, n > 0 ? n : 0), std::string(1, '\0'));
    n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    EXPECT_EQ(std::string(buffer, n > 0 ? n : 0),
              "Brolix" + ESC + "LOGMSG" + ESC + ESC + "p a b" + ESC + std::string(1, '\0'));
    ::close(fd);
}

TEST(IPCClientTest, AbsentServiceGivesFalseUntilItAppears) {
    const std::string name = uniqueSlot("absent");
    IPCClient client(name);
    EXPECT_FALSE(client.hasChannel());
    EXPECT_FALSE(client.sendText("nobody listens"));
    EXPECT_TRUE(client.hasChannel());
    EXPECT_FALSE(client.sendRequest("LOGMSG", "", "still nobody", ""));

    MailSlot receiver(IPC::RECEIVER, name);
    EXPECT_TRUE(client.sendText("now"));
    std::vector<std::string> got;
    receiver.receive(got);
    EXPECT_EQ(got, std::vector<std::string>{"now"});
}

TEST(IPCClientTest, ThreadsSendingThroughOneClient) {
    // The threads start together, so their first sends race to make the channel.
    // Every request reported as sent arrives once and whole, and nothing else
    // arrives. (A send may still report false when the receiver falls behind.)
    const std::string name = uniqueSlot("threads");
    MailSlot receiver(IPC::RECEIVER, name);
    IPCClient client(name);
    const int threads = 4;
    const int perThread = 200;
    std::atomic<int> waiting(threads);
    std::atomic<int> running(threads);
    std::vector<std::vector<std::string>> sent(threads);
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([&, t] {
            for (--waiting; waiting.load() > 0;) {
            }
            for (int i = 0; i < perThread; ++i) {
                const std::string text = std::to_string(t) + ":" + std::to_string(i);
                if (client.sendRequest("LOGMSG", "", text, "")) sent[t].push_back(text);
            }
            --running;
        });
    }
    std::vector<std::string> got;
    while (running.load() > 0) {
        receiver.receive(got);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    for (std::thread& sender : senders) sender.join();
    receiver.receive(got);
    std::multiset<std::string> expected, arrived(got.begin(), got.end());
    for (const std::vector<std::string>& texts : sent)
        for (const std::string& text : texts) expected.insert(IPCClient::frameRequest("LOGMSG", "", text, ""));
    EXPECT_GT(expected.size(), 0u);
    EXPECT_TRUE(arrived == expected) << got.size() << " arrived, " << expected.size() << " sent";
}

TEST(IPCClientTest, RequestsFromAnotherProcess) {
    // The sender is a separate process that starts before the service exists and
    // keeps sending once it is there.
    const std::string name = uniqueSlot("process");
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        IPCClient client(name);
        const bool early = client.sendRequest("LOGMSG", "", "too early", "");
        char c = early ? 'x' : 'o';
        if (::write(ready[1], &c, 1) != 1 || ::read(go[0], &c, 1) != 1) ::_exit(2);
        bool ok = true;
        for (int i = 0; i < 3; ++i) ok = client.sendRequest("LOGMSG", "", "entry " + std::to_string(i), "") && ok;
        ok = client.sendRequest("PING", "a", "b", "c") && ok;
        ::_exit(ok ? 0 : 1);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'o') << "a send without a service must report false";
    MailSlot receiver(IPC::RECEIVER, name);
    ASSERT_EQ(::write(go[1], &c, 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);

    std::vector<std::string> got;
    receiver.receive(got);
    EXPECT_EQ(got, (std::vector<std::string>{
                       IPCClient::frameRequest("LOGMSG", "", "entry 0", ""),
                       IPCClient::frameRequest("LOGMSG", "", "entry 1", ""),
                       IPCClient::frameRequest("LOGMSG", "", "entry 2", ""),
                       "Brolix" + ESC + "PING" + ESC + "a" + ESC + "b" + ESC + "c" + ESC,
                   }));
}

}  // namespace
