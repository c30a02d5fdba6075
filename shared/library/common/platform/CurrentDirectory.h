/// The process's current working directory, as the operating system reports it.
#pragma once

#include <cstddef>

namespace Brolix {
namespace platform {

/// Writes the current directory, zero-terminated, into `buffer` of `size` bytes
/// and returns its length without the zero. When the buffer is too small nothing
/// usable is written and the size needed (zero included) is returned instead.
/// Returns 0 when the directory cannot be determined.
size_t currentDirectory(char* buffer, size_t size);

}  // namespace platform
}  // namespace Brolix
