#include "ResourceTool.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "SystemInfo.h"
#include "TestDirectory.h"
#include "testing/TestSystem.h"

using namespace Brolix;

namespace {

/// Every test works on a fresh resource store of its own, under the usual key.
class ResourceToolTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_store.usable()); }

    struct Result {
        int rc;
        std::string out;
        std::string err;
    };
    Result run(const std::vector<std::string>& args) {
        std::ostringstream out;
        std::ostringstream err;
        const int rc = runResourceTool(args, out, err);
        return {rc, out.str(), err.str()};
    }

    test::ScopedVariable m_usualKey{"BROLIX_ENV"};
    test::ResourceStore m_store;
};

TEST_F(ResourceToolTest, SetGetListDelete) {
    EXPECT_EQ(run({"set", "InstallDir", "/opt/brolix/"}).rc, 0);
    EXPECT_EQ(run({"set", "ArdwenDebugLog", "${InstallDir}debug.log"}).rc, 0);
    EXPECT_EQ(run({"set-number", "ArdwenDebugLevel", "4"}).rc, 0);
    EXPECT_EQ(run({"set-number", "Mask", "0xffffffff"}).rc, 0);

    Result r = run({"get", "ardwendebuglog"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "/opt/brolix/debug.log\n");  // as the programs read it
    r = run({"get", "ArdwenDebugLevel"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "4\n");
    int32_t level = 0;
    EXPECT_EQ(getResourceNumber("ArdwenDebugLevel", level), 0);
    EXPECT_EQ(level, 4);

    r = run({"list"});
    EXPECT_EQ(r.rc, 0);
    // In the order the store keeps them, which is the system's.
    std::multiset<std::string> lines;
    std::istringstream listing(r.out);
    for (std::string line; std::getline(listing, line);) lines.insert(line);
    EXPECT_EQ(lines, (std::multiset<std::string>{"InstallDir (text) /opt/brolix/",
                                                 "ArdwenDebugLog (text) ${InstallDir}debug.log",
                                                 "ArdwenDebugLevel (number) 4", "Mask (number) -1"}))
        << r.out;
    EXPECT_EQ(r.out.back(), '\n');

    EXPECT_EQ(run({"delete", "mask"}).rc, 0);
    r = run({"delete", "Mask"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_NE(r.err.find("Mask: not found"), std::string::npos) << r.err;
    r = run({"get", "Mask"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.out, "");
}

TEST_F(ResourceToolTest, FollowsTheKeyPathOfTheEnvironment) {
    {
        test::ScopedVariable key("BROLIX_ENV", "SOFTWARE\\Test");
        EXPECT_EQ(run({"set", "Where", "test key"}).rc, 0);
    }
    std::string text;
    EXPECT_EQ(readRegistryText("SOFTWARE\\Test", "Where", text), 0);
    EXPECT_EQ(text, "test key");
    const Result r = run({"get", "Where"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_NE(
        r.err.find("Where: not found or unreadable in key HKEY_LOCAL_MACHINE\\SOFTWARE\\Brolix\\Resources"),
        std::string::npos)
        << r.err;
}

TEST_F(ResourceToolTest, UsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"get"},
        {"get", "a", "b"},
        {"set", "a"},
        {"set-number", "a", "ten"},
        {"set-number", "a", "4294967296"},
        {"set-number", "a", "-2147483649"},
        {"set-number", "a", "12 "},
        {"set-number", "a", ""},
        {"delete"},
        {"list", "x"},
    };
    for (const auto& args : cases) {
        const Result r = run(args);
        EXPECT_EQ(r.rc, 1) << (args.empty() ? "" : args[0]);
        EXPECT_NE(r.err.find("brolix-resources help"), std::string::npos);
    }
    const Result help = run({"help"});
    EXPECT_EQ(help.rc, 0);
    EXPECT_NE(help.out.find("set-number NAME N"), std::string::npos);
}

TEST_F(ResourceToolTest, ReportsAMissingKeyWithTheStore) {
    const Result r = run({"list"});  // nothing stored yet
    EXPECT_EQ(r.rc, 2);
    EXPECT_NE(r.err.find("no resources: key HKEY_LOCAL_MACHINE\\SOFTWARE\\Brolix\\Resources not found"),
              std::string::npos)
        << r.err;
    if (m_store.file().empty()) {
        // The registry is no store of a place of its own: only the key is named.
        EXPECT_EQ(r.err.find("store"), std::string::npos) << r.err;
    } else {
        EXPECT_NE(r.err.find("store " + m_store.file() + " missing"), std::string::npos) << r.err;
    }
}

TEST_F(ResourceToolTest, ReportsAStoreItCannotParse) {
    if (m_store.file().empty())
        GTEST_SKIP() << "the store is the system's registry, which is never unparsable";
    const std::string store = m_store.file();
    // A store that cannot be parsed is named with the line that spoils it.
    test::writeAll(store, "; settings\nREGEDIT4\n\"A\"=\"before any key\"\n");
    Result r = run({"set", "A", "x"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.err, "brolix-resources: A: cannot write store " + store + ": " + store +
                         ":3: a value before the first key line\n");
    r = run({"get", "A"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.err, "brolix-resources: A: cannot read the store: " + store +
                         ":3: a value before the first key line\n");
    r = run({"list"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.err, "brolix-resources: cannot read the store: " + store +
                         ":3: a value before the first key line\n");
    EXPECT_EQ(run({"delete", "A"}).rc, 2);
}

}  // namespace
