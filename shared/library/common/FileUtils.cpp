#include "FileUtils.h"

#include <vector>

#include "platform/CurrentDirectory.h"

namespace Brolix {

namespace {

bool isSeparator(char c) { return c == '\\' || c == '/'; }

const char SEPARATORS[] = "\\/";

// The buffer size of the first attempt; longer directories are read again into
// a buffer of the size the system asks for.
const size_t DIRECTORY_BUFFER_SIZE = 260;

}  // namespace

void ensureTrailingSeparator(std::string& path) {
    if (path.empty() || isSeparator(path.back())) return;
    path += PATH_SEPARATOR;
}

void normaliseSeparators(std::string& path) {
    bool afterSeparator = false;
    size_t i = 1;
    while (i < path.size()) {
        if (isSeparator(path[i])) {
            if (afterSeparator) {
                path.erase(i, 1);
                continue;
            }
            path[i] = PATH_SEPARATOR;
            afterSeparator = true;
        } else {
            afterSeparator = false;
        }
        ++i;
    }
}

std::string getExtension(const std::string& path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos) return std::string();
    return path.substr(dot + 1);
}

std::string stripExtension(std::string& path) {
    std::string extension = getExtension(path);
    if (!extension.empty()) path.erase(path.size() - extension.size() - 1);
    return extension;
}

std::string getDirectory(const std::string& path) {
    const size_t pos = path.find_last_of(SEPARATORS);
    if (pos == std::string::npos) return std::string();
    return path.substr(0, pos + 1);
}

std::string getFileName(const std::string& path) {
    const size_t pos = path.find_last_of(SEPARATORS);
    if (pos == std::string::npos) return path;
    return path.substr(pos + 1);
}

std::string getCurrentDirectory() {
    std::vector<char> buffer(DIRECTORY_BUFFER_SIZE);
    // The directory may change between the attempts; a few rounds settle it.
    for (int attempt = 0; attempt < 4; ++attempt) {
        const size_t length = platform::currentDirectory(buffer.data(), buffer.size());
        if (length == 0) return std::string();
        if (length < buffer.size()) {
            std::string directory(buffer.data(), length);
            if (directory.back() != PATH_SEPARATOR) directory += PATH_SEPARATOR;
            return directory;
        }
        buffer.resize(length);
    }
    return std::string();
}

}  // namespace Brolix
