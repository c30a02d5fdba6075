// Library paths are already in the system's form on Windows, backslashes and
// drive letters included; the calls take them as they are (a slash is accepted
// by the system as a separator too).
#include "platform/NativePath.h"

namespace Brolix {
namespace platform {

std::string toNativePath(const std::string& path) {
    // The system takes a name up to its first zero byte: "a", zero, "b.conf"
    // would name "a". Such a path names no file instead.
    if (path.find('\0') != std::string::npos) return std::string();
    return path;
}

}  // namespace platform
}  // namespace Brolix
