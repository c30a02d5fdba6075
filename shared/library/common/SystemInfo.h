/// Resources: the installation-wide settings of the product family, kept as named
/// values of one registry key below HKEY_LOCAL_MACHINE. The key is the path named
/// by the environment variable "BROLIX_ENV" when it is set (an empty value names
/// the root key itself), otherwise "SOFTWARE\Brolix\Resources"; it is looked up
/// afresh at every call.
///
/// Nothing here throws or logs. Every operation returns a small result code and
/// leaves its output unchanged unless the code is 0:
///
///   code  text read                      number read                     store
///   0     found, delivered               found, delivered                stored
///   1     out of memory                  -                               key or value not written
///   2     no key, value missing or       no key, value missing, or       -
///         unreadable                     longer than 100 bytes
///   3     not a text type                not a 32-bit number             -
///
/// Text values may refer to other resources of the same key as "${Name}"; see
/// readRegistryText.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Brolix {

/// The key path resources are read from and written to ("BROLIX_ENV" rule).
std::string resourceKeyPath();

/// Reads a text resource, references expanded.
int getResource(const std::string& name, std::string& value);

/// Reads a numeric resource.
int getResourceNumber(const std::string& name, int32_t& value);

/// Stores a text resource (plain text type, no terminating zero byte).
int setResource(const std::string& name, const std::string& value);

/// Stores a numeric resource: 0 stored, 1 not written.
int setResourceNumber(const std::string& name, int32_t value);

/// Removes a resource: 0 removed, 1 the key could not be opened or the store not
/// written, 2 no such resource.
int deleteResource(const std::string& name);

/// Reads a text value (plain, expandable or multi text) of the key at `keyPath`
/// below the module's root. All trailing zero bytes are dropped; inner ones stay.
/// References "${Name}" are replaced by the text of the value Name of the same
/// key, itself read by this same operation; a reference that cannot be read
/// stays as it is. References nest at most MAX_REFERENCE_DEPTH deep and one read
/// follows at most MAX_REFERENCE_READS references in all; a reference beyond
/// either bound also stays as it is, so a value that refers to itself yields
/// its text with the innermost reference left unexpanded.
int readRegistryText(const std::string& keyPath, const std::string& valueName, std::string& value);

/// Reads a 32-bit number value of the key at `keyPath`.
int readRegistryNumber(const std::string& keyPath, const std::string& valueName, int32_t& value);

/// Stores `size` bytes of `type` as the value `valueName` of the key at
/// `keyPath`, creating the key when needed: 0 stored, 1 not.
int writeRegistryValue(const std::string& keyPath, const std::string& valueName, uint32_t type,
                       const unsigned char* data, uint32_t size);

/// Removes the value: 0 removed, 1 failure, 2 no such value.
int deleteRegistryValue(const std::string& keyPath, const std::string& valueName);

/// One value of a key as the store holds it, unexpanded.
struct RegistryValue {
    std::string name;
    uint32_t type;
    std::vector<unsigned char> data;
};

/// Every value of the key at `keyPath`, in the store's order: 0 listed, 2 the
/// key cannot be opened or read.
int listRegistryValues(const std::string& keyPath, std::vector<RegistryValue>& values);

constexpr int MAX_REFERENCE_DEPTH = 8;
constexpr int MAX_REFERENCE_READS = 256;

}  // namespace Brolix
