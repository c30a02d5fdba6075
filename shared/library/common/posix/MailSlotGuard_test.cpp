// The mail slot channel when the writers' guard is refused because its lock
// folder cannot be used (a Linux lock file mechanic).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "MailSlot.h"
#include "testing/BrokenLockFolder.h"

using namespace Brolix;

namespace {

std::string uniqueSlot(const char* what) { return "BrolixTest_" + std::to_string(::getpid()) + "_" + what; }

double millisecondsOf(const std::function<void()>& body) {
    const auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The writers' guard is refused when its lock folder cannot be used: a send
// then goes out at once, rather than trying for the guard first.
TEST(MailSlotGuardTest, SendsAtOnceWhenTheWritersGuardIsRefused) {
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
