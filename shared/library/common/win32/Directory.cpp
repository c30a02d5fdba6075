// CreateDirectoryA, which makes one level; an existing directory of that name
// counts as made.
#include "platform/Directory.h"

#include <windows.h>

#include "platform/NativePath.h"

namespace Brolix {
namespace platform {

bool makeDirectory(const std::string& path) {
    const std::string native = toNativePath(path);
    if (::CreateDirectoryA(native.c_str(), nullptr)) return true;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) return false;
    const DWORD attributes = ::GetFileAttributesA(native.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace platform
}  // namespace Brolix
