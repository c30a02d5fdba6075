#include "platform/CurrentDirectory.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace Brolix {
namespace platform {

size_t currentDirectory(char* buffer, size_t size) {
    if (buffer != nullptr && size > 0 && ::getcwd(buffer, size) != nullptr) return std::strlen(buffer);
    if (buffer != nullptr && size > 0 && errno != ERANGE) return 0;
    // Too small: report the size the caller needs.
    char* whole = ::getcwd(nullptr, 0);
    if (whole == nullptr) return 0;
    const size_t needed = std::strlen(whole) + 1;
    std::free(whole);
    return needed;
}

}  // namespace platform
}  // namespace Brolix
