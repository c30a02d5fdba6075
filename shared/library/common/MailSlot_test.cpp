#include "MailSlot.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "IPCException.h"
#include "Monopoly.h"
#include "testing/BrokenLockFolder.h"

using namespace Brolix;

namespace {

std::string uniqueSlot(const char* what) { return "BrolixTest_" + std::to_string(::getpid()) + "_" + what; }

// Runs `body` and returns the IPCException it throws; without one, IC_NONE, and
// the test fails when `required`.
template <class Body>
IPCException thrownBy(Body body, bool required = true) {
    try {
        body();
    } catch (const IPCException& e) {
        return e;
    }
    if (required) ADD_FAILURE() << "no IPCException";
    return IPCException(IPCException::IC_NONE);
}

TEST(MailSlotTest, SlotPaths) {
    const struct {
        int32_t mode;
        const char* path;
    } cases[] = {
        {0, "\\\\.\\mailslot\\Brolix_Core"},
        {1, "\\\\.\\mailslot\\Brolix_Core"},
        {2, "\\\\*\\mailslot\\Brolix_Core"},
        {3, "\\\\.\\mailslot\\Brolix_Core"},
        {-1, "\\\\.\\mailslot\\Brolix_Core"},
    };
    for (const auto& c : cases) EXPECT_EQ(MailSlot::slotPath(c.mode, "Brolix_Core"), c.path) << c.mode;
}

TEST(MailSlotTest, MessagesArriveWholeAndInOrder) {
    const std::string name = uniqueSlot("order");
    MailSlot receiver(IPC::RECEIVER, name);
    std::vector<std::string> got{"kept"};
    receiver.receive(got);
    EXPECT_EQ(got, std::vector<std::string>{"kept"}) << "nothing waiting: returns at once, list unchanged";

    // Mode 2 stays on this machine; slot names ignore case.
    MailSlot local(IPC::SENDER, name), broadcast(IPC::SENDER_BROADCAST, name), upper(7, "BROLIXTEST_" + name.substr(11));
    EXPECT_TRUE(local.send("first"));
    EXPECT_TRUE(local.send(""));
    EXPECT_TRUE(broadcast.send("third"));
    EXPECT_TRUE(upper.send("fourth"));
    EXPECT_TRUE(local.send(std::string("cut\0off", 7)));
    EXPECT_TRUE(local.send(std::string(60000, 'x')));
    got.clear();
    receiver.receive(got);
    EXPECT_EQ(got, (std::vector<std::string>{"first", "", "third", "fourth", "cut", std::string(60000, 'x')}));
}

TEST(MailSlotTest, ModeMisuseAndCreationErrors) {
    const std::string name = uniqueSlot("errors");
    MailSlot receiver(IPC::RECEIVER, name);
    MailSlot sender(IPC::SENDER, name);
    std::vector<std::string> list;

    IPCException notSender = thrownBy([&] { receiver.send("x"); });
    EXPECT_EQ(notSender.code(), IPCException::IC_NOT_SENDER);
    EXPECT_EQ(notSender.message(), "");
    ASSERT_EQ(notSender.trail().size(), 1u);
    EXPECT_EQ(notSender.trail()[0].name, "MailSlot.");

    IPCException notReceiver = thrownBy([&] { sender.receive(list); });
    EXPECT_EQ(notReceiver.code(), IPCException::IC_NOT_RECEIVER);
    EXPECT_EQ(notReceiver.message(), "");

    // The name belongs to the first receiver.
    IPCException taken = thrownBy([&] { MailSlot second(IPC::RECEIVER, name); });
    EXPECT_EQ(taken.code(), IPCException::IC_CANNOT_CREATE_COMM);
    EXPECT_EQ(taken.message(), std::to_string(EADDRINUSE));
}

TEST(MailSlotTest, SenderReopensAfterFailures) {
    const std::string name = uniqueSlot("reopen");
    MailSlot sender(IPC::SENDER, name);

    // No receiver yet: the open fails with the system's text.
    IPCException noSlot = thrownBy([&] { sender.send("lost"); });
    EXPECT_EQ(noSlot.code(), IPCException::IC_CANNOT_SEND);
    EXPECT_EQ(noSlot.message(), std::strerror(ECONNREFUSED));

    std::vector<std::string> got;
    {
        MailSlot receiver(IPC::RECEIVER, name);
        EXPECT_TRUE(sender.send("one"));
        receiver.receive(got);
    }
    // The receiver went away: the write fails and closes the slot file...
    IPCException gone = thrownBy([&] { sender.send("lost too"); });
    EXPECT_EQ(gone.code(), IPCException::IC_CANNOT_SEND);
    EXPECT_EQ(gone.message(), "Error " + std::to_string(ECONNREFUSED));

    // ...so a new receiver of the name gets the next message.
    MailSlot receiver(IPC::RECEIVER, name);
    EXPECT_TRUE(sender.send("two"));
    receiver.receive(got);
    EXPECT_EQ(got, (std::vector<std::string>{"one", "two"}));
}

/// A receiver in a process of its own that owns the slot but reads only when
/// told: 'd' drains the slot and answers with the texts received, one per line
/// after their count; closing the command pipe ends it.
class IdleReceiver {
public:
    explicit IdleReceiver(const std::string& name) {
        int toChild[2], toParent[2];
        if (::pipe(toChild) != 0 || ::pipe(toParent) != 0) ADD_FAILURE() << "pipe";
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(toChild[1]);
            ::close(toParent[0]);
            FILE* out = ::fdopen(toParent[1], "w");
            MailSlot slot(IPC::RECEIVER, name);
            std::fputs("ready\n", out);
            std::fflush(out);
            char command = 0;
            while (::read(toChild[0], &command, 1) == 1) {
                std::vector<std::string> got;
                slot.receive(got);
                std::fprintf(out, "%zu\n", got.size());
                for (const std::string& text : got) std::fprintf(out, "%s\n", text.c_str());
                std::fflush(out);
            }
            ::_exit(0);
        }
        ::close(toChild[0]);
        ::close(toParent[1]);
        m_command = toChild[1];
        m_replies = ::fdopen(toParent[0], "r");
        EXPECT_EQ(line(), "ready");
    }
    ~IdleReceiver() {
        ::close(m_command);
        std::fclose(m_replies);
        ::waitpid(m_pid, nullptr, 0);
    }
    std::vector<std::string> drain() {
        EXPECT_EQ(::write(m_command, "d", 1), 1);
        std::vector<std::string> texts(std::stoul(line()));
        for (std::string& text : texts) text = line();
        return texts;
    }

private:
    std::string line() {
        char buffer[256] = "";
        if (std::fgets(buffer, sizeof buffer, m_replies) == nullptr) return "";
        std::string text(buffer);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }

    pid_t m_pid = -1;
    int m_command = -1;
    FILE* m_replies = nullptr;
};

double millisecondsOf(const std::function<void()>& body) {
    const auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

TEST(MailSlotTest, ReceiverThatStopsReadingCostsOneWait) {
    const std::string name = uniqueSlot("idle");
    IdleReceiver receiver(name);
    MailSlot sender(IPC::SENDER, name);

    // The queue fills; the send that finds it full waits for room, then fails.
    int sent = 0;
    IPCException full(IPCException::IC_NONE);
    double waited = 0;
    for (; sent < 10000 && full.code() == IPCException::IC_NONE; ++sent) {
        waited = millisecondsOf([&] { full = thrownBy([&] { sender.send(std::to_string(sent)); }, false); });
    }
    const int queued = sent - 1;
    ASSERT_LT(sent, 10000);
    EXPECT_EQ(full.code(), IPCException::IC_CANNOT_SEND);
    EXPECT_EQ(full.message(), "Error " + std::to_string(EAGAIN));
    EXPECT_GE(waited, MailSlot::WRITE_WAIT_MS * 0.9);

    // While the slot stays full, later sends of this process fail without waiting,
    // through this object and through any other.
    MailSlot another(IPC::SENDER, "BROLIXTEST_" + name.substr(11));
    const double later = millisecondsOf([&] {
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(thrownBy([&] { (i % 2 ? another : sender).send("dropped"); }).code(),
                      IPCException::IC_CANNOT_SEND);
        }
    });
    // Before, each of them waited as long as the first.
    EXPECT_LT(later, 2.0 * MailSlot::WRITE_WAIT_MS) << "20 sends to a full slot";

    // Once the receiver reads again, the next send gets through, and a slot that
    // fills up afterwards is waited for once more.
    std::vector<std::string> expected;
    for (int i = 0; i < queued; ++i) expected.push_back(std::to_string(i));
    EXPECT_EQ(receiver.drain(), expected);
    EXPECT_TRUE(sender.send("after"));
    EXPECT_EQ(receiver.drain(), std::vector<std::string>{"after"});
    for (int i = 0; i < queued; ++i) ASSERT_TRUE(sender.send("again"));
    waited = millisecondsOf([&] { thrownBy([&] { sender.send("full again"); }); });
    EXPECT_GE(waited, MailSlot::WRITE_WAIT_MS * 0.9);
}

TEST(MailSlotTest, SendReleasesTheWritersGuardAndOutlastsAStuckHolder) {
    const std::string name = uniqueSlot("guard");
    MailSlot receiver(IPC::RECEIVER, name);
    MailSlot sender(IPC::SENDER, name);
    std::vector<std::string> got;
    {
        // A holder that never lets go delays the send but does not stop it.
        Monopoly stuck("Brolix_MailSlot");
        for (int i = 0; i < 1000 && !stuck.enforce(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(stuck.isHeld());
        EXPECT_TRUE(sender.send("despite"));
    }
    EXPECT_TRUE(sender.send("free"));
    // After a send the guard is free again for everybody.
    Monopoly other("Brolix_MailSlot");
    bool taken = false;
    for (int i = 0; i < 1000 && !(taken = other.enforce()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(taken);
    receiver.receive(got);
    EXPECT_EQ(got, (std::vector<std::string>{"despite", "free"}));
}

TEST(MailSlotTest, ThreadsSharingOneSender) {
    // Threads send through one object while its receiver goes away and comes back:
    // failed writes close the object's slot file while other threads want to write
    // through it. Every send either arrives whole or reports IC_CANNOT_SEND.
    const std::string name = uniqueSlot("threads");
    MailSlot sender(IPC::SENDER, name);
    auto receiver = std::make_unique<MailSlot>(IPC::RECEIVER, name);
    const int threads = 4;
    const int perThread = 300;
    std::atomic<int> running(threads);
    std::atomic<int> delivered(0), refused(0), other(0);
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                try {
                    sender.send(std::to_string(t) + ":" + std::to_string(i));
                    ++delivered;
                } catch (const IPCException& e) {
                    ++(e.code() == IPCException::IC_CANNOT_SEND ? refused : other);
                }
            }
            --running;
        });
    }
    std::vector<std::string> got;
    for (int round = 0; running.load() > 0; ++round) {
        receiver->receive(got);
        if (round % 20 == 10) {
            receiver.reset();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            receiver = std::make_unique<MailSlot>(IPC::RECEIVER, name);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    for (std::thread& t : senders) t.join();
    receiver->receive(got);
    EXPECT_EQ(other.load(), 0);
    EXPECT_EQ(delivered + refused, threads * perThread);
    EXPECT_GT(delivered.load(), 0);
    EXPECT_LE(got.size(), size_t(delivered.load()));
    std::set<std::string> seen;
    for (const std::string& text : got) {
        const size_t colon = text.find(':');
        ASSERT_NE(colon, std::string::npos) << text;
        const int t = std::stoi(text.substr(0, colon)), i = std::stoi(text.substr(colon + 1));
        EXPECT_TRUE(t >= 0 && t < threads && i >= 0 && i < perThread) << text;
        EXPECT_TRUE(seen.insert(text).second) << "twice: " << text;
    }
}

TEST(MailSlotTest, DatagramsFromOtherProcessesArriveWholeAndInOrder) {
    // Two writer processes, each sending more than the receiver's queue holds while
    // the receiver drains as it goes. Each writer reports every send's outcome
    // (a receiver starved of the processor for a moment makes sends fail); every
    // datagram reported sent arrives once, whole and in its writer's order, and
    // nothing else arrives.
    const std::string name = uniqueSlot("procs");
    MailSlot receiver(IPC::RECEIVER, name);
    const int perWriter = 300;
    auto text = [](int w, int i) { return std::to_string(w) + ":" + std::to_string(i) + ":" + std::string(i, 'p'); };
    std::vector<pid_t> writers;
    std::vector<int> outcomes;
    for (int w = 0; w < 2; ++w) {
        int report[2];
        ASSERT_EQ(::pipe(report), 0);
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(report[0]);
            MailSlot sender(IPC::SENDER, name);
            std::string sent;
            for (int i = 0; i < perWriter; ++i) {
                try {
                    sender.send(text(w, i));
                    sent += '1';
                } catch (const IPCException&) {
                    sent += '0';
                }
            }
            ::_exit(::write(report[1], sent.data(), sent.size()) == perWriter ? 0 : 1);
        }
        ::close(report[1]);
        writers.push_back(pid);
        outcomes.push_back(report[0]);
    }
    std::vector<std::string> got;
    std::vector<std::string> reported(2);
    for (size_t w = 0; w < writers.size(); ++w) {
        // Drains while the writer writes; the report comes when it is done.
        for (;;) {
            receiver.receive(got);
            pollfd done = {outcomes[w], POLLIN, 0};
            if (::poll(&done, 1, 1) > 0) break;
        }
        char buffer[512];
        for (ssize_t n; (n = ::read(outcomes[w], buffer, sizeof buffer)) > 0;) reported[w].append(buffer, n);
        ::close(outcomes[w]);
        int status = 0;
        ASSERT_EQ(::waitpid(writers[w], &status, 0), writers[w]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        ASSERT_EQ(reported[w].size(), size_t(perWriter));
    }
    receiver.receive(got);
    std::vector<std::string> expected[2], arrived[2];
    for (int w = 0; w < 2; ++w)
        for (int i = 0; i < perWriter; ++i)
            if (reported[w][i] == '1') expected[w].push_back(text(w, i));
    for (const std::string& datagram : got) {
        const int w = datagram[0] - '0';
        ASSERT_TRUE(w == 0 || w == 1) << datagram;
        arrived[w].push_back(datagram);
    }
    for (int w = 0; w < 2; ++w) {
        EXPECT_GT(expected[w].size(), 0u);
        EXPECT_EQ(arrived[w], expected[w]) << "writer " << w;
    }
}

// The writers' guard is refused when its lock folder cannot be used: a send
// then goes out at once, rather than trying for the guard first.
TEST(MailSlotTest, SendsAtOnceWhenTheWritersGuardIsRefused) {
    using namespace Brolix::test;
    std::string output;
    const int status = runWithBrokenLockFolder(LockFault::PLAIN_FILE, "MailSlotInBrokenLockFolder.*", output);
    if (status == LOCK_FAULT_UNAVAILABLE) GTEST_SKIP() << output;
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
}

void sendsWithoutTheGuard() {
    const std::string name = uniqueSlot("refused");
    MailSlot receiver(IPC::RECEIVER, name);
    MailSlot sender(IPC::SENDER, name);
    std::vector<std::string> got, expected;
    const double spent = millisecondsOf([&] {
        for (int i = 0; i < 8; ++i) {
            EXPECT_TRUE(sender.send(std::to_string(i)));
            expected.push_back(std::to_string(i));
        }
    });
    receiver.receive(got);
    EXPECT_EQ(got, expected);
    // Before, each send tried for the guard for as long as it may.
    EXPECT_LT(spent, 4.0 * MailSlot::GUARD_WAIT_MS) << "8 sends";
}

const bool kBrokenLockFolderTests = [] {
    if (Brolix::test::brokenLockFolder() == nullptr) return false;
    ::testing::RegisterTest("MailSlotInBrokenLockFolder", "SendsWithoutTheGuard", nullptr, nullptr, __FILE__,
                            __LINE__, []() -> ::testing::Test* {
                                struct Body : ::testing::Test {
                                    void TestBody() override { sendsWithoutTheGuard(); }
                                };
                                return new Body;
                            });
    return true;
}();

}  // namespace
