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

/// Creates the file `path`, which must not exist yet, and returns a C runtime
/// descriptor open for reading and writing; -1 when the system refuses. A name
/// that exists in any form fails the call, a symbolic link included, so a link
/// planted under the name is never followed.
int createNewFile(const std::string& path);

/// Closes a descriptor that createNewFile gave.
void closeFile(int descriptor);

/// Creates the file `path` as createNewFile does and opens a stream on it with a
/// C stream mode; the file starts empty whatever the mode. Null when the system
/// refuses.
std::FILE* createStream(const std::string& path, const char* mode);

/// Moves the stream to `offset` relative to `whence` (SEEK_SET, SEEK_CUR,
/// SEEK_END); false when the stream refuses the position.
bool seekStream(std::FILE* stream, int64_t offset, int whence);

/// The stream's position; -1 when the system cannot tell.
int64_t tellStream(std::FILE* stream);

/// True when `stream` is a terminal (a console window on Windows).
bool isTerminal(std::FILE* stream);

}  // namespace platform
}  // namespace Brolix
