// Named guards and fork: a child never inherits its parent's hold.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "Monopoly.h"

using namespace Brolix;

namespace {

std::string uniqueName(const char* what) { return "BrolixTest/" + std::to_string(::getpid()) + "\\" + what; }

TEST(MonopolyForkTest, GuardTakenBeforeForkIsNotSharedWithChild) {
    // A guard object used before a fork must not hand the parent's lock to the child.
    const std::string name = uniqueName("fork");
    Monopoly guard(name);
    ASSERT_TRUE(guard.enforce());
    ASSERT_TRUE(guard.relax());
    Monopoly holderInParent(name);
    ASSERT_TRUE(holderInParent.enforce());
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(guard.enforce() ? 1 : 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child took a guard the parent holds";
    EXPECT_TRUE(holderInParent.isHeld());
    EXPECT_FALSE(guard.enforce());
}

}  // namespace
