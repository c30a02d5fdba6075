#include "XmlNesting.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Brolix {

namespace {

// The library's view of the text: its encoding mode decides how far one
// character step goes inside text and quoted values.
enum class Encoding { Unknown, Utf8, Legacy };

// Bytes the library steps over for one character in UTF-8 mode, by lead byte.
size_t utf8Step(unsigned char b) {
    if (b >= 0xC2 && b <= 0xDF) return 2;
    if (b >= 0xE0 && b <= 0xEF) return 3;
    if (b >= 0xF0 && b <= 0xF4) return 4;
    return 1;
}

// Character classes of the library, one bit each per byte value.
enum : unsigned char { kSpace = 1, kNameStart = 2, kNameChar = 4 };

struct CharClasses {
    unsigned char bits[256] = {};
    CharClasses() {
        for (int b = 0; b < 256; ++b) {
            // Every byte from 127 up counts as a letter for the library's names.
            const bool alpha = b >= 127 || ((b | 0x20) >= 'a' && (b | 0x20) <= 'z');
            const bool digit = b >= '0' && b <= '9';
            if (b == ' ' || (b >= '\t' && b <= '\r')) bits[b] |= kSpace;
            if (alpha || b == '_') bits[b] |= kNameStart;
            if (alpha || digit || b == '_' || b == '-' || b == '.' || b == ':') bits[b] |= kNameChar;
        }
    }
};

const CharClasses kClasses;

bool isSpace(unsigned char b) { return (kClasses.bits[b] & kSpace) != 0; }
bool isNameStart(unsigned char b) { return (kClasses.bits[b] & kNameStart) != 0; }
bool isNameChar(unsigned char b) { return (kClasses.bits[b] & kNameChar) != 0; }

unsigned char lower(unsigned char b) { return (b >= 'A' && b <= 'Z') ? static_cast<unsigned char>(b + 32) : b; }

// The text of an attribute value as the library delivers it before it knows the
// encoding: numeric and the five named entities become single bytes.
std::string decodeEntities(const std::string& value) {
    static const char* const kNamed[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};
    static const char kNamedChar[] = {'&', '<', '>', '"', '\''};
    std::string text;
    for (size_t i = 0; i < value.size();) {
        if (value[i] != '&') {
            text += value[i++];
            continue;
        }
        if (i + 2 < value.size() && value[i + 1] == '#') {
            const bool hex = value[i + 2] == 'x';
            const size_t semicolon = value.find(';', i + 2);
            if (semicolon == std::string::npos) return text;
            unsigned long code = 0;
            for (size_t k = i + (hex ? 3 : 2); k < semicolon; ++k) {
                const char c = value[k];
                int digit = -1;
                if (c >= '0' && c <= '9') digit = c - '0';
                else if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
                else if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
                if (digit < 0) return text;
                code = code * (hex ? 16 : 10) + static_cast<unsigned long>(digit);
            }
            text += static_cast<char>(code);
            i = semicolon + 1;
            continue;
        }
        size_t n = 0;
        for (; n < 5; ++n) {
            if (value.compare(i, std::strlen(kNamed[n]), kNamed[n]) == 0) break;
        }
        if (n < 5) {
            text += kNamedChar[n];
            i += std::strlen(kNamed[n]);
        } else {
            text += value[i++];
        }
    }
    return text;
}

bool hasPrefixIgnoringCase(const std::string& text, const char* prefix) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= text.size() || lower(static_cast<unsigned char>(text[i])) != lower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

class Scanner {
public:
    Scanner(const char* text, size_t size, size_t maxDepth)
        : m_data(reinterpret_cast<const unsigned char*>(text)), m_size(size), m_maxDepth(maxDepth) {}

    XmlNesting run();

private:
    // Returned instead of a position when the walk is over: the library stops
    // there with an error, or m_outcome says why the check ends.
    static constexpr size_t kEnd = SIZE_MAX;

    unsigned char at(size_t i) const { return i < m_size ? m_data[i] : 0; }
    bool startsWith(size_t i, const char* literal, bool ignoreCase) const;
    size_t skipSpace(size_t i) const;
    size_t readName(size_t i) const;
    size_t readText(size_t i, unsigned char end);
    size_t passTo(size_t i, const char* terminator);
    size_t attribute(size_t i, size_t* valueBegin, size_t* valueEnd);
    size_t declaration(size_t i, std::string* encoding);
    size_t otherNode(size_t i);
    size_t element(size_t i);
    bool startsElement(size_t i) const;
    size_t unsafe() {
        m_outcome = XmlNesting::Unterminated;
        return kEnd;
    }

    const unsigned char* m_data;
    size_t m_size;
    size_t m_maxDepth;
    Encoding m_encoding = Encoding::Unknown;
    XmlNesting m_outcome = XmlNesting::Fine;
    // Open elements, innermost last, as [begin, end) of their names.
    std::vector<std::pair<size_t, size_t>> m_open;
};

bool Scanner::startsWith(size_t i, const char* literal, bool ignoreCase) const {
    for (; *literal != '\0'; ++literal, ++i) {
        const unsigned char b = at(i);
        const unsigned char l = static_cast<unsigned char>(*literal);
        if (b == 0) return false;
        if (ignoreCase ? lower(b) != lower(l) : b != l) return false;
    }
    return true;
}

// The text ends in a zero byte, so reading up to and including m_size is safe.
size_t Scanner::skipSpace(size_t i) const {
    for (;;) {
        const unsigned char b = m_data[i];
        if (isSpace(b)) {
            ++i;
        } else if (b == 0xEF && m_encoding == Encoding::Utf8 &&
                   ((m_data[i + 1] == 0xBB && m_data[i + 2] == 0xBF) ||
                    (m_data[i + 1] == 0xBF && (m_data[i + 2] == 0xBE || m_data[i + 2] == 0xBF)))) {
            i += 3;
        } else {
            return i;
        }
    }
}

// End of the name that starts at i, or i itself when none starts there.
size_t Scanner::readName(size_t i) const {
    if (!isNameStart(m_data[i])) return i;
    while (isNameChar(m_data[i])) ++i;
    return i;
}

// Steps character by character, as the library reads text and quoted values,
// up to the byte `end` or the end of the document. A multi-byte step that would
// leave the document is a read past the library's buffer.
size_t Scanner::readText(size_t i, unsigned char end) {
    if (m_encoding != Encoding::Utf8) {
        const void* found = i < m_size ? std::memchr(m_data + i, end, m_size - i) : nullptr;
        return found != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(found) - m_data) : m_size;
    }
    const uint64_t ones = 0x0101010101010101ULL;
    const uint64_t highBits = 0x8080808080808080ULL;
    const uint64_t ends = ones * end;
    for (;;) {
        // Eight bytes at a time while none of them is `end` or above 127.
        while (i + 8 <= m_size) {
            uint64_t word;
            std::memcpy(&word, m_data + i, sizeof word);
            const uint64_t x = word ^ ends;
            if ((((x - ones) & ~x) | word) & highBits) break;
            i += 8;
        }
        // The byte that stopped the fast walk is among the next eight.
        unsigned char b;
        while ((b = m_data[i]) != end && b != 0 && b < 0x80) ++i;
        if (b == end || b == 0) return i;
        i += utf8Step(b);
        if (i > m_size) return unsafe();
    }
}

// Position after `terminator`, searched from i; the library steps over the
// terminator's length even when the document ends first.
size_t Scanner::passTo(size_t i, const char* terminator) {
    if (i >= m_size) return unsafe();
    const std::string_view document(reinterpret_cast<const char*>(m_data), m_size);
    const size_t found = document.find(terminator, i);
    if (found == std::string_view::npos) return unsafe();
    return found + std::strlen(terminator);
}

size_t Scanner::attribute(size_t i, size_t* valueBegin, size_t* valueEnd) {
    i = skipSpace(i);
    const size_t nameEnd = readName(i);
    if (nameEnd == i || at(nameEnd) == 0) return kEnd;
    i = skipSpace(nameEnd);
    if (at(i) != '=') return kEnd;
    i = skipSpace(i + 1);
    const unsigned char quote = at(i);
    if (quote == 0) return kEnd;
    if (quote == '"' || quote == '\'') {
        *valueBegin = i + 1;
        i = readText(i + 1, quote);
        if (i == kEnd) return kEnd;
        *valueEnd = i;
        if (at(i) == 0) return unsafe();
        return i + 1;
    }
    *valueBegin = i;
    for (unsigned char b = at(i); b != 0 && !isSpace(b) && b != '/' && b != '>'; b = at(++i)) {
        if (b == '"' || b == '\'') return kEnd;
    }
    *valueEnd = i;
    return i;
}

// "<?xml" ... ">": the library reads "version", "encoding" and "standalone" as
// attributes (quoted values may hold ">") and passes over anything else.
size_t Scanner::declaration(size_t i, std::string* encoding) {
    i += 5;
    while (at(i) != 0) {
        if (at(i) == '>') return i + 1;
        i = skipSpace(i);
        const bool isEncoding = startsWith(i, "encoding", true);
        if (isEncoding || startsWith(i, "version", true) || startsWith(i, "standalone", true)) {
            size_t begin = 0, end = 0;
            i = attribute(i, &begin, &end);
            if (i == kEnd) return kEnd;
            if (isEncoding && encoding != nullptr)
                encoding->assign(reinterpret_cast<const char*>(m_data) + begin, end - begin);
        } else {
            while (at(i) != 0 && at(i) != '>' && !isSpace(at(i))) ++i;
        }
    }
    return kEnd;
}

// "<?" and "<!" never start an element: neither mark is a letter.
bool Scanner::startsElement(size_t i) const { return isNameStart(at(i + 1)); }

// A node that is not an element, starting at its "<".
size_t Scanner::otherNode(size_t i) {
    if (startsWith(i, "<?xml", true)) return declaration(i, nullptr);
    if (startsWith(i, "<!--", false)) return passTo(i + 4, "-->");
    if (startsWith(i, "<![CDATA[", false)) return passTo(i + 9, "]]>");
    // Anything else the library keeps as an unknown node up to the next ">".
    for (++i; at(i) != 0; ++i) {
        if (at(i) == '>') return i + 1;
    }
    return kEnd;
}

// One element with everything inside it, walked without recursion.
size_t Scanner::element(size_t i) {
    const size_t outer = m_open.size();
    for (;;) {
        // Start tag at i.
        if (m_open.size() + 1 > m_maxDepth) {
            m_outcome = XmlNesting::TooDeep;
            return kEnd;
        }
        const size_t nameBegin = i + 1;
        const size_t nameEnd = readName(nameBegin);
        i = nameEnd;
        bool open = false;
        for (;;) {
            i = skipSpace(i);
            const unsigned char b = at(i);
            if (b == 0) return kEnd;
            if (b == '/') {
                if (at(i + 1) != '>') return kEnd;
                i += 2;
                break;
            }
            if (b == '>') {
                ++i;
                open = true;
                break;
            }
            size_t begin = 0, end = 0;
            i = attribute(i, &begin, &end);
            if (i == kEnd || at(i) == 0) return kEnd;
        }
        if (open) m_open.emplace_back(nameBegin, nameEnd);

        // Content of the innermost open element, until a nested element starts.
        // White space and text both run to the next "<" the library's character
        // steps land on; only where that is matters here.
        for (;;) {
            if (m_open.size() == outer) return i;
            i = readText(i, '<');
            if (i == kEnd || at(i) == 0) return kEnd;
            if (at(i + 1) == '/') {
                const std::pair<size_t, size_t> name = m_open.back();
                const size_t length = name.second - name.first;
                if (i + 2 + length > m_size || std::memcmp(m_data + i + 2, m_data + name.first, length) != 0)
                    return kEnd;
                // White space may stand between the name and the ">" of an end tag.
                i = skipSpace(i + 2 + length);
                if (at(i) != '>') return kEnd;
                ++i;
                m_open.pop_back();
                continue;
            }
            if (startsElement(i)) break;
            i = otherNode(i);
            if (i == kEnd) return kEnd;
        }
    }
}

XmlNesting Scanner::run() {
    if (at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) m_encoding = Encoding::Utf8;
    size_t i = skipSpace(0);
    while (i != kEnd && at(i) == '<') {
        if (startsWith(i, "<?xml", true)) {
            std::string encoding;
            i = declaration(i, &encoding);
            // The first declaration of the document settles the encoding mode.
            if (m_encoding == Encoding::Unknown) {
                std::string name = decodeEntities(encoding);
                name.resize(std::strlen(name.c_str()));
                m_encoding = name.empty() || hasPrefixIgnoringCase(name, "UTF-8") || hasPrefixIgnoringCase(name, "UTF8")
                                 ? Encoding::Utf8
                                 : Encoding::Legacy;
            }
        } else if (startsElement(i)) {
            i = element(i);
        } else {
            i = otherNode(i);
        }
        if (i == kEnd) break;
        i = skipSpace(i);
    }
    return m_outcome;
}

}  // namespace

size_t normaliseXmlText(char* text, size_t size) {
    const void* zero = std::memchr(text, '\0', size);
    if (zero != nullptr) size = static_cast<size_t>(static_cast<const char*>(zero) - text);
    const void* cr = std::memchr(text, '\r', size);
    if (cr != nullptr) {
        size_t read = static_cast<size_t>(static_cast<const char*>(cr) - text);
        size_t write = read;
        while (read < size) {
            const char c = text[read++];
            if (c == '\r') {
                text[write++] = '\n';
                if (read < size && text[read] == '\n') ++read;
            } else {
                text[write++] = c;
            }
        }
        size = write;
    }
    text[size] = '\0';
    return size;
}

XmlNesting checkXmlNesting(const char* text, size_t size, size_t maxDepth) {
    return Scanner(text, size, maxDepth).run();
}

}  // namespace Brolix
