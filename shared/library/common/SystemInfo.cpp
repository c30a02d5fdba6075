#include "SystemInfo.h"

#include <cstdlib>
#include <map>
#include <new>
#include <stdexcept>

#include "platform/Registry.h"

namespace Brolix {

namespace {

using platform::RegistryKey;
using platform::RegistryRoot;
using platform::RegistryStatus;

const char DEFAULT_KEY_PATH[] = "SOFTWARE\\Brolix\\Resources";
const char ROOT_NAME[] = "HKEY_LOCAL_MACHINE";

// The first buffer of a text read; larger values are read again at their size.
const uint32_t VALUE_BUFFER_SIZE = 100;

/// The root names the module knows, built once before the first lookup.
const std::map<std::string, RegistryRoot>& rootTable() {
    static const std::map<std::string, RegistryRoot> table = {
        {"HKEY_CLASSES_ROOT", RegistryRoot::ClassesRoot},
        {"HKEY_CURRENT_CONFIG", RegistryRoot::CurrentConfig},
        {"HKEY_CURRENT_USER", RegistryRoot::CurrentUser},
        {"HKEY_LOCAL_MACHINE", RegistryRoot::LocalMachine},
        {"HKEY_USERS", RegistryRoot::Users},
    };
    return table;
}

bool lookupRoot(RegistryRoot& root) {
    const auto& table = rootTable();
    const auto it = table.find(ROOT_NAME);
    if (it == table.end()) return false;
    root = it->second;
    return true;
}

/// Closes the key on every path out of a read or a store.
class OpenKey {
public:
    OpenKey() = default;
    ~OpenKey() { platform::registryCloseKey(m_key); }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;

    bool openForReading(const std::string& keyPath) {
        RegistryRoot root;
        return lookupRoot(root) && platform::registryOpenKey(root, keyPath, m_key) == RegistryStatus::Ok;
    }
    bool openForWriting(const std::string& keyPath) {
        RegistryRoot root;
        return lookupRoot(root) && platform::registryCreateKey(root, keyPath, m_key) == RegistryStatus::Ok;
    }
    RegistryKey get() const { return m_key; }

private:
    RegistryKey m_key = nullptr;
};

/// What one top-level text read may still spend on references.
struct Expansion {
    int depth;
    int readsLeft;
};

int readText(const std::string& keyPath, const std::string& valueName, std::string& value,
             Expansion& expansion);

/// Replaces "${Name}" references in `value`. The search resumes at the index
/// where the closing brace stood before a replacement, without adjusting it for
/// the replacement's length; stored values rely on exactly this resolution.
void expandReferences(const std::string& keyPath, std::string& value, Expansion& expansion) {
    size_t start = value.find("${");
    while (start != std::string::npos && start + 3 < value.size()) {
        const size_t close = value.find('}', start);
        if (close == std::string::npos) break;
        if (expansion.depth < MAX_REFERENCE_DEPTH && expansion.readsLeft > 0) {
            const std::string name = value.substr(start + 2, close - start - 2);
            std::string replacement;
            --expansion.readsLeft;
            ++expansion.depth;
            const int rc = readText(keyPath, name, replacement, expansion);
            --expansion.depth;
            if (rc == 0) value = value.substr(0, start) + replacement + value.substr(close + 1);
        }
        start = value.find("${", close);
    }
}

int readText(const std::string& keyPath, const std::string& valueName, std::string& value,
             Expansion& expansion) {
    std::string text;
    {
        OpenKey key;
        if (!key.openForReading(keyPath)) return 2;
        std::vector<unsigned char> buffer;
        uint32_t type = 0;
        uint32_t size = VALUE_BUFFER_SIZE;
        try {
            buffer.resize(size);
            RegistryStatus status;
            while ((status = platform::registryQueryValue(key.get(), valueName, type, buffer.data(), size)) ==
                   RegistryStatus::MoreData) {
                buffer.clear();
                buffer.shrink_to_fit();
                buffer.resize(size);
            }
            if (status != RegistryStatus::Ok) return 2;
        } catch (const std::bad_alloc&) {
            return 1;
        } catch (const std::length_error&) {
            return 1;
        }
        if (type != platform::REGISTRY_SZ && type != platform::REGISTRY_EXPAND_SZ &&
            type != platform::REGISTRY_MULTI_SZ) {
            return 3;
        }
        while (size > 0 && buffer[size - 1] == 0) --size;
        text.assign(buffer.begin(), buffer.begin() + size);
    }
    expandReferences(keyPath, text, expansion);
    value.swap(text);
    return 0;
}

}  // namespace

std::string resourceKeyPath() {
    const char* env = std::getenv("BROLIX_ENV");
    return env != nullptr ? std::string(env) : std::string(DEFAULT_KEY_PATH);
}

int readRegistryText(const std::string& keyPath, const std::string& valueName, std::string& value) {
    Expansion expansion{0, MAX_REFERENCE_READS};
    return readText(keyPath, valueName, value, expansion);
}

int readRegistryNumber(const std::string& keyPath, const std::string& valueName, int32_t& value) {
    OpenKey key;
    if (!key.openForReading(keyPath)) return 2;
    unsigned char buffer[VALUE_BUFFER_SIZE];
    uint32_t type = 0;
    uint32_t size = sizeof buffer;
    if (platform::registryQueryValue(key.get(), valueName, type, buffer, size) != RegistryStatus::Ok)
        return 2;
    if (type != platform::REGISTRY_DWORD) return 3;
    // A number value of any other size than four bytes is unreadable.
    if (size != 4) return 2;
    const uint32_t number = static_cast<uint32_t>(buffer[0]) | static_cast<uint32_t>(buffer[1]) << 8 |
                            static_cast<uint32_t>(buffer[2]) << 16 | static_cast<uint32_t>(buffer[3]) << 24;
    value = static_cast<int32_t>(number);
    return 0;
}

int writeRegistryValue(const std::string& keyPath, const std::string& valueName, uint32_t type,
                       const unsigned char* data, uint32_t size) {
    OpenKey key;
    if (!key.openForWriting(keyPath)) return 1;
    return platform::registrySetValue(key.get(), valueName, type, data, size) == RegistryStatus::Ok ? 0 : 1;
}

int deleteRegistryValue(const std::string& keyPath, const std::string& valueName) {
    OpenKey key;
    if (!key.openForWriting(keyPath)) return 1;
    switch (platform::registryDeleteValue(key.get(), valueName)) {
        case RegistryStatus::Ok:
            return 0;
        case RegistryStatus::NotFound:
            return 2;
        default:
            return 1;
    }
}

int listRegistryValues(const std::string& keyPath, std::vector<RegistryValue>& values) {
    OpenKey key;
    if (!key.openForReading(keyPath)) return 2;
    std::vector<RegistryValue> found;
    for (uint32_t index = 0;; ++index) {
        RegistryValue v;
        const RegistryStatus status = platform::registryEnumValue(key.get(), index, v.name, v.type, v.data);
        if (status == RegistryStatus::NotFound) break;
        if (status != RegistryStatus::Ok) return 2;
        found.push_back(std::move(v));
    }
    values.swap(found);
    return 0;
}

int getResource(const std::string& name, std::string& value) {
    return readRegistryText(resourceKeyPath(), name, value);
}

int getResourceNumber(const std::string& name, int32_t& value) {
    return readRegistryNumber(resourceKeyPath(), name, value);
}

int setResource(const std::string& name, const std::string& value) {
    if (value.size() > UINT32_MAX) return 1;
    return writeRegistryValue(resourceKeyPath(), name, platform::REGISTRY_SZ,
                              reinterpret_cast<const unsigned char*>(value.data()),
                              static_cast<uint32_t>(value.size()));
}

int setResourceNumber(const std::string& name, int32_t value) {
    const uint32_t number = static_cast<uint32_t>(value);
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(number), static_cast<unsigned char>(number >> 8),
        static_cast<unsigned char>(number >> 16), static_cast<unsigned char>(number >> 24)};
    return writeRegistryValue(resourceKeyPath(), name, platform::REGISTRY_DWORD, bytes, sizeof bytes);
}

int deleteResource(const std::string& name) { return deleteRegistryValue(resourceKeyPath(), name); }

}  // namespace Brolix
