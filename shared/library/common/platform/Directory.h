/// Making directories, as the operating system provides it.
#pragma once

#include <string>

namespace Brolix {
namespace platform {

/// Creates one directory (its parent must exist). True when the directory was made
/// or already exists.
bool makeDirectory(const std::string& path);

}  // namespace platform
}  // namespace Brolix
