#include "RunReport.h"

#include <gtest/gtest.h>

using namespace Brolix;

namespace {

TEST(RunReportTest, StringsAreValidJsonWhateverTheBytes) {
    const struct {
        std::string bytes;
        const char* json;
    } cases[] = {
        {"", "\"\""},
        {"plain /path/a.conf", "\"plain /path/a.conf\""},
        {"say \"hi\" \\ C:\\dir", "\"say \\\"hi\\\" \\\\ C:\\\\dir\""},
        {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
        {std::string("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\\u007f\""},
        // Well-formed UTF-8 of two, three and four bytes passes as it is.
        {"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82", "\"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82\""},
        // Every byte outside a well-formed sequence is U+FFFD: a lone
        // continuation byte, an overlong form, a surrogate, a code point beyond
        // U+10FFFF, a sequence cut short at the end, bytes never used.
        {"a\x80z", "\"a\\ufffdz\""},
        {"\xc0\xaf", "\"\\ufffd\\ufffd\""},
        {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
        {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},
        {"\xe2\x82", "\"\\ufffd\\ufffd\""},
        {"\xfe\xff", "\"\\ufffd\\ufffd\""},
        {"\xe2\x82\xac\xe2", "\"\xe2\x82\xac\\ufffd\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(RunReport::jsonString(c.bytes), c.json);
    }
}

TEST(RunReportTest, TheDocumentNamesEveryOutput) {
    RunReport report;
    report.mode = "only-changed";
    report.buildList = "/x/build.lst";
    OutputRecord written;
    written.path = "a.conf";
    written.state = OutputState::Written;
    written.produced = true;
    written.size = 12;
    OutputRecord failed = written;
    failed.path = "b.conf";
    failed.state = OutputState::Failed;
    failed.reason = "File: Unable to lock file. (Code: 60.17)";
    failed.code = "60.17";
    OutputRecord superseded;
    superseded.path = "c.conf";
    superseded.state = OutputState::Superseded;
    report.outputs = {written, failed, superseded};
    report.interruptedBy = "SIGTERM";
    report.exitStatus = 143;
    EXPECT_EQ(report.toJson(),
              "{\n"
              "  \"program\": \"ardwen\",\n"
              "  \"version\": \"" ARDWEN_VERSION "\",\n"
              "  \"mode\": \"only-changed\",\n"
              "  \"buildList\": \"/x/build.lst\",\n"
              "  \"outputs\": [\n"
              "    {\"path\": \"a.conf\", \"state\": \"written\", \"size\": 12},\n"
              "    {\"path\": \"b.conf\", \"state\": \"failed\", \"size\": 12, \"reason\": \"File: Unable to lock "
              "file. (Code: 60.17)\", \"code\": \"60.17\"},\n"
              "    {\"path\": \"c.conf\", \"state\": \"superseded\", \"size\": null}\n"
              "  ],\n"
              "  \"error\": null,\n"
              "  \"interrupted\": \"SIGTERM\",\n"
              "  \"exitStatus\": 143\n"
              "}\n");

    // Windows' status for Ctrl+C, as the caller of the program sees it.
    report.exitStatus = static_cast<int>(0xC000013Au);
    EXPECT_NE(report.toJson().find("  \"exitStatus\": 3221225786\n}\n"), std::string::npos) << report.toJson();
}

}  // namespace
