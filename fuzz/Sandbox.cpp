#include "Sandbox.h"

#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "FileOps.h"
#include "platform/NativePath.h"

namespace Brolix {

namespace {

std::string g_root;

}  // namespace

namespace platform {

std::string toNativePath(const std::string& path) {
    if (g_root.empty()) std::abort();  // a path before the sandbox was entered
    if (path.find('\0') != std::string::npos) return std::string();  // as the library's own
    std::string native = g_root;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of("\\/", start);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(start, end - start);
        if (!part.empty() && part != ".") native += "/" + (part == ".." ? std::string("__") : part);
        start = end + 1;
    }
    return native;
}

}  // namespace platform

namespace fuzz {

void enterSandbox(const std::string& name) {
    // In memory where the system has such a folder: the targets make and remove
    // files on every run.
    const char* tmp = std::getenv("TMPDIR");
    std::error_code ec;
    const std::string base = tmp != nullptr && *tmp != '\0'                  ? tmp
                             : std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm"
                                                                             : "/tmp";
    g_root = base + "/brolix-fuzz-" + name + "-" + std::to_string(getpid());
    clearSandbox();
    // The file layer's pauses between retries (two seconds each) would make a
    // run that a retry cannot help take twenty seconds.
    setRetrySleeper([](uint32_t) {});
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(g_root, ec);
    });
}

void clearSandbox() {
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
    std::filesystem::create_directories(g_root, ec);
}

void writeSandboxFile(const std::string& name, const std::string& content) {
    std::ofstream(platform::toNativePath(name), std::ios::binary).write(content.data(), content.size());
}

void writeSandboxGzip(const std::string& name, const std::string& content) {
    gzFile file = gzopen(platform::toNativePath(name).c_str(), "wb");
    if (file == nullptr) std::abort();
    if (!content.empty()) gzwrite(file, content.data(), static_cast<unsigned>(content.size()));
    gzclose(file);
}

}  // namespace fuzz
}  // namespace Brolix
