// A command line that the code page cannot carry. This test program has no
// manifest, so its code page is the system's ANSI page (1252 under Wine in the
// test runs); it starts itself with a wide argument beyond that page, and the
// child tells through its exit code whether startProgram let it through.
#include "platform/ProgramStart.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "testing/TestSystem.h"

using Brolix::platform::startProgram;

namespace {

const int ACCEPTED = 40;
const int REFUSED = 41;

int runSelf(const std::wstring& argument) {
    wchar_t self[MAX_PATH + 1];
    const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return -1;
    std::wstring line = L"\"" + std::wstring(self) +
                        L"\" --gtest_filter=Win32ProgramStartTest.ArgumentsTheCodePageCannotCarryAreRefused " +
                        argument;
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

TEST(Win32ProgramStartTest, ArgumentsTheCodePageCannotCarryAreRefused) {
    if (Brolix::test::testRole() == "start") {
        std::string problem;
        const bool accepted = startProgram(problem);
        std::fprintf(stderr, "%s\n", problem.c_str());
        std::fflush(stderr);
        std::_Exit(accepted && problem.empty() ? ACCEPTED : REFUSED);
    }
    if (::GetACP() == CP_UTF8) GTEST_SKIP() << "the code page carries every character";
    Brolix::test::ScopedVariable role(Brolix::test::TEST_ROLE_VARIABLE, "start");
    EXPECT_EQ(runSelf(L"plain"), ACCEPTED);
    // "a" with macron: no Western code page has it, and its look-alike "a" would
    // name another file.
    EXPECT_EQ(runSelf(L"\"name \u0101.lst\""), REFUSED);
    std::string problem;
    EXPECT_TRUE(startProgram(problem)) << problem;
}

}  // namespace
