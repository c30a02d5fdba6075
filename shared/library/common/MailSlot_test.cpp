#include "MailSlot.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "IPCException.h"
#include "Monopoly.h"

using namespace Brolix;

namespace {

std::string uniqueSlot(const char* what) { return "BrolixTest_" + std::to_string(::getpid()) + "_" + what; }

// Runs `body` and returns the IPCException it throws; fails the test if none.
template <class Body>
IPCException thrownBy(Body body) {
    try {
        body();
    } catch (const IPCException& e) {
        return e;
    }
    ADD_FAILURE() << "no IPCException";
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

TEST(MailSlotTest, ReceiverThatStopsReadingDoesNotHangSenders) {
    const std::string name = uniqueSlot("full");
    MailSlot receiver(IPC::RECEIVER, name);
    MailSlot sender(IPC::SENDER, name);
    int sent = 0;
    IPCException full(IPCException::IC_NONE);
    for (; sent < 10000; ++sent) {
        try {
            sender.send(std::to_string(sent));
        } catch (const IPCException& e) {
            full = e;
            break;
        }
    }
    ASSERT_LT(sent, 10000);
    EXPECT_EQ(full.code(), IPCException::IC_CANNOT_SEND);
    EXPECT_EQ(full.message(), "Error " + std::to_string(EAGAIN));

    std::vector<std::string> got;
    receiver.receive(got);
    ASSERT_EQ(got.size(), static_cast<size_t>(sent));
    for (int i = 0; i < sent; ++i) EXPECT_EQ(got[i], std::to_string(i));
    EXPECT_TRUE(sender.send("after"));
    got.clear();
    receiver.receive(got);
    EXPECT_EQ(got, std::vector<std::string>{"after"});
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

TEST(MailSlotTest, DatagramsFromOtherProcessesArriveWholeAndInOrder) {
    // Two writer processes, each sending more than the receiver's queue holds while
    // the receiver drains as it goes.
    const std::string name = uniqueSlot("procs");
    MailSlot receiver(IPC::RECEIVER, name);
    const int perWriter = 300;
    std::vector<pid_t> writers;
    for (int w = 0; w < 2; ++w) {
        pid_t pid = ::fork();
        if (pid == 0) {
            int failures = 0;
            MailSlot sender(IPC::SENDER, name);
            for (int i = 0; i < perWriter; ++i) {
                const std::string text = std::to_string(w) + ":" + std::to_string(i) + ":" + std::string(i, 'p');
                try {
                    sender.send(text);
                } catch (const IPCException&) {
                    ++failures;
                }
            }
            ::_exit(failures == 0 ? 0 : 1);
        }
        writers.push_back(pid);
    }
    std::vector<std::string> got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (got.size() < 2u * perWriter && std::chrono::steady_clock::now() < deadline) {
        receiver.receive(got);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer saw failed sends";
    }
    ASSERT_EQ(got.size(), 2u * perWriter);
    int next[2] = {0, 0};
    for (const std::string& text : got) {
        const int w = text[0] - '0';
        ASSERT_TRUE(w == 0 || w == 1) << text;
        EXPECT_EQ(text, std::to_string(w) + ":" + std::to_string(next[w]) + ":" + std::string(next[w], 'p'));
        ++next[w];
    }
}

}  // namespace
