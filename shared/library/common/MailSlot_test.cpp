#include "MailSlot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "IPCException.h"
#include "Monopoly.h"
#include "testing/TestSystem.h"

using namespace Brolix;

namespace {

// The variable that gives a child started by a test the slot's name.
const char SLOT_VARIABLE[] = "BROLIX_TEST_SLOT";

std::string uniqueSlot(const char* what) {
    return "BrolixTest_" + std::to_string(test::processId()) + "_" + what;
}

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
        {0, "\\\\.\\mailslot\\Brolix_Core"},  {1, "\\\\.\\mailslot\\Brolix_Core"},
        {2, "\\\\*\\mailslot\\Brolix_Core"},  {3, "\\\\.\\mailslot\\Brolix_Core"},
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

    // Mode 2 reaches this machine too (where the system opens broadcast paths
    // at all); slot names ignore case.
    MailSlot local(IPC::SENDER, name), broadcast(IPC::SENDER_BROADCAST, name),
        upper(7, "BROLIXTEST_" + name.substr(11));
    std::vector<std::string> expected{"first", "", "third", "fourth", "cut", std::string(60000, 'x')};
    EXPECT_TRUE(local.send("first"));
    EXPECT_TRUE(local.send(""));
    const int broadcastRefused = test::slotFacts().broadcastRefused;
    if (broadcastRefused == 0) {
        EXPECT_TRUE(broadcast.send("third"));
    } else {
        const IPCException refused = thrownBy([&] { broadcast.send("third"); });
        EXPECT_EQ(refused.code(), IPCException::IC_CANNOT_SEND);
        EXPECT_EQ(refused.message(), test::systemErrorWords(broadcastRefused));
        expected.erase(expected.begin() + 2);
    }
    EXPECT_TRUE(upper.send("fourth"));
    EXPECT_TRUE(local.send(std::string("cut\0off", 7)));
    EXPECT_TRUE(local.send(std::string(60000, 'x')));
    got.clear();
    receiver.receive(got);
    EXPECT_EQ(got, expected);
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
    EXPECT_EQ(taken.message(), std::to_string(test::slotFacts().nameTaken));
}

TEST(MailSlotTest, SenderReopensAfterFailures) {
    const std::string name = uniqueSlot("reopen");
    auto sender = std::make_unique<MailSlot>(IPC::SENDER, name);

    // No receiver yet: the open fails with the system's text.
    IPCException noSlot = thrownBy([&] { sender->send("lost"); });
    EXPECT_EQ(noSlot.code(), IPCException::IC_CANNOT_SEND);
    EXPECT_EQ(noSlot.message(), test::systemErrorWords(test::slotFacts().noReceiver));

    std::vector<std::string> got;
    {
        MailSlot receiver(IPC::RECEIVER, name);
        EXPECT_TRUE(sender->send("one"));
        receiver.receive(got);
    }
    const int goneError = test::slotFacts().receiverGone;
    if (goneError != 0) {
        // The receiver went away: the write fails and closes the slot file...
        IPCException gone = thrownBy([&] { sender->send("lost too"); });
        EXPECT_EQ(gone.code(), IPCException::IC_CANNOT_SEND);
        EXPECT_EQ(gone.message(), "Error " + std::to_string(goneError));
    } else {
        // The system takes writes to a closed slot and drops them, so the sender
        // cannot tell; and the name stays taken while a sender holds the slot
        // open, so no new receiver can have it until the sender goes.
        EXPECT_TRUE(sender->send("lost too"));
        IPCException taken = thrownBy([&] { MailSlot again(IPC::RECEIVER, name); });
        EXPECT_EQ(taken.code(), IPCException::IC_CANNOT_CREATE_COMM);
        EXPECT_EQ(taken.message(), std::to_string(test::slotFacts().nameTaken));
        sender = std::make_unique<MailSlot>(IPC::SENDER, name);
    }

    // ...so a new receiver of the name gets the next message.
    MailSlot receiver(IPC::RECEIVER, name);
    EXPECT_TRUE(sender->send("two"));
    receiver.receive(got);
    EXPECT_EQ(got, (std::vector<std::string>{"one", "two"}));
}

/// A receiver in a process of its own (this test again, in the role "idle
/// receiver") that owns the slot but reads only when told: each line "d" on its
/// standard input drains the slot and answers with the texts received, one per
/// line, and "<end n>" after the n-th drain; the end of its input ends it.
class IdleReceiver {
public:
    explicit IdleReceiver(const std::string& name) {
        test::ChildOptions options;
        options.withInput = true;
        options.setVariables.emplace_back(SLOT_VARIABLE, name);
        m_child = test::startThisTest("idle receiver", options);
        EXPECT_TRUE(m_child->waitForOutput("<ready>")) << m_child->problem() << m_child->errors();
        m_seen = m_child->output().size();
    }
    ~IdleReceiver() {
        m_child->closeInput();
        m_child->wait(std::chrono::milliseconds(30000));
    }
    std::vector<std::string> drain() {
        EXPECT_TRUE(m_child->write("d\n"));
        const std::string end = "<end " + std::to_string(++m_drains) + ">";
        EXPECT_TRUE(m_child->waitForOutput(end)) << m_child->errors();
        const std::string output = m_child->output();
        const size_t at = output.find(end, m_seen);
        std::vector<std::string> texts;
        std::istringstream lines(
            output.substr(m_seen, at == std::string::npos ? std::string::npos : at - m_seen));
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();  // a text stream's line end on Windows
            texts.push_back(line);
        }
        m_seen = at == std::string::npos ? output.size() : at + end.size();
        return texts;
    }

    /// The child's side.
    static void play() {
        MailSlot slot(IPC::RECEIVER, std::getenv(SLOT_VARIABLE));
        std::fputs("<ready>\n", stdout);
        std::fflush(stdout);
        char command[16];
        for (int drains = 1; std::fgets(command, sizeof command, stdin) != nullptr; ++drains) {
            std::vector<std::string> got;
            slot.receive(got);
            for (const std::string& text : got) std::printf("%s\n", text.c_str());
            std::printf("<end %d>", drains);
            std::fflush(stdout);
        }
        std::_Exit(0);
    }

private:
    std::unique_ptr<test::ChildProcess> m_child;
    size_t m_seen = 0;
    int m_drains = 0;
};

double millisecondsOf(const std::function<void()>& body) {
    const auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

TEST(MailSlotTest, ReceiverThatStopsReadingCostsOneWait) {
    if (test::testRole() == "idle receiver") IdleReceiver::play();
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
    EXPECT_EQ(full.message(), "Error " + std::to_string(test::slotFacts().full));
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
        for (int i = 0; i < 1000 && !stuck.enforce(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(stuck.isHeld());
        EXPECT_TRUE(sender.send("despite"));
    }
    EXPECT_TRUE(sender.send("free"));
    // After a send the guard is free again for everybody.
    Monopoly other("Brolix_MailSlot");
    bool taken = false;
    for (int i = 0; i < 1000 && !(taken = other.enforce()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(taken);
    receiver.receive(got);
    EXPECT_EQ(got, (std::vector<std::string>{"despite", "free"}));
}

TEST(MailSlotTest, ThreadsSharingOneSender) {
    // Threads send through one object while its receiver goes away and comes back:
    // failed writes close the object's slot file while other threads want to write
    // through it. Every send either arrives whole or reports IC_CANNOT_SEND. Where
    // a slot's name stays taken while a sender holds it open (Wine), the receiver
    // stays.
    const bool receiverComesBack = test::slotFacts().receiverGone != 0;
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
        if (receiverComesBack && round % 20 == 10) {
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
    const int perWriter = 300;
    auto text = [](int w, int i) {
        return std::to_string(w) + ":" + std::to_string(i) + ":" + std::string(i, 'p');
    };
    const std::string role = test::testRole();
    if (role == "writer 0" || role == "writer 1") {
        const int w = role.back() - '0';
        MailSlot sender(IPC::SENDER, std::getenv(SLOT_VARIABLE));
        std::string sent;
        for (int i = 0; i < perWriter; ++i) {
            try {
                sender.send(text(w, i));
                sent += '1';
            } catch (const IPCException&) {
                sent += '0';
            }
        }
        std::printf("<sent %s>", sent.c_str());
        std::fflush(stdout);
        std::_Exit(0);
    }
    const std::string name = uniqueSlot("procs");
    MailSlot receiver(IPC::RECEIVER, name);
    std::vector<std::string> got;
    std::vector<std::unique_ptr<test::ChildProcess>> writers;
    for (int w = 0; w < 2; ++w) {
        test::ChildOptions options;
        options.setVariables.emplace_back(SLOT_VARIABLE, name);
        writers.push_back(test::startThisTest("writer " + std::to_string(w), options));
        ASSERT_TRUE(writers.back()->started()) << writers.back()->problem();
    }
    // Drains while the writers write; their reports come when they are done.
    std::vector<std::string> reported(2);
    for (int w = 0; w < 2; ++w) {
        test::ProcessEnd end;
        do {
            receiver.receive(got);
            end = writers[w]->wait(std::chrono::milliseconds(1));
        } while (end.running);
        EXPECT_EQ(end.exitCode, 0) << writers[w]->errors();
        const std::string output = writers[w]->output();
        const size_t from = output.find("<sent "), to = output.find('>', from);
        if (from != std::string::npos && to != std::string::npos)
            reported[w] = output.substr(from + 6, to - from - 6);
        ASSERT_EQ(reported[w].size(), size_t(perWriter)) << reported[w];
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

}  // namespace
