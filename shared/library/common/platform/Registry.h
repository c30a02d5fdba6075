/// The registry: a persistent, typed, machine-wide store of named values grouped
/// under keys. Key paths are texts of backslash-separated key names below one of
/// the predefined roots; key names and value names compare without regard to
/// letter case. These calls mirror the system's registry calls one to one and
/// carry no policy of their own: result codes and fallbacks are the caller's.
///
/// On 64-bit Windows the calls use the registry's 64-bit view, whatever width
/// the program was built for: every program of the family, and the installer,
/// meet in one key.
///
/// On Linux the store is one text file in the REGEDIT4 export format, named by
/// the environment variable "BROLIX_REGISTRY" (default "/etc/brolix/registry.reg");
/// posix/RegistryFile.h says how it is kept whole under concurrent writers and
/// crashes. A missing file is an empty registry. A file that cannot be parsed is
/// never rewritten: opening a key for reading or writing fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Brolix {
namespace platform {

/// The predefined root keys.
enum class RegistryRoot { ClassesRoot, CurrentConfig, CurrentUser, LocalMachine, Users };

/// Value types, numbered as the registry numbers them.
constexpr uint32_t REGISTRY_NONE = 0;
constexpr uint32_t REGISTRY_SZ = 1;
constexpr uint32_t REGISTRY_EXPAND_SZ = 2;
constexpr uint32_t REGISTRY_BINARY = 3;
constexpr uint32_t REGISTRY_DWORD = 4;
constexpr uint32_t REGISTRY_MULTI_SZ = 7;

enum class RegistryStatus {
    Ok,
    NotFound,  ///< the key or value does not exist
    MoreData,  ///< the caller's buffer is too small; the size needed is reported
    Failed     ///< the store cannot be read, parsed or written
};

/// An open key. Obtained from registryOpenKey or registryCreateKey and given
/// back with registryCloseKey.
struct RegistryKeyData;
using RegistryKey = RegistryKeyData*;

/// Opens an existing key for reading. An empty path opens the root itself.
RegistryStatus registryOpenKey(RegistryRoot root, const std::string& path, RegistryKey& key);

/// Opens a key for writing, creating it and any missing parents.
RegistryStatus registryCreateKey(RegistryRoot root, const std::string& path, RegistryKey& key);

/// Reads the type and bytes of a value into `data` of `size` bytes. On return
/// `size` holds the value's byte count. With a null `data`, or when the value
/// does not fit (MoreData), only `type` and `size` are delivered.
RegistryStatus registryQueryValue(RegistryKey key, const std::string& name, uint32_t& type,
                                  unsigned char* data, uint32_t& size);

/// Stores a value of `type` with the `size` bytes at `data`, replacing any value
/// of the same name.
RegistryStatus registrySetValue(RegistryKey key, const std::string& name, uint32_t type,
                                const unsigned char* data, uint32_t size);

/// Removes a value; NotFound when there is none of that name.
RegistryStatus registryDeleteValue(RegistryKey key, const std::string& name);

/// The value at `index` (from 0) in the key's order; NotFound past the last one.
RegistryStatus registryEnumValue(RegistryKey key, uint32_t index, std::string& name, uint32_t& type,
                                 std::vector<unsigned char>& data);

/// Closes a key; a null key is ignored.
void registryCloseKey(RegistryKey key);

/// Where the store is, for messages to a user: the store file's path where the
/// store is a file (Linux); empty where it is the system's registry itself.
std::string registryLocation();

/// In words, why the calling thread's last failed call of this layer failed,
/// for messages to a user (on Linux it names the store file and, for a store
/// that cannot be parsed, the line).
std::string registryProblem();

}  // namespace platform
}  // namespace Brolix
