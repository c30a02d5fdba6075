#include "platform/Directory.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/NativePath.h"

namespace Brolix {
namespace platform {

bool makeDirectory(const std::string& path) {
    const std::string native = toNativePath(path);
    if (::mkdir(native.c_str(), 0777) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat info;
    return ::stat(native.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace platform
}  // namespace Brolix
