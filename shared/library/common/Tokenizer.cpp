#include "Tokenizer.h"

namespace Brolix {

namespace {

bool isBlank(char c) { return static_cast<signed char>(c) <= 32 && c != '\n'; }

/// The end of the search window: min(start + maxLength, size) without overflow.
size_t searchLimit(const std::string& text, size_t start, size_t maxLength) {
    if (start >= text.size()) return text.size();
    return maxLength >= text.size() - start ? text.size() : start + maxLength;
}

struct OperatorTables {
    std::string chars;
    bool isChar[256] = {};
    std::set<std::string> operators;

    OperatorTables() : chars(":.->+-*&!^|,/%<=?()[]{};\n") {
        for (char c : chars) isChar[static_cast<unsigned char>(c)] = true;
        operators = {";",  "::", ".",  "->", "++",  "--", "*",  "&",  "!",   ",",   "/",  "%",
                     "+",  "-",  "<<", ">>", "<",   "<=", ">",  ">=", "==",  "!=",  "^",  "|",
                     "&&", "||", "=",  "+=", "-=",  "*=", "/=", "%=", "<<=", ">>=", "&=", "|=",
                     "^=", "?",  ":",  ".*", "->*", "(",  ")",  "[",  "]",   "{",   "}",  "\n"};
    }
};

const OperatorTables& tables() {
    static const OperatorTables shared;
    return shared;
}

bool isOperatorChar(char c) { return tables().isChar[static_cast<unsigned char>(c)]; }

}  // namespace

Token::~Token() = default;

StringSearcher::~StringSearcher() = default;

CppSearcher::CppSearcher() { tables(); }

CppSearcher::~CppSearcher() = default;

const std::string& CppSearcher::operatorChars() { return tables().chars; }

const std::set<std::string>& CppSearcher::operators() { return tables().operators; }

size_t CppSearcher::skipBlanks(const std::string& text, size_t& count, size_t start, size_t maxLength) const {
    const size_t limit = searchLimit(text, start, maxLength);
    size_t p = start;
    while (p < limit && isBlank(text[p])) ++p;
    count = p > start ? p - start : 0;
    return p >= text.size() ? std::string::npos : p;
}

size_t CppSearcher::findTokenEnd(const std::string& text, bool& significant, size_t start,
                                 size_t maxLength) const {
    const size_t limit = searchLimit(text, start, maxLength);
    significant = false;
    if (start >= limit) return std::string::npos;

    const char first = text[start];
    if (isBlank(first)) {
        size_t p = start + 1;
        while (p < limit && text[p] == first) ++p;
        return p;
    }

    significant = true;
    const std::set<std::string>& ops = operators();
    for (size_t p = start;;) {
        const char c0 = text[p];
        const char c1 = p + 1 < limit ? text[p + 1] : '\0';
        const size_t rest = limit - p;

        if (c0 == '"' || c0 == '\'') {
            if (p > start) return p;
            for (size_t q = p + 1; q < limit; ++q) {
                if (text[q] == '\\') {
                    ++q;
                } else if (text[q] == c0) {
                    return q + 1;
                }
            }
            return limit;
        }
        if (isBlank(c0)) return p;
        if (rest > 1 && c0 == '/' && (c1 == '/' || c1 == '*')) {
            if (p > start) return p;
            if (c1 == '/') {
                size_t end = text.find('\n', p + 2);
                if (end == std::string::npos || end > limit) end = limit;
                if (end > p + 2 && text[end - 1] == '\r') --end;
                return end;
            }
            for (size_t q = p + 2; q + 1 < limit; ++q) {
                if (text[q] == '*' && text[q + 1] == '/') return q + 2;
            }
            return limit;
        }
        if (isOperatorChar(c0)) {
            if (p > start) return p;
            if (rest > 1 && isOperatorChar(c1)) {
                if (rest > 2 && ops.count(text.substr(p, 3)) != 0) return p + 3;
                if (ops.count(text.substr(p, 2)) != 0) return p + 2;
            }
            return p + 1;
        }
        if (++p >= limit) return p;
    }
}

Tokenizer::Tokenizer(const std::string& text, StringSearcher& searcher)
    : m_text(&text), m_searcher(&searcher), m_ownsSearcher(false) {}

Tokenizer::Tokenizer(const std::string& text)
    : m_text(&text), m_searcher(new CppSearcher()), m_ownsSearcher(true) {}

Tokenizer::~Tokenizer() {
    if (m_ownsSearcher) delete m_searcher;
}

bool Tokenizer::nextToken(Token& token) {
    if (m_text == nullptr || m_searcher == nullptr || m_position >= m_text->size()) return false;
    bool significant = false;
    size_t end = m_searcher->findTokenEnd(*m_text, significant, m_position, std::string::npos);
    if (end == std::string::npos) return false;
    if (end > m_text->size()) end = m_text->size();
    // A searcher that cannot move past the position would deliver empty tokens
    // for ever; that is the end of the tokens.
    if (end <= m_position) return false;
    token.text.assign(*m_text, m_position, end - m_position);
    token.significant = significant;
    m_previousPosition = m_position;
    m_position = end;
    return true;
}

}  // namespace Brolix
