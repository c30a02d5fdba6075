/// Paths inside the library use the backslash as separator. The operating-system
/// layer turns them into the host's form at the system-call boundary, through this
/// one function; every file-system call of the layer goes through it.
#pragma once

#include <string>

namespace Brolix {
namespace platform {

/// The host form of a library path. On Linux every backslash becomes a slash, so a
/// literal backslash cannot be part of a Linux file name. A path that holds a zero
/// byte names no file: its host form is empty, and every call on it fails.
std::string toNativePath(const std::string& path);

}  // namespace platform
}  // namespace Brolix
