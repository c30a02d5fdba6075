// Gzip files on Linux: an update keeps the target's access rights.
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "FileGZ.h"
#include "TestDirectory.h"

using namespace Brolix;

namespace {

constexpr uint16_t W = FileBase::ACCESS_WRITE;
constexpr uint16_t APPEND = FileBase::ACCESS_APPEND;

void writeGzip(const std::string& path, const std::string& content) {
    gzFile file = gzopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(gzwrite(file, content.data(), static_cast<unsigned>(content.size())),
              static_cast<int>(content.size()));
    ASSERT_EQ(gzclose(file), Z_OK);
}

std::string zlibRead(const std::string& path) {
    gzFile file = gzopen(path.c_str(), "rb");
    if (file == nullptr) return "<cannot open>";
    std::string data;
    char buffer[4096];
    for (int n; (n = gzread(file, buffer, sizeof buffer)) > 0;) data.append(buffer, static_cast<size_t>(n));
    gzclose(file);
    return data;
}

class FileGZModeTest : public ::testing::Test {
protected:
    test::TestDirectory dir;
    std::string target = dir.file("data.gz");
};

TEST_F(FileGZModeTest, AnUpdateKeepsTheTargetsPermissions) {
    writeGzip(target, "earlier");
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    const mode_t mask = ::umask(022);
    for (uint16_t access : {uint16_t(W), uint16_t(W | APPEND)}) {
        FileGZ file(target);
        file.open(access);
        file.writeText("+more");
        file.close();
        struct stat info {};
        ASSERT_EQ(::stat(target.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u) << access;
    }
    ::umask(mask);
    EXPECT_EQ(zlibRead(target), "+more+more");
}

}  // namespace
