#include "Monopoly.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testing/TestSystem.h"

using namespace Brolix;

namespace {

// A name no other test run on this machine uses at the same time.
std::string uniqueName(const char* what) {
    return "BrolixTest/" + std::to_string(test::processId()) + "\\" + what;
}

// Named guards leave their lock files behind on purpose (a lock file must outlive
// its holders); a test run removes the ones of its own names when it ends. (Where
// guards are the system's named mutexes there are no such files.)
class LockFileSweeper : public ::testing::Environment {
public:
    void TearDown() override {
        const std::string prefix = "BrolixTest_" + std::to_string(test::processId()) + "_";
        for (const char* parent : {"/run/lock", "/tmp"}) {
            std::error_code error;
            for (std::filesystem::directory_iterator folder(parent, error), end; !error && folder != end;
                 folder.increment(error)) {
                if (folder->path().filename().string().compare(0, 7, "brolix-") != 0) continue;
                std::error_code inner;
                for (std::filesystem::directory_iterator it(folder->path(), inner), last; !inner && it != last;
                     it.increment(inner)) {
                    if (it->path().filename().string().compare(0, prefix.size(), prefix) == 0) {
                        std::filesystem::remove(it->path(), inner);
                    }
                }
            }
        }
    }
};
::testing::Environment* const sweeper = ::testing::AddGlobalTestEnvironment(new LockFileSweeper);

// A child process (this test again, in the role "holder") that takes a named
// guard, reports whether it got it, and then waits for one command line: "r"
// relaxes and reports again, anything else (or the end of its input) ends the
// child without relaxing.
class GuardHolder {
public:
    explicit GuardHolder(const std::string& name) {
        test::ChildOptions options;
        options.withInput = true;
        options.setVariables.emplace_back("BROLIX_TEST_GUARD", name);
        m_child = test::startThisTest("holder", options);
    }
    ~GuardHolder() {
        m_child->closeInput();
        m_child->wait(std::chrono::milliseconds(30000));
    }
    /// The next report: '1' or '0'; 0 when none came.
    char reply() {
        const std::string tag = "<" + std::to_string(++m_replies) + ":";
        if (!m_child->waitForOutput(tag)) return 0;
        const std::string output = m_child->output();
        const size_t at = output.find(tag) + tag.size();
        return at < output.size() ? output[at] : 0;
    }
    void send(char c) { ASSERT_TRUE(m_child->write(std::string(1, c) + "\n")); }
    void kill() { m_child->kill(); }

    /// The child's side; returns in the test's own process.
    static void play() {
        if (test::testRole() != "holder") return;
        Monopoly guard(std::getenv("BROLIX_TEST_GUARD"));
        std::printf("<1:%c>\n", guard.enforce() ? '1' : '0');
        std::fflush(stdout);
        char command[8];
        if (std::fgets(command, sizeof command, stdin) != nullptr && command[0] == 'r') {
            std::printf("<2:%c>\n", guard.relax() ? '1' : '0');
            std::fflush(stdout);
            std::fgets(command, sizeof command, stdin);
        }
        std::_Exit(0);
    }

private:
    std::unique_ptr<test::ChildProcess> m_child;
    int m_replies = 0;
};

TEST(MonopolyTest, NamedGuardStoresNameWithUnderscores) {
    const struct {
        const char* given;
        const char* stored;
    } cases[] = {
        {"C:\\Logs/a.log", "C:_Logs_a.log"},
        {"Brolix_MailSlot", "Brolix_MailSlot"},
        {"\\\\server\\share\\", "__server_share_"},
        {"", ""},
    };
    for (const auto& c : cases) {
        Monopoly guard(c.given);
        EXPECT_EQ(guard.name(), c.stored) << c.given;
        EXPECT_TRUE(guard.isNamed());
    }
}

TEST(MonopolyTest, NamedGuardsOfOneNameExcludeEachOtherInOneProcess) {
    const std::string name = uniqueName("same");
    Monopoly first(name), second(name), other(name + "-other");
    EXPECT_TRUE(first.enforce());
    EXPECT_TRUE(first.enforce()) << "a second enforce by the holder succeeds";
    EXPECT_FALSE(second.enforce());
    EXPECT_FALSE(second.isHeld());
    EXPECT_TRUE(other.enforce()) << "another name is another guard";
    EXPECT_TRUE(first.relax()) << "one relax frees it, whatever the enforce count";
    EXPECT_FALSE(first.isHeld());
    EXPECT_TRUE(second.enforce());
    EXPECT_FALSE(first.enforce());
    EXPECT_TRUE(second.relax());
    EXPECT_TRUE(first.enforce());
}

TEST(MonopolyTest, NamedGuardWithoutNameIsNeverTaken) {
    Monopoly guard("");
    EXPECT_FALSE(guard.enforce());
    EXPECT_FALSE(guard.isHeld());
}

TEST(MonopolyTest, RelaxWhenNotHeldChangesNothing) {
    Monopoly named(uniqueName("idle")), unnamed;
    EXPECT_TRUE(named.relax());
    EXPECT_TRUE(unnamed.relax());
    EXPECT_FALSE(named.isHeld());
    EXPECT_FALSE(unnamed.isHeld());
    EXPECT_TRUE(named.enforce());
    EXPECT_TRUE(unnamed.enforce());
    EXPECT_TRUE(unnamed.relax());
    EXPECT_TRUE(named.relax());
}

TEST(MonopolyTest, SetNameIsRefusedWhileHeld) {
    const std::string name = uniqueName("rename");
    Monopoly guard(name);
    ASSERT_TRUE(guard.enforce());
    EXPECT_FALSE(guard.setName(name + "-new"));
    EXPECT_EQ(guard.name(), Monopoly(name).name());
    EXPECT_TRUE(guard.relax());

    // After renaming, the guard takes the new lock and leaves the old one free.
    EXPECT_TRUE(guard.setName(name + "-new"));
    ASSERT_TRUE(guard.enforce());
    Monopoly old(name), renamed(name + "-new");
    EXPECT_TRUE(old.enforce());
    EXPECT_FALSE(renamed.enforce());
}

TEST(MonopolyTest, NamedGuardThatCannotBeReleasedStaysHeld) {
    // Only the thread that took the lock can release it; a relax from another
    // thread fails, and the guard must then still count as held and keep
    // excluding, rather than look free while the lock is still taken.
    const std::string name = uniqueName("stranger");
    Monopoly guard(name);
    ASSERT_TRUE(guard.enforce());
    bool relaxed = true;
    std::thread stranger([&] { relaxed = guard.relax(); });
    stranger.join();
    EXPECT_FALSE(relaxed);
    EXPECT_TRUE(guard.isHeld());
    Monopoly other(name);
    EXPECT_FALSE(other.enforce());
    EXPECT_FALSE(other.refusedBySystem()) << "a held guard is busy, not refused";
    EXPECT_TRUE(guard.relax());
    EXPECT_FALSE(guard.isHeld());
    EXPECT_TRUE(other.enforce());
}

TEST(MonopolyTest, NamedGuardExcludesOtherProcessesUntilRelaxed) {
    GuardHolder::play();
    const std::string name = uniqueName("process");
    GuardHolder holder(name);
    ASSERT_EQ(holder.reply(), '1');
    Monopoly mine(name);
    EXPECT_FALSE(mine.enforce());
    holder.send('r');
    ASSERT_EQ(holder.reply(), '1');
    EXPECT_TRUE(mine.enforce());

    // And the other way round: while this process holds it, a child cannot take it.
    GuardHolder second(name);
    EXPECT_EQ(second.reply(), '0');
}

TEST(MonopolyTest, HolderThatDiesReleasesNamedGuard) {
    GuardHolder::play();
    const std::string name = uniqueName("dies");
    GuardHolder holder(name);
    ASSERT_EQ(holder.reply(), '1');
    Monopoly mine(name);
    EXPECT_FALSE(mine.enforce());
    holder.kill();
    EXPECT_TRUE(mine.enforce());
}

TEST(MonopolyTest, UnnamedGuardIsRecursivePerThread) {
    Monopoly guard;
    EXPECT_FALSE(guard.isNamed());
    ASSERT_TRUE(guard.enforce());
    ASSERT_TRUE(guard.enforce());
    std::atomic<bool> otherIn(false);
    std::thread other([&] {
        EXPECT_FALSE(guard.relax()) << "only the holder can relax";
        guard.enforce();
        otherIn = true;
        guard.relax();
    });
    EXPECT_TRUE(guard.relax());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(otherIn) << "one relax of two let another thread in";
    EXPECT_TRUE(guard.isHeld());
    EXPECT_TRUE(guard.relax());
    other.join();
    EXPECT_TRUE(otherIn);
    EXPECT_FALSE(guard.isHeld());
}

TEST(MonopolyTest, UnnamedGuardSerialisesThreads) {
    // Many hand-overs between threads: every increment inside the guard must count,
    // and no hand-over may leave the guard looking free while a thread is inside.
    Monopoly guard;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                guard.enforce();
                guard.enforce();
                ++counter;
                guard.relax();
                guard.relax();
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 4 * 20000);
    EXPECT_FALSE(guard.isHeld());
}

TEST(MonopolyTest, UnnamedGuardDestroyedWhileHeldByItsThread) {
    auto guard = std::make_unique<Monopoly>();
    guard->enforce();
    guard->enforce();
    guard.reset();  // must not destroy a held lock (the sanitizer build checks)
}

}  // namespace
