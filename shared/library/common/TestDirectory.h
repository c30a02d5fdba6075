/// Test support for the file tests: a fresh directory under the system's
/// temporary directory that is removed with everything in it when the object
/// goes, and whole-file helpers that bypass the classes under test. Paths are in
/// the system's own form (its separator), the same on every system.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <system_error>

namespace Brolix {
namespace test {

class TestDirectory {
public:
    TestDirectory() {
        namespace fs = std::filesystem;
        std::error_code error;
        const fs::path base = fs::temp_directory_path(error);
        if (error) return;
        std::random_device random;
        for (int attempt = 0; attempt < 100; ++attempt) {
            const fs::path candidate = base / ("brolix-" + std::to_string(random()));
            if (fs::create_directory(candidate, error)) {
                m_path = candidate.string();
                return;
            }
        }
    }
    TestDirectory(const TestDirectory&) = delete;
    TestDirectory& operator=(const TestDirectory&) = delete;
    ~TestDirectory() {
        namespace fs = std::filesystem;
        if (m_path.empty()) return;
        // A read-only file stops the removal on some systems: make every file
        // writable first (links are left alone, their targets are not ours).
        std::error_code ignored;
        for (fs::recursive_directory_iterator it(m_path, ignored), end; !ignored && it != end;
             it.increment(ignored)) {
            if (!it->is_symlink(ignored))
                fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
        }
        fs::remove_all(m_path, ignored);
    }

    const std::string& path() const { return m_path; }
    /// A path inside the directory.
    std::string file(const std::string& name) const {
        return m_path + static_cast<char>(std::filesystem::path::preferred_separator) + name;
    }

private:
    std::string m_path;
};

inline bool exists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

inline std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

/// True when the whole content reached the file.
inline bool writeAll(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    return !out.fail();
}

}  // namespace test
}  // namespace Brolix
