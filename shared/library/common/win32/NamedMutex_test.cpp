// Where the Windows backend puts its guards: the machine-wide "Global\"
// namespace (a bare name would be the session's own, and an emulation with one
// session cannot tell the two apart by behaviour), under a name folded as file
// names are.
#include "platform/NamedMutex.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

using Brolix::platform::NamedMutex;

namespace {

// True while a mutex of exactly this object name exists.
bool mutexExists(const std::string& objectName) {
    const HANDLE mutex = ::OpenMutexA(SYNCHRONIZE, FALSE, objectName.c_str());
    if (mutex == nullptr) return false;
    ::CloseHandle(mutex);
    return true;
}

TEST(Win32NamedMutexTest, GuardsLiveInTheGlobalNamespace) {
    const std::string name = "BROLIX_NAMESPACE_" + std::to_string(::GetCurrentProcessId());
    {
        NamedMutex guard(name);
        ASSERT_EQ(guard.tryLock(), NamedMutex::ACQUIRED);
        EXPECT_TRUE(mutexExists("Global\\" + name));
        EXPECT_FALSE(mutexExists("Local\\" + name)) << "a session's own name would not exclude other sessions";
    }
    EXPECT_FALSE(mutexExists("Global\\" + name)) << "the guard exists only while held";
}

TEST(Win32NamedMutexTest, NamesThatDifferInLetterCaseAreOneGuard) {
    const std::string id = std::to_string(::GetCurrentProcessId());
    NamedMutex first("C:\\Brolix\\Log\\ArdwenDebug-" + id + ".log");
    NamedMutex second("c:\\brolix\\log\\ARDWENDEBUG-" + id + ".LOG");
    NamedMutex other("c:\\brolix\\log\\other-" + id + ".log");
    ASSERT_EQ(first.tryLock(), NamedMutex::ACQUIRED);
    EXPECT_EQ(second.tryLock(), NamedMutex::BUSY);
    EXPECT_EQ(other.tryLock(), NamedMutex::ACQUIRED);
    EXPECT_TRUE(first.unlock());
    EXPECT_EQ(second.tryLock(), NamedMutex::ACQUIRED);
}

}  // namespace
