#include "FileFactory.h"

#include <gtest/gtest.h>

#include "TestDirectory.h"

using namespace Brolix;

namespace {

TEST(FileFactoryTest, ChoosesByTheTextAfterTheLastDot) {
    const struct {
        const char* path;
        int32_t kind;
    } cases[] = {
        {"archive.tar.gz", FileBase::KIND_GZ},
        {"C:\\conf\\out.gz", FileBase::KIND_GZ},
        {"OUT.GZ", FileBase::KIND_PLAIN},
        {"file.Gz", FileBase::KIND_PLAIN},
        {"backup.tgz", FileBase::KIND_PLAIN},
        {"noextension", FileBase::KIND_PLAIN},
        {"dir.gz\\file", FileBase::KIND_PLAIN},
        {"dir.d/file", FileBase::KIND_PLAIN},
        {"", FileBase::KIND_PLAIN},
    };
    for (const auto& c : cases) {
        SmartPointer<FileBase> file = makeFile(c.path);
        ASSERT_FALSE(file.isNull()) << c.path;
        EXPECT_EQ(file->getKind(), c.kind) << c.path;
        EXPECT_TRUE(file->isClosed()) << c.path;
        EXPECT_EQ(file->getName(), c.path);
    }
}

TEST(FileFactoryTest, ObjectsWorkThroughTheInterface) {
    test::TestDirectory dir;
    for (const char* name : {"out.conf", "out.gz"}) {
        const std::string path = dir.file(name);
        {
            SmartPointer<FileBase> file = makeFile(path);
            file->open(110);
            EXPECT_TRUE(file->writeText("a(s)=\"1\"\n"));
            file->close();
        }
        SmartPointer<FileBase> file = makeFile(path);
        file->open(FileBase::ACCESS_READ);
        EXPECT_EQ(file->readLine(), "a(s)=\"1\"") << name;
        EXPECT_TRUE(file->isEOF()) << name;
    }
}

}  // namespace
