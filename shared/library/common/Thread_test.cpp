#include "platform/Thread.h"

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

using namespace Brolix;

TEST(ThreadTest, IdIsTheKernelIdOfEachThreadAndOfAForkedChild) {
    const uint32_t mine = platform::currentThreadId();
    EXPECT_EQ(mine, static_cast<uint32_t>(::syscall(SYS_gettid)));
    EXPECT_EQ(platform::currentThreadId(), mine);

    uint32_t other = 0;
    std::thread([&] { other = platform::currentThreadId(); }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);

    pid_t pid = fork();
    if (pid == 0) {
        _exit(platform::currentThreadId() == static_cast<uint32_t>(::syscall(SYS_gettid)) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
