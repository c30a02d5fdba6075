#include "Tokenizer.h"

#include <gtest/gtest.h>

#include <vector>

using namespace Brolix;

namespace {

/// Tokens as "text" for significant ones and "~text" for blank runs.
std::vector<std::string> tokenize(const std::string& text) {
    CppSearcher searcher;
    Tokenizer tokenizer(text, searcher);
    std::vector<std::string> out;
    Token token;
    while (tokenizer.nextToken(token)) out.push_back((token.significant ? "" : "~") + token.text);
    return out;
}

TEST(TokenizerTest, CutsTexts) {
    using V = std::vector<std::string>;
    const struct {
        std::string text;
        V tokens;
    } cases[] = {
        {"", V{}},
        {"word", V{"word"}},
        {"a.b", V{"a", ".", "b"}},
        {"a->*b", V{"a", "->*", "b"}},
        {"a<<=b", V{"a", "<<=", "b"}},
        {"a=>b", V{"a", "=", ">", "b"}},
        {"x::y->z", V{"x", "::", "y", "->", "z"}},
        {"a&&b||!c", V{"a", "&&", "b", "||", "!", "c"}},
        {"{}", V{"{", "}"}},
        {"((", V{"(", "("}},
        {"-", V{"-"}},
        {"a\nb", V{"a", "\n", "b"}},
        {"\n\n", V{"\n", "\n"}},
        {"  \t\tx", V{"~  ", "~\t\t", "x"}},
        {"a \r\nb", V{"a", "~ ", "~\r", "\n", "b"}},
        {"\"my file.xml\" next", V{"\"my file.xml\"", "~ ", "next"}},
        {"\"a\\\"b\" c", V{"\"a\\\"b\"", "~ ", "c"}},
        {"'it''s'", V{"'it'", "'s'"}},
        {"'x\"y'", V{"'x\"y'"}},
        {"word\"q\"", V{"word", "\"q\""}},
        {"\"open to end", V{"\"open to end"}},
        {"\"ends in backslash\\", V{"\"ends in backslash\\"}},
        {"//\nx", V{"//", "\n", "x"}},
        {"a// note\r\nb", V{"a", "// note", "~\r", "\n", "b"}},
        {"// at the end", V{"// at the end"}},
        {"a/*c*/b", V{"a", "/*c*/", "b"}},
        {"/*/ x */", V{"/*/ x */"}},
        {"/* open", V{"/* open"}},
        {"a/b", V{"a", "/", "b"}},
        {"a/", V{"a", "/"}},
        {std::string("ab\xc3\xa9z"), V{"ab", "~\xc3", "~\xa9", "z"}},
        {std::string("\xef\xbb\xbfout"), V{"~\xef", "~\xbb", "~\xbf", "out"}},
        {std::string("a\0b", 3), V{"a", std::string("~\0", 2), "b"}},
        {"\"\xe9 quoted\"", V{"\"\xe9 quoted\""}},
    };
    for (const auto& c : cases) EXPECT_EQ(tokenize(c.text), c.tokens) << "text: " << c.text;
}

TEST(TokenizerTest, TracksPositions) {
    const std::string text = "out { in }";
    Tokenizer tokenizer(text);  // with a searcher of its own
    Token token;
    ASSERT_TRUE(tokenizer.nextToken(token));
    ASSERT_TRUE(tokenizer.nextToken(token));
    ASSERT_TRUE(tokenizer.nextToken(token));
    EXPECT_EQ(token.text, "{");
    EXPECT_EQ(tokenizer.previousPosition(), 4u);
    EXPECT_EQ(tokenizer.position(), 5u);
}

TEST(TokenizerTest, SearchWindowAndSkipBlanks) {
    CppSearcher searcher;
    const std::string text = "  \t abcdef\"quoted text\"";
    bool significant = true;
    EXPECT_EQ(searcher.findTokenEnd(text, significant, 4, 3), 7u);  // the word is cut at the limit
    EXPECT_TRUE(significant);
    EXPECT_EQ(searcher.findTokenEnd(text, significant, 10, 5), 15u);  // so is an open quote
    EXPECT_EQ(searcher.findTokenEnd(text, significant, 0, 1), 1u);
    EXPECT_FALSE(significant);
    EXPECT_EQ(searcher.findTokenEnd(text, significant, text.size(), std::string::npos), std::string::npos);
    EXPECT_EQ(searcher.findTokenEnd(text, significant, 4, 0), std::string::npos);

    size_t count = 99;
    EXPECT_EQ(searcher.skipBlanks(text, count, 0, std::string::npos), 4u);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(searcher.skipBlanks(text, count, 0, 2), 2u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(searcher.skipBlanks("a\n", count, 1, std::string::npos), 1u);  // a line feed is visible
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(searcher.skipBlanks("a  ", count, 1, std::string::npos), std::string::npos);
    EXPECT_EQ(count, 2u);
}

TEST(TokenizerTest, SharedOperatorTables) {
    CppSearcher one;
    CppSearcher two;
    EXPECT_EQ(&one.operators(), &two.operators());
    EXPECT_EQ(CppSearcher::operators().size(), 48u);
    EXPECT_EQ(CppSearcher::operatorChars(), ":.->+-*&!^|,/%<=?()[]{};\n");
}

/// A searcher that never moves: the tokenizer must stop rather than spin.
class StuckSearcher : public StringSearcher {
public:
    size_t skipBlanks(const std::string&, size_t& count, size_t start, size_t) const override {
        count = 0;
        return start;
    }
    size_t findTokenEnd(const std::string&, bool& significant, size_t start, size_t) const override {
        significant = true;
        return start;
    }
};

TEST(TokenizerTest, StopsOnASearcherThatDoesNotAdvance) {
    const std::string text = "abc";
    StuckSearcher stuck;
    Tokenizer tokenizer(text, stuck);
    Token token;
    EXPECT_FALSE(tokenizer.nextToken(token));
    EXPECT_EQ(tokenizer.position(), 0u);
}

}  // namespace
