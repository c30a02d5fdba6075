#include "platform/Stream.h"

#include <sys/types.h>

#include "platform/NativePath.h"

namespace Brolix {
namespace platform {

std::FILE* openStream(const std::string& path, const char* mode) {
    return std::fopen(toNativePath(path).c_str(), mode);
}

bool seekStream(std::FILE* stream, int64_t offset, int whence) {
    return ::fseeko(stream, static_cast<off_t>(offset), whence) == 0;
}

int64_t tellStream(std::FILE* stream) { return static_cast<int64_t>(::ftello(stream)); }

}  // namespace platform
}  // namespace Brolix
