// Library paths are already in the system's form on Windows, backslashes and
// drive letters included; the calls take them as they are (a slash is accepted
// by the system as a separator too).
#include "platform/NativePath.h"

namespace Brolix {
namespace platform {

std::string toNativePath(const std::string& path) { return path; }

}  // namespace platform
}  // namespace Brolix
