/// Small helpers of the Linux backend for files reached by descriptor: a path
/// split into its folder and its name (for openat and its kin), and a write
/// that goes on until all is written.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>

namespace Brolix {
namespace platform {

/// A host path as the folder it lies in and its name there.
struct Place {
    std::string folder;
    std::string name;
};

inline Place placeOf(const std::string& native) {
    const size_t slash = native.find_last_of('/');
    if (slash == std::string::npos) return {".", native};
    return {slash == 0 ? "/" : native.substr(0, slash), native.substr(slash + 1)};
}

/// Writes all of `content`; false with errno when the system refuses.
inline bool writeAll(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace platform
}  // namespace Brolix
