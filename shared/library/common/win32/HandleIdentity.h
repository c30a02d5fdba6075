/// The identity of an open file on Windows: its volume's serial number and its
/// index there, as GetFileInformationByHandle tells them.
#pragma once

#include <windows.h>

#include "platform/FileSystem.h"

namespace Brolix {
namespace platform {

inline bool identityOf(HANDLE file, FileIdentity& identity) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(file, &info)) return false;
    identity.volume = info.dwVolumeSerialNumber;
    identity.index = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    return true;
}

}  // namespace platform
}  // namespace Brolix
