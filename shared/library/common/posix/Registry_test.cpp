#include "platform/Registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "SystemInfo.h"
#include "testing/FaultTesting.h"

using namespace Brolix;
using namespace Brolix::platform;

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/brolix-reg-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        m_store = m_dir + "/store/registry.reg";  // the directory is made on the first write
        setenv("BROLIX_REGISTRY", m_store.c_str(), 1);
        unsetenv("BROLIX_ENV");
    }
    void TearDown() override {
        unsetenv("BROLIX_REGISTRY");
        std::system(("rm -rf '" + m_dir + "'").c_str());
    }

    void writeStore(const std::string& content) {
        std::system(("mkdir -p '" + m_dir + "/store'").c_str());
        std::ofstream(m_store, std::ios::binary) << content;
    }
    std::string readStore() {
        std::ifstream in(m_store, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    /// Type and bytes of a value, or "missing".
    std::string query(const std::string& path, const std::string& name, uint32_t* type = nullptr) {
        RegistryKey key = nullptr;
        if (registryOpenKey(RegistryRoot::LocalMachine, path, key) != RegistryStatus::Ok) return "no key";
        unsigned char buffer[4096];
        uint32_t size = sizeof buffer;
        uint32_t t = 0;
        const RegistryStatus status = registryQueryValue(key, name, t, buffer, size);
        registryCloseKey(key);
        if (status != RegistryStatus::Ok) return "missing";
        if (type != nullptr) *type = t;
        return std::string(reinterpret_cast<char*>(buffer), size);
    }

    std::string m_dir;
    std::string m_store;
};

TEST_F(RegistryTest, ReadsTheTextFormat) {
    const std::string file =
        "REGEDIT4\r\n"
        "\r\n"
        "; machine settings\r\n"
        "[hkey_local_machine\\software\\brolix\\resources]\r\n"
        "\"InstallDir\"=\"C:\\\\Brolix \\\"x\\\"\\\\\"\r\n"
        "\"Level\"=dword:0000000A\r\n"
        "; kept as written\r\n"
        "\"Exp\"=hex(2):24,7b,42,7d,\\\r\n"
        "  00\r\n"
        "@=\"default\"\r\n"
        "\"Bin\"=hex:01,02 , ff\r\n"
        "\"Empty\"=hex:\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brolix\\Resources\\Child]\r\n"
        "\"X\"=\"y\"\r\n";
    writeStore(file);

    const struct {
        const char* path;
        const char* name;
        uint32_t type;
        std::string bytes;
    } cases[] = {
        {"SOFTWARE\\Brolix\\Resources", "installdir", REGISTRY_SZ, "C:\\Brolix \"x\"\\"},
        {"software\\BROLIX\\resources\\", "Level", REGISTRY_DWORD, std::string("\x0a\0\0\0", 4)},
        {"SOFTWARE\\Brolix\\Resources", "Exp", REGISTRY_EXPAND_SZ, std::string("${B}\0", 5)},
        {"SOFTWARE\\Brolix\\Resources", "", REGISTRY_SZ, "default"},
        {"SOFTWARE\\Brolix\\Resources", "Bin", REGISTRY_BINARY, "\x01\x02\xff"},
        {"SOFTWARE\\Brolix\\Resources", "Empty", REGISTRY_BINARY, ""},
        {"SOFTWARE\\Brolix\\Resources\\Child", "X", REGISTRY_SZ, "y"},
    };
    for (const auto& c : cases) {
        uint32_t type = 99;
        EXPECT_EQ(query(c.path, c.name, &type), c.bytes) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
    }
    EXPECT_EQ(query("SOFTWARE\\Brolix", "X"), "missing");  // a parent key exists
    EXPECT_EQ(query("SOFTWARE\\Brol", "X"), "no key");
    EXPECT_EQ(query("SOFTWARE\\Brolix\\Resources\\Child\\Deeper", "X"), "no key");

    // A change keeps comments and every other value as it was.
    ASSERT_EQ(setResource("Added", "new"), 0);
    const std::string rewritten = readStore();
    EXPECT_NE(rewritten.find("; machine settings\n[HKEY_LOCAL_MACHINE\\software\\brolix\\resources]"),
              std::string::npos)
        << rewritten;
    EXPECT_NE(rewritten.find("; kept as written\n\"Exp\"=hex(2):24,7b,42,7d,00"), std::string::npos)
        << rewritten;
    for (const auto& c : cases) EXPECT_EQ(query(c.path, c.name), c.bytes) << c.name;
    EXPECT_EQ(query("SOFTWARE\\Brolix\\Resources", "Added"), "new");
}

TEST_F(RegistryTest, WritesEveryTypeBackExactly) {
    RegistryKey key = nullptr;
    ASSERT_EQ(registryCreateKey(RegistryRoot::LocalMachine, "SOFTWARE\\Types", key), RegistryStatus::Ok);
    const struct {
        const char* name;
        uint32_t type;
        std::string bytes;
    } cases[] = {
        {"Plain", REGISTRY_SZ, "a \"b\" \\c\\"},
        {"Terminated", REGISTRY_SZ, std::string("abc\0", 4)},
        {"Lines", REGISTRY_SZ, "one\ntwo"},
        {"Expand", REGISTRY_EXPAND_SZ, "${X}"},
        {"Multi", REGISTRY_MULTI_SZ, std::string("a\0bc\0\0", 6)},
        {"Number", REGISTRY_DWORD, std::string("\x78\x56\x34\x12", 4)},
        {"OddNumber", REGISTRY_DWORD, "\x01\x02"},
        {"Binary", REGISTRY_BINARY, std::string(300, '\x5a')},
        {"Quad", 11, std::string(8, '\x01')},
        {"\"Odd\\Name\"", REGISTRY_SZ, ""},
        {"", REGISTRY_SZ, "unnamed"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(
            registrySetValue(key, c.name, c.type, reinterpret_cast<const unsigned char*>(c.bytes.data()),
                             static_cast<uint32_t>(c.bytes.size())),
            RegistryStatus::Ok);
    }
    registryCloseKey(key);
    for (const auto& c : cases) {
        uint32_t type = 0;
        EXPECT_EQ(query("SOFTWARE\\Types", c.name, &type), c.bytes) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
    }
    const std::string file = readStore();
    EXPECT_NE(file.find("\"Number\"=dword:12345678\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\"Plain\"=\"a \\\"b\\\" \\\\c\\\\\"\n"), std::string::npos) << file;
    EXPECT_NE(file.find("@=\"unnamed\"\n"), std::string::npos) << file;
}

TEST_F(RegistryTest, QueryReportsTheSizeItNeeds) {
    ASSERT_EQ(setResource("Long", std::string(150, 'q')), 0);
    RegistryKey key = nullptr;
    ASSERT_EQ(registryOpenKey(RegistryRoot::LocalMachine, "SOFTWARE\\Brolix\\Resources", key),
              RegistryStatus::Ok);
    unsigned char buffer[100];
    uint32_t type = 0;
    uint32_t size = sizeof buffer;
    EXPECT_EQ(registryQueryValue(key, "Long", type, buffer, size), RegistryStatus::MoreData);
    EXPECT_EQ(size, 150u);
    EXPECT_EQ(type, REGISTRY_SZ);
    size = 0;
    EXPECT_EQ(registryQueryValue(key, "Long", type, nullptr, size), RegistryStatus::Ok);
    EXPECT_EQ(size, 150u);
    EXPECT_EQ(registryQueryValue(key, "None", type, buffer, size), RegistryStatus::NotFound);
    // A read key is a snapshot and cannot write.
    EXPECT_EQ(registrySetValue(key, "X", REGISTRY_SZ, buffer, 1), RegistryStatus::Failed);
    registryCloseKey(key);
}

TEST_F(RegistryTest, UnparsableStoresAreRefusedAndKept) {
    const char* files[] = {
        "garbage\n",
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n",
        "REGEDIT4\n\"A\"=\"value before any key\"\n",
        "REGEDIT4\n[HKEY_NOWHERE\\A]\n",
        "REGEDIT4\n[-HKEY_LOCAL_MACHINE\\A]\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"A\"=\"unterminated\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"A\"=\"bad \\n escape\"\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"A\"=\"x\" trailing\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"A\"=-\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"A\"=dword:123456789\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"A\"=dword:xyz\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"A\"=hex:1,2\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"A\"=hex(2):41,,42\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"A\"=hex(zz):41\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\nA=\"unquoted name\"\n",
    };
    for (const char* file : files) {
        writeStore(file);
        RegistryKey key = nullptr;
        EXPECT_EQ(registryOpenKey(RegistryRoot::LocalMachine, "A", key), RegistryStatus::Failed) << file;
        EXPECT_EQ(registryCreateKey(RegistryRoot::LocalMachine, "A", key), RegistryStatus::Failed) << file;
        EXPECT_EQ(key, nullptr);
        EXPECT_EQ(readStore(), file);
    }
    // Names that would break the text form are refused before anything is written.
    writeStore("");
    EXPECT_EQ(setResource("two\nlines", "x"), 1);
    EXPECT_EQ(setResource(std::string("zero\0byte", 9), "x"), 1);
    EXPECT_EQ(writeRegistryValue("Key\rPath", "A", REGISTRY_SZ, nullptr, 0), 1);
    EXPECT_EQ(readStore(), "");

    // An empty file is an empty registry and may be written.
    writeStore("");
    RegistryKey key = nullptr;
    EXPECT_EQ(registryOpenKey(RegistryRoot::LocalMachine, "A", key), RegistryStatus::NotFound);
    EXPECT_EQ(registryOpenKey(RegistryRoot::LocalMachine, "", key), RegistryStatus::Ok);
    registryCloseKey(key);
    EXPECT_EQ(setResource("A", "x"), 0);
}

// Several processes change different values of the same store at once while
// another reads it: no change is lost and every read sees a whole file.
TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
    ASSERT_EQ(setResource("Anchor", "here"), 0);
    const int writers = 4;
    const int valuesEach = 25;
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0; i < valuesEach; ++i) {
                const std::string name = "W" + std::to_string(w) + "_" + std::to_string(i);
                if (setResource(name, name + "-value") != 0) _exit(1);
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    const pid_t reader = fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        size_t seen = 0;
        for (int i = 0; i < 300; ++i) {
            std::string anchor;
            if (getResource("Anchor", anchor) != 0 || anchor != "here") _exit(2);
            std::vector<RegistryValue> values;
            if (listRegistryValues(resourceKeyPath(), values) != 0) _exit(3);
            if (values.size() < seen) _exit(4);  // a change went missing
            seen = values.size();
        }
        _exit(0);
    }
    children.push_back(reader);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << pid << " status " << status;
    }

    std::vector<RegistryValue> values;
    ASSERT_EQ(listRegistryValues(resourceKeyPath(), values), 0);
    EXPECT_EQ(values.size(), static_cast<size_t>(writers * valuesEach + 1));
    for (int w = 0; w < writers; ++w) {
        for (int i = 0; i < valuesEach; ++i) {
            const std::string name = "W" + std::to_string(w) + "_" + std::to_string(i);
            std::string value;
            EXPECT_EQ(getResource(name, value), 0) << name;
            EXPECT_EQ(value, name + "-value");
        }
    }
}

// ---- faults made for real ----

/// The names in the store's directory other than the store and its lock file.
std::vector<std::string> leftovers(const std::string& store) {
    std::vector<std::string> names;
    const std::filesystem::path path(store);
    for (const auto& entry : std::filesystem::directory_iterator(path.parent_path())) {
        const std::string name = entry.path().filename().string();
        if (name != path.filename().string() && name != path.filename().string() + ".lock")
            names.push_back(name);
    }
    return names;
}

TEST_F(RegistryTest, AWriterKilledBeforeItsRenameLeavesTheStoreAndNoLitter) {
    ASSERT_EQ(setResource("Kept", "1"), 0);
    const std::string before = readStore();
    test::Worker killed({"set-resource", "Lost", "2"}, "kill:rename:registry.reg.tmp");
    EXPECT_EQ(killed.wait().signal, SIGKILL);
    EXPECT_EQ(readStore(), before);
    EXPECT_EQ(leftovers(m_store), std::vector<std::string>{"registry.reg.tmp"});
    // The next change makes its own temporary file and leaves none behind.
    ASSERT_EQ(setResource("Next", "3"), 0);
    EXPECT_TRUE(leftovers(m_store).empty());
    std::string value;
    EXPECT_EQ(getResource("Kept", value), 0);
    EXPECT_EQ(getResource("Lost", value), 2);
}

TEST_F(RegistryTest, AChangeThatCannotReachTheDiskIsNotMade) {
    ASSERT_EQ(setResource("Kept", "1"), 0);
    const std::string before = readStore();
    test::Worker writer({"set-resource", "Lost", "2"}, "fail:fsync:registry.reg.tmp");
    EXPECT_EQ(writer.wait().exitCode, 1);
    EXPECT_EQ(readStore(), before);
    EXPECT_TRUE(leftovers(m_store).empty());
}

// A writer that holds the store's lock and never lets go (stopped, stuck)
// holds up no reader, and another writer gives up after a while.
TEST_F(RegistryTest, AStoppedWriterHoldsNobodyUpForLong) {
    ASSERT_EQ(setResource("Kept", "1"), 0);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const int fd = ::open((m_store + ".lock").c_str(), O_RDWR);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0) _exit(1);
        if (::write(ready[1], "x", 1) != 1) _exit(1);
        ::pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    std::string value;
    EXPECT_EQ(getResource("Kept", value), 0);
    EXPECT_EQ(value, "1");
    EXPECT_EQ(setResource("Blocked", "2"), 1);
    EXPECT_NE(registryProblem().find("another writer has held the store"), std::string::npos)
        << registryProblem();
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(setResource("Blocked", "2"), 0);
}

// The process keeps the store it read; every change made on disk since, by
// another process or by hand in place, is seen at the next read.
TEST_F(RegistryTest, ReadsSeeEveryChangeOnDisk) {
    ASSERT_EQ(setResource("Value", "one"), 0);
    std::string value;
    ASSERT_EQ(getResource("Value", value), 0);
    EXPECT_EQ(value, "one");
    test::Worker other({"set-resource", "Value", "two"});
    ASSERT_EQ(other.wait().exitCode, 0);
    ASSERT_EQ(getResource("Value", value), 0);
    EXPECT_EQ(value, "two");
    // Edited in place, same size: only the times tell.
    std::string text = readStore();
    const size_t at = text.find("\"two\"");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 5, "\"six\"");
    {
        std::fstream inPlace(m_store, std::ios::in | std::ios::out | std::ios::binary);
        inPlace.seekp(0);
        inPlace << text;
    }
    ASSERT_EQ(getResource("Value", value), 0);
    EXPECT_EQ(value, "six");
    // A value set to what it holds leaves the file alone.
    struct stat before {}, after {};
    ASSERT_EQ(::stat(m_store.c_str(), &before), 0);
    ASSERT_EQ(setResource("Value", "six"), 0);
    ASSERT_EQ(::stat(m_store.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

// A change keeps the store as closed as it was, and its owner.
TEST_F(RegistryTest, AChangeKeepsTheStoresModeAndOwner) {
    ASSERT_EQ(setResource("Kept", "1"), 0);
    ASSERT_EQ(::chmod(m_store.c_str(), 0600), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(m_store.c_str(), 65534, 65534), 0);
    }
    const mode_t previous = ::umask(022);
    const int status = setResource("Changed", "2");
    ::umask(previous);
    ASSERT_EQ(status, 0);
    struct stat info {};
    ASSERT_EQ(::stat(m_store.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    if (root) {
        EXPECT_EQ(info.st_uid, 65534u);
    }
    std::string value;
    EXPECT_EQ(getResource("Changed", value), 0);
}

// No change is made without the store's lock.
TEST_F(RegistryTest, NoChangeWithoutTheLock) {
    ASSERT_EQ(setResource("Kept", "1"), 0);
    const std::string before = readStore();
    ASSERT_TRUE(std::filesystem::create_directory(m_store + ".lock.aside"));
    std::filesystem::remove(m_store + ".lock");
    std::filesystem::rename(m_store + ".lock.aside", m_store + ".lock");  // a folder where the lock should be
    EXPECT_EQ(setResource("Unlocked", "2"), 1);
    EXPECT_EQ(readStore(), before);
    std::string value;
    EXPECT_EQ(getResource("Unlocked", value), 2);
}

// Loading a store needs memory in proportion to its size; when there is not
// enough, the read fails with its result code and the program goes on.
TEST_F(RegistryTest, AStoreTooLargeForTheMemoryLeftFailsTheRead) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reserves address space beyond any limit this test could set";
#else
    std::string store = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brolix\\Resources]\n";
    for (int i = 0; i < 200000; ++i) {
        store += "\"Value" + std::to_string(i) + "\"=\"" + std::string(100, 'v') + "\"\n";
    }
    writeStore(store);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Room for what the process holds now and a few megabytes, not for the
        // 25 MB store.
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t limit =
            static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (8u << 20);
        const struct rlimit rl = {limit, limit};
        if (::setrlimit(RLIMIT_AS, &rl) != 0) _exit(3);
        std::string value;
        const int rc = getResource("Value1", value);
        if (rc != 2) _exit(10 + rc);
        _exit(registryProblem() == "not enough memory to read the resource store" ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "the reading process ended with signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

}  // namespace
