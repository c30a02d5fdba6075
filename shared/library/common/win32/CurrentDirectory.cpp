// GetCurrentDirectoryA already answers as the interface asks: the length
// without the zero, or the size needed (zero included) when the buffer is too
// small, or 0 on failure.
#include "platform/CurrentDirectory.h"

#include <windows.h>

#include <cstdint>

namespace Brolix {
namespace platform {

size_t currentDirectory(char* buffer, size_t size) {
    const DWORD room = size > UINT32_MAX ? UINT32_MAX : static_cast<DWORD>(size);
    return static_cast<size_t>(::GetCurrentDirectoryA(buffer != nullptr ? room : 0, buffer));
}

}  // namespace platform
}  // namespace Brolix
