#include "platform/NativePath.h"

#include <algorithm>

namespace Brolix {
namespace platform {

std::string toNativePath(const std::string& path) {
    // The system takes a name up to its first zero byte: "a", zero, "b.conf"
    // would name "a". Such a path names no file instead.
    if (path.find('\0') != std::string::npos) return std::string();
    std::string native(path);
    std::replace(native.begin(), native.end(), '\\', '/');
    return native;
}

}  // namespace platform
}  // namespace Brolix
