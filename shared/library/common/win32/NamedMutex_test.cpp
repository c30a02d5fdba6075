// Named locks of the Windows backend: exclusion between objects of one name on
// one thread, on two threads and in two processes, and a lock that passes on when
// its holder releases it or dies.
#include "platform/NamedMutex.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

using namespace Brolix::platform;

namespace {

const char HOLDER_VARIABLE[] = "BROLIX_TEST_MUTEX_HOLDER";
const DWORD WAIT_MS = 20000;

std::string uniqueName(const char* what) {
    return "Win32NamedMutexTest_" + std::to_string(::GetCurrentProcessId()) + "_" +
           std::to_string(::GetTickCount64()) + "_" + what;
}

TEST(Win32NamedMutexTest, ObjectsOfOneNameExcludeEachOther) {
    for (const std::string& name : {uniqueName("plain"), std::string("C:\\Logs\\") + uniqueName("a.log")}) {
        SCOPED_TRACE(name);
        NamedMutex first(name);
        NamedMutex second(name);
        EXPECT_EQ(first.tryLock(), NamedMutex::ACQUIRED);
        EXPECT_EQ(second.tryLock(), NamedMutex::BUSY);
        EXPECT_EQ(first.tryLock(), NamedMutex::ACQUIRED);  // still its own
        NamedMutex::Result elsewhere = NamedMutex::FAILED;
        std::thread other([&] {
            NamedMutex third(name);
            elsewhere = third.tryLock();
        });
        other.join();
        EXPECT_EQ(elsewhere, NamedMutex::BUSY);

        EXPECT_TRUE(first.unlock());
        EXPECT_TRUE(first.unlock());
        EXPECT_EQ(second.tryLock(), NamedMutex::ACQUIRED);
        EXPECT_EQ(first.tryLock(), NamedMutex::BUSY);
    }
    // A holder that goes away gives the lock up.
    const std::string name = uniqueName("scoped");
    {
        NamedMutex scoped(name);
        ASSERT_EQ(scoped.tryLock(), NamedMutex::ACQUIRED);
    }
    NamedMutex after(name);
    EXPECT_EQ(after.tryLock(), NamedMutex::ACQUIRED);
}

TEST(Win32NamedMutexTest, OnlyTheHoldingThreadGivesTheLockUp) {
    const std::string name = uniqueName("owner");
    NamedMutex lock(name);
    ASSERT_EQ(lock.tryLock(), NamedMutex::ACQUIRED);
    bool released = true;
    std::thread stranger([&] { released = lock.unlock(); });
    stranger.join();
    EXPECT_FALSE(released);
    NamedMutex other(name);
    EXPECT_EQ(other.tryLock(), NamedMutex::BUSY);
    EXPECT_TRUE(lock.unlock());
    EXPECT_EQ(other.tryLock(), NamedMutex::ACQUIRED);
}

/// The child's part: take the lock, say so, and keep it until told to let go.
int holdAsChild(const std::string& name) {
    const HANDLE held = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, (name + ".held").c_str());
    const HANDLE go = ::OpenEventA(SYNCHRONIZE, FALSE, (name + ".go").c_str());
    if (held == nullptr || go == nullptr) return 2;
    NamedMutex lock(name);
    if (lock.tryLock() != NamedMutex::ACQUIRED) return 3;
    ::SetEvent(held);
    if (::WaitForSingleObject(go, WAIT_MS) != WAIT_OBJECT_0) return 4;
    return lock.unlock() ? 0 : 5;
}

/// Runs this test program as a child that holds `name`.
bool startHolder(const std::string& name, PROCESS_INFORMATION& process) {
    char self[MAX_PATH + 1];
    const DWORD length = ::GetModuleFileNameA(nullptr, self, sizeof self);
    if (length == 0 || length >= sizeof self) return false;
    std::string command = std::string("\"") + self + "\" --gtest_filter=" +
                          ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() + "." +
                          ::testing::UnitTest::GetInstance()->current_test_info()->name();
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    const HANDLE nul = ::CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = nul;
    startup.hStdError = nul;
    ::SetEnvironmentVariableA(HOLDER_VARIABLE, name.c_str());
    const bool started = ::CreateProcessA(self, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                          &startup, &process) != 0;
    ::SetEnvironmentVariableA(HOLDER_VARIABLE, nullptr);
    ::CloseHandle(nul);
    return started;
}

TEST(Win32NamedMutexTest, AnotherProcessHoldsItUntilItReleasesOrDies) {
    if (const char* name = std::getenv(HOLDER_VARIABLE)) {
        std::exit(holdAsChild(name));
    }
    for (const bool dies : {false, true}) {
        SCOPED_TRACE(dies ? "holder dies" : "holder releases");
        const std::string name = uniqueName(dies ? "dies" : "releases");
        const HANDLE held = ::CreateEventA(nullptr, TRUE, FALSE, (name + ".held").c_str());
        const HANDLE go = ::CreateEventA(nullptr, TRUE, FALSE, (name + ".go").c_str());
        ASSERT_NE(held, nullptr);
        ASSERT_NE(go, nullptr);
        PROCESS_INFORMATION child = {};
        ASSERT_TRUE(startHolder(name, child));
        ASSERT_EQ(::WaitForSingleObject(held, WAIT_MS), WAIT_OBJECT_0);

        NamedMutex here(name);
        EXPECT_EQ(here.tryLock(), NamedMutex::BUSY);
        if (dies) {
            ::TerminateProcess(child.hProcess, 9);
        } else {
            ::SetEvent(go);
        }
        ASSERT_EQ(::WaitForSingleObject(child.hProcess, WAIT_MS), WAIT_OBJECT_0);
        DWORD status = 0;
        ::GetExitCodeProcess(child.hProcess, &status);
        EXPECT_EQ(status, dies ? 9u : 0u);
        EXPECT_EQ(here.tryLock(), NamedMutex::ACQUIRED);
        ::CloseHandle(child.hProcess);
        ::CloseHandle(child.hThread);
        ::CloseHandle(held);
        ::CloseHandle(go);
    }
}

}  // namespace
