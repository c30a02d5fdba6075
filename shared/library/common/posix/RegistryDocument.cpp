#include "posix/RegistryDocument.h"

#include <cstdio>
#include <utility>

namespace Brolix {
namespace platform {

namespace {

const char HEADER[] = "REGEDIT4";
const char HEX[] = "0123456789abcdef";

struct RootName {
    RegistryRoot root;
    const char* name;
};

const RootName ROOT_NAMES[] = {
    {RegistryRoot::ClassesRoot, "HKEY_CLASSES_ROOT"},
    {RegistryRoot::CurrentConfig, "HKEY_CURRENT_CONFIG"},
    {RegistryRoot::CurrentUser, "HKEY_CURRENT_USER"},
    {RegistryRoot::LocalMachine, "HKEY_LOCAL_MACHINE"},
    {RegistryRoot::Users, "HKEY_USERS"},
};

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowerText(const std::string& text) {
    std::string out(text);
    for (char& c : out) c = lower(c);
    return out;
}

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool rootByName(const std::string& name, RegistryRoot& root) {
    for (const RootName& r : ROOT_NAMES) {
        if (sameName(name, r.name)) {
            root = r.root;
            return true;
        }
    }
    return false;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string trim(const std::string& text) {
    size_t b = 0;
    size_t e = text.size();
    while (b < e && isBlank(text[b])) ++b;
    while (e > b && isBlank(text[e - 1])) --e;
    return text.substr(b, e - b);
}

/// Reads a quoted text starting at `pos` (on the opening quote); leaves `pos`
/// after the closing quote.
bool parseQuoted(const std::string& line, size_t& pos, std::string& out) {
    if (pos >= line.size() || line[pos] != '"') return false;
    out.clear();
    for (++pos; pos < line.size(); ++pos) {
        char c = line[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\') {
            if (++pos >= line.size()) return false;
            c = line[pos];
            if (c != '\\' && c != '"') return false;
        }
        out += c;
    }
    return false;
}

/// Comma-separated two-digit hex bytes, blanks allowed around them; an empty
/// list is allowed.
bool parseHexList(const std::string& text, std::vector<unsigned char>& out) {
    out.clear();
    const std::string list = trim(text);
    if (list.empty()) return true;
    size_t pos = 0;
    for (;;) {
        while (pos < list.size() && isBlank(list[pos])) ++pos;
        if (pos + 1 >= list.size()) return false;
        const int hi = hexDigit(list[pos]);
        const int lo = hexDigit(list[pos + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<unsigned char>(hi * 16 + lo));
        pos += 2;
        while (pos < list.size() && isBlank(list[pos])) ++pos;
        if (pos == list.size()) return true;
        if (list[pos] != ',') return false;
        ++pos;
    }
}

bool parseData(const std::string& text, RegistryDocument::Value& value) {
    if (!text.empty() && text[0] == '"') {
        size_t pos = 0;
        std::string s;
        if (!parseQuoted(text, pos, s) || pos != text.size()) return false;
        value.type = REGISTRY_SZ;
        value.data.assign(s.begin(), s.end());
        return true;
    }
    if (text.compare(0, 6, "dword:") == 0) {
        const std::string digits = text.substr(6);
        if (digits.empty() || digits.size() > 8) return false;
        uint32_t number = 0;
        for (char c : digits) {
            const int d = hexDigit(c);
            if (d < 0) return false;
            number = number * 16 + static_cast<uint32_t>(d);
        }
        value.type = REGISTRY_DWORD;
        value.data = {static_cast<unsigned char>(number), static_cast<unsigned char>(number >> 8),
                      static_cast<unsigned char>(number >> 16), static_cast<unsigned char>(number >> 24)};
        return true;
    }
    if (text.compare(0, 4, "hex:") == 0) {
        value.type = REGISTRY_BINARY;
        return parseHexList(text.substr(4), value.data);
    }
    if (text.compare(0, 4, "hex(") == 0) {
        const size_t close = text.find("):", 4);
        if (close == std::string::npos || close == 4 || close > 12) return false;
        uint32_t type = 0;
        for (size_t i = 4; i < close; ++i) {
            const int d = hexDigit(text[i]);
            if (d < 0) return false;
            type = type * 16 + static_cast<uint32_t>(d);
        }
        value.type = type;
        return parseHexList(text.substr(close + 2), value.data);
    }
    return false;
}

/// Walks the physical lines of a text; line ends may be "\n" or "\r\n".
class LineReader {
public:
    explicit LineReader(const std::string& text) : m_text(text) {
        // A UTF-8 byte-order mark before the first line is passed over.
        if (m_text.compare(0, 3, "\xEF\xBB\xBF") == 0) m_pos = 3;
    }
    bool next(std::string& line) {
        if (m_pos >= m_text.size()) return false;
        size_t end = m_text.find('\n', m_pos);
        if (end == std::string::npos) end = m_text.size();
        line.assign(m_text, m_pos, end - m_pos);
        m_pos = end + 1;
        ++m_number;
        return true;
    }
    size_t number() const { return m_number; }

private:
    const std::string& m_text;
    size_t m_pos = 0;
    size_t m_number = 0;
};

bool quotable(const std::vector<unsigned char>& data) {
    for (unsigned char c : data) {
        if (c == 0 || c == '\r' || c == '\n') return false;
    }
    return true;
}

std::string quoted(const std::string& text) {
    std::string out("\"");
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

/// "hex:" or "hex(N):" and the bytes, wrapped to lines of about 80 columns.
void appendHexData(std::string& out, uint32_t type, const std::vector<unsigned char>& data, size_t column) {
    const size_t start = out.size();
    if (type == REGISTRY_BINARY) {
        out += "hex:";
    } else {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "hex(%x):", static_cast<unsigned>(type));
        out += buffer;
    }
    column += out.size() - start;
    for (size_t i = 0; i < data.size(); ++i) {
        out += HEX[data[i] >> 4];
        out += HEX[data[i] & 15];
        column += 2;
        if (i + 1 < data.size()) {
            out += ',';
            ++column;
            if (column > 76) {
                out += "\\\n  ";
                column = 2;
            }
        }
    }
}

}  // namespace

// ---- sections ----

const RegistryDocument::Value* RegistryDocument::Section::findValue(const std::string& name) const {
    const auto it = m_index.find(lowerText(name));
    return it == m_index.end() ? nullptr : &m_values[it->second];
}

RegistryDocument::Value& RegistryDocument::Section::valueFor(const std::string& name) {
    const auto inserted = m_index.emplace(lowerText(name), m_values.size());
    if (inserted.second) {
        m_values.emplace_back();
        m_values.back().name = name;
    }
    return m_values[inserted.first->second];
}

void RegistryDocument::Section::setValue(const std::string& name, uint32_t type,
                                         std::vector<unsigned char> data) {
    Value& value = valueFor(name);
    value.type = type;
    value.data = std::move(data);
}

bool RegistryDocument::Section::deleteValue(const std::string& name) {
    const auto it = m_index.find(lowerText(name));
    if (it == m_index.end()) return false;
    const size_t position = it->second;
    m_index.erase(it);
    m_values.erase(m_values.begin() + static_cast<std::ptrdiff_t>(position));
    for (auto& entry : m_index) {
        if (entry.second > position) --entry.second;
    }
    return true;
}

// ---- the document ----

std::string RegistryDocument::canonicalPath(const std::string& path) {
    std::string out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) {
            if (!out.empty()) out += '\\';
            out.append(path, start, end - start);
        }
        start = end + 1;
    }
    return out;
}

const char* RegistryDocument::rootName(RegistryRoot root) {
    for (const RootName& r : ROOT_NAMES) {
        if (r.root == root) return r.name;
    }
    return "";
}

std::string RegistryDocument::sectionKey(RegistryRoot root, const std::string& path) {
    return std::to_string(static_cast<int>(root)) + ':' + lowerText(path);
}

const RegistryDocument::Section* RegistryDocument::findSection(RegistryRoot root,
                                                               const std::string& path) const {
    const auto it = m_sectionIndex.find(sectionKey(root, path));
    return it == m_sectionIndex.end() ? nullptr : &m_sections[it->second];
}

RegistryDocument::Section& RegistryDocument::section(RegistryRoot root, const std::string& path) {
    const auto inserted = m_sectionIndex.emplace(sectionKey(root, path), m_sections.size());
    if (inserted.second) {
        m_sections.emplace_back();
        m_sections.back().root = root;
        m_sections.back().path = path;
    }
    return m_sections[inserted.first->second];
}

bool RegistryDocument::keyExists(RegistryRoot root, const std::string& path) const {
    if (path.empty() || findSection(root, path) != nullptr) return true;
    for (const Section& s : m_sections) {
        if (s.root != root || s.path.size() <= path.size() || s.path[path.size()] != '\\') continue;
        if (sameName(s.path.substr(0, path.size()), path)) return true;
    }
    return false;
}

bool RegistryDocument::parse(const std::string& text, ParseError* error) {
    *this = RegistryDocument();
    LineReader lines(text);
    size_t failedLine = 0;
    std::string reason;
    auto fail = [&](size_t line, std::string why) {
        failedLine = line;
        reason = std::move(why);
        return false;
    };

    auto parseAll = [&]() -> bool {
        bool headerSeen = false;
        Section* section = nullptr;
        std::vector<std::string> comments;
        std::string raw;
        while (lines.next(raw)) {
            const std::string line = trim(raw);
            if (line.empty()) continue;
            if (line[0] == ';') {
                comments.push_back(line);
                continue;
            }
            if (!headerSeen) {
                if (line != HEADER) {
                    return fail(lines.number(), "the store must begin with the line \"REGEDIT4\"");
                }
                headerSeen = true;
                m_leadingComments.swap(comments);
                continue;
            }
            if (line[0] == '[') {
                if (line.back() != ']' || line.size() < 3) {
                    return fail(lines.number(), "a key line must read [ROOT\\key\\...]");
                }
                if (line[1] == '-')
                    return fail(lines.number(), "entries that delete a key are not supported");
                const std::string full = line.substr(1, line.size() - 2);
                const size_t sep = full.find('\\');
                RegistryRoot root;
                if (!rootByName(full.substr(0, sep), root)) {
                    return fail(lines.number(), "unknown root key \"" + full.substr(0, sep) + "\"");
                }
                const std::string path =
                    sep == std::string::npos ? std::string() : canonicalPath(full.substr(sep));
                section = &this->section(root, path);
                section->comments.insert(section->comments.end(), comments.begin(), comments.end());
                comments.clear();
                continue;
            }
            const size_t start = lines.number();
            if (section == nullptr) return fail(start, "a value before the first key line");
            Value value;
            size_t pos = 0;
            if (line[0] == '@') {
                pos = 1;
            } else if (!parseQuoted(line, pos, value.name)) {
                return fail(start,
                            "a value name must be written in double quotes (or @ for the unnamed value)");
            }
            while (pos < line.size() && isBlank(line[pos])) ++pos;
            if (pos >= line.size() || line[pos] != '=')
                return fail(start, "\"=\" expected after the value name");
            ++pos;
            while (pos < line.size() && isBlank(line[pos])) ++pos;
            std::string data = line.substr(pos);
            if (data.compare(0, 3, "hex") == 0) {
                // A hex list goes on over the following lines while a line ends
                // in a backslash.
                while (!data.empty() && data.back() == '\\') {
                    data.pop_back();
                    std::string more;
                    if (!lines.next(more))
                        return fail(start, "the hex list goes on past the end of the store");
                    data += trim(more);
                }
            }
            if (!parseData(data, value)) {
                return fail(start, "the data of the value " +
                                       (value.name.empty() ? std::string("@") : quoted(value.name)) +
                                       " cannot be read");
            }
            Value& stored = section->valueFor(value.name);
            if (stored.comments.empty()) stored.comments.swap(comments);
            comments.clear();
            stored.type = value.type;
            stored.data.swap(value.data);
        }
        if (headerSeen) {
            m_trailingComments.swap(comments);
        } else {
            m_leadingComments.swap(comments);
        }
        return true;
    };

    if (parseAll()) return true;
    *this = RegistryDocument();
    if (error != nullptr) {
        error->line = failedLine;
        error->what = reason;
    }
    return false;
}

std::string RegistryDocument::format() const {
    std::string out;
    for (const std::string& c : m_leadingComments) out += c + "\n";
    out += HEADER;
    out += "\n\n";
    for (const Section& s : m_sections) {
        for (const std::string& c : s.comments) out += c + "\n";
        out += "[";
        out += rootName(s.root);
        if (!s.path.empty()) out += "\\" + s.path;
        out += "]\n";
        for (const Value& v : s.m_values) {
            for (const std::string& c : v.comments) out += c + "\n";
            const size_t lineStart = out.size();
            out += v.name.empty() ? std::string("@") : quoted(v.name);
            out += '=';
            if (v.type == REGISTRY_SZ && quotable(v.data)) {
                out += quoted(std::string(v.data.begin(), v.data.end()));
            } else if (v.type == REGISTRY_DWORD && v.data.size() == 4) {
                char buffer[16];
                const uint32_t number =
                    static_cast<uint32_t>(v.data[0]) | static_cast<uint32_t>(v.data[1]) << 8 |
                    static_cast<uint32_t>(v.data[2]) << 16 | static_cast<uint32_t>(v.data[3]) << 24;
                std::snprintf(buffer, sizeof buffer, "dword:%08x", static_cast<unsigned>(number));
                out += buffer;
            } else {
                appendHexData(out, v.type, v.data, out.size() - lineStart);
            }
            out += "\n";
        }
        out += "\n";
    }
    for (const std::string& c : m_trailingComments) out += c + "\n";
    return out;
}

}  // namespace platform
}  // namespace Brolix
