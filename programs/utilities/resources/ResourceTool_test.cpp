#include "ResourceTool.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "SystemInfo.h"

using namespace Brolix;

namespace {

class ResourceToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/brolix-tool-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        m_store = m_dir + "/registry.reg";
        setenv("BROLIX_REGISTRY", m_store.c_str(), 1);
        unsetenv("BROLIX_ENV");
    }
    void TearDown() override {
        unsetenv("BROLIX_REGISTRY");
        unsetenv("BROLIX_ENV");
        std::system(("rm -rf '" + m_dir + "'").c_str());
    }

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

    std::string m_dir;
    std::string m_store;
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
    EXPECT_EQ(r.out,
              "InstallDir (text) /opt/brolix/\n"
              "ArdwenDebugLog (text) ${InstallDir}debug.log\n"
              "ArdwenDebugLevel (number) 4\n"
              "Mask (number) -1\n");

    EXPECT_EQ(run({"delete", "mask"}).rc, 0);
    r = run({"delete", "Mask"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_NE(r.err.find("Mask: not found"), std::string::npos) << r.err;
    r = run({"get", "Mask"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.out, "");
}

TEST_F(ResourceToolTest, FollowsTheKeyPathOfTheEnvironment) {
    setenv("BROLIX_ENV", "SOFTWARE\\Test", 1);
    EXPECT_EQ(run({"set", "Where", "test key"}).rc, 0);
    std::string text;
    EXPECT_EQ(readRegistryText("SOFTWARE\\Test", "Where", text), 0);
    EXPECT_EQ(text, "test key");
    unsetenv("BROLIX_ENV");
    EXPECT_EQ(run({"get", "Where"}).rc, 2);
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

TEST_F(ResourceToolTest, ReportsAStoreItCannotUse) {
    Result r = run({"list"});  // no store yet
    EXPECT_EQ(r.rc, 2);
    EXPECT_NE(r.err.find(m_store), std::string::npos) << r.err;

    // A store that cannot be parsed is named with the line that spoils it.
    std::ofstream(m_store) << "; settings\nREGEDIT4\n\"A\"=\"before any key\"\n";
    r = run({"set", "A", "x"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.err, "brolix-resources: A: cannot write store " + m_store + ": " + m_store +
                         ":3: a value before the first key line\n");
    r = run({"get", "A"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.err, "brolix-resources: A: cannot read the store: " + m_store + ":3: a value before the first key line\n");
    r = run({"list"});
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.err, "brolix-resources: cannot read the store: " + m_store + ":3: a value before the first key line\n");
    EXPECT_EQ(run({"delete", "A"}).rc, 2);
}

}  // namespace
