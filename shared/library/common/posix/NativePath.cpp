#include "platform/NativePath.h"

#include <algorithm>

namespace Brolix {
namespace platform {

std::string toNativePath(const std::string& path) {
    std::string native(path);
    std::replace(native.begin(), native.end(), '\\', '/');
    return native;
}

}  // namespace platform
}  // namespace Brolix
