// End-to-end tests of the build itself and of what a person sees: the real
// ardwen binary in a temporary installation (fixture in ArdwenEndToEnd.h); exit
// codes, standard output and error, the files and the debug log.
#include <algorithm>
#include <string>
#include <vector>

#include "ArdwenEndToEnd.h"

namespace e2e {
namespace {

TEST_F(ArdwenEndToEnd, BuildsFromResourcesAndWritesExactFiles) {
    writeSmallInstallation();
    setResources({"\"ConfigurationDir\"=\"" + root + "conf\"", "\"ArdwenFile\"=\"build.lst\"",
                  "\"InstallDir\"=\"" + root + "inst\""});
    RunResult r = run({});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");  // a clean run says nothing
    EXPECT_EQ(readFile(root + "conf/a.conf"), aExpected);
    EXPECT_EQ(gunzipFile(root + "conf/c.conf.gz"), cExpected);
    // Level 0 from the missing "ArdwenDebugLevel": nothing is logged at all.
    EXPECT_FALSE(fs::exists(root + "inst/Log/ArdwenDebugLog.log"));
}

TEST_F(ArdwenEndToEnd, ExitCodesOfFatalFailures) {
    // Files that crashed the builder (60,000 levels behind a lexing trick) and
    // files after which the XML library read past the end of its buffer.
    std::string deep;
    for (int i = 0; i < 60000; ++i) deep += "<b>";
    for (int i = 0; i < 60000; ++i) deep += "</b>";
    const std::string bomInTag = "<?xml version=\"1.0\"?><r><\xEF\xBB\xBF" + std::string("a></a>") + deep;
    const std::string reference = "<r>&#x<x;" + deep;
    const std::string referenceAtEnd = "<?xml><l n='&#'#;\xF4";
    const std::string bomAtEnd = "<?xml><\xEF\xBB\xBF\n\xDF>\xDF";
    const struct {
        const char* name;
        const char* buildList;  // null: no build list file
        const char* xml;        // content of conf/xml/a.xml, null: none
        int exitCode;
        const char* identity;
        const char* text;
        const char* err;  // the whole of standard error
    } cases[] = {
        {"missing build list", nullptr, nullptr, 3, "(9.10.05)",
         "(Message not found.) Parameters: #LIST#  60.",
         "ardwen: #LIST#: cannot read the build list: File: File does not exist. (Code: 60.2)\n"},
        {"dotted name unquoted", "a.conf { \"xml/a.xml\" }", nullptr, 4, "(9.10.06)",
         "(Message not found.) Parameters: #LIST#  123  ",
         "ardwen: #LIST#:1: \"{\" expected after the output name \"a\", found \".\" (names that contain "
         "\".\" must be quoted)\n"},
        {"no brace on line 3", "\"a.conf\" { \"xml/a.xml\" }\r\n// the next one\r\n\"b.conf\" \"xml/a.xml\"",
         "<R/>", 4, "(9.10.06)", "(Message not found.) Parameters: #LIST#  123  ",
         "ardwen: #LIST#:3: \"{\" expected after the output name \"b.conf\", found \"xml/a.xml\"\n"},
        {"entry without xml", "\n\"x.conf\" { \"xml/a.xml\" }\n\"a.conf\" {\n}", nullptr, 4, "(9.10.07)",
         "(Message not found.) Parameters: #LIST#  ",
         "ardwen: #LIST#:4: an entry names no XML file: \"a.conf\"\n"},
        {"comments only", "// nothing to build\n", nullptr, 5, "(9.10.02)", "(Message not found.)",
         "ardwen: #LIST#: the build list names no configuration file\n"},
        {"empty build list", "", nullptr, 5, "(9.10.02)", "(Message not found.)",
         "ardwen: #LIST#: the build list names no configuration file\n"},
        {"missing xml", "\"a.conf\" { \"xml/a.xml\" }", nullptr, 6, "(9.10.10)",
         "(Message not found.) Parameters: #CONF#xml/a.xml  Failed to open file  ",
         "ardwen: #CONF#xml/a.xml: cannot load the XML file: Failed to open file\n"},
        {"broken xml", "\"a.conf\" { \"xml/a.xml\" }", "<Root><Object></Root>", 6, "(9.10.10)",
         "(Message not found.) Parameters: #CONF#xml/a.xml  Error reading end tag.  ",
         "ardwen: #CONF#xml/a.xml:1:15: cannot load the XML file: Error reading end tag.\n"},
        {"broken xml on line 3", "\"a.conf\" { \"xml/a.xml\" }",
         "<Root>\r\n\t<Object>\r\n\t<Name>x</Nam></Object></Root>", 6, "(9.10.10)",
         "(Message not found.) Parameters: #CONF#xml/a.xml  Error reading end tag.  ",
         "ardwen: #CONF#xml/a.xml:3:9: cannot load the XML file: Error reading end tag.\n"},
        {"empty xml", "\"a.conf\" { \"xml/a.xml\" }", "", 6, "(9.10.10)",
         "(Message not found.) Parameters: #CONF#xml/a.xml  Error document empty.  ",
         "ardwen: #CONF#xml/a.xml: cannot load the XML file: Error document empty.\n"},
        {"deep behind a byte-order mark", "\"a.conf\" { \"xml/a.xml\" }", bomInTag.c_str(), 6, "(9.10.10)",
         "(Message not found.) Parameters: #CONF#xml/a.xml  Elements nested deeper than 2000 levels.  ",
         "ardwen: #CONF#xml/a.xml: cannot load the XML file: Elements nested deeper than 2000 levels.\n"},
        {"deep behind a reference", "\"a.conf\" { \"xml/a.xml\" }", reference.c_str(), 6, "(9.10.10)",
         "(Message not found.) Parameters: #CONF#xml/a.xml  Elements nested deeper than 2000 levels.  ",
         "ardwen: #CONF#xml/a.xml: cannot load the XML file: Elements nested deeper than 2000 levels.\n"},
        {"reference at the end", "\"a.conf\" { \"xml/a.xml\" }", referenceAtEnd.c_str(), 6, "(9.10.10)",
         "(Message not found.) Parameters: #CONF#xml/a.xml  Error parsing Element.  ",
         "ardwen: #CONF#xml/a.xml:1:10: cannot load the XML file: Error parsing Element.\n"},
        {"multi-byte character at the end", "\"a.conf\" { \"xml/a.xml\" }", bomAtEnd.c_str(), 6, "(9.10.10)",
         "(Message not found.) Parameters: #CONF#xml/a.xml  Error reading Element value.  ",
         "ardwen: #CONF#xml/a.xml: cannot load the XML file: Error reading Element value.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        if (c.buildList) write("conf/build.lst", c.buildList);
        if (c.xml) write("conf/xml/a.xml", c.xml);
        const std::string list = root + "conf/build.lst";
        RunResult r = run({"--installdir=" + root, list});
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.out, "");
        auto lines = logLines(defaultLog());
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().prefix, "FATAL");
        EXPECT_EQ(lines.back().identity, c.identity);
        auto fill = [&](std::string text) {
            for (auto [key, value] : {std::pair<std::string, std::string>{"#LIST#", list},
                                      std::pair<std::string, std::string>{"#CONF#", root + "conf/"}}) {
                const size_t at = text.find(key);
                if (at != std::string::npos) text.replace(at, key.size(), value);
            }
            return text;
        };
        const std::string expected = fill(c.text);
        EXPECT_EQ(lines.back().text.substr(0, expected.size()), expected);
        EXPECT_EQ(r.err, fill(c.err));
        EXPECT_FALSE(fs::exists(root + "conf/a.conf"));
    }
}

TEST_F(ArdwenEndToEnd, MissingResourcesWithoutArgumentEndWithTwo) {
    // Neither "ConfigurationDir" nor "ArdwenFile"; no "InstallDir": the log goes
    // below the current directory.
    RunResult r = run({"--debug=1"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(
        r.err,
        "ardwen: no build list given and no resource names one: resource \"ConfigurationDir\" not found\n");
    auto lines = logLines(defaultLog());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().prefix, "FATAL");
    EXPECT_EQ(lines.back().identity, "(9.10.04)");

    setResources({"\"ConfigurationDir\"=\"" + root + "conf\""});  // "ArdwenFile" still missing
    r = run({});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err,
              "ardwen: no build list given and no resource names one: resource \"ArdwenFile\" not found\n");
}

TEST_F(ArdwenEndToEnd, DebugLinesAtEachLevel) {
    writeSmallInstallation();
    const std::string list = root + "conf/build.lst";

    EXPECT_EQ(run({"--installdir=" + root, "--debug=0", list}).exitCode, 0);
    EXPECT_FALSE(fs::exists(defaultLog()));

    EXPECT_EQ(run({"--installdir=" + root, "--debug=1", list}).exitCode, 0);
    const std::vector<std::string> level1 = {
        "debug-1 LoggerUnit: Created logger for the Ardwen module.",
        "NOTICE (9.10.11)",
        "debug-1 Creating output files...",
        "debug-1 Exiting Ardwen. Building seems to have been successful.",
        "NOTICE (9.10.12)",
        "debug-1 LoggerUnit: Destroyed logger for the Ardwen module.",
    };
    EXPECT_EQ(logSummary(defaultLog()), level1);

    fs::remove(defaultLog());
    EXPECT_EQ(run({"--installdir=" + root, "--debug=4", list}).exitCode, 0);
    const std::string conf = root + "conf/";
    const std::vector<std::string> level4 = {
        "debug-1 LoggerUnit: Created logger for the Ardwen module.",
        "NOTICE (9.10.11)",
        "debug-2 Building configuration files...",
        "debug-3 Reading configuration...",
        "debug-4 Reading file \"" + list + "\"...",
        "debug-3 Finished reading configuration.",
        "debug-1 Creating output files...",
        "debug-3 Creating output file \"" + conf + "a.conf\"...",
        "debug-3 Creating DOM tree from \"" + conf + "xml/a.xml\"...",
        "debug-3 Finished parsing file.",
        "debug-3 Creating DOM tree from \"" + conf + "xml/b.xml\"...",
        "debug-3 Finished parsing file.",
        "debug-4 Writing data to file...",
        "debug-3 Creating output file \"" + conf + "c.conf.gz\"...",
        "debug-3 Creating DOM tree from \"" + conf + "xml/c.xml\"...",
        "debug-3 Finished parsing file.",
        "debug-4 Writing data to file...",
        // Written outputs are committed together; each is created when its
        // commit is done.
        "debug-3 Created output file \"a.conf\".",
        "debug-3 Created output file \"c.conf.gz\".",
        "debug-2 Finished building configuration files.",
        "debug-1 Exiting Ardwen. Building seems to have been successful.",
        "NOTICE (9.10.12)",
        "debug-1 LoggerUnit: Destroyed logger for the Ardwen module.",
    };
    EXPECT_EQ(logSummary(defaultLog()), level4);

    fs::remove(defaultLog());
    EXPECT_EQ(run({"--installdir=" + root, "--debug=5", list}).exitCode, 0);
    // Level 5 adds the plan listing and one pair of lines per object (a.xml holds
    // two objects, b.xml and c.xml one each).
    const std::string produce = "debug-5 Producing output data...";
    const std::string produced = "debug-5 Finished producing output data.";
    std::vector<std::string> expected5;
    int parsed = 0;
    for (const auto& line : level4) {
        expected5.push_back(line);
        if (line == "debug-3 Finished reading configuration.") {
            expected5.push_back(
                "debug-5 Configuration files and the XML files they are to be built from: \n"
                "a.conf\n\t- xml/a.xml\n\t- xml/b.xml\nc.conf.gz\n\t- xml/c.xml");
        }
        if (line == "debug-3 Finished parsing file.") {
            if (++parsed == 1) {
                expected5.insert(expected5.end(), {produce, produce, produced, produced});
            } else {
                expected5.insert(expected5.end(), {produce, produced});
            }
        }
    }
    const auto level5 = logSummary(defaultLog());
    EXPECT_EQ(level5, expected5);
}

TEST_F(ArdwenEndToEnd, OptionEdgeCases) {
    writeSmallInstallation();
    const std::string list = root + "conf/build.lst";
    auto levelsSeen = [&](const std::string& log) {
        int highest = -1;
        for (const auto& l : logLines(log)) {
            if (l.prefix.rfind("debug-", 0) == 0) highest = std::max(highest, std::stoi(l.prefix.substr(6)));
        }
        return highest;
    };

    // The last "--debug" wins.
    EXPECT_EQ(run({"--installdir=" + root, "--debug=3", "--debug=1", list}).exitCode, 0);
    EXPECT_EQ(levelsSeen(defaultLog()), 1);
    fs::remove(defaultLog());

    // Out of range: the process-wide level stays at its initial 5.
    EXPECT_EQ(run({"--installdir=" + root, "--debug=7", list}).exitCode, 0);
    EXPECT_EQ(levelsSeen(defaultLog()), 5);
    fs::remove(defaultLog());

    // Negative: not given, so the resource decides; "ArdwenDebugLog" names the log.
    setResources({"\"ArdwenDebugLevel\"=dword:00000002", "\"ArdwenDebugLog\"=\"custom.log\""});
    EXPECT_EQ(run({"--installdir=" + root, "--debug=-2", list}).exitCode, 0);
    EXPECT_EQ(levelsSeen(root + "Log/custom.log"), 2);

    // "--debug" without a value is level 0; unknown options are ignored; after
    // "--" every argument is a build list, and the last one is used.
    setResources({"\"ArdwenDebugLevel\"=dword:00000002"});
    EXPECT_EQ(run({"--installdir=" + root, "--debug", "--quiet=yes", "--", "--quiet=yes", list}).exitCode, 0);
    EXPECT_FALSE(fs::exists(defaultLog()));

    // An empty "--installdir" looks up "InstallDir" again; one without a final
    // separator receives one.
    setResources({"\"InstallDir\"=\"" + root + "fromresource\""});
    EXPECT_EQ(run({"--installdir=", "--debug=1", list}).exitCode, 0);
    EXPECT_TRUE(fs::exists(root + "fromresource/Log/ArdwenDebugLog.log"));
    EXPECT_EQ(run({"--installdir=" + root + "given", "--debug=1", list}).exitCode, 0);
    EXPECT_TRUE(fs::exists(root + "given/Log/ArdwenDebugLog.log"));

    // No "InstallDir" at all: the current directory.
    setResources({});
    fs::create_directories(root + "cwd");
    EXPECT_EQ(run({"--debug=1", list}, root + "cwd").exitCode, 0);
    EXPECT_TRUE(fs::exists(root + "cwd/Log/ArdwenDebugLog.log"));

    // The second positional argument is used; quotes around it are removed; a
    // single hyphen starts a build-list path, not an option.
    EXPECT_EQ(run({"--installdir=" + root, root + "conf/missing.lst", list}).exitCode, 0);
    EXPECT_EQ(run({"--installdir=" + root, "\"" + list + "\""}).exitCode, 0);
    EXPECT_EQ(run({"--installdir=" + root, "'" + list + "'"}).exitCode, 0);
    EXPECT_EQ(run({"--installdir=" + root, "\"" + list}).exitCode, 3);
    EXPECT_EQ(run({"--installdir=" + root, list, "-v"}).exitCode, 3);
}

TEST_F(ArdwenEndToEnd, OptionsNotTakenAsWrittenAreToldOnStandardError) {
    writeSmallInstallation();
    setResources({"\"ArdwenDebugLevel\"=dword:00000002"});
    const std::string list = root + "conf/build.lst";
    const struct {
        std::vector<std::string> options;  // before the build list
        const char* err;                   // #ROOT# stands for the installation
        int level;                         // the highest debug level logged, -1: no log
    } cases[] = {
        {{"--installdir=#ROOT#", "--debug=2"}, "", 2},
        {{"--installdir=#ROOT#", "--quiet=yes", "--"}, "ardwen: unknown option \"--quiet=yes\" ignored\n", 2},
        {{"--installdir=#ROOT#", "--debug=abc"},
         "ardwen: \"--debug=abc\": \"abc\" is not a number; debug level 0 is used\n",
         -1},
        {{"--installdir=#ROOT#", "--debug=3x"},
         "ardwen: \"--debug=3x\": \"3x\" is not a number; debug level 3 is used\n",
         3},
        {{"--installdir=#ROOT#", "--debug", "5"},
         "ardwen: \"--debug\" without \"=LEVEL\": debug level 0 is used; \"5\" counts as a build-list "
         "argument (write \"--debug=5\")\n",
         -1},
        // Beyond the 32-bit range the value is held at its end, not wrapped
        // round (which made this level 1).
        {{"--installdir=#ROOT#", "--debug=4294967297"},
         "ardwen: \"--debug=4294967297\": debug levels go from 0 to 5; debug level 5 is used\n",
         5},
        {{"--installdir=#ROOT#", "--debug=7"},
         "ardwen: \"--debug=7\": debug levels go from 0 to 5; debug level 5 is used\n",
         5},
        {{"--installdir=#ROOT#", "--debug=-4294967297"}, "", 2},
        {{"--debug=1", "--installdir", "#ROOT#"},
         "ardwen: \"--installdir\" without \"=DIR\": the resource InstallDir or the current directory is "
         "used; \"#ROOT#\" counts as a build-list argument (write \"--installdir=#ROOT#\")\n",
         1},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args;
        for (const auto& o : c.options) args.push_back(atRoot(o));
        args.push_back(list);
        SCOPED_TRACE(args[1]);
        fs::remove_all(root + "Log");
        RunResult r = run(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, atRoot(c.err));
        int highest = -1;
        for (const auto& l : logLines(defaultLog())) {
            if (l.prefix.rfind("debug-", 0) == 0) highest = std::max(highest, std::stoi(l.prefix.substr(6)));
        }
        EXPECT_EQ(highest, c.level);
    }
}

TEST_F(ArdwenEndToEnd, HelpAndVersionTouchNothing) {
    // An installation where a build would work and log.
    writeSmallInstallation();
    setResources({"\"InstallDir\"=\"" + root + "inst\"", "\"ConfigurationDir\"=\"" + root + "conf\"",
                  "\"ArdwenFile\"=\"build.lst\"", "\"ArdwenDebugLevel\"=dword:00000005"});
    const std::string store = readFile(root + "registry.reg");
    const std::string usageStart = "Usage: ardwen [--installdir=DIR] [--debug=LEVEL] [BUILDLIST]\n";
    const std::vector<std::vector<std::string>> cases = {
        {"--help"},
        {"--version"},
        {"--debug=5", root + "conf/build.lst", "--help"},
        {"--installdir=" + root, "--version", "--unknown"},
        {"--version", "--help"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args[0]);
        RunResult r = run(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, "");
        const bool help = std::find(args.begin(), args.end(), "--help") != args.end();
        if (help) {
            EXPECT_EQ(r.out.rfind(usageStart, 0), 0u) << r.out;
            EXPECT_NE(r.out.find("7 one or\nmore configuration files not written"), std::string::npos)
                << r.out;
        } else {
            EXPECT_EQ(r.out, "ardwen 1.0.0\n");
        }
        EXPECT_FALSE(fs::exists(root + "Log"));
        EXPECT_FALSE(fs::exists(root + "inst"));
        EXPECT_FALSE(fs::exists(root + "conf/a.conf"));
        EXPECT_EQ(readFile(root + "registry.reg"), store);
    }
}

TEST_F(ArdwenEndToEnd, BuildListWithoutDirectoryIsRelativeToTheCurrentDirectory) {
    writeSmallInstallation();
    EXPECT_EQ(run({"--installdir=" + root, "build.lst"}, root + "conf").exitCode, 0);
    EXPECT_EQ(readFile(root + "conf/a.conf"), aExpected);
}

TEST_F(ArdwenEndToEnd, AnOutputNotWrittenEndsWithSevenAfterTheWholeBuild) {
    writeSmallInstallation();
    write("conf/build.lst",
          "\"first.conf\" { \"xml/c.xml\" }\n"
          "\"no/such/dir/second.conf\" { \"xml/c.xml\" }\n"
          "\"third.conf\" { \"xml/b.xml\" }\n");
    RunResult r = run({"--installdir=" + root, "--debug=1", root + "conf/build.lst"});
    EXPECT_EQ(r.exitCode, 7);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(readFile(root + "conf/first.conf"), cExpected);
    EXPECT_EQ(readFile(root + "conf/third.conf"), "Second(t)=\"\"{}\n");
    // The library's own description of the failure, and the likely reason.
    const std::string path = root + "conf/no/such/dir/second.conf";
    const std::string head = "ardwen: " + path + ": cannot write the configuration file: File: ";
    const std::string tail = atRoot(
        "; the folder #ROOT#conf/no/such/dir/ does not exist\n"
        "ardwen: 1 of 3 configuration files could not be written\n");
    EXPECT_EQ(r.err.rfind(head, 0), 0u) << r.err;
    ASSERT_GE(r.err.size(), tail.size());
    EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2);

    int errors = 0;
    for (const auto& l : logLines(defaultLog())) {
        if (l.prefix == "ERROR") {
            ++errors;
            EXPECT_EQ(l.identity, "(9.10.09)");
            EXPECT_EQ(l.text.rfind("(Message not found.) Parameters: " + path + "  60.", 0), 0u) << l.text;
        }
    }
    EXPECT_EQ(errors, 1);
    // The end is logged and announced, but not as a success.
    auto summary = logSummary(defaultLog());
    ASSERT_GE(summary.size(), 3u);
    const std::vector<std::string> end(summary.end() - 3, summary.end());
    const std::vector<std::string> expectedEnd = {
        "debug-1 Exiting Ardwen. One or more configuration files could not be written.",
        "NOTICE (9.10.12)",
        "debug-1 LoggerUnit: Destroyed logger for the Ardwen module.",
    };
    EXPECT_EQ(end, expectedEnd);
}

TEST_F(ArdwenEndToEnd, OutputThatIsItsOwnInputIsRefused) {
    writeSmallInstallation();
    fs::create_symlink("xml/b.xml", root + "conf/link.xml");
    write("conf/build.lst",
          "\"xml/a.xml\" { \"xml/c.xml\" \"xml/a.xml\" }\n"  // the same name
          "\"link.xml\" { \"xml/b.xml\" }\n"                 // a link to it
          "\"xml/../xml/c.xml\" { \"xml/c.xml\" }\n"         // another spelling
          "\"fine.conf\" { \"xml/c.xml\" }\n");
    const std::string a = readFile(root + "conf/xml/a.xml");
    const std::string b = readFile(root + "conf/xml/b.xml");
    const std::string c = readFile(root + "conf/xml/c.xml");
    RunResult r = run({"--installdir=" + root, root + "conf/build.lst"});
    EXPECT_EQ(r.exitCode, 7);
    EXPECT_EQ(readFile(root + "conf/xml/a.xml"), a);
    EXPECT_EQ(readFile(root + "conf/xml/b.xml"), b);
    EXPECT_EQ(readFile(root + "conf/xml/c.xml"), c);
    EXPECT_TRUE(fs::is_symlink(root + "conf/link.xml"));
    EXPECT_EQ(readFile(root + "conf/fine.conf"), cExpected);
    EXPECT_EQ(r.err, atRoot("ardwen: #ROOT#conf/xml/a.xml: cannot write the configuration file: it is the "
                            "entry's own XML file \"xml/a.xml\", which is kept unchanged\n"
                            "ardwen: #ROOT#conf/link.xml: cannot write the configuration file: it is the "
                            "entry's own XML file \"xml/b.xml\", which is kept unchanged\n"
                            "ardwen: #ROOT#conf/xml/../xml/c.xml: cannot write the configuration file: it is "
                            "the entry's own XML file \"xml/c.xml\", which is kept unchanged\n"
                            "ardwen: 3 of 4 configuration files could not be written\n"));
    std::vector<std::string> errors;
    for (const auto& l : logLines(defaultLog())) {
        if (l.prefix == "ERROR") errors.push_back(l.identity + " " + l.text);
    }
    const std::vector<std::string> expected = {
        atRoot("(9.10.09) (Message not found.) Parameters: #ROOT#conf/xml/a.xml  60.28  "),
        atRoot("(9.10.09) (Message not found.) Parameters: #ROOT#conf/link.xml  60.28  "),
        atRoot("(9.10.09) (Message not found.) Parameters: #ROOT#conf/xml/../xml/c.xml  60.28  "),
    };
    EXPECT_EQ(errors, expected);
}

TEST_F(ArdwenEndToEnd, NumberedMessagesReachTheReceiverInWords) {
    writeSmallInstallation();
    write("conf/build.lst",
          "\"first.conf\" { \"xml/c.xml\" }\n"
          "\"second.conf\" { \"xml/empty.xml\" }\n"
          "\"xml/c.xml\" { \"xml/c.xml\" }\n");
    write("conf/xml/empty.xml", "<Root><Other/></Root>");
    const std::string list = root + "conf/build.lst";

    // Debug level 1: start and end notices, the warning and the error between.
    std::string received;
    ASSERT_EQ(runWithReceiver({"--installdir=" + root, "--debug=1", list}, 4, received), 7) << received;
    std::vector<std::string> lines;
    std::stringstream in(received);
    for (std::string line; std::getline(in, line);) {
        // "SEVERITY time (identity) thread: text": keep severity, identity and text.
        const size_t open = line.find('(');
        const size_t colon = line.find(": ", open);
        lines.push_back(line.substr(0, line.find(' ')) + " " + line.substr(open, line.find(')', open) - open + 1) +
                        " " + line.substr(colon + 2));
    }
    const std::vector<std::string> expected = {
        "NOTICE (9.10.11) (Message not found.) -- the build starts",
        atRoot("WARNING (9.10.08) (Message not found.) Parameters: #ROOT#conf/xml/empty.xml   -- no "
               "\"Object\" element under the root element; the file adds nothing (XML file: "
               "#ROOT#conf/xml/empty.xml)"),
        atRoot("ERROR (9.10.09) (Message not found.) Parameters: #ROOT#conf/xml/c.xml  60.28   -- cannot "
               "write the configuration file (output file: #ROOT#conf/xml/c.xml; error code: 60.28)"),
        "NOTICE (9.10.12) (Message not found.) -- the build has finished",
    };
    EXPECT_EQ(lines, expected);
    // Standard error has the same warning and error, in the builder's words.
    EXPECT_EQ(readFile(errPath()),
              atRoot("ardwen: #ROOT#conf/xml/empty.xml: warning: no \"Object\" element under the root "
                     "element; the file adds nothing\n"
                     "ardwen: #ROOT#conf/xml/c.xml: cannot write the configuration file: it is the entry's "
                     "own XML file \"xml/c.xml\", which is kept unchanged\n"
                     "ardwen: 1 of 3 configuration files could not be written\n"));

    // Debug level 0: notices are not sent; a fatal failure is, with its parameters.
    write("conf/build.lst", "\"a.conf\" { \"xml/missing.xml\" }\n");
    ASSERT_EQ(runWithReceiver({"--installdir=" + root, "--debug=0", list}, 1, received), 6) << received;
    EXPECT_NE(received.find("FATAL    "), std::string::npos) << received;
    EXPECT_NE(received.find("(9.10.10) "), std::string::npos) << received;
    EXPECT_NE(received.find(atRoot("Parameters: #ROOT#conf/xml/missing.xml  Failed to open file   -- cannot "
                                   "load the XML file (XML file: #ROOT#conf/xml/missing.xml; description: "
                                   "Failed to open file)")),
              std::string::npos)
        << received;
    EXPECT_EQ(received.find("NOTICE"), std::string::npos) << received;
}

}  // namespace
}  // namespace e2e
