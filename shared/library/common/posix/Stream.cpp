#include "platform/Stream.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstring>

#include "platform/NativePath.h"

namespace Brolix {
namespace platform {

std::FILE* openStream(const std::string& path, const char* mode) {
    return std::fopen(toNativePath(path).c_str(), mode);
}

int createNewFile(const std::string& path) {
    return ::open(toNativePath(path).c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

void closeFile(int descriptor) { ::close(descriptor); }

std::FILE* createStream(const std::string& path, const char* mode) {
    // The descriptor's own flags follow the mode: appending streams write at
    // the end whatever the position.
    int flags = O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    flags |= std::strchr(mode, '+') != nullptr ? O_RDWR : (mode[0] == 'r' ? O_RDONLY : O_WRONLY);
    if (mode[0] == 'a') flags |= O_APPEND;
    const int fd = ::open(toNativePath(path).c_str(), flags, 0666);
    if (fd < 0) return nullptr;
    std::FILE* stream = ::fdopen(fd, mode);
    if (stream == nullptr) ::close(fd);
    return stream;
}

bool seekStream(std::FILE* stream, int64_t offset, int whence) {
    return ::fseeko(stream, static_cast<off_t>(offset), whence) == 0;
}

int64_t tellStream(std::FILE* stream) { return static_cast<int64_t>(::ftello(stream)); }

bool isTerminal(std::FILE* stream) { return stream != nullptr && ::isatty(::fileno(stream)) != 0; }

}  // namespace platform
}  // namespace Brolix
