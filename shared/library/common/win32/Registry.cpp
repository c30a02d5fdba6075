// The registry calls of the system, one to one: RegOpenKeyExA (KEY_READ),
// RegCreateKeyExA (KEY_WRITE, non-volatile, no class; missing parents are made),
// RegQueryValueExA, RegSetValueExA, RegDeleteValueA, RegEnumValueA and RegCloseKey,
// under the predefined root keys. The registry itself serialises readers and
// writers and keeps every value whole.
//
// The view: 64-bit Windows keeps two views of parts of the registry (among them
// HKEY_LOCAL_MACHINE\SOFTWARE), and a program sees the one of its own width
// unless it names one. Every program of the family names the 64-bit view
// (KEY_WOW64_64KEY), whatever width it was built for, so that all of them, and
// the installer, meet in one key; on 32-bit Windows, which has one view, the flag
// is ignored.
//
// Error codes translate as: ERROR_SUCCESS to Ok, ERROR_FILE_NOT_FOUND (and
// ERROR_NO_MORE_ITEMS when enumerating) to NotFound, ERROR_MORE_DATA to MoreData,
// anything else to Failed. The code of the last failure is kept per thread; its
// system text is the problem told to a user.
//
// Storing a text: the system reads the byte after the given data of a string type
// and stores a terminating zero with the value when that byte is zero. The data
// is therefore handed over with a zero byte after it, so that what is stored never
// depends on memory beyond the caller's bytes: a text given without its
// terminator is stored with one (readers drop trailing zeros).
#include "platform/Registry.h"

#include <windows.h>

#include <algorithm>
#include <exception>
#include <new>

namespace Brolix {
namespace platform {

struct RegistryKeyData {
    HKEY handle;
};

namespace {

HKEY rootKey(RegistryRoot root) {
    switch (root) {
        case RegistryRoot::ClassesRoot:
            return HKEY_CLASSES_ROOT;
        case RegistryRoot::CurrentConfig:
            return HKEY_CURRENT_CONFIG;
        case RegistryRoot::CurrentUser:
            return HKEY_CURRENT_USER;
        case RegistryRoot::LocalMachine:
            return HKEY_LOCAL_MACHINE;
        case RegistryRoot::Users:
            return HKEY_USERS;
    }
    return HKEY_LOCAL_MACHINE;
}

// The system's error code of the calling thread's last failed registry call.
thread_local LONG t_lastError = ERROR_SUCCESS;

RegistryStatus statusOf(LONG error) {
    if (error != ERROR_SUCCESS) t_lastError = error;
    switch (error) {
        case ERROR_SUCCESS:
            return RegistryStatus::Ok;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_NO_MORE_ITEMS:
            return RegistryStatus::NotFound;
        case ERROR_MORE_DATA:
            return RegistryStatus::MoreData;
        default:
            return RegistryStatus::Failed;
    }
}

bool isText(uint32_t type) {
    return type == REGISTRY_SZ || type == REGISTRY_EXPAND_SZ || type == REGISTRY_MULTI_SZ;
}

RegistryStatus wrap(HKEY handle, RegistryKey& key) {
    key = new (std::nothrow) RegistryKeyData{handle};
    if (key == nullptr) {
        ::RegCloseKey(handle);
        return statusOf(ERROR_NOT_ENOUGH_MEMORY);
    }
    return RegistryStatus::Ok;
}

}  // namespace

RegistryStatus registryOpenKey(RegistryRoot root, const std::string& path, RegistryKey& key) {
    key = nullptr;
    HKEY handle = nullptr;
    const LONG rc = ::RegOpenKeyExA(rootKey(root), path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &handle);
    if (rc != ERROR_SUCCESS) return statusOf(rc);
    return wrap(handle, key);
}

RegistryStatus registryCreateKey(RegistryRoot root, const std::string& path, RegistryKey& key) {
    key = nullptr;
    HKEY handle = nullptr;
    const LONG rc = ::RegCreateKeyExA(rootKey(root), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                      KEY_WRITE | KEY_WOW64_64KEY, nullptr, &handle, nullptr);
    // Whatever the code, a key that cannot be made is a failure to create it.
    if (rc != ERROR_SUCCESS) {
        statusOf(rc);
        return RegistryStatus::Failed;
    }
    return wrap(handle, key);
}

RegistryStatus registryQueryValue(RegistryKey key, const std::string& name, uint32_t& type,
                                  unsigned char* data, uint32_t& size) {
    if (key == nullptr) return statusOf(ERROR_INVALID_PARAMETER);
    DWORD valueType = REG_NONE;
    DWORD length = data != nullptr ? static_cast<DWORD>(size) : 0;
    const LONG rc = ::RegQueryValueExA(key->handle, name.c_str(), nullptr, &valueType, data, &length);
    if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) return statusOf(rc);
    type = static_cast<uint32_t>(valueType);
    size = static_cast<uint32_t>(length);
    return statusOf(rc);
}

RegistryStatus registrySetValue(RegistryKey key, const std::string& name, uint32_t type,
                                const unsigned char* data, uint32_t size) {
    if (key == nullptr || (data == nullptr && size > 0)) return statusOf(ERROR_INVALID_PARAMETER);
    std::vector<unsigned char> bytes;
    const BYTE* given = data;
    if (isText(type)) {
        try {
            bytes.reserve(static_cast<size_t>(size) + 1);
        } catch (const std::exception&) {
            return statusOf(ERROR_NOT_ENOUGH_MEMORY);
        }
        bytes.assign(data, data + size);
        bytes.push_back(0);
        given = bytes.data();
    }
    return statusOf(::RegSetValueExA(key->handle, name.c_str(), 0, static_cast<DWORD>(type), given,
                                     static_cast<DWORD>(size)));
}

RegistryStatus registryDeleteValue(RegistryKey key, const std::string& name) {
    if (key == nullptr) return statusOf(ERROR_INVALID_PARAMETER);
    return statusOf(::RegDeleteValueA(key->handle, name.c_str()));
}

RegistryStatus registryEnumValue(RegistryKey key, uint32_t index, std::string& name, uint32_t& type,
                                 std::vector<unsigned char>& data) {
    if (key == nullptr) return statusOf(ERROR_INVALID_PARAMETER);
    // Start from the largest name and value of the key, and grow if the key
    // changed in between.
    DWORD longestName = 0;
    DWORD longestData = 0;
    LONG rc = ::RegQueryInfoKeyA(key->handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 &longestName, &longestData, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return statusOf(rc);
    std::vector<char> nameBuffer;
    std::vector<unsigned char> dataBuffer;
    try {
        nameBuffer.resize(static_cast<size_t>(longestName) + 1);
        dataBuffer.resize(std::max<DWORD>(longestData, 1));
        for (;;) {
            DWORD nameLength = static_cast<DWORD>(nameBuffer.size());
            DWORD dataLength = static_cast<DWORD>(dataBuffer.size());
            DWORD valueType = REG_NONE;
            rc = ::RegEnumValueA(key->handle, index, nameBuffer.data(), &nameLength, nullptr, &valueType,
                                 dataBuffer.data(), &dataLength);
            if (rc == ERROR_MORE_DATA) {
                nameBuffer.resize(nameBuffer.size() * 2);
                dataBuffer.resize(std::max<size_t>(dataBuffer.size() * 2, dataLength));
                continue;
            }
            if (rc != ERROR_SUCCESS) return statusOf(rc);
            name.assign(nameBuffer.data(), nameLength);
            type = static_cast<uint32_t>(valueType);
            data.assign(dataBuffer.begin(), dataBuffer.begin() + dataLength);
            return RegistryStatus::Ok;
        }
    } catch (const std::exception&) {
        return statusOf(ERROR_NOT_ENOUGH_MEMORY);
    }
}

void registryCloseKey(RegistryKey key) {
    if (key == nullptr) return;
    ::RegCloseKey(key->handle);
    delete key;
}

// The registry is the store itself; it has no location to name.
std::string registryLocation() { return std::string(); }

std::string registryProblem() {
    if (t_lastError == ERROR_SUCCESS) return std::string();
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(t_lastError), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string problem(text != nullptr ? text : "", length);
    if (text != nullptr) ::LocalFree(text);
    while (!problem.empty() && static_cast<unsigned char>(problem.back()) <= ' ') problem.pop_back();
    if (problem.empty()) problem = "system error";
    return problem + " (error " + std::to_string(t_lastError) + ")";
}

}  // namespace platform
}  // namespace Brolix
