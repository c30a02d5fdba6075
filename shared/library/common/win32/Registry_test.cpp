// The Windows backend on the real registry, in a key of the test's own below
// HKEY_LOCAL_MACHINE\SOFTWARE that is removed afterwards; and the resources on top
// of it.
#include "platform/Registry.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "SystemInfo.h"

using namespace Brolix::platform;

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

class Win32RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = "SOFTWARE\\BrolixTest\\" + std::to_string(::GetCurrentProcessId()) + "-" +
                 std::to_string(::GetTickCount64());
    }
    void TearDown() override { ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, m_path.c_str()); }

    void set(const std::string& name, uint32_t type, const unsigned char* data, uint32_t size) {
        RegistryKey key = nullptr;
        ASSERT_EQ(registryCreateKey(RegistryRoot::LocalMachine, m_path, key), RegistryStatus::Ok);
        EXPECT_EQ(registrySetValue(key, name, type, data, size), RegistryStatus::Ok) << name;
        registryCloseKey(key);
    }
    void set(const std::string& name, uint32_t type, const Bytes& data) {
        set(name, type, data.data(), static_cast<uint32_t>(data.size()));
    }

    /// The type and bytes stored, read with a buffer of the size the value needs.
    bool query(const std::string& name, uint32_t& type, Bytes& data) {
        RegistryKey key = nullptr;
        if (registryOpenKey(RegistryRoot::LocalMachine, m_path, key) != RegistryStatus::Ok) return false;
        uint32_t size = 0;
        bool ok = registryQueryValue(key, name, type, nullptr, size) == RegistryStatus::Ok;
        data.assign(size, 0);
        ok = ok && registryQueryValue(key, name, type, data.data(), size) == RegistryStatus::Ok;
        data.resize(size);
        registryCloseKey(key);
        return ok;
    }

    std::string m_path;
};

TEST_F(Win32RegistryTest, StoresEveryTypeAndTextsWithTheirTerminator) {
    const std::string unterminated = "abcX";  // the byte after the given three is not zero
    const unsigned char number[] = {0x0a, 0, 0, 0x80};
    const unsigned char binary[] = {0, 1, 0xff, 7};
    const struct {
        std::string name;
        uint32_t type;
        Bytes given;
        Bytes stored;
    } cases[] = {
        {"Text", REGISTRY_SZ, bytes("C:\\Brolix\\"), bytes(std::string("C:\\Brolix\\\0", 11))},
        {"Unterminated", REGISTRY_SZ, bytes("abc"), bytes(std::string("abc\0", 4))},
        {"Terminated", REGISTRY_SZ, bytes(std::string("abc\0", 4)), bytes(std::string("abc\0", 4))},
        {"Empty", REGISTRY_SZ, Bytes(), Bytes()},
        {"Expand", REGISTRY_EXPAND_SZ, bytes("%TEMP%"), bytes(std::string("%TEMP%\0", 7))},
        {"Multi", REGISTRY_MULTI_SZ, bytes(std::string("a\0b\0\0", 5)), bytes(std::string("a\0b\0\0", 5))},
        {"Number", REGISTRY_DWORD, Bytes(number, number + 4), Bytes(number, number + 4)},
        {"Binary", REGISTRY_BINARY, Bytes(binary, binary + 4), Bytes(binary, binary + 4)},
        {"", REGISTRY_SZ, bytes("default"), bytes(std::string("default\0", 8))},
    };
    for (const auto& c : cases) {
        if (c.name == "Unterminated") {
            set(c.name, c.type, reinterpret_cast<const unsigned char*>(unterminated.data()), 3);
        } else {
            set(c.name, c.type, c.given);
        }
    }
    for (const auto& c : cases) {
        uint32_t type = 0;
        Bytes data;
        ASSERT_TRUE(query(c.name, type, data)) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(data, c.stored) << c.name;
    }
}

TEST_F(Win32RegistryTest, QueriesReportTheSizeTheyNeedAndIgnoreCase) {
    const std::string text(300, 't');
    set("Long", REGISTRY_SZ, bytes(text));

    RegistryKey key = nullptr;
    ASSERT_EQ(registryOpenKey(RegistryRoot::LocalMachine, m_path, key), RegistryStatus::Ok);
    uint32_t type = 0;
    unsigned char small[100];
    uint32_t size = sizeof small;
    EXPECT_EQ(registryQueryValue(key, "long", type, small, size), RegistryStatus::MoreData);
    EXPECT_GE(size, 301u);
    Bytes buffer(size);
    EXPECT_EQ(registryQueryValue(key, "LONG", type, buffer.data(), size), RegistryStatus::Ok);
    EXPECT_EQ(type, REGISTRY_SZ);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + size), text + std::string(1, '\0'));
    EXPECT_EQ(registryQueryValue(key, "Missing", type, buffer.data(), size), RegistryStatus::NotFound);
    registryCloseKey(key);
}

TEST_F(Win32RegistryTest, KeysAreMadeWithTheirParents) {
    RegistryKey key = nullptr;
    EXPECT_EQ(registryOpenKey(RegistryRoot::LocalMachine, m_path + "\\a\\b", key), RegistryStatus::NotFound);
    EXPECT_EQ(key, nullptr);
    // The failure in the system's words, with its code.
    const std::string problem = registryProblem();
    EXPECT_GT(problem.size(), std::string(" (error 2)").size()) << problem;
    EXPECT_EQ(problem.substr(problem.size() - 10), " (error 2)") << problem;
    ASSERT_EQ(registryCreateKey(RegistryRoot::LocalMachine, m_path + "\\a\\b", key), RegistryStatus::Ok);
    registryCloseKey(key);
    for (const std::string& path : {m_path + "\\A", m_path + "\\a\\B", std::string()}) {
        EXPECT_EQ(registryOpenKey(RegistryRoot::LocalMachine, path, key), RegistryStatus::Ok) << path;
        registryCloseKey(key);
    }
    registryCloseKey(nullptr);
}

TEST_F(Win32RegistryTest, TheFamilyMeetsInThe64BitView) {
    // Whatever width a program of the family was built for, it reads and writes
    // the 64-bit view, where the installer puts the resources.
    set("Width", REGISTRY_SZ, bytes("64"));
    for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        HKEY key = nullptr;
        const LONG rc = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, m_path.c_str(), 0, KEY_READ | view, &key);
        EXPECT_EQ(rc, view == KEY_WOW64_64KEY ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND) << view;
        if (rc == ERROR_SUCCESS) ::RegCloseKey(key);
    }
    // A value in the other view only is not the family's.
    HKEY other = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, m_path.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_32KEY,
                                nullptr, &other, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExA(other, "Other", 0, REG_SZ, reinterpret_cast<const BYTE*>("32"), 3), ERROR_SUCCESS);
    ::RegCloseKey(other);
    uint32_t type = 0;
    Bytes data;
    EXPECT_FALSE(query("Other", type, data));
    EXPECT_TRUE(query("Width", type, data));
    HKEY view32 = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &view32) ==
        ERROR_SUCCESS) {
        ::RegDeleteTreeA(view32, m_path.substr(std::string("SOFTWARE\\").size()).c_str());
        ::RegCloseKey(view32);
    }
}

TEST_F(Win32RegistryTest, EnumeratesAndDeletesValues) {
    const std::string longName(200, 'N');
    const std::string longText(70000, 'v');
    set("First", REGISTRY_DWORD, Bytes{1, 0, 0, 0});
    set(longName, REGISTRY_SZ, bytes(longText));
    set("Third", REGISTRY_BINARY, Bytes{9});

    auto listing = [&] {
        std::map<std::string, Bytes> found;
        RegistryKey key = nullptr;
        EXPECT_EQ(registryOpenKey(RegistryRoot::LocalMachine, m_path, key), RegistryStatus::Ok);
        for (uint32_t index = 0;; ++index) {
            std::string name;
            uint32_t type = 0;
            Bytes data;
            const RegistryStatus status = registryEnumValue(key, index, name, type, data);
            if (status != RegistryStatus::Ok) {
                EXPECT_EQ(status, RegistryStatus::NotFound);
                break;
            }
            found[name] = data;
        }
        registryCloseKey(key);
        return found;
    };
    std::map<std::string, Bytes> found = listing();
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found["First"], (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(found[longName], bytes(longText + std::string(1, '\0')));
    EXPECT_EQ(found["Third"], Bytes{9});

    RegistryKey key = nullptr;
    ASSERT_EQ(registryCreateKey(RegistryRoot::LocalMachine, m_path, key), RegistryStatus::Ok);
    EXPECT_EQ(registryDeleteValue(key, "FIRST"), RegistryStatus::Ok);
    EXPECT_EQ(registryDeleteValue(key, "First"), RegistryStatus::NotFound);
    registryCloseKey(key);
    found = listing();
    EXPECT_EQ(found.size(), 2u);
    EXPECT_EQ(found.count("First"), 0u);
}

// The resources read and store through the registry as they do through any store.
TEST_F(Win32RegistryTest, ResourcesRoundTripThroughTheRegistry) {
    ASSERT_EQ(::_putenv_s("BROLIX_ENV", m_path.c_str()), 0);
    const std::string longText(500, 'x');
    EXPECT_EQ(Brolix::setResource("InstallDir", "C:\\Brolix\\"), 0);
    EXPECT_EQ(Brolix::setResource("ConfigurationDir", "${InstallDir}conf\\"), 0);
    EXPECT_EQ(Brolix::setResource("Long", longText), 0);
    EXPECT_EQ(Brolix::setResourceNumber("ArdwenDebugLevel", 3), 0);

    std::string text;
    EXPECT_EQ(Brolix::getResource("installdir", text), 0);
    EXPECT_EQ(text, "C:\\Brolix\\");
    EXPECT_EQ(Brolix::getResource("ConfigurationDir", text), 0);
    EXPECT_EQ(text, "C:\\Brolix\\conf\\");
    EXPECT_EQ(Brolix::getResource("Long", text), 0);
    EXPECT_EQ(text, longText);
    int32_t number = 0;
    EXPECT_EQ(Brolix::getResourceNumber("ArdwenDebugLevel", number), 0);
    EXPECT_EQ(number, 3);
    EXPECT_EQ(Brolix::getResource("ArdwenDebugLevel", text), 3);
    EXPECT_EQ(Brolix::getResourceNumber("InstallDir", number), 3);
    EXPECT_EQ(Brolix::getResource("Missing", text), 2);
    ::_putenv_s("BROLIX_ENV", "");
}

}  // namespace
