#include "IPCClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "MailSlot.h"
#include "testing/TestSystem.h"

using namespace Brolix;

namespace {

const std::string ESC(1, '\x1b');
const std::string SUB(1, '\x1a');  // the parameter separator

std::string uniqueSlot(const char* what) {
    return "BrolixTest_" + std::to_string(test::processId()) + "_" + what;
}

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
        for (const std::string& text : texts)
            expected.insert(IPCClient::frameRequest("LOGMSG", "", text, ""));
    EXPECT_GT(expected.size(), 0u);
    EXPECT_TRUE(arrived == expected) << got.size() << " arrived, " << expected.size() << " sent";
}

TEST(IPCClientTest, RequestsFromAnotherProcess) {
    // The sender is a separate process that starts before the service exists and
    // keeps sending once it is there (a line on its input tells it).
    if (test::testRole() == "sender") {
        IPCClient client(std::getenv("BROLIX_TEST_SLOT"));
        const bool early = client.sendRequest("LOGMSG", "", "too early", "");
        std::printf("<early %s>", early ? "sent" : "refused");
        std::fflush(stdout);
        char line[8];
        if (std::fgets(line, sizeof line, stdin) == nullptr) std::_Exit(2);
        bool ok = true;
        for (int i = 0; i < 3; ++i)
            ok = client.sendRequest("LOGMSG", "", "entry " + std::to_string(i), "") && ok;
        ok = client.sendRequest("PING", "a", "b", "c") && ok;
        std::_Exit(ok ? 0 : 1);
    }
    const std::string name = uniqueSlot("process");
    test::ChildOptions options;
    options.withInput = true;
    options.setVariables.emplace_back("BROLIX_TEST_SLOT", name);
    const std::unique_ptr<test::ChildProcess> sender = test::startThisTest("sender", options);
    ASSERT_TRUE(sender->waitForOutput("<early ")) << sender->problem() << sender->errors();
    ASSERT_TRUE(sender->waitForOutput(">"));
    EXPECT_NE(sender->output().find("<early refused>"), std::string::npos)
        << "a send without a service must report false";
    MailSlot receiver(IPC::RECEIVER, name);
    ASSERT_TRUE(sender->write("go\n"));
    const test::ProcessEnd end = sender->wait(std::chrono::milliseconds(30000));
    EXPECT_EQ(end.exitCode, 0) << sender->output() << sender->errors();

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
