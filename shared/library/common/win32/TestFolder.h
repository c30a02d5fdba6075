/// Test support for the Windows backend's tests: a fresh folder under the
/// system's temporary folder, removed with everything in it when the object goes,
/// and whole-file helpers on the system's calls (independent of the code under
/// test).
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace Brolix {
namespace test {

class TestFolder {
public:
    TestFolder() {
        char base[MAX_PATH + 1];
        const DWORD length = ::GetTempPathA(sizeof base, base);
        if (length == 0 || length > MAX_PATH) return;
        for (unsigned attempt = 0; attempt < 1000; ++attempt) {
            const std::string candidate = std::string(base) + "brolix-" +
                                          std::to_string(::GetCurrentProcessId()) + "-" +
                                          std::to_string(::GetTickCount64()) + "-" + std::to_string(attempt);
            if (::CreateDirectoryA(candidate.c_str(), nullptr)) {
                m_path = candidate;
                return;
            }
        }
    }
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;
    ~TestFolder() {
        if (m_path.empty()) return;
        // Read-only files would stop the removal.
        std::error_code ignored;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(m_path, ignored)) {
            ::SetFileAttributesA(entry.path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        std::filesystem::remove_all(m_path, ignored);
    }

    const std::string& path() const { return m_path; }
    /// A path inside the folder.
    std::string file(const std::string& name) const { return m_path + "\\" + name; }

private:
    std::string m_path;
};

inline bool writeWhole(const std::string& path, const std::string& content) {
    const HANDLE file =
        ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok =
        ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
        written == content.size();
    return ::CloseHandle(file) && ok;
}

inline std::string readWhole(const std::string& path) {
    const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string content;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) content.append(buffer, got);
    ::CloseHandle(file);
    return content;
}

inline bool exists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace test
}  // namespace Brolix
