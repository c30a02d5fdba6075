/// What the tests of the file log agent share: a fixture with a scratch
/// directory and a resource store of its own, stress lines, and writers in
/// processes of their own.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LoggerAgentFile.h"
#include "Monopoly.h"
#include "TestDirectory.h"
#include "testing/TestSystem.h"

namespace Brolix {
namespace test {

/// The line that process `writer` writes as its `index`th; every 50th line is
/// longer than a stream buffer, so that an unguarded append would be torn.
inline std::string stressLine(int writer, int index) {
    std::string line = "writer " + std::to_string(writer) + " line " + std::to_string(index) + " ";
    line.append(index % 50 == 0 ? 12000 : 40 + index % 37, static_cast<char>('a' + writer));
    return line + " end";
}

/// Every line of `text` (ended by "\r\n") with how often it occurs; false when the
/// text ends in an unfinished line.
inline bool countLines(const std::string& text, std::map<std::string, int>& seen, int& total) {
    size_t start = 0;
    total = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        if (end == std::string::npos) return false;
        ++seen[text.substr(start, end - start)];
        ++total;
        start = end + 2;
    }
    return true;
}

/// Every stress line of the writers is among the `total` lines `seen`, once.
inline void expectEveryLineOnce(const std::map<std::string, int>& seen, int total, int writers, int lines) {
    EXPECT_EQ(total, writers * lines);
    for (int writer = 0; writer < writers; ++writer)
        for (int i = 0; i < lines; ++i) {
            const auto found = seen.find(stressLine(writer, i));
            ASSERT_TRUE(found != seen.end() && found->second == 1) << "writer " << writer << " line " << i;
        }
}

/// The variables that tell a writer process what to write, and a holder which
/// guard to hold for how long.
constexpr const char* APPENDER_LOG_VARIABLE = "BROLIX_TEST_APPENDER_LOG";
constexpr const char* APPENDER_LINES_VARIABLE = "BROLIX_TEST_APPENDER_LINES";
constexpr const char* HOLDER_GUARD_VARIABLE = "BROLIX_TEST_GUARD";
constexpr const char* HOLDER_MS_VARIABLE = "BROLIX_TEST_HOLD_MS";

/// The roles in which a test of LoggerAgentFileTest is started again; played
/// before the fixture makes anything of its own, and ended there.
struct AgentFileRoles {
    AgentFileRoles() {
        const std::string role = testRole();
        if (role.compare(0, 9, "appender ") == 0) append(std::atoi(role.c_str() + 9));
        if (role == "holder") hold();
    }

    /// Appends the stress lines of `writer`, in the parent's resource store.
    [[noreturn]] static void append(int writer) {
        ResourceStore shared;
        LoggerAgentFile agent;
        int failed = 0;
        if (!shared.usable() || !agent.setFile(std::getenv(APPENDER_LOG_VARIABLE))) std::_Exit(3);
        const int lines = std::atoi(std::getenv(APPENDER_LINES_VARIABLE));
        for (int i = 0; i < lines; ++i)
            if (!agent.write(stressLine(writer, i))) ++failed;
        std::_Exit(failed == 0 ? 0 : 1);
    }

    /// Holds the named guard, says so, and lets go after the time given.
    [[noreturn]] static void hold() {
        Monopoly guard(std::getenv(HOLDER_GUARD_VARIABLE));
        if (!guard.enforce()) std::_Exit(1);
        std::fputs("<held>\n", stdout);
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(std::getenv(HOLDER_MS_VARIABLE))));
        guard.relax();
        std::_Exit(0);
    }
};

/// A scratch directory and a resource store of its own for every test.
class LoggerAgentFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_store.usable()); }

    /// A path in the directory; "/" separates folders.
    std::string path(std::string name) const {
        for (char& c : name)
            if (c == '/') c = static_cast<char>(std::filesystem::path::preferred_separator);
        return m_dir.file(name);
    }

    AgentFileRoles m_roles;
    TestDirectory m_dir;
    ResourceStore m_store;
    ScopedVariable m_noKeyPath{"BROLIX_ENV"};
};

/// Starts `writers` processes (this test again) that each append their `lines`
/// stress lines to `log` through an agent of their own, with the resources of
/// `store`, and waits for them: each must write every line.
inline void appendFromProcesses(const ResourceStore& store, const std::string& log, int writers, int lines) {
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (int writer = 0; writer < writers; ++writer) {
        ChildOptions options;
        options.setVariables = store.childVariables();
        options.setVariables.emplace_back(APPENDER_LOG_VARIABLE, log);
        options.setVariables.emplace_back(APPENDER_LINES_VARIABLE, std::to_string(lines));
        children.push_back(startThisTest("appender " + std::to_string(writer), options));
        ASSERT_TRUE(children.back()->started()) << children.back()->problem();
    }
    for (const std::unique_ptr<ChildProcess>& child : children) {
        const ProcessEnd end = child->wait();
        EXPECT_EQ(end.exitCode, 0) << child->output() << child->errors();
    }
}

/// Starts a process (this test again) that holds the named guard `name` from
/// the moment it says so until it has slept `holdMs`; null when it could not
/// take the guard.
inline std::unique_ptr<ChildProcess> holdGuardInChild(const std::string& name, int holdMs) {
    ChildOptions options;
    options.setVariables.emplace_back(HOLDER_GUARD_VARIABLE, name);
    options.setVariables.emplace_back(HOLDER_MS_VARIABLE, std::to_string(holdMs));
    std::unique_ptr<ChildProcess> child = startThisTest("holder", options);
    if (!child->waitForOutput("<held>")) {
        ADD_FAILURE() << "the holder did not take the guard: " << child->problem() << child->output();
        return nullptr;
    }
    return child;
}

}  // namespace test
}  // namespace Brolix
