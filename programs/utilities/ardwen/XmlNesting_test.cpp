#include "XmlNesting.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/Thread.h"

using namespace Brolix;

namespace {

const std::string kBom = "\xEF\xBB\xBF";

std::string repeat(const std::string& piece, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += piece;
    return text;
}

// A text as the builder hands it over: prepared, with its padding.
struct Prepared {
    explicit Prepared(const std::string& raw) : buffer(raw) {
        buffer.resize(raw.size() + XML_PADDING);
        size = normaliseXmlText(&buffer[0], raw.size());
    }
    const char* text() const { return buffer.data(); }
    std::string buffer;
    size_t size;
};

// What the library itself makes of a (shallow) text, parsed right here: the
// depth of the tree it built, broken or not, and its error.
struct LibraryView {
    size_t depth;
    bool error;
};

LibraryView libraryView(const Prepared& prepared) {
    TiXmlDocument document;
    document.Parse(prepared.text(), nullptr, TIXML_DEFAULT_ENCODING);
    return LibraryView{xmlElementDepth(document), document.Error()};
}

XmlLoad load(const std::string& raw, size_t maxDepth, std::string* error = nullptr) {
    Prepared prepared(raw);
    XmlDocumentPtr document(new TiXmlDocument);
    const XmlLoad result = parseXmlText(document, prepared.text(), prepared.size, maxDepth);
    if (error != nullptr) *error = document->Error() ? document->ErrorDesc() : "";
    return result;
}

// Documents whose reading turns on the library's own lexing: the walk must
// reach the library's depth exactly, errors included.
TEST(XmlNestingTest, ScanReachesTheLibraryDepth) {
    const std::string cases[] = {
        "<a/>",
        "<a><b/><c><d/></c></a>",
        "<?xml version=\"1.0\"?>\n<!-- <x><y><z> -->\n<a><b>text</b></a>",
        "<a x=\"</a><b><c>\" y='/>'><b/></a>",
        "<a><![CDATA[<b><c><d>]]><b/></a>",
        "<!DOCTYPE a [ <!ELEMENT a ANY> ]><a><b/></a>",
        "<a>< b><c/></a>",
        "<a x=unquoted><b z=1/></a>",
        "<a><b></b ><c><d/></c></a\n>",
        std::string("<a/>\0<b><c><d>", 12),
        // In UTF-8 mode a lead byte swallows the "</" after it, so the elements nest.
        "<?xml version=\"1.0\"?><r><a>\xE3</a><b/></a></r>",
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><r>" + repeat("<a>\xE3</a>", 4) + repeat("</a>", 4) +
            "</r>",
        // Without a declaration, or with another encoding, bytes are single characters.
        "<r>" + repeat("<a>\xE3</a>", 4) + "</r>",
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>" + repeat("<a>\xE9</a>", 4) + "</r>",
        "<?xml version='1.0' encoding=\"UTF&#45;8\"?><r><a x=\"\xE3\"/>\"><b/></a></r>",
        // A byte-order mark inside a tag is white space in UTF-8 mode only.
        "<?xml version=\"1.0\"?><r><" + kBom + "a></a>" + repeat("<b>", 5) + repeat("</b>", 5) + "</r>",
        "<r><" + kBom + "a></a>" + repeat("<b>", 5) + repeat("</b>", 5) + "</r>",
        "<?xml version=\"1.0\"?><r><" + kBom + "a " + kBom + "x='1'" + kBom + "></a" + kBom + "><b/></r>",
        // A character reference runs to the next ";" and is checked only back
        // to the last "x" or "#": markup in between is swallowed.
        "<r>&#x<x;" + repeat("<b>", 5) + repeat("</b>", 5) + "</r>",
        "<r>&#</r><c>#12;" + repeat("<b>", 5) + repeat("</b>", 5) + "</r>",
        "<r a='&#x'/><b>x41;'><c/></r>",
        "<r>&#x4g;<b/></r>",
        "<r>&amp;&lt;&#60;&#x3C;<b/></r>",
        // Cut off or broken: the depth the library reached before it stopped.
        repeat("<b>", 7),
        "<a><b x='1' x='2'><c/></b></a>",
        "<a><b></a>",
        "<a><![CDATA[x]]>",
    };
    int index = 0;
    for (const std::string& raw : cases) {
        SCOPED_TRACE(index++);
        const Prepared prepared(raw);
        const LibraryView library = libraryView(prepared);
        EXPECT_EQ(library.depth, scanXmlText(prepared.text(), prepared.size, 100).depth);
        EXPECT_LE(library.depth, xmlNestingBound(prepared.text(), prepared.size));
    }
}

// Random documents from fragments that exercise every construct the walk
// follows, the lexing tricks above among them.
TEST(XmlNestingTest, ScanAgreesWithTheLibraryOnRandomDocuments) {
    // clang-format off
    const char* const fragments[] = {
        "<a>", "</a>", "<b>", "</b>", "<a/>", "<b x='1'/>", "<a x=\"</a>\">", "<!-- <a> -->", "<![CDATA[</a>]]>",
        "<?xml version='1.0'?>", "<?xml version='1.0' encoding='ISO-8859-1'?>", "\xE3", "\xC3\xA9", "text", " ",
        "\r\n", "\r", "<!DOCTYPE a>", "<?pi x?>", "&amp;", "&#60;", "<a y=z>", "\xEF\xBB\xBF", "\"", "'", ">",
        "/>", "<", "</", "\xF0", "<_q>", "</_q>", "\xE3</a>", "</a >", "</b\n>", "&#x", "&#", "x;", "#1;", ";",
        ("<\xEF\xBB\xBF" "a>"), "<a x='1' x='2'>", "<!--", "-->", "<![CDATA[", "]]>",
    };
    // clang-format on
    const size_t count = sizeof fragments / sizeof fragments[0];
    std::mt19937 random(20261210);
    for (int round = 0; round < 6000; ++round) {
        std::string raw;
        const int pieces = static_cast<int>(random() % 16);
        for (int k = 0; k < pieces; ++k) raw += fragments[random() % count];
        SCOPED_TRACE(raw);
        const Prepared prepared(raw);
        const LibraryView library = libraryView(prepared);
        EXPECT_EQ(library.depth, scanXmlText(prepared.text(), prepared.size, 100).depth);
        EXPECT_LE(library.depth, xmlNestingBound(prepared.text(), prepared.size));
    }
}

// What parseXmlText makes of whole files: the library's word wherever it
// refuses one, and a refusal of its own where the library would keep a file
// that is cut short or nested too deep.
TEST(XmlNestingTest, VerdictsOnWholeFiles) {
    const struct {
        std::string text;
        XmlLoad expected;
        const char* error;
    } cases[] = {
        {"<C><Object/></C>", XmlLoad::Parsed, ""},
        {"<?xml version=\"1.0\"?>\n<!-- only a declaration and comments -->\n", XmlLoad::Parsed, ""},
        {"<C/><![CDATA[ends the file]]>", XmlLoad::Parsed, ""},
        {"<C/> words after the root element", XmlLoad::Parsed, ""},
        // Complete, but a lead byte swallows the closing quote in UTF-8 mode.
        {"<R a=\"\xC3\">x</R>", XmlLoad::Parsed, ""},
        {"<?xml version=\"1.0\"?><R a=\"\xC3\">x</R>", XmlLoad::Rejected, "Error parsing Element."},
        {"<R a=\"abc", XmlLoad::Rejected, "Error parsing Element."},
        {"<C><Object><!-- never closed", XmlLoad::Rejected, "Error reading Element value."},
        {"<C><Object></C>", XmlLoad::Rejected, "Error reading end tag."},
        {"   \n", XmlLoad::Rejected, "Error document empty."},
        // Kept by the library without complaint, though the file is cut short.
        {"<C/><!-- never closed", XmlLoad::Unterminated, ""},
        {"<C/><![CDATA[ never closed", XmlLoad::Unterminated, ""},
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"", XmlLoad::Unterminated, ""},
        {"<?xml version='1.0?><C/>", XmlLoad::Unterminated, ""},
        {"<!DOCTYPE C [ <!ELEMENT C ANY", XmlLoad::Unterminated, ""},
        // Nesting: the limit is 3 here.
        {"<a><b><c/></b></a>", XmlLoad::Parsed, ""},
        {"<a><b><c><d/></c></b></a>", XmlLoad::TooDeep, ""},
        {"<a><b><c><d>", XmlLoad::TooDeep, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        EXPECT_EQ(c.expected, load(c.text, 3, &error));
        EXPECT_EQ(c.error, error);
    }
}

// Two files that once crashed the builder: a lexing trick let 200,000 levels of
// nesting past the old check into the library's recursion. Now they are refused
// before the library sees them, fast, closed or not.
TEST(XmlNestingTest, CraftedDeepFilesAreRefused) {
    const std::string deep = repeat("<b>", 200000) + repeat("</b>", 200000);
    const std::string prefixes[] = {"<?xml version=\"1.0\"?><r><" + kBom + "a></a>", "<r>&#x<x;"};
    for (const std::string& prefix : prefixes) {
        EXPECT_EQ(XmlLoad::TooDeep, load(prefix + deep, 2000));
        EXPECT_EQ(XmlLoad::TooDeep, load(prefix + deep + "</r>", 2000));
    }
}

// A deep file within a high limit is parsed on a stack of its own, and the
// document releases its tree on one.
TEST(XmlNestingTest, DeepFilesWithinTheLimitAreParsedAndReleased) {
    const Prepared prepared("<r>" + repeat("<b>", 10000) + repeat("</b>", 10000) + repeat("<c/>", 10) +
                            "</r>");
    XmlDocumentPtr document(new TiXmlDocument);
    ASSERT_EQ(XmlLoad::Parsed, parseXmlText(document, prepared.text(), prepared.size, 10001));
    EXPECT_EQ(10001u, xmlElementDepth(*document));
    document.reset();
}

// The stack budget per level is more than twice what the library takes: a
// parse and a release of 8,000 levels fit into the stack budgeted for 4,000.
TEST(XmlNestingTest, StackBudgetHoldsTwiceWhatTheLibraryTakes) {
    const std::string text = repeat("<Object a='1'>", 8000) + repeat("</Object>", 8000);
    struct Job {
        const std::string* text;
        bool parsed = false;
    } job{&text};
    ASSERT_TRUE(platform::runWithStack(
        xmlParseStackBytes(4000),
        [](void* context) {
            Job& job = *static_cast<Job*>(context);
            TiXmlDocument* document = new TiXmlDocument;
            document->Parse(job.text->c_str());
            job.parsed = !document->Error() && xmlElementDepth(*document) == 8000;
            delete document;
        },
        &job));
    EXPECT_TRUE(job.parsed);
}

}  // namespace
