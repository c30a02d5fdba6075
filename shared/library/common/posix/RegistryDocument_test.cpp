#include "posix/RegistryDocument.h"

#include <gtest/gtest.h>

using namespace Brolix::platform;

namespace {

std::string bytes(const RegistryDocument::Value* value) {
    return value == nullptr ? "missing" : std::string(value->data.begin(), value->data.end());
}

// What the format's own tools write and accept: comments above the header,
// blanks around "=", hex lists continued with indented lines, comments between
// and after the values. All of it reads, and a rewrite keeps every comment where
// it stood.
TEST(RegistryDocumentTest, ReadsWhatTheFormatsToolsWriteAndKeepsItsComments) {
    const std::string text =
        "; resources of this machine\r\n"
        ";   edited by hand\r\n"
        "REGEDIT4\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brolix\\Resources]\r\n"
        "\"Spaced\" = \"x\"\r\n"
        "; a list of two texts\r\n"
        "\"A\" = hex(7):61,00,62,00,\\\r\n"
        "    00,00\r\n"
        "\"B\"=hex: 01 , 02,\\\r\n"
        "\t03\r\n"
        "\r\n"
        "; the end of the store\r\n";
    RegistryDocument document;
    RegistryDocument::ParseError error;
    ASSERT_TRUE(document.parse(text, &error)) << error.line << ": " << error.what;
    const RegistryDocument::Section* section =
        document.findSection(RegistryRoot::LocalMachine, "software\\brolix\\RESOURCES");
    ASSERT_NE(section, nullptr);
    EXPECT_EQ(bytes(section->findValue("spaced")), "x");
    EXPECT_EQ(bytes(section->findValue("A")), std::string("a\0b\0\0\0", 6));
    EXPECT_EQ(section->findValue("A")->type, REGISTRY_MULTI_SZ);
    EXPECT_EQ(bytes(section->findValue("b")), "\x01\x02\x03");

    EXPECT_EQ(document.format(),
              "; resources of this machine\n"
              ";   edited by hand\n"
              "REGEDIT4\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brolix\\Resources]\n"
              "\"Spaced\"=\"x\"\n"
              "; a list of two texts\n"
              "\"A\"=hex(7):61,00,62,00,00,00\n"
              "\"B\"=hex:01,02,03\n"
              "\n"
              "; the end of the store\n");
}

TEST(RegistryDocumentTest, FilesOfBlanksAndCommentsAreEmptyRegistries) {
    for (const char* text : {"", "\n\n", "\xEF\xBB\xBFREGEDIT4\n", "; nothing yet\n"}) {
        RegistryDocument document;
        EXPECT_TRUE(document.parse(text)) << text;
        EXPECT_TRUE(document.sections().empty()) << text;
    }
    RegistryDocument document;
    ASSERT_TRUE(document.parse("; nothing yet\n"));
    document.section(RegistryRoot::LocalMachine, "K").setValue("V", REGISTRY_SZ, {'1'});
    EXPECT_EQ(document.format(), "; nothing yet\nREGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=\"1\"\n\n");
}

TEST(RegistryDocumentTest, ReportsTheLineItCannotRead) {
    const struct {
        const char* text;
        size_t line;
        const char* what;
    } cases[] = {
        {"garbage\n", 1, "the store must begin with the line \"REGEDIT4\""},
        {"; fine\n\nWindows Registry Editor Version 5.00\n", 3,
         "the store must begin with the line \"REGEDIT4\""},
        {"REGEDIT4\n\"A\"=\"x\"\n", 2, "a value before the first key line"},
        {"REGEDIT4\n\n[HKEY_NOWHERE\\A]\n", 3, "unknown root key \"HKEY_NOWHERE\""},
        {"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\A]\n", 2, "entries that delete a key are not supported"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n", 2, "a key line must read [ROOT\\key\\...]"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\nA=\"x\"\n", 3,
         "a value name must be written in double quotes (or @ for the unnamed value)"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"A\" \"x\"\n", 3, "\"=\" expected after the value name"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"A\"=\"bad \\n escape\"\n", 3,
         "the data of the value \"A\" cannot be read"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"A\"=dword:123456789\n", 3,
         "the data of the value \"A\" cannot be read"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"A\"=hex:01,\\\n 02,\\\n 0x\n\"B\"=\"y\"\n", 3,
         "the data of the value \"A\" cannot be read"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"A\"=hex:01,\\\n", 3,
         "the hex list goes on past the end of the store"},
    };
    for (const auto& c : cases) {
        RegistryDocument document;
        RegistryDocument::ParseError error;
        EXPECT_FALSE(document.parse(c.text, &error)) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_EQ(error.what, c.what) << c.text;
        EXPECT_TRUE(document.sections().empty());
    }
}

TEST(RegistryDocumentTest, ValuesByNameWhateverTheLetterCase) {
    RegistryDocument document;
    RegistryDocument::Section& section = document.section(RegistryRoot::LocalMachine, "Key");
    section.setValue("First", REGISTRY_SZ, {'1'});
    section.setValue("Second", REGISTRY_SZ, {'2'});
    section.setValue("Third", REGISTRY_SZ, {'3'});
    section.setValue("FIRST", REGISTRY_DWORD, {1, 0, 0, 0});  // replaces, keeps its place and name
    EXPECT_TRUE(section.deleteValue("second"));
    EXPECT_FALSE(section.deleteValue("second"));
    ASSERT_EQ(section.values().size(), 2u);
    EXPECT_EQ(section.values()[0].name, "First");
    EXPECT_EQ(section.values()[0].type, REGISTRY_DWORD);
    EXPECT_EQ(bytes(section.findValue("third")), "3");
    EXPECT_TRUE(document.keyExists(RegistryRoot::LocalMachine, ""));
    EXPECT_FALSE(document.keyExists(RegistryRoot::LocalMachine, "Ke"));
    EXPECT_FALSE(document.keyExists(RegistryRoot::Users, "Key"));
    document.section(RegistryRoot::LocalMachine, "A\\B\\C");
    EXPECT_TRUE(document.keyExists(RegistryRoot::LocalMachine, "a\\b"));
}

}  // namespace
