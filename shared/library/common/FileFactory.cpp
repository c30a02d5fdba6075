#include "FileFactory.h"

#include "FileGZ.h"
#include "FilePlain.h"
#include "FileUtils.h"

namespace Brolix {

SmartPointer<FileBase> makeFile(const std::string& path) {
    if (getExtension(path) == "gz") return SmartPointer<FileBase>(new FileGZ(path));
    return SmartPointer<FileBase>(new FilePlain(path));
}

}  // namespace Brolix
