#include "StringUtils.h"

#include <cstdio>

namespace Brolix {

void stripQuotes(std::string& text) {
    if (text.empty()) return;
    const char first = text.front();
    if ((first == '"' || first == '\'') && text.back() == first) {
        text.erase(text.size() - 1);
        if (!text.empty()) text.erase(0, 1);
    }
}

std::string splitAt(std::string& text, char delimiter) {
    if (text.empty()) return std::string();
    const size_t pos = text.find(delimiter);
    std::string head;
    if (pos == std::string::npos) {
        head.swap(text);
    } else {
        head = text.substr(0, pos);
        text.erase(0, pos + 1);
    }
    return head;
}

void splitString(const std::string& text, char delimiter, std::vector<std::string>& fields, uint32_t maxCount,
                 bool skipEmpty) {
    fields.clear();
    if (text.empty()) return;
    // Unsigned on purpose: a maximum of 0 wraps round to "no limit".
    const uint32_t limit = maxCount - 1u;
    size_t start = 0;
    while (fields.size() < limit) {
        const size_t pos = text.find(delimiter, start);
        if (pos == std::string::npos) break;
        if (!(skipEmpty && pos == start)) fields.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
    if (start < text.size()) fields.push_back(text.substr(start));
}

void padRight(std::string& text, size_t width, char fill) {
    if (text.size() < width) text.append(width - text.size(), fill);
}

bool matchesAt(const std::string& text, const std::string& needle, size_t offset) {
    if (offset > text.size() || needle.size() > text.size() - offset) return false;
    return text.compare(offset, needle.size(), needle) == 0;
}

std::string intToString(int32_t value) {
    // Without the format parser: time stamps of every log line are built from these.
    return std::to_string(value);
}

namespace {
bool isDigitChar(char c) { return c >= '0' && c <= '9'; }
}  // namespace

bool isDigits(const std::string& text, int32_t position) {
    if (position >= 0) {
        const size_t index = static_cast<size_t>(position);
        return index < text.size() && isDigitChar(text[index]);
    }
    for (char c : text) {
        if (!isDigitChar(c)) return false;
    }
    return true;
}

namespace {

/// Writes each run of stars and question marks as its question marks followed by
/// one star when the run holds any: "*?" and "?*" both stand for one character or
/// more, and the scan below treats a question mark only before a star as such.
std::string normaliseWildcards(const std::string& pattern) {
    std::string out;
    for (size_t i = 0; i < pattern.size();) {
        if (pattern[i] != '*' && pattern[i] != '?') {
            out += pattern[i++];
            continue;
        }
        bool star = false;
        for (; i < pattern.size() && (pattern[i] == '*' || pattern[i] == '?'); ++i) {
            if (pattern[i] == '?') {
                out += '?';
            } else {
                star = true;
            }
        }
        if (star) out += '*';
    }
    return out;
}

}  // namespace

bool matchWildcard(const std::string& pattern, const std::string& text) {
    if (pattern == "*") return true;
    if (pattern == "?") return text.size() == 1;
    if (text.empty()) return false;
    if (pattern == "?*") return true;

    const std::string pat = normaliseWildcards(pattern);
    if (pat.empty()) return false;
    const size_t patternLength = pat.size();
    const size_t textLength = text.size();
    size_t p = 0;
    size_t t = 0;
    bool starSeen = false;
    size_t star = 0;
    size_t restart = 0;
    for (;;) {
        while (p < patternLength && t < textLength) {
            const char c = pat[p];
            if (c == '*') {
                starSeen = true;
                star = p;
            } else if (c == '?' || c == text[t]) {
                ++t;
            } else {
                if (!starSeen) return false;
                p = star;
                // The first mismatch at a text position retries the character after
                // the star there; the second one moves on.
                if (restart != t + 1) {
                    restart = t + 1;
                } else {
                    ++t;
                }
            }
            ++p;
        }
        if (t == textLength) {
            return p == patternLength || (p == patternLength - 1 && pat[p] == '*');
        }
        if (pat[patternLength - 1] == '*') return true;
        if (!starSeen) return false;
        p = star + 1;
    }
}

}  // namespace Brolix
