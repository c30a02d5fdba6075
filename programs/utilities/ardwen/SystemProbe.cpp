#include "SystemProbe.h"

#include <cerrno>
#include <cstring>

#include "platform/FileSystem.h"
#include "platform/Stream.h"

namespace Brolix {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

std::string fileProblem(const std::string& path) {
    if (!platform::existsNative(path)) return std::string();
    const int error = platform::writeAccess(path, false);
    if (error == 0) return std::string();
    return std::string(error == EACCES ? "the file is read-only: " : "the file cannot be written: ") +
           std::strerror(error);
}

}  // namespace

bool SystemProbe::isTerminal(std::FILE* stream) { return platform::isTerminal(stream); }

std::string SystemProbe::writeProblem(const std::string& path) {
    size_t end = path.size();
    while (end > 0 && !isSeparator(path[end - 1])) --end;
    const std::string folder = end > 0 ? path.substr(0, end) : std::string(".");
    if (const int error = platform::writeAccess(folder, true)) {
        if (error == ENOENT || error == ENOTDIR) return std::string();
        return "the folder " + (end > 0 ? folder : std::string("./")) + " cannot be written: " +
               std::strerror(error);
    }
    return fileProblem(path);
}

std::string SystemProbe::appendProblem(const std::string& path) {
    return platform::existsNative(path) ? fileProblem(path) : writeProblem(path);
}

}  // namespace Brolix
