#include "SystemInfo.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "TestDirectory.h"
#include "platform/Registry.h"
#include "testing/TestSystem.h"

using namespace Brolix;

namespace {

/// Every test works on a fresh resource store of its own, under the usual key
/// (a child keeps the key path it was given).
class SystemInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_store.usable());
        if (test::testRole().empty()) m_usualKey.reset(new test::ScopedVariable("BROLIX_ENV"));
    }

    void setRaw(const std::string& name, uint32_t type, const std::string& bytes,
                const std::string& keyPath = "SOFTWARE\\Brolix\\Resources") {
        ASSERT_EQ(
            writeRegistryValue(keyPath, name, type, reinterpret_cast<const unsigned char*>(bytes.data()),
                               static_cast<uint32_t>(bytes.size())),
            0);
    }

    test::ResourceStore m_store;
    std::unique_ptr<test::ScopedVariable> m_usualKey;
};

TEST_F(SystemInfoTest, ResultCodesOfReads) {
    setRaw("Text", platform::REGISTRY_SZ, "hello");
    setRaw("Level", platform::REGISTRY_DWORD, std::string("\x05\x00\x00\x00", 4));
    setRaw("Negative", platform::REGISTRY_DWORD, std::string("\xfe\xff\xff\xff", 4));
    setRaw("Short", platform::REGISTRY_DWORD, std::string("\x05\x00", 2));
    // A value of 100 bytes fits the buffer of a number read, one of 101 does not.
    // The texts carry their terminator, as the registry stores texts.
    setRaw("Text100", platform::REGISTRY_SZ, std::string(99, 'x') + '\0');
    setRaw("Text101", platform::REGISTRY_SZ, std::string(100, 'x') + '\0');
    setRaw("Binary", platform::REGISTRY_BINARY, "\x01\x02");

    const struct {
        const char* name;
        int textCode;
        int numberCode;
    } cases[] = {
        {"Text", 0, 3},    {"Level", 3, 0},  {"Short", 3, 2},   {"Text100", 0, 3},
        {"Text101", 0, 2}, {"Binary", 3, 3}, {"Missing", 2, 2},
    };
    for (const auto& c : cases) {
        std::string text = "untouched";
        int32_t number = 77;
        EXPECT_EQ(getResource(c.name, text), c.textCode) << c.name;
        EXPECT_EQ(getResourceNumber(c.name, number), c.numberCode) << c.name;
        if (c.textCode != 0) {
            EXPECT_EQ(text, "untouched") << c.name;
        }
        if (c.numberCode != 0) {
            EXPECT_EQ(number, 77) << c.name;
        }
    }

    std::string text;
    ASSERT_EQ(getResource("text101", text), 0);  // names compare without case
    EXPECT_EQ(text, std::string(100, 'x'));
    int32_t number = 0;
    ASSERT_EQ(getResourceNumber("Level", number), 0);
    EXPECT_EQ(number, 5);
    ASSERT_EQ(getResourceNumber("Negative", number), 0);
    EXPECT_EQ(number, -2);
}

TEST_F(SystemInfoTest, MissingStoreAndKey) {
    std::string text;
    int32_t number;
    EXPECT_EQ(getResource("InstallDir", text), 2);
    EXPECT_EQ(getResourceNumber("Level", number), 2);
    setRaw("Other", platform::REGISTRY_SZ, "x", "SOFTWARE\\Elsewhere");
    EXPECT_EQ(getResource("Other", text), 2);  // the resource key itself is missing
}

TEST_F(SystemInfoTest, TextsRoundTripAndLoseTrailingZeros) {
    const std::string texts[] = {
        "C:\\Program Files\\Brolix\\", "quote \" and \\ back", "two\r\nlines", "\xe4\xf6\xfc high bytes", "",
        std::string(5000, 'L'),
    };
    for (const std::string& t : texts) {
        ASSERT_EQ(setResource("Value", t), 0);
        std::string back;
        ASSERT_EQ(getResource("Value", back), 0);
        EXPECT_EQ(back, t);
    }

    setRaw("WithTerminator", platform::REGISTRY_SZ, std::string("abc\0", 4));
    setRaw("ManyZeros", platform::REGISTRY_EXPAND_SZ, std::string("abc\0\0\0", 6));
    setRaw("Multi", platform::REGISTRY_MULTI_SZ, std::string("a\0b\0\0", 5));
    std::string back;
    ASSERT_EQ(getResource("WithTerminator", back), 0);
    EXPECT_EQ(back, "abc");
    ASSERT_EQ(getResource("ManyZeros", back), 0);
    EXPECT_EQ(back, "abc");
    ASSERT_EQ(getResource("Multi", back), 0);
    EXPECT_EQ(back, std::string("a\0b", 3));
}

TEST_F(SystemInfoTest, NumbersRoundTrip) {
    for (int32_t n : {0, 5, -1, INT32_MIN, INT32_MAX}) {
        ASSERT_EQ(setResourceNumber("N", n), 0);
        int32_t back = 1;
        ASSERT_EQ(getResourceNumber("N", back), 0);
        EXPECT_EQ(back, n);
    }
}

TEST_F(SystemInfoTest, KeyPathFollowsEnvironment) {
    // Set but empty: the root key itself. Some systems keep no empty variables
    // in a running process but hand them to a child, so a child reads there.
    if (test::testRole() == "empty key path") {
        std::string text;
        const int rc = getResource("Where", text);
        std::_Exit(rc == 0 && text == "root" && resourceKeyPath().empty() ? 0 : 10 + rc);
    }
    setRaw("Where", platform::REGISTRY_SZ, "default");
    setRaw("Where", platform::REGISTRY_SZ, "other", "SOFTWARE\\Test\\Other");
    setRaw("Where", platform::REGISTRY_SZ, "root", "");
    std::string text;

    ASSERT_EQ(getResource("Where", text), 0);
    EXPECT_EQ(text, "default");
    {
        test::ScopedVariable other("BROLIX_ENV", "SOFTWARE\\Test\\Other");
        ASSERT_EQ(getResource("Where", text), 0);
        EXPECT_EQ(text, "other");
        ASSERT_EQ(setResource("Written", "here"), 0);
    }
    EXPECT_EQ(getResource("Written", text), 2);
    EXPECT_EQ(readRegistryText("SOFTWARE\\Test\\Other", "Written", text), 0);
    EXPECT_EQ(text, "here");

    test::ChildOptions options;
    options.setVariables = m_store.childVariables();
    options.setVariables.emplace_back("BROLIX_ENV", "");
    const std::unique_ptr<test::ChildProcess> child = test::startThisTest("empty key path", options);
    ASSERT_TRUE(child->started()) << child->problem();
    EXPECT_EQ(child->wait().exitCode, 0) << child->output() << child->errors();
}

TEST_F(SystemInfoTest, ExpandsReferences) {
    setRaw("Sub", platform::REGISTRY_SZ, "sub");
    setRaw("B", platform::REGISTRY_SZ, "b");
    setRaw("Empty", platform::REGISTRY_SZ, "");
    setRaw("Open", platform::REGISTRY_SZ, "xxxxxxxx${B");
    setRaw("Nested", platform::REGISTRY_SZ, "<${Sub}>");
    setRaw("Expand", platform::REGISTRY_EXPAND_SZ, std::string("${B}\0", 5));

    const struct {
        const char* raw;
        const char* expected;
    } cases[] = {
        {"C:\\dir\\${Sub}\\tail", "C:\\dir\\sub\\tail"},
        {"C:\\dir\\${Missing}\\tail", "C:\\dir\\${Missing}\\tail"},
        {"${B}", "b"},         // start 0 is below 4 - 3
        {"${}", "${}"},        // start 0 is not below 3 - 3
        {"a${Sub", "a${Sub"},  // no closing brace
        {"[${Nested}]", "[<sub>]"},
        {"${Expand}!", "b!"},
        // The search goes on at the index where the closing brace stood: after an
        // shorter replacement the following reference lies before it and stays...
        {"${Empty}${B}", "${B}"},
        {"${Sub}${B}", "sub${B}"},
        {"${Sub}..${B}", "sub..b"},
        // ...while text of a replacement reaching past that index is searched.
        {"${Open}}", "xxxxxxxxb"},
    };
    for (const auto& c : cases) {
        setRaw("Value", platform::REGISTRY_SZ, c.raw);
        std::string text;
        ASSERT_EQ(getResource("Value", text), 0) << c.raw;
        EXPECT_EQ(text, c.expected) << c.raw;
    }
}

TEST_F(SystemInfoTest, SelfReferenceIsBounded) {
    setRaw("Self", platform::REGISTRY_SZ, "x${Self}");
    setRaw("Ping", platform::REGISTRY_SZ, "${Pong}");
    setRaw("Pong", platform::REGISTRY_SZ, "${Ping}");
    std::string wide;
    for (int i = 0; i < 40; ++i) wide += "${Wide}";
    setRaw("Wide", platform::REGISTRY_SZ, wide);

    const auto started = std::chrono::steady_clock::now();
    std::string text;
    ASSERT_EQ(getResource("Self", text), 0);
    EXPECT_EQ(text.compare(0, MAX_REFERENCE_DEPTH + 1, std::string(MAX_REFERENCE_DEPTH + 1, 'x')), 0) << text;
    EXPECT_EQ(text.substr(text.size() - 7), "${Self}");
    ASSERT_EQ(getResource("Ping", text), 0);
    EXPECT_TRUE(text == "${Ping}" || text == "${Pong}") << text;
    ASSERT_EQ(getResource("Wide", text), 0);
    EXPECT_LE(text.size(), (MAX_REFERENCE_READS + 1) * wide.size());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST_F(SystemInfoTest, UnparsableStoreIsNeverOverwritten) {
    if (m_store.file().empty())
        GTEST_SKIP() << "the store is the system's registry, which is never unparsable";
    const std::string garbage = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brolix\\Resources]\n\"A\"=oops\n";
    test::writeAll(m_store.file(), garbage);
    std::string text;
    int32_t number;
    EXPECT_EQ(getResource("A", text), 2);
    EXPECT_EQ(getResourceNumber("A", number), 2);
    EXPECT_EQ(setResource("A", "new"), 1);
    EXPECT_EQ(setResourceNumber("A", 1), 1);
    EXPECT_EQ(deleteResource("A"), 1);
    EXPECT_EQ(test::readAll(m_store.file()), garbage);
}

TEST_F(SystemInfoTest, DeleteAndList) {
    ASSERT_EQ(setResource("One", "1"), 0);
    ASSERT_EQ(setResourceNumber("Two", 2), 0);
    ASSERT_EQ(setResource("Three", "${One}"), 0);
    EXPECT_EQ(deleteResource("two"), 0);
    EXPECT_EQ(deleteResource("Two"), 2);

    std::vector<RegistryValue> values;
    ASSERT_EQ(listRegistryValues(resourceKeyPath(), values), 0);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].name, "One");
    EXPECT_EQ(values[1].name, "Three");
    // Unexpanded; the registry keeps the terminator of a text with it.
    std::string stored(values[1].data.begin(), values[1].data.end());
    while (!stored.empty() && stored.back() == '\0') stored.pop_back();
    EXPECT_EQ(stored, "${One}");
    EXPECT_EQ(listRegistryValues("SOFTWARE\\Nowhere", values), 2);
}

}  // namespace
