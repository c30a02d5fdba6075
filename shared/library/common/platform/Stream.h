/// Standard byte streams on library paths. The stream is the C runtime's FILE,
/// always opened without text translation and shared with other processes;
/// positions are 64-bit on every system.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace Brolix {
namespace platform {

/// Opens `path` (library form) with a C stream mode ("rb", "wb", "ab", "r+b",
/// "w+b", "a+b"); null when the system refuses.
std::FILE* openStream(const std::string& path, const char* mode);

/// Moves the stream to `offset` relative to `whence` (SEEK_SET, SEEK_CUR,
/// SEEK_END); false when the stream refuses the position.
bool seekStream(std::FILE* stream, int64_t offset, int whence);

/// The stream's position; -1 when the system cannot tell.
int64_t tellStream(std::FILE* stream);

}  // namespace platform
}  // namespace Brolix
