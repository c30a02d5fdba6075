#include "BuildConf.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "LogEntry.h"
#include "LogMessenger.h"
#include "LoggerCentre.h"
#include "LoggerUnit.h"
#include "SystemInfo.h"
#include "TestDirectory.h"
#include "platform/Directory.h"
#include "testing/TestSystem.h"

using namespace Brolix;

namespace {

// One log entry in a form that is easy to compare: "D3 text" for a debug text,
// "M<severity>.<number> p1 ; p2 ;" for a numbered message.
std::string render(const LogEntry& entry) {
    if (entry.kind == LogEntry::KIND_DEBUG) return "D" + std::to_string(entry.debugLevel) + " " + entry.text;
    std::string line = "M" + std::to_string(entry.severity) + "." + std::to_string(entry.messageNumber);
    std::string params = entry.text;
    // Each parameter: type letter, value, separator.
    size_t start = 0;
    while (start < params.size()) {
        size_t end = params.find(ParamStream::SEPARATOR, start);
        if (end == std::string::npos) end = params.size();
        line += " " + params.substr(start, end - start) + " ;";
        start = end + 1;
    }
    return line;
}

// Records what the builder logs; in a child process that is about to end, it
// also writes every line to standard error, where the death test reads it.
class RecordingMessenger : public LogMessenger {
public:
    RecordingMessenger(std::vector<std::string>* lines, bool echo) : m_lines(lines), m_echo(echo) {}
    bool log(const std::string& wireText) override {
        LogEntry entry;
        if (!parseEntry(wireText, entry)) return false;
        const std::string line = render(entry);
        if (m_echo) std::fprintf(stderr, "%s\n", line.c_str());
        m_lines->push_back(line);
        return true;
    }

private:
    std::vector<std::string>* m_lines;
    bool m_echo;
};

// The test's directory. Where a death test's child runs the test again from its
// start in a fresh process (Windows), it finds the parent's directory through the
// variable that the parent sets, so that both see the same files.
class SharedDirectory {
public:
    SharedDirectory() {
        const char* parent = std::getenv(VARIABLE);
        if (parent != nullptr && *parent != '\0') {
            m_path = parent;
            return;
        }
        m_own.reset(new test::TestDirectory);
        m_path = m_own->path();
        m_shared.reset(new test::ScopedVariable(VARIABLE, m_path));
    }
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const {
        return m_path + static_cast<char>(std::filesystem::path::preferred_separator) + name;
    }

private:
    static constexpr const char* VARIABLE = "BROLIX_TEST_BUILD_DIRECTORY";
    std::unique_ptr<test::TestDirectory> m_own;
    std::unique_ptr<test::ScopedVariable> m_shared;
    std::string m_path;
};

// `text` as a regular expression that matches just it.
std::string literally(const std::string& text) {
    std::string pattern;
    for (char c : text) {
        if (std::string("\\.*+?^$()[]{}|").find(c) != std::string::npos) pattern += '\\';
        pattern += c;
    }
    return pattern;
}

class BuildConfTest : public ::testing::Test {
protected:
    void SetUp() override {
        setDebugLevel(0);
        setMessageThreshold(0);
    }
    void TearDown() override { setDebugLevel(5); }

    // Runs one build in this process (or, with echo, in a death test's child).
    void build(const std::string& argument, bool echo = false) {
        SmartPointer<LogMessenger> messenger(new RecordingMessenger(&lines, echo));
        SmartPointer<LoggerCentre> centre(new LoggerCentre(9, messenger));
        SmartPointer<LoggerUnit> unit(new LoggerUnit(centre, ARDWEN_MODULE));
        { BuildConf conf(unit, argument); }
        unit.release();
        centre.release();
    }
    void buildList(const std::string& content) { write("build.lst", content); }
    void buildHere() { build(path("build.lst")); }
    [[noreturn]] void buildAndEnd() {
        build(path("build.lst"), true);
        std::exit(0);
    }

    std::string path(const std::string& name) const { return dir.file(name); }
    void write(const std::string& name, const std::string& content) { test::writeAll(path(name), content); }
    std::string read(const std::string& name) const { return test::readAll(path(name)); }

    // Messages only (debug texts left out).
    std::vector<std::string> messages() const {
        std::vector<std::string> found;
        for (const std::string& line : lines) {
            if (line[0] == 'M') found.push_back(line);
        }
        return found;
    }
    std::vector<std::string> debugTexts(int level) const {
        std::vector<std::string> found;
        const std::string prefix = "D" + std::to_string(level) + " ";
        for (const std::string& line : lines) {
            if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line.substr(prefix.size()));
        }
        return found;
    }

    SharedDirectory dir;
    std::vector<std::string> lines;
};

const char* const kSimpleXml =
    "<Configuration><Object><Name>N</Name><Value type=\"t\">v</Value></Object></Configuration>";

// ---------------------------------------------------------------------------
// Build lists against plans

TEST_F(BuildConfTest, BuildListsGiveTheirPlans) {
    const struct {
        const char* list;
        const char* plan;
    } cases[] = {
        {"// configuration\n\n\"a.conf\" {\n  \"x.xml\"\n  'y.xml' // two files\n}\n\n\"b.conf\" { \"z.xml\" "
         "}\n",
         "a.conf\n\t- x.xml\n\t- y.xml\nb.conf\n\t- z.xml"},
        {"one {x}\r\ntwo\r\n{\r\n y z\r\n}\r\n// end\r\n", "one\n\t- x\ntwo\n\t- y\n\t- z"},
        {"\xEF\xBB\xBF\"a.conf\" { \"x.xml\" }", "a.conf\n\t- x.xml"},
        {"\"o\" { \"x.xml\" } \"o\" { \"y.xml\" }", "o\n\t- x.xml\no\n\t- y.xml"},
    };
    const char* const xmlFiles[] = {"x.xml", "y.xml", "z.xml", "x", "y", "z"};
    for (const char* name : xmlFiles) write(name, kSimpleXml);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        lines.clear();
        setDebugLevel(5);
        buildList(c.list);
        buildHere();
        const std::vector<std::string> listing = debugTexts(5);
        ASSERT_FALSE(listing.empty());
        EXPECT_EQ(std::string("Configuration files and the XML files they are to be built from: \n") + c.plan,
                  listing[0]);
        EXPECT_TRUE(messages().empty());
    }
}

TEST_F(BuildConfTest, BadBuildListsEndTheProcess) {
    const struct {
        const char* list;
        int exitCode;
        const char* message;  // the rendered FATAL message, the list's path as %s
    } cases[] = {
        {"server.conf { \"x.xml\" }", 4, "M4.6 s%s ; n123 ;"},
        {"\"a\" x.xml", 4, "M4.6 s%s ; n123 ;"},
        {"\"a\" { }", 4, "M4.7 s%s ;"},
        {"// only a comment\n\n", 5, "M4.2"},
        {"", 5, "M4.2"},
        // An entry without its end is an error, never dropped: at the end of the
        // list, or where the next entry begins.
        {"\"a\" { \"x.xml\"", 4, "M4.13 s%s ; n125 ;"},
        {"\"a\" { \"x.xml\"\n\"b\" { \"y.xml\" }", 4, "M4.13 s%s ; n125 ;"},
        {"\"a\" { {", 4, "M4.13 s%s ; n125 ;"},
        {"\"a\" { \"x.xml\" }\n\"b\"", 4, "M4.6 s%s ; n123 ;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        buildList(c.list);
        std::string expected = c.message;
        const size_t at = expected.find("%s");
        if (at != std::string::npos) expected.replace(at, 2, literally(path("build.lst")));
        EXPECT_EXIT(buildAndEnd(), ::testing::ExitedWithCode(c.exitCode), expected + "\n");
    }
}

TEST_F(BuildConfTest, UnreadableBuildListEndsWithItsFileError) {
    // No build list at all: the file layer cannot open it.
    const std::string list = path("build.lst");
    EXPECT_EXIT(buildAndEnd(), ::testing::ExitedWithCode(3),
                "M4.5 s" + literally(list) + " ; s60\\.\\w+ ;\n");
    setDebugLevel(1);
    // The debug line's trail names where the file error was met (a pattern of
    // one line: "." does not match a line end everywhere).
    EXPECT_EXIT(buildAndEnd(), ::testing::ExitedWithCode(3),
                "\n  >  FilePlain\\.\\(\\w+\\) - BuildConf\\.\\(116\\)\n");
}

// ---------------------------------------------------------------------------
// XML files against output bytes

TEST_F(BuildConfTest, ObjectsAreWrittenInTheirExactLayout) {
    write("a.xml",
          "<?xml version=\"1.0\"?>\n"
          "<!-- test -->\n"
          "<Configuration>\n"
          "  <Description>before</Description>\n"
          "  <Object>\n"
          "    <Name>Top\\Dir</Name>\n"
          "    <Value type=\"ty\\pe\">C:\\Brolix\\</Value>\n"
          "    <SubObjects>\n"
          "      <Object><Name>Quoted</Name><Value type=\"s\">say \"hi\"&#10;next</Value></Object>\n"
          "      <Note><Object><Name>hidden</Name></Object></Note>\n"
          "      <Object/>\n"
          "      <Object><Name>Typed</Name><Value type=\"int\"/></Object>\n"
          "      <Object><Name>First</Name><Name>Second</Name><Value>1</Value><Value>2</Value>\n"
          "        <SubObjects><Other/></SubObjects></Object>\n"
          "      <Object><Name><!-- c -->late</Name><Value>x<b/>y</Value>\n"
          "        <SubObjects><Object><Name>Deep</Name><SubObjects>\n"
          "          <Object><Name>Deeper</Name></Object></SubObjects></Object></SubObjects></Object>\n"
          "    </SubObjects>\n"
          "  </Object>\n"
          "  <Object><Name>Ignored second top object</Name></Object>\n"
          "</Configuration>\n");
    buildList("\"out.conf\" { \"a.xml\" }");
    buildHere();
    EXPECT_EQ(
        "Top\\\\Dir(ty\\pe)=\"C:\\\\Brolix\\\\\"\n"
        "{\n"
        "\tQuoted(s)=\"say \"hi\"\nnext\"{}\n"
        "\t()=\"\"{}\n"
        "\tTyped(int)=\"\"{}\n"
        "\tFirst()=\"1\"{}\n"
        "\t()=\"x\"\n"
        "\t{\n"
        "\t\tDeep()=\"\"\n"
        "\t\t{\n"
        "\t\t\tDeeper()=\"\"{}\n"
        "\t\t}\n"
        "\t}\n"
        "}\n",
        read("out.conf"));
    EXPECT_TRUE(messages().empty());
}

TEST_F(BuildConfTest, XmlFilesOfAnEntryFollowOneAnother) {
    write("a.xml", "<C><Object><Name>A</Name></Object></C>");
    write("b.xml", "<C><Other/></C>");
    write("c.xml", "<?xml version=\"1.0\"?><!-- no element at all -->");
    write("d.xml", "<C><Object><Name>D</Name><SubObjects><Object/></SubObjects></Object></C>");
    buildList("\"all.conf\" { \"a.xml\" \"b.xml\" \"c.xml\" \"d.xml\" }\n\"none.conf\" { \"b.xml\" }");
    buildHere();
    EXPECT_EQ("A()=\"\"{}\nD()=\"\"\n{\n\t()=\"\"{}\n}\n", read("all.conf"));
    EXPECT_TRUE(test::exists(path("none.conf")));
    EXPECT_EQ("", read("none.conf"));
    const std::vector<std::string> expected = {
        "M1.8 s" + path("b.xml") + " ;", "M1.8 s" + path("c.xml") + " ;", "M1.8 s" + path("b.xml") + " ;"};
    EXPECT_EQ(expected, messages());
}

TEST_F(BuildConfTest, GzipOutputAndRepeatedOutputs) {
    write("a.xml", "<C><Object><Name>A</Name></Object></C>");
    write("b.xml", "<C><Object><Name>B</Name></Object></C>");
    write("same.conf", "old content that is longer than the new one\n");
    buildList(
        "\"same.conf\" { \"a.xml\" } \"z.conf.gz\" { \"a.xml\" \"b.xml\" } \"same.conf\" { \"b.xml\" }");
    buildHere();
    EXPECT_EQ("B()=\"\"{}\n", read("same.conf"));

    gzFile gz = gzopen(path("z.conf.gz").c_str(), "rb");
    ASSERT_NE(nullptr, gz);
    char data[256];
    const int n = gzread(gz, data, sizeof data);
    gzclose(gz);
    EXPECT_EQ("A()=\"\"{}\nB()=\"\"{}\n", std::string(data, n > 0 ? static_cast<size_t>(n) : 0));
    EXPECT_NE(read("z.conf.gz").substr(0, 2), "A(");
}

TEST_F(BuildConfTest, AFailedOutputIsReportedAndTheBuildGoesOn) {
    write("a.xml", kSimpleXml);
    buildList(
        "\"first.conf\" { \"a.xml\" } \"missing/second.conf\" { \"a.xml\" } \"third.conf\" { \"a.xml\" }");
    setDebugLevel(3);
    buildHere();
    EXPECT_EQ("N(t)=\"v\"{}\n", read("first.conf"));
    EXPECT_EQ("N(t)=\"v\"{}\n", read("third.conf"));
    const std::vector<std::string> found = messages();
    ASSERT_EQ(1u, found.size());
    EXPECT_EQ(0u, found[0].find("M2.9 s" + path("missing/second.conf") + " ; s60."));
    const std::vector<std::string> created = debugTexts(3);
    EXPECT_EQ(1, std::count(created.begin(), created.end(), "Created output file \"first.conf\"."));
    EXPECT_EQ(0, std::count(created.begin(), created.end(), "Created output file \"missing/second.conf\"."));
    EXPECT_EQ(1, std::count(created.begin(), created.end(), "Created output file \"third.conf\"."));
}

TEST_F(BuildConfTest, AnEntryNeverWritesOverItsOwnXmlFile) {
    // The check compares the files themselves, so a folder name beyond ASCII
    // (in the system's encoding of names) must not hide that they are one.
    for (const std::string utf8 : {"plain", "euro\xE2\x82\xAC"}) {
        const std::string folder = test::systemName(utf8);
        if (folder.empty()) continue;
        ASSERT_TRUE(platform::makeDirectory(path(folder))) << utf8;
        const std::string separator(1, static_cast<char>(std::filesystem::path::preferred_separator));
        write(folder + separator + "a.xml", kSimpleXml);
        write(folder + separator + "build.lst", "\"b.conf\" { \"a.xml\" } \"a.xml\" { \"a.xml\" }");
        lines.clear();
        build(path(folder + separator + "build.lst"));
        EXPECT_EQ(kSimpleXml, read(folder + separator + "a.xml")) << utf8;
        EXPECT_EQ("N(t)=\"v\"{}\n", read(folder + separator + "b.conf")) << utf8;
        const std::vector<std::string> found = messages();
        ASSERT_EQ(1u, found.size()) << utf8;
        EXPECT_EQ(0u, found[0].find("M2.9 s" + path(folder + separator + "a.xml") + " ; s60.28")) << found[0];
    }
}

// ---------------------------------------------------------------------------
// XML files that cannot be built from

TEST_F(BuildConfTest, UnloadableXmlEndsTheBuild) {
    write("good.xml", kSimpleXml);
    write("empty.xml", "");
    write("broken.xml", "<C><Object></C>");
    write("open.xml", "<C><Object><!-- never closed");
    write("cut.xml", "<C><Object/></C><!-- never closed");
    std::filesystem::create_directory(path("directory.xml"));
    const struct {
        const char* name;
        const char* description;
    } cases[] = {
        {"missing.xml", "Failed to open file"},
        {"directory.xml", "Failed to open file"},
        {"empty.xml", "Error document empty\\."},
        {"broken.xml", "Error reading end tag\\."},
        {"open.xml", "Error reading Element value\\."},
        {"cut.xml",
         "A comment, CDATA section, declaration or other markup is not closed before the end of the "
         "file\\."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        buildList(std::string("\"before.conf\" { \"good.xml\" } \"failed.conf\" { \"good.xml\" \"") + c.name +
                  "\" }");
        EXPECT_EXIT(buildAndEnd(), ::testing::ExitedWithCode(6),
                    "M4.10 s" + literally(path(c.name)) + " ; s" + c.description + " ;\n");
        EXPECT_TRUE(test::exists(path("before.conf")));
        EXPECT_FALSE(test::exists(path("failed.conf")));
    }
}

std::string nestedObjects(size_t levels) {
    std::string xml = "<Configuration>";
    for (size_t i = 0; i < levels; ++i) xml += "<Object><Name>L</Name><SubObjects>";
    for (size_t i = 0; i < levels; ++i) xml += "</SubObjects></Object>";
    return xml + "</Configuration>";
}

TEST_F(BuildConfTest, DeepNestingIsBuiltOrRefused) {
    // As deep as the limit allows: every level one more tab.
    const size_t levels = (MAX_XML_NESTING - 2) / 2;
    write("deep.xml", nestedObjects(levels));
    buildList("\"deep.conf\" { \"deep.xml\" }");
    buildHere();
    std::string expected;
    for (size_t i = 0; i + 1 < levels; ++i)
        expected += std::string(i, '\t') + "L()=\"\"\n" + std::string(i, '\t') + "{\n";
    expected += std::string(levels - 1, '\t') + "L()=\"\"{}\n";
    for (size_t i = levels - 1; i-- > 0;) expected += std::string(i, '\t') + "}\n";
    EXPECT_EQ(expected, read("deep.conf"));

    // Far deeper: refused before the XML library parses it.
    write("deeper.xml", nestedObjects(100000));
    buildList("\"deeper.conf\" { \"deeper.xml\" }");
    EXPECT_EXIT(buildAndEnd(), ::testing::ExitedWithCode(6),
                "M4.10 s" + literally(path("deeper.xml")) + " ; sElements nested deeper than " +
                    std::to_string(MAX_XML_NESTING) + " levels\\. ;\n");
}

// A zero byte inside a quoted name would cut the name short at the system's
// calls: the builder would read and write files that the build list does not
// name. Such a name names no file at all.
TEST_F(BuildConfTest, NamesWithAZeroByteNameNoFile) {
    write("a.xml", kSimpleXml);
    const char outputName[] = "\"out\0x.conf\" { \"a.xml\" } \"ok.conf\" { \"a.xml\" }";
    buildList(std::string(outputName, sizeof outputName - 1));
    buildHere();
    EXPECT_FALSE(test::exists(path("out")));
    EXPECT_EQ("N(t)=\"v\"{}\n", read("ok.conf"));
    ASSERT_EQ(1u, messages().size());
    EXPECT_EQ(0u, messages()[0].rfind("M2.9 s" + path(std::string("out\0x.conf", 10)), 0));

    const char xmlName[] = "\"b.conf\" { \"a.xml\0y.xml\" }";
    buildList(std::string(xmlName, sizeof xmlName - 1));
    // The path is cut short where the message is echoed; the exit code tells.
    EXPECT_EXIT(buildAndEnd(), ::testing::ExitedWithCode(6), "M4\\.10 s.*a\\.xml");
    EXPECT_FALSE(test::exists(path("b.conf")));
}

// ---------------------------------------------------------------------------
// Where the build list comes from

class ResourceTest : public BuildConfTest {
protected:
    void SetUp() override {
        BuildConfTest::SetUp();
        ASSERT_TRUE(m_store.usable());
    }

    test::ScopedVariable m_noKeyPath{"BROLIX_ENV"};
    test::ResourceStore m_store;
};

TEST_F(ResourceTest, BuildListNamedByTheResources) {
    write("a.xml", kSimpleXml);
    buildList("\"out.conf\" { \"a.xml\" }");
    // Doubled and mixed separators in the directory are evened out.
    ASSERT_EQ(0, setResource("ConfigurationDir", dir.path() + "//"));
    ASSERT_EQ(0, setResource("ArdwenFile", "build.lst"));
    build("");
    EXPECT_EQ("N(t)=\"v\"{}\n", read("out.conf"));
    EXPECT_TRUE(messages().empty());
}

TEST_F(ResourceTest, MissingResourcesEndTheProcess) {
    EXPECT_EXIT(build("", true), ::testing::ExitedWithCode(2), "M4\\.4\n");
    ASSERT_EQ(0, setResource("ConfigurationDir", dir.path()));
    EXPECT_EXIT(build("", true), ::testing::ExitedWithCode(2), "M4\\.4\n");
}

TEST_F(BuildConfTest, GzipBuildListIsReadWhole) {
    write("a.xml", kSimpleXml);
    const std::string entry = "\"out.conf\" { \"a.xml\" }\n";
    // Content far larger than its bytes on disk (the entry at its very end), and
    // content smaller than them.
    std::string padded;
    for (int i = 0; i < 5000; ++i) padded += "// padding line\n";
    for (const std::string& list : {padded + entry, entry}) {
        SCOPED_TRACE(list.size());
        std::remove(path("out.conf").c_str());
        gzFile gz = gzopen(path("build.lst.gz").c_str(), "wb");
        ASSERT_NE(nullptr, gz);
        ASSERT_EQ(static_cast<int>(list.size()),
                  gzwrite(gz, list.data(), static_cast<unsigned>(list.size())));
        gzclose(gz);
        build(path("build.lst.gz"));
        EXPECT_EQ("N(t)=\"v\"{}\n", read("out.conf"));
        EXPECT_TRUE(messages().empty());
    }

    // Empty content is an empty plan, as in a plain build list.
    gzFile gz = gzopen(path("empty.lst.gz").c_str(), "wb");
    ASSERT_NE(nullptr, gz);
    gzclose(gz);
    EXPECT_EXIT(
        {
            build(path("empty.lst.gz"), true);
            std::exit(0);
        },
        ::testing::ExitedWithCode(5), "M4.2\n");
}

// ---------------------------------------------------------------------------
// What the build tells the debug log

TEST_F(BuildConfTest, DebugTextsFollowTheDebugLevel) {
    write("a.xml", "<C><Object><Name>A</Name><SubObjects><Object/></SubObjects></Object></C>");
    buildList("\"o.conf\" { \"a.xml\" }");
    const std::vector<std::string> all = {
        "D2 Building configuration files...",
        "D3 Reading configuration...",
        "D4 Reading file \"" + path("build.lst") + "\"...",
        "D3 Finished reading configuration.",
        "D5 Configuration files and the XML files they are to be built from: \no.conf\n\t- a.xml",
        "D1 Creating output files...",
        "D3 Creating output file \"" + path("o.conf") + "\"...",
        "D3 Creating DOM tree from \"" + path("a.xml") + "\"...",
        "D3 Finished parsing file.",
        "D5 Producing output data...",
        "D5 Producing output data...",
        "D5 Finished producing output data.",
        "D5 Finished producing output data.",
        "D4 Writing data to file...",
        "D3 Created output file \"o.conf\".",
        "D2 Finished building configuration files.",
    };
    for (int level = 0; level <= 5; ++level) {
        SCOPED_TRACE(level);
        lines.clear();
        setDebugLevel(level);
        buildHere();
        std::vector<std::string> expected;
        for (const std::string& line : all) {
            if (line[1] - '0' <= level) expected.push_back(line);
        }
        // The unit's own lines at creation and destruction are not the builder's.
        std::vector<std::string> found;
        for (const std::string& line : lines) {
            if (line.find("LoggerUnit:") == std::string::npos) found.push_back(line);
        }
        EXPECT_EQ(expected, found);
    }
}

}  // namespace
