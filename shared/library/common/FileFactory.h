/// The one place that decides which file class serves a path. Callers that do
/// not care whether a file is compressed ask for a file object here and use
/// only the FileBase interface.
#pragma once

#include <string>

#include "FileBase.h"
#include "SmartPointer.h"

namespace Brolix {

/// A new, not yet opened file object for `path`: a FileGZ when the text after
/// the last dot of the path is exactly "gz" (case matters), else a FilePlain.
/// The choice rests on the name alone; the content is never looked at.
SmartPointer<FileBase> makeFile(const std::string& path);

}  // namespace Brolix
