#include "XmlNesting.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <cstdio>
#include <random>
#include <string>
#include <unistd.h>

using namespace Brolix;

namespace {

// Deepest element level of a loaded document, walked without recursion.
size_t elementDepth(const TiXmlDocument& document) {
    size_t deepest = 0;
    size_t depth = 0;
    const TiXmlNode* node = document.FirstChild();
    while (node != nullptr) {
        if (node->ToElement() != nullptr && depth + 1 > deepest) deepest = depth + 1;
        if (node->ToElement() != nullptr && node->FirstChild() != nullptr) {
            ++depth;
            node = node->FirstChild();
            continue;
        }
        while (node != nullptr && node->NextSibling() == nullptr) {
            node = node->Parent();
            if (node == &document || node == nullptr) return deepest;
            --depth;
        }
        if (node != nullptr) node = node->NextSibling();
    }
    return deepest;
}

// Loads `text` through a file, as the builder does, and reports the depth the
// library reached; false when the library refused the document.
bool libraryDepth(const std::string& text, size_t* depth) {
    char name[] = "/tmp/xmlnestingXXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) return false;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    TiXmlDocument document(name);
    const bool loaded = written && document.LoadFile();
    std::remove(name);
    if (loaded) *depth = elementDepth(document);
    return loaded;
}

XmlNesting check(std::string text, size_t maxDepth) {
    text.push_back('\0');
    const size_t size = normaliseXmlText(&text[0], text.size() - 1);
    return checkXmlNesting(text.data(), size, maxDepth);
}

std::string repeat(const std::string& piece, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += piece;
    return text;
}

// Documents the library parses: the check must reach exactly the library's depth,
// refusing it one level lower and accepting it at that level.
TEST(XmlNestingTest, MatchesTheLibraryDepthOnDocumentsItParses) {
    const std::string cases[] = {
        "<a/>",
        "<a><b/><c><d/></c></a>",
        "<?xml version=\"1.0\"?>\n<!-- <x><y><z> -->\n<a><b>text</b></a>",
        "<a x=\"</a><b><c>\" y='/>'><b/></a>",
        "<a><![CDATA[<b><c><d>]]><b/></a>",
        "<!DOCTYPE a [ <!ELEMENT a ANY> ]><a><b/></a>",
        "<a>< b><c/></a>",
        "<a x=unquoted><b z=1/></a>",
        // In UTF-8 mode a lead byte swallows the "</" after it, so the elements nest.
        "<?xml version=\"1.0\"?><r><a>\xE3</a><b/></a></r>",
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><r>" + repeat("<a>\xE3</a>", 4) + repeat("</a>", 4) + "</r>",
        // Without a declaration, or with another encoding, bytes are single characters.
        "<r>" + repeat("<a>\xE3</a>", 4) + "</r>",
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>" + repeat("<a>\xE9</a>", 4) + "</r>",
        "\xEF\xBB\xBF<r><a>\xC3\xA9</a><b>\xE3\r\n</b><c/></b></r>",
        "<?xml version='1.0' encoding=\"UTF&#45;8\"?><r><a x=\"\xE3\"/>\"><b/></a></r>",
        "<a>\r\n<b>\r</b>\r\n</a>",
        "<a><b></b ><c><d/></c></a\r\n>",
        std::string("<a/>\0<b><c><d>", 12),
    };
    int index = 0;
    for (const std::string& text : cases) {
        SCOPED_TRACE(index++);
        size_t depth = 0;
        ASSERT_TRUE(libraryDepth(text, &depth));
        EXPECT_EQ(XmlNesting::Fine, check(text, depth));
        if (depth > 0) {
            EXPECT_EQ(XmlNesting::TooDeep, check(text, depth - 1));
        }
    }
}

// Random documents from fragments that exercise every construct the check
// follows: whatever the check lets through must be parsed by the library without
// reading past its text, and to exactly the depth the check found.
TEST(XmlNestingTest, AgreesWithTheLibraryOnRandomDocuments) {
    const char* const fragments[] = {
        "<a>", "</a>", "<b>", "</b>", "<a/>", "<b x='1'/>", "<a x=\"</a>\">", "<!-- <a> -->", "<![CDATA[</a>]]>",
        "<?xml version='1.0'?>", "<?xml version='1.0' encoding='ISO-8859-1'?>", "\xE3", "\xC3\xA9", "text", " ",
        "\r\n", "\r", "<!DOCTYPE a>", "<?pi x?>", "&amp;", "&#60;", "<a y=z>", "\xEF\xBB\xBF", "\"", "'", ">",
        "/>", "<", "</", "\xF0", "<_q>", "</_q>", "\xE3</a>", "</a >", "</b\n>",
    };
    const size_t count = sizeof fragments / sizeof fragments[0];
    std::mt19937 random(20261210);
    for (int round = 0; round < 4000; ++round) {
        std::string text;
        const int pieces = static_cast<int>(random() % 14);
        for (int k = 0; k < pieces; ++k) text += fragments[random() % count];
        SCOPED_TRACE(text);
        std::string prepared = text + '\0';
        const size_t size = normaliseXmlText(&prepared[0], text.size());
        if (checkXmlNesting(prepared.data(), size, 1000) == XmlNesting::Unterminated) continue;
        TiXmlDocument document;
        document.Parse(prepared.c_str());
        if (document.Error()) continue;
        const size_t depth = elementDepth(document);
        EXPECT_EQ(XmlNesting::Fine, checkXmlNesting(prepared.data(), size, depth));
        if (depth > 0) {
            EXPECT_EQ(XmlNesting::TooDeep, checkXmlNesting(prepared.data(), size, depth - 1));
        }
    }
}

TEST(XmlNestingTest, RefusesDocumentsTheLibraryWouldReadPast) {
    const struct {
        const char* text;
        XmlNesting expected;
    } cases[] = {
        {"<a><!-- never closed", XmlNesting::Unterminated},
        {"<a><![CDATA[ never closed", XmlNesting::Unterminated},
        {"<a x=\"never closed", XmlNesting::Unterminated},
        {"<?xml version='1.0?><a/>", XmlNesting::Unterminated},
        {"<?xml version=\"1.0\"?><a>\xE3", XmlNesting::Unterminated},
        // Broken in ways the library stops at safely.
        {"<a><b></a>", XmlNesting::Fine},
        {"<a>text", XmlNesting::Fine},
        {"<a x=>", XmlNesting::Fine},
        {"<!unknown", XmlNesting::Fine},
        {"", XmlNesting::Fine},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, check(c.text, 10)) << c.text;
    }
}

TEST(XmlNestingTest, StopsAtTheLimitOnVeryDeepDocuments) {
    const size_t levels = 100000;
    const std::string open = repeat("<Object><SubObjects>", levels);
    EXPECT_EQ(XmlNesting::TooDeep, check("<Configuration>" + open, 2000));
    EXPECT_EQ(XmlNesting::TooDeep, check("<Configuration><Object></Object >" + open, 2000));
    // Never closed and flat: the library stops at the end without going deep.
    EXPECT_EQ(XmlNesting::Fine, check(repeat("<a/>", levels), 2));
}

}  // namespace
