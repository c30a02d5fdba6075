// CreateDirectoryA, which makes one level; an existing directory of that name
// counts as made.
#include "platform/Directory.h"

#include <windows.h>

namespace Brolix {
namespace platform {

bool makeDirectory(const std::string& path) {
    if (::CreateDirectoryA(path.c_str(), nullptr)) return true;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) return false;
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace platform
}  // namespace Brolix
