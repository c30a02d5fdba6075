/// A small lexical layer: a Tokenizer walks a text and cuts it into Tokens; where
/// a token ends is decided by a pluggable StringSearcher. CppSearcher knows
/// C-like rules: runs of blanks, quoted strings, line and block comments, a fixed
/// set of operators (longest match) and words. The build list is read through it.
#pragma once

#include <cstddef>
#include <set>
#include <string>

namespace Brolix {

/// One piece of a text, exactly as it stands there (quotes, backslashes and
/// comment markers included). Runs of blanks are not significant; every other
/// token is.
class Token {
public:
    Token() = default;
    virtual ~Token();

    std::string text;
    bool significant = false;
};

/// Decides where tokens end. Both searches look at `text` from `start` and go
/// no further than min(start + maxLength, text length); a maxLength of npos
/// lets them run to the end of the text.
class StringSearcher {
public:
    virtual ~StringSearcher();

    /// Skips blanks from `start`; `count` is the number skipped. Returns where it
    /// stopped, or npos when that is at or past the end of the text.
    virtual size_t skipBlanks(const std::string& text, size_t& count, size_t start,
                              size_t maxLength) const = 0;

    /// The end (one past the last character) of the token that starts at
    /// `start`, or npos when there is none; `significant` tells whether the
    /// token is more than blanks.
    virtual size_t findTokenEnd(const std::string& text, bool& significant, size_t start,
                                size_t maxLength) const = 0;
};

/// C-like lexical rules. Bytes are taken as signed: a blank is a byte of value
/// 32 or less other than the line feed, which includes every byte from 128 to
/// 255. A run of one and the same blank byte is one token. A quoted string runs
/// to the next unescaped quote of its kind (a backslash keeps the next byte from
/// closing it) or to the limit. "//" runs to the line end (the line feed and a
/// carriage return before it excluded), "/*" through the next "*/". Operators
/// take the longest of three, two or one characters; a line feed is always a
/// token of its own. A word is a run of other visible bytes. The operator
/// tables are built once and shared by all searchers.
class CppSearcher : public StringSearcher {
public:
    CppSearcher();
    ~CppSearcher() override;

    size_t skipBlanks(const std::string& text, size_t& count, size_t start, size_t maxLength) const override;
    size_t findTokenEnd(const std::string& text, bool& significant, size_t start,
                        size_t maxLength) const override;

    /// The characters that can start an operator.
    static const std::string& operatorChars();
    /// The operator tokens, compared as whole texts.
    static const std::set<std::string>& operators();
};

/// Cuts a caller-owned text into tokens, front to back. The text must outlive
/// the tokenizer, which never copies or changes it.
class Tokenizer {
public:
    /// Uses `searcher`, which stays the caller's and must outlive the tokenizer.
    Tokenizer(const std::string& text, StringSearcher& searcher);
    /// Uses a CppSearcher of its own.
    explicit Tokenizer(const std::string& text);
    // The text is referred to, not copied: a temporary would be gone at once.
    Tokenizer(std::string&&, StringSearcher&) = delete;
    explicit Tokenizer(std::string&&) = delete;
    Tokenizer(const Tokenizer&) = delete;
    Tokenizer& operator=(const Tokenizer&) = delete;
    virtual ~Tokenizer();

    /// Delivers the next token and moves past it. False at the end of the text,
    /// or when the searcher finds no token there.
    bool nextToken(Token& token);

    /// Index of the first character not yet delivered.
    size_t position() const { return m_position; }
    /// Start index of the last delivered token.
    size_t previousPosition() const { return m_previousPosition; }

private:
    const std::string* m_text;
    size_t m_position = 0;
    size_t m_previousPosition = 0;
    StringSearcher* m_searcher;
    bool m_ownsSearcher;
};

}  // namespace Brolix
