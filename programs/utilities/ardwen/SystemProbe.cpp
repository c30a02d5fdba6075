#include "SystemProbe.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace Brolix {

namespace {

#ifdef _WIN32
int fileNumber(std::FILE* stream) { return _fileno(stream); }
bool terminal(int descriptor) { return _isatty(descriptor) != 0; }
// Windows tells only about the read-only attribute of files this way; a
// folder always answers that it may be written.
bool mayWriteFolder(const std::string&) { return true; }
bool mayWriteFile(const std::string& path) { return _access(path.c_str(), 2) == 0; }
bool exists(const std::string& path) { return _access(path.c_str(), 0) == 0; }
#else
int fileNumber(std::FILE* stream) { return fileno(stream); }
bool terminal(int descriptor) { return isatty(descriptor) != 0; }
bool mayWriteFolder(const std::string& path) { return access(path.c_str(), W_OK | X_OK) == 0; }
bool mayWriteFile(const std::string& path) { return access(path.c_str(), W_OK) == 0; }
bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
#endif

bool isSeparator(char c) { return c == '/' || c == '\\'; }

std::string fileProblem(const std::string& path) {
    if (!exists(path) || mayWriteFile(path)) return std::string();
    const int error = errno;
    return std::string(error == EACCES ? "the file is read-only: " : "the file cannot be written: ") +
           std::strerror(error);
}

}  // namespace

bool SystemProbe::isTerminal(std::FILE* stream) { return stream != nullptr && terminal(fileNumber(stream)); }

std::string SystemProbe::writeProblem(const std::string& path) {
    size_t end = path.size();
    while (end > 0 && !isSeparator(path[end - 1])) --end;
    const std::string folder = end > 0 ? path.substr(0, end) : std::string(".");
    if (!mayWriteFolder(folder)) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) return std::string();
        return "the folder " + (end > 0 ? folder : std::string("./")) + " cannot be written: " +
               std::strerror(error);
    }
    return fileProblem(path);
}

std::string SystemProbe::appendProblem(const std::string& path) {
    return exists(path) ? fileProblem(path) : writeProblem(path);
}

}  // namespace Brolix
