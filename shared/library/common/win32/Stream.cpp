// Streams are the C runtime's FILE, opened with _fsopen and _SH_DENYNO so that
// other processes may read and write the file at the same time (fopen would do
// the same in the runtime's default, but the sharing is part of the promise).
// New files are made with _sopen_s and _O_EXCL, in binary mode and shared alike.
// Positions use the runtime's 64-bit seek and tell.
//
// A tell after a write writes out what the stream has buffered (one system call).
//
// The runtime opens its files without delete sharing: a file held open here
// cannot be deleted or renamed by anyone until it is closed.
#include "platform/Stream.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cstring>

#include "platform/NativePath.h"

namespace Brolix {
namespace platform {

std::FILE* openStream(const std::string& path, const char* mode) {
    return ::_fsopen(toNativePath(path).c_str(), mode, _SH_DENYNO);
}

int createNewFile(const std::string& path) {
    // _O_EXCL: any existing entry of the name, a link included, fails the call.
    int fd = -1;
    const int flags = _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT;
    if (::_sopen_s(&fd, toNativePath(path).c_str(), flags, _SH_DENYNO, _S_IREAD | _S_IWRITE) != 0) return -1;
    return fd;
}

void closeFile(int descriptor) { ::_close(descriptor); }

std::FILE* createStream(const std::string& path, const char* mode) {
    int flags = _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT;
    flags |= std::strchr(mode, '+') != nullptr ? _O_RDWR : (mode[0] == 'r' ? _O_RDONLY : _O_WRONLY);
    if (mode[0] == 'a') flags |= _O_APPEND;
    int fd = -1;
    if (::_sopen_s(&fd, toNativePath(path).c_str(), flags, _SH_DENYNO, _S_IREAD | _S_IWRITE) != 0)
        return nullptr;
    std::FILE* stream = ::_fdopen(fd, mode);
    if (stream == nullptr) ::_close(fd);
    return stream;
}

bool seekStream(std::FILE* stream, int64_t offset, int whence) {
    return ::_fseeki64(stream, static_cast<__int64>(offset), whence) == 0;
}

int64_t tellStream(std::FILE* stream) {
    // While written bytes wait in an appending stream's buffer, the runtime counts
    // its position from where the stream stood before, although the bytes go to the
    // end of the file; once they are written out, the position it tells is the true
    // one. Only a stream that holds written bytes is flushed: flushing a reading
    // stream would drop what it has read ahead. Which of the two it is shows
    // through documented calls alone: the stream's position lies beyond the
    // system's position of its descriptor exactly when written bytes wait in the
    // buffer (read-ahead puts the descriptor beyond the stream instead). Streams
    // are binary, so positions are byte counts on both sides.
    const int64_t position = static_cast<int64_t>(::_ftelli64(stream));
    if (position < 0) return -1;
    const int64_t system = static_cast<int64_t>(::_lseeki64(::_fileno(stream), 0, SEEK_CUR));
    if (system < 0 || position <= system) return position;
    if (std::fflush(stream) != 0) return -1;
    return static_cast<int64_t>(::_ftelli64(stream));
}

bool isTerminal(std::FILE* stream) { return stream != nullptr && ::_isatty(::_fileno(stream)) != 0; }

}  // namespace platform
}  // namespace Brolix
