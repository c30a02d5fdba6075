// Linux has no names that stand for devices wherever they are: devices live
// under /dev, by path, and every other name is a file's.
#include "platform/FileSystem.h"

namespace Brolix {
namespace platform {

bool isDeviceName(const std::string&) { return false; }

}  // namespace platform
}  // namespace Brolix
