// The test system services on the system at hand: the tests of both systems
// rely on them to tell a child's end, its output and the handles left open.
#include "testing/TestSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "SystemInfo.h"
#include "TestDirectory.h"

using namespace Brolix;

namespace {

/// Lines end in CR LF on some systems.
std::string withoutCarriageReturns(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

TEST(TestSystemTest, AChildGetsItsEnvironmentAndDirectoryAndIsHeard) {
    if (test::testRole() == "talker") {
        const char* kept = std::getenv("BROLIX_TEST_KEPT");
        const char* removed = std::getenv("BROLIX_TEST_REMOVED");
        std::printf("kept=%s removed=%s here=%s\n", kept != nullptr ? kept : "(none)",
                    removed != nullptr ? removed : "(none)",
                    std::filesystem::current_path().filename().string().c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "to the errors\n");
        std::_Exit(3);
    }
    test::TestDirectory dir;
    std::filesystem::create_directory(dir.file("place"));
    test::ScopedVariable removed("BROLIX_TEST_REMOVED", "inherited");
    test::ChildOptions options;
    options.setVariables.emplace_back("BROLIX_TEST_KEPT", "given");
    options.unsetVariables.push_back("BROLIX_TEST_REMOVED");
    options.directory = dir.file("place");
    const std::unique_ptr<test::ChildProcess> child = test::startThisTest("talker", options);
    ASSERT_TRUE(child->started()) << child->problem();
    const test::ProcessEnd end = child->wait();
    EXPECT_EQ(end.exitCode, 3);
    EXPECT_FALSE(end.killed);
    EXPECT_NE(withoutCarriageReturns(child->output()).find("kept=given removed=(none) here=place\n"),
              std::string::npos)
        << child->output();
    EXPECT_NE(child->errors().find("to the errors"), std::string::npos) << child->errors();
}

TEST(TestSystemTest, AChildIsFedAndKilled) {
    if (test::testRole() == "echo") {
        char line[64];
        while (std::fgets(line, sizeof line, stdin) != nullptr) {
            std::printf("echo %s", line);
            std::fflush(stdout);
        }
        std::_Exit(0);
    }
    test::ChildOptions options;
    options.withInput = true;
    const std::unique_ptr<test::ChildProcess> child = test::startThisTest("echo", options);
    ASSERT_TRUE(child->started()) << child->problem();
    ASSERT_TRUE(child->write("one\n"));
    EXPECT_TRUE(child->waitForOutput("echo one"));
    EXPECT_TRUE(child->wait(std::chrono::milliseconds(50)).running);
    const test::ProcessEnd end = child->kill();
    EXPECT_TRUE(end.killed);
    EXPECT_EQ(end.exitCode, -1);
    EXPECT_FALSE(child->write("two\n"));
}

TEST(TestSystemTest, AProgramThatCannotStartSaysWhy) {
    test::TestDirectory dir;
    test::ChildProcess missing(dir.file("no-such-program"), {});
    EXPECT_FALSE(missing.started());
    EXPECT_NE(missing.problem().find("no-such-program"), std::string::npos) << missing.problem();
}

TEST(TestSystemTest, CountsTheHandlesOpenOnAFileThatNoChildInherits) {
    const char* const COUNTED = "BROLIX_TEST_COUNTED";
    if (test::testRole() == "counter") {
        std::printf("handles=%d\n", test::openHandles(std::getenv(COUNTED)));
        std::fflush(stdout);
        std::_Exit(0);
    }
    test::TestDirectory dir;
    const std::string path = dir.file("counted");
    const std::string other = dir.file("other");
    ASSERT_TRUE(test::writeAll(path, "x"));
    ASSERT_TRUE(test::writeAll(other, "y"));
    EXPECT_EQ(test::openHandles(path), 0);
    {
        std::ifstream first(path);
        std::ifstream second(path);
        std::ifstream elsewhere(other);
        EXPECT_EQ(test::openHandles(path), 2);
        test::ChildOptions options;
        options.withInput = true;  // pipes of the child's own change nothing here
        options.setVariables.emplace_back(COUNTED, path);
        const std::unique_ptr<test::ChildProcess> child = test::startThisTest("counter", options);
        EXPECT_TRUE(child->waitForOutput("handles=")) << child->errors();
        EXPECT_EQ(test::openHandles(path), 2);
        EXPECT_EQ(child->wait().exitCode, 0);
        EXPECT_NE(withoutCarriageReturns(child->output()).find("handles=0\n"), std::string::npos)
            << child->output();
    }
    EXPECT_EQ(test::openHandles(path), 0);
    EXPECT_EQ(test::openHandles(dir.file("missing")), 0);
}

TEST(TestSystemTest, AStoreMadeInsideAnotherHandsItBackWhenItEnds) {
    test::ResourceStore outer;
    ASSERT_TRUE(outer.usable());
    ASSERT_EQ(setResource("storeProbe", "outer"), 0);
    std::string value;
    {
        test::ResourceStore inner;
        ASSERT_TRUE(inner.usable());
        EXPECT_NE(getResource("storeProbe", value), 0) << "the inner store starts empty, got " << value;
        ASSERT_EQ(setResource("storeProbe", "inner"), 0);
    }
    ASSERT_EQ(getResource("storeProbe", value), 0);
    EXPECT_EQ(value, "outer");
}

}  // namespace
