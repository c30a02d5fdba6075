#include "XmlNesting.h"

#include <tinyxml.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Thread.h"

namespace Brolix {

namespace {

// Stack of the parse thread: a base for the thread itself and the calls around
// the recursion, and a budget per level of nesting. The library takes about
// 230 bytes per level to parse a tree and 100 to release it on x86-64 Linux,
// about 360 for both as the mingw-w64 build on Windows; the budget leaves more
// than twice that, and a test holds the library to half of it.
constexpr size_t kStackBase = 256 * 1024;
constexpr size_t kStackPerLevel = 768;

// ---------------------------------------------------------------------------
// The depth estimate: the library's grammar, followed without building anything

// How the library reads characters inside text and quoted values: one byte at a
// time until the encoding is known to be UTF-8, then whole multi-byte
// characters by their lead byte.
enum class Encoding { Unknown, Utf8, Legacy };

// Bytes the library steps over for one character in UTF-8 mode, by lead byte.
size_t utf8Step(unsigned char b) {
    if (b >= 0xC2 && b <= 0xDF) return 2;
    if (b >= 0xE0 && b <= 0xEF) return 3;
    if (b >= 0xF0 && b <= 0xF4) return 4;
    return 1;
}

// Character classes of the library, one bit each per byte value.
enum : unsigned char { kSpace = 1, kNameStart = 2, kNameChar = 4, kDigit = 8, kHexDigit = 16 };

// Bytes that end a plain run inside text and quoted values: each of the three
// ends, and those the library steps over differently ("&", the zero byte, and
// multi-byte lead bytes in UTF-8 mode).
enum : unsigned char { kStopLess = 1, kStopQuote = 2, kStopApostrophe = 4, kStopAlways = 8, kStopUtf8 = 16 };

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
            if (digit) bits[b] |= kDigit | kHexDigit;
            if ((b | 0x20) >= 'a' && (b | 0x20) <= 'f') bits[b] |= kHexDigit;
            if (b == '<') stops[b] |= kStopLess;
            if (b == '"') stops[b] |= kStopQuote;
            if (b == '\'') stops[b] |= kStopApostrophe;
            if (b == '&' || b == 0) stops[b] |= kStopAlways;
            if (utf8Step(static_cast<unsigned char>(b)) > 1) stops[b] |= kStopUtf8;
        }
    }
    unsigned char stops[256] = {};
};

const CharClasses kClasses;

bool isSpace(unsigned char b) { return (kClasses.bits[b] & kSpace) != 0; }
bool isNameStart(unsigned char b) { return (kClasses.bits[b] & kNameStart) != 0; }
bool isNameChar(unsigned char b) { return (kClasses.bits[b] & kNameChar) != 0; }
bool isDigit(unsigned char b, bool hex) { return (kClasses.bits[b] & (hex ? kHexDigit : kDigit)) != 0; }

unsigned char lower(unsigned char b) {
    return (b >= 'A' && b <= 'Z') ? static_cast<unsigned char>(b + 32) : b;
}

bool hasPrefixIgnoringCase(const std::string& text, const char* prefix) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= text.size() ||
            lower(static_cast<unsigned char>(text[i])) != lower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

// Follows the library through the text as far as it would go and reports the
// deepest element nesting it would reach on the way, errors included: the
// library recurses into an element before it finds the element broken. Each
// step below is the library's own (the names in the comments are its
// functions); where the library stops with an error the walk stops too.
class DepthScanner {
public:
    DepthScanner(const char* text, size_t size, size_t limit)
        : m_data(reinterpret_cast<const unsigned char*>(text)), m_size(size), m_limit(limit) {}

    XmlShape run();

private:
    // Returned instead of a position where the library stops (an error, or a
    // null position at the end of the text), and once the limit is passed.
    static constexpr size_t kStop = SIZE_MAX;

    // The text is followed by zero bytes; a step past its end lands on one.
    unsigned char at(size_t i) const { return i < m_size ? m_data[i] : 0; }
    bool utf8() const { return m_encoding == Encoding::Utf8; }
    bool startsWith(size_t i, const char* literal, bool ignoreCase) const;
    size_t skipSpace(size_t i) const;
    size_t nameEnd(size_t i) const;
    size_t entityEnd(size_t i, std::string* value) const;
    size_t readText(size_t i, unsigned char end, bool trim, std::string* value) const;
    size_t attribute(size_t i, size_t* nameBegin, size_t* nameLength, std::string* value) const;
    size_t declaration(size_t i, std::string* encoding) const;
    size_t otherNode(size_t i, bool* ranOut) const;
    size_t element(size_t i);

    const unsigned char* m_data;
    size_t m_size;
    size_t m_limit;
    size_t m_deepest = 0;
    Encoding m_encoding = Encoding::Unknown;
    // Open elements, innermost last, as [begin, end) of their names.
    std::vector<std::pair<size_t, size_t>> m_open;
    // Attribute names of the start tag being read, as [begin, length).
    std::vector<std::pair<size_t, size_t>> m_attributes;
};

// StringEqual: `literal` stands at i.
bool DepthScanner::startsWith(size_t i, const char* literal, bool ignoreCase) const {
    for (; *literal != '\0'; ++literal, ++i) {
        const unsigned char b = at(i);
        const unsigned char l = static_cast<unsigned char>(*literal);
        if (b == 0 || (ignoreCase ? lower(b) != lower(l) : b != l)) return false;
    }
    return true;
}

// SkipWhiteSpace: in UTF-8 mode byte-order marks count as white space.
inline size_t DepthScanner::skipSpace(size_t i) const {
    for (;;) {
        while (i < m_size && isSpace(m_data[i])) ++i;
        if (i + 2 < m_size && m_data[i] == 0xEF && utf8() &&
            ((m_data[i + 1] == 0xBB && m_data[i + 2] == 0xBF) ||
             (m_data[i + 1] == 0xBF && (m_data[i + 2] == 0xBE || m_data[i + 2] == 0xBF)))) {
            i += 3;
            continue;
        }
        return i;
    }
}

// ReadName: the end of the name that starts at i, or i itself when none does.
inline size_t DepthScanner::nameEnd(size_t i) const {
    if (!isNameStart(at(i))) return i;
    while (isNameChar(at(i))) ++i;
    return i;
}

// GetEntity at the "&" at i: where the library goes on, or kStop where it
// fails. A character reference runs to the next ";" anywhere after it and is
// checked backwards from there only as far as the last "x" (or "#"), so it may
// swallow markup. `value`, when given, gets the byte the library makes of it
// before it knows the encoding.
size_t DepthScanner::entityEnd(size_t i, std::string* value) const {
    if (at(i + 1) == '#' && at(i + 2) != 0) {
        const bool hex = at(i + 2) == 'x';
        const size_t from = hex ? i + 3 : i + 2;
        const void* found = from < m_size ? std::memchr(m_data + from, ';', m_size - from) : nullptr;
        if (found == nullptr) return kStop;
        const size_t semicolon = static_cast<size_t>(static_cast<const unsigned char*>(found) - m_data);
        const unsigned char marker = hex ? 'x' : '#';
        uint64_t code = 0;
        uint64_t weight = 1;
        for (size_t k = semicolon - 1; m_data[k] != marker; --k) {
            const unsigned char d = m_data[k];
            if (!isDigit(d, hex)) return kStop;
            code += weight * (d <= '9' ? d - '0' : lower(d) - 'a' + 10);
            weight *= hex ? 16 : 10;
        }
        if (value != nullptr) *value += static_cast<char>(code);
        return semicolon + 1;
    }
    static const char* const kNamed[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};
    static const char kNamedChar[] = {'&', '<', '>', '"', '\''};
    for (size_t n = 0; n < 5; ++n) {
        if (startsWith(i, kNamed[n], false)) {
            if (value != nullptr) *value += kNamedChar[n];
            return i + std::strlen(kNamed[n]);
        }
    }
    if (value != nullptr) *value += '&';
    return i + 1;
}

// ReadText up to the byte `end`: the position after it, or kStop where the
// library returns null (the text, or the character reference, ends first, or
// nothing follows `end`). With `trim`, white space goes byte by byte.
size_t DepthScanner::readText(size_t i, unsigned char end, bool trim, std::string* value) const {
    if (trim) i = skipSpace(i);
    const unsigned char stop = static_cast<unsigned char>(kStopAlways |
                                                          (end == '<'   ? kStopLess
                                                           : end == '"' ? kStopQuote
                                                                        : kStopApostrophe) |
                                                          (utf8() ? kStopUtf8 : 0));
    for (;;) {
        // A run of single-byte characters, as long as nothing is collected; the
        // text is followed by a zero byte, which ends it.
        if (value == nullptr) {
            while (i < m_size && (kClasses.stops[m_data[i]] & stop) == 0) ++i;
        }
        const unsigned char b = at(i);
        if (b == 0) return kStop;
        if (b == end) return at(i + 1) != 0 ? i + 1 : kStop;
        if (b == '&') {
            i = entityEnd(i, value);
            if (i == kStop) return kStop;
            continue;
        }
        const size_t step = (utf8() && !(trim && isSpace(b))) ? utf8Step(b) : 1;
        if (value != nullptr)
            value->append(reinterpret_cast<const char*>(m_data) + i, std::min(step, m_size - i));
        i += step;
    }
}

// TiXmlAttribute::Parse: the position after the attribute at i, or kStop.
size_t DepthScanner::attribute(size_t i, size_t* nameBegin, size_t* nameLength, std::string* value) const {
    i = skipSpace(i);
    const size_t end = nameEnd(i);
    if (end == i || at(end) == 0) return kStop;
    *nameBegin = i;
    *nameLength = end - i;
    i = skipSpace(end);
    if (at(i) != '=') return kStop;
    i = skipSpace(i + 1);
    const unsigned char quote = at(i);
    if (quote == 0) return kStop;
    if (quote == '"' || quote == '\'') return readText(i + 1, quote, false, value);
    for (unsigned char b = at(i); b != 0 && !isSpace(b) && b != '/' && b != '>'; b = at(++i)) {
        if (b == '"' || b == '\'') return kStop;
        if (value != nullptr) *value += static_cast<char>(b);
    }
    return i;
}

// TiXmlDeclaration::Parse at "<?xml": "version", "encoding" and "standalone" are
// read as attributes (quoted values may hold ">"), anything else is passed over.
size_t DepthScanner::declaration(size_t i, std::string* encoding) const {
    i += 5;
    while (at(i) != 0) {
        if (at(i) == '>') return i + 1;
        i = skipSpace(i);
        if (at(i) == 0) break;
        const bool isEncoding = startsWith(i, "encoding", true);
        if (isEncoding || startsWith(i, "version", true) || startsWith(i, "standalone", true)) {
            size_t nameBegin = 0, nameLength = 0;
            std::string value;
            i = attribute(i, &nameBegin, &nameLength, isEncoding ? &value : nullptr);
            if (i == kStop) return kStop;
            if (isEncoding && encoding != nullptr) *encoding = value;
        } else {
            while (at(i) != 0 && at(i) != '>' && !isSpace(at(i))) ++i;
        }
    }
    return kStop;
}

// A node that Identify does not make an element, at its "<". The position
// after it; at the end of the text when it runs there, or kStop where the
// library returns null. `ranOut` tells whether the node ends unclosed.
size_t DepthScanner::otherNode(size_t i, bool* ranOut) const {
    *ranOut = false;
    if (startsWith(i, "<?xml", true)) {
        i = declaration(i, nullptr);
        *ranOut = i == kStop;
        return i;
    }
    const char* terminator = ">";
    size_t from = i + 1;
    if (startsWith(i, "<!--", false)) {
        terminator = "-->";
        from = i + 4;
    } else if (startsWith(i, "<![CDATA[", false)) {
        terminator = "]]>";
        from = i + 9;
    }
    const size_t length = std::strlen(terminator);
    const std::string_view text(reinterpret_cast<const char*>(m_data), m_size);
    const size_t found = from < m_size ? text.find(terminator, from) : std::string_view::npos;
    if (found == std::string_view::npos) {
        *ranOut = true;
        return terminator[0] == ']' ? kStop : m_size;
    }
    const size_t after = found + length;
    // A CDATA section's closing text is read by ReadText, which returns null
    // when nothing follows.
    if (terminator[0] == ']' && at(after) == 0) return kStop;
    return after;
}

// TiXmlElement::Parse and ReadValue for the element at i with everything inside
// it, walked with a stack of open elements instead of recursion.
size_t DepthScanner::element(size_t i) {
    const size_t outer = m_open.size();
    for (;;) {
        // Start tag at i: "<", white space (byte-order marks in UTF-8 mode), a name.
        if (m_open.size() + 1 > m_deepest) {
            m_deepest = m_open.size() + 1;
            if (m_deepest > m_limit) return kStop;
        }
        const size_t nameBegin = skipSpace(i + 1);
        const size_t nameEnd_ = nameEnd(nameBegin);
        if (nameEnd_ == nameBegin || at(nameEnd_) == 0) return kStop;
        i = nameEnd_;
        m_attributes.clear();
        bool open = false;
        for (;;) {
            i = skipSpace(i);
            const unsigned char b = at(i);
            if (b == 0) return kStop;
            if (b == '/') {
                if (at(i + 1) != '>') return kStop;
                i += 2;
                break;
            }
            if (b == '>') {
                ++i;
                open = true;
                break;
            }
            size_t begin = 0, length = 0;
            i = attribute(i, &begin, &length, nullptr);
            if (i == kStop || at(i) == 0) return kStop;
            // The same attribute twice is an error.
            for (const auto& seen : m_attributes) {
                if (seen.second == length && std::memcmp(m_data + seen.first, m_data + begin, length) == 0)
                    return kStop;
            }
            m_attributes.emplace_back(begin, length);
        }
        if (open) {
            m_open.emplace_back(nameBegin, nameEnd_);
            i = skipSpace(i);
        } else if (m_open.size() == outer) {
            return i;
        } else {
            i = skipSpace(i);
        }

        // Content of the innermost open element, until a nested element starts.
        for (;;) {
            const unsigned char b = at(i);
            if (b == 0) return kStop;
            if (b != '<') {
                // A text node: ReadText up to "<", which the library then steps back to.
                i = readText(i, '<', true, nullptr);
                if (i == kStop) return kStop;
                i = skipSpace(i - 1);
                continue;
            }
            if (at(i + 1) == '/') {
                const std::pair<size_t, size_t> name = m_open.back();
                const size_t length = name.second - name.first;
                if (i + 2 + length > m_size) return kStop;
                for (size_t k = 0; k < length; ++k) {
                    if (m_data[i + 2 + k] != m_data[name.first + k]) return kStop;
                }
                // White space may stand between the name and the ">" of an end tag.
                i = skipSpace(i + 2 + length);
                if (at(i) != '>') return kStop;
                m_open.pop_back();
                if (m_open.size() == outer) return i + 1;
                i = skipSpace(i + 1);
                continue;
            }
            if (isNameStart(at(i + 1))) break;
            bool ranOut = false;
            i = otherNode(i, &ranOut);
            if (i == kStop) return kStop;
            i = skipSpace(i);
        }
    }
}

XmlShape DepthScanner::run() {
    if (at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) m_encoding = Encoding::Utf8;
    bool ranOut = false;
    size_t i = skipSpace(0);
    while (at(i) == '<') {
        if (startsWith(i, "<?xml", true)) {
            std::string encoding;
            i = declaration(i, &encoding);
            ranOut = i == kStop;
            // The first declaration of the document settles the encoding mode.
            if (m_encoding == Encoding::Unknown) {
                encoding.resize(std::strlen(encoding.c_str()));
                const bool utf8 = encoding.empty() || hasPrefixIgnoringCase(encoding, "UTF-8") ||
                                  hasPrefixIgnoringCase(encoding, "UTF8");
                m_encoding = utf8 ? Encoding::Utf8 : Encoding::Legacy;
            }
        } else if (isNameStart(at(i + 1))) {
            i = element(i);
        } else {
            i = otherNode(i, &ranOut);
        }
        if (i == kStop || ranOut) break;
        i = skipSpace(i);
    }
    return XmlShape{m_deepest, ranOut};
}

// ---------------------------------------------------------------------------
// Parsing

struct ParseJob {
    TiXmlDocument* document;
    const char* text;
    bool unterminated;
    XmlLoad result;
};

void parseOnThisStack(void* context) {
    ParseJob& job = *static_cast<ParseJob*>(context);
    TiXmlDocument& document = *job.document;
    try {
        document.Parse(job.text, nullptr, TIXML_DEFAULT_ENCODING);
        if (document.Error()) {
            job.result = XmlLoad::Rejected;
        } else if (job.unterminated) {
            job.result = XmlLoad::Unterminated;
        } else {
            job.result = XmlLoad::Parsed;
        }
    } catch (...) {
        // The library throws only what its strings and nodes throw when no
        // memory can be had.
        job.result = XmlLoad::NoMemory;
    }
    // Whatever the caller will not use is released here, on the stack that
    // held the parse.
    if (job.result != XmlLoad::Parsed) document.Clear();
}

void deleteDocument(void* document) { delete static_cast<TiXmlDocument*>(document); }

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
    std::memset(text + size, 0, XML_PADDING);
    return size;
}

size_t xmlNestingBound(const char* text, size_t size) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    const uint64_t ones = 0x0101010101010101ULL;
    const uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
    const uint64_t lesses = ones * '<';
    size_t bound = 0;
    size_t i = 0;
    // Eight bytes at a time; only words that hold a "<" are looked at closer.
    // The byte after the last one is the first zero byte of the padding.
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, sizeof word);
        const uint64_t x = word ^ lesses;
        // The high bit of each byte of `found` is set exactly where x is zero,
        // that is where the word holds a "<" (the lowest byte comes first).
        uint64_t found = ~(((x & low7) + low7) | x | low7);
        for (; found != 0; found &= found - 1) {
            const unsigned char next = bytes[i + static_cast<size_t>(__builtin_ctzll(found)) / 8 + 1];
            if (next != '/' && next != '!' && next != '?') ++bound;
        }
    }
    for (; i < size; ++i) {
        if (bytes[i] != '<') continue;
        const unsigned char next = bytes[i + 1];
        if (next != '/' && next != '!' && next != '?') ++bound;
    }
    return bound;
}

size_t xmlParseStackBytes(size_t nestingBound) {
    if (nestingBound > (SIZE_MAX - kStackBase) / kStackPerLevel) return SIZE_MAX;
    return kStackBase + nestingBound * kStackPerLevel;
}

size_t xmlElementDepth(const TiXmlDocument& document) {
    size_t deepest = 0;
    size_t level = 1;  // of `node`, if it is an element
    const TiXmlNode* node = document.FirstChild();
    while (node != nullptr) {
        if (level > deepest && node->Type() == TiXmlNode::TINYXML_ELEMENT) deepest = level;
        if (node->FirstChild() != nullptr) {
            node = node->FirstChild();
            ++level;
            continue;
        }
        while (node != &document && node->NextSibling() == nullptr) {
            node = node->Parent();
            --level;
        }
        if (node == &document) break;
        node = node->NextSibling();
    }
    return deepest;
}

XmlShape scanXmlText(const char* text, size_t size, size_t maxDepth) {
    return DepthScanner(text, size, maxDepth).run();
}

void XmlDocumentRelease::operator()(TiXmlDocument* document) const {
    if (stackBytes == 0) {
        delete document;
    } else if (!platform::runWithStack(stackBytes, deleteDocument, document)) {
        // Where no such stack can be had the tree is left to the end of the
        // process: released here it could overflow the caller's stack.
    }
}

XmlLoad parseXmlText(XmlDocumentPtr& document, const char* text, size_t size, size_t maxDepth) {
    // The library's parse takes time that grows with the square of the depth,
    // so a file that is too deep is refused before the library sees it.
    const XmlShape shape = scanXmlText(text, size, maxDepth);
    if (shape.depth > maxDepth) return XmlLoad::TooDeep;
    ParseJob job{document.get(), text, shape.unterminated, XmlLoad::NoMemory};
    const size_t bound = xmlNestingBound(text, size);
    if (bound <= maxDepth) {
        // The caller's stack holds maxDepth levels.
        parseOnThisStack(&job);
        return job.result;
    }
    const size_t stack = xmlParseStackBytes(bound);
    if (stack == SIZE_MAX || !platform::runWithStack(stack, parseOnThisStack, &job)) return XmlLoad::NoMemory;
    if (job.result == XmlLoad::Parsed) document.get_deleter().stackBytes = stack;
    return job.result;
}

}  // namespace Brolix
