#include "Exception.h"

#include <gtest/gtest.h>

#include "FileException.h"
#include "IPCException.h"
#include "TimeException.h"

using namespace Brolix;

namespace {

struct DescribeCase {
    const char* category;
    uint32_t code;
    const char* expected;
};

std::string describeOf(const char* category, uint32_t code) {
    std::string c(category);
    if (c == "File") return FileException(code).describe();
    if (c == "Time") return TimeException(code).describe();
    if (c == "IPC") return IPCException(code).describe();
    return Exception(code).describe();
}

TEST(ExceptionTest, DescribesEveryCodeOfEveryTable) {
    const DescribeCase cases[] = {
        {"File", 0, "File: No exception! (Code: 60.0)"},
        {"File", 1, "File: Insufficient memory available. (Code: 60.1)"},
        {"File", 2, "File: File does not exist. (Code: 60.2)"},
        {"File", 3, "File: File already exists. (Code: 60.3)"},
        {"File", 4, "File: File is open. (Code: 60.4)"},
        {"File", 5, "File: File cannot be opened. (Code: 60.5)"},
        {"File", 6, "File: File is closed. (Code: 60.6)"},
        {"File", 7, "File: Unable to close file. (Code: 60.7)"},
        {"File", 8, "File: Illegal combination of access flaggs. (Code: 60.8)"},
        {"File", 9, "File: File is not opened for reading. (Code: 60.9)"},
        {"File", 10, "File: Unable to read. (Code: 60.10)"},
        {"File", 11, "File: File is not opened for writing. (Code: 60.11)"},
        {"File", 12, "File: Unable to write. (Code: 60.12)"},
        {"File", 13, "File: Unable to flush buffer. (Code: 60.13)"},
        {"File", 14, "File: End of file. (Code: 60.14)"},
        {"File", 15, "File: Illegal position. (Code: 60.15)"},
        {"File", 16, "File: Unable to unlock file. (Code: 60.16)"},
        {"File", 17, "File: Unable to lock file. (Code: 60.17)"},
        {"File", 18, "File: Someone else has locked the file. (Code: 60.18)"},
        {"File", 19, "File: Unable to copy file. (Code: 60.19)"},
        {"File", 20, "File: Failed to rename. (Code: 60.20)"},
        {"File", 21, "File: Failed to remove. (Code: 60.21)"},
        {"File", 22, "File: Failed to create directory. (Code: 60.22)"},
        {"File", 23, "File: Failed to get current directory. (Code: 60.23)"},
        {"File", 24, "File: Not a directory. (Code: 60.24)"},
        {"File", 25, "File: Unable to obtain free disk space. (Code: 60.25)"},
        {"File", 26, "File: Unable to access file. (Code: 60.26)"},
        {"File", 27, "File: Unknown error (Code: 60.27)"},
        {"File", 28, "File: An error occured. (No changes made.) (Code: 60.28)"},
        {"File", 29, "File: Unknown error (Code: 60.29)"},
        {"Time", 0, "Time: No exception! (Code: 4.0)"},
        {"Time", 1, "Time: Days out of range: (0 - 24,855). (Code: 4.1)"},
        {"Time", 2, "Time: Hours out of range: (0-23). (Code: 4.2)"},
        {"Time", 3, "Time: Minutes out of range: (0-59). (Code: 4.3)"},
        {"Time", 4, "Time: Seconds out of range: (0-59). (Code: 4.4)"},
        {"Time", 5, "Time: Year out of range: (1970 - 2037). (Code: 4.5)"},
        {"Time", 6, "Time: Month out of range: (1 - 12). (Code: 4.6)"},
        {"Time", 7, "Time: Day out of range: (1 - days of the month in question). (Code: 4.7)"},
        {"Time", 8, "Time: Illegal date and/or time. (Code: 4.8)"},
        {"Time", 9, "Time: Illegal date/time. Cannot have date before 01.01.1970 0:00:00! (Code: 4.9)"},
        {"Time", 10, "Time: Illegal input format. (Code: 4.10)"},
        {"Time", 11, "Time: Unknown error (Code: 4.11)"},
        {"IPC", 0, "IPC: No exception! (Code: 4.0)"},
        {"IPC", 1, "IPC: Cannot find message file for IPC. (Code: 4.1)"},
        {"IPC", 2, "IPC: Unable to create communication channel. (Code: 4.2)"},
        {"IPC", 3, "IPC: Receiver cannot send. (Code: 4.3)"},
        {"IPC", 4, "IPC: Sender cannot receive. (Code: 4.4)"},
        {"IPC", 5, "IPC: Unable to send message. (Code: 4.5)"},
        {"IPC", 6, "IPC: Unable to receive messages. (Code: 4.6)"},
        {"IPC", 7, "IPC: Out of memory. (Code: 4.7)"},
        {"IPC", 8, "IPC: Unknown error (Code: 4.8)"},
        {"Exception", 0, "Exception: Unknown error (Code: 63.0)"},
        {"Exception", 4000000000u, "Exception: Unknown error (Code: 63.4000000000)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describeOf(c.category, c.code), c.expected) << c.category << " " << c.code;
    }
}

TEST(ExceptionTest, FamiliesAndCodeText) {
    EXPECT_EQ(Exception(1).family(), 63);
    EXPECT_EQ(FileException(1).family(), 60);
    EXPECT_EQ(TimeException(1).family(), 4);
    EXPECT_EQ(IPCException(2).family(), TimeException(2).family());
    EXPECT_EQ(FileException(FileException::FL_EXISTS_NOT).codeText(), "60.2");
    EXPECT_EQ(IPCException(IPCException::IC_CANNOT_CREATE_COMM).codeText(), "4.2");
}

TEST(ExceptionTest, FullTextOfCodeAloneEqualsDescription) {
    TimeException e(TimeException::TM_INPUT);
    EXPECT_EQ(e.fullText(), e.describe());
}

TEST(ExceptionTest, LocationNamesAreBaseNamesWithoutExtensionLetters) {
    const struct {
        const char* path;
        const char* name;
    } cases[] = {
        {"shared\\library\\common\\FilePlain.cpp", "FilePlain."},
        {"/src/shared/library/common/DateTime.cpp", "DateTime."},
        {"dir/sub\\Mixed.h", "Mixed."},
        {"word", "word"},
        {"ends.", "ends."},
        {"a.b.c", "a.b."},
        {".hidden", "."},
    };
    for (const auto& c : cases) {
        Exception e(0);
        e.addLocation(c.path, 7);
        ASSERT_EQ(e.trail().size(), 1u) << c.path;
        EXPECT_EQ(e.trail()[0].name, c.name) << c.path;
        EXPECT_EQ(e.trail()[0].line, 7);
    }
    Exception e(0);
    e.addLocation("", 3);
    EXPECT_TRUE(e.trail().empty());
}

TEST(ExceptionTest, FullTextWithMessageAndTrail) {
    FileException e(FileException::FL_CANNOT_OPEN, "conf\\out.cfg", "src/FilePlain.cpp", 120);
    e.addLocation("src/BuildConf.cpp", 240);
    e.addLocation("main.cpp", 9);
    EXPECT_EQ(e.fullText(),
              "File: File cannot be opened. (Code: 60.5)\r\n"
              "  >  (conf\\out.cfg)\r\n"
              "  >  FilePlain.(120) - BuildConf.(240) - main.(9)");
}

TEST(ExceptionTest, TrailWithoutMessage) {
    IPCException e(IPCException::IC_CANNOT_SEND, "", "MailSlot.cpp", 5);
    EXPECT_EQ(e.fullText(), "IPC: Unable to send message. (Code: 4.5)\r\n  >  MailSlot.(5)");
}

void throwFromHere() { BROLIX_THROW(TimeException, TimeException::TM_INPUT, "bad"); }

TEST(ExceptionTest, RethrownCopyKeepsClassAndTrail) {
    try {
        try {
            throwFromHere();
        } catch (const TimeException& caught) {
            TimeException e(caught);
            e.addLocation("Outer.cpp", 42);
            throw e;
        }
    } catch (const Exception& e) {
        EXPECT_EQ(e.describe(), "Time: Illegal input format. (Code: 4.10)");
        ASSERT_EQ(e.trail().size(), 2u);
        EXPECT_EQ(e.trail()[0].name, "Exception_test.");
        EXPECT_EQ(e.trail()[1].name, "Outer.");
        EXPECT_EQ(e.trail()[1].line, 42);
        EXPECT_EQ(e.message(), "bad");
        return;
    }
    FAIL() << "nothing caught";
}

}  // namespace
