#include "ParamStream.h"

#include <charconv>

namespace Brolix {

ParamStream::~ParamStream() = default;

ParamStream& ParamStream::addText(const std::string& text) & {
    appendText(text);
    return *this;
}

ParamStream& ParamStream::addText(const char* text) & {
    appendText(text != nullptr ? std::string_view(text) : std::string_view());
    return *this;
}

ParamStream& ParamStream::addNumber(int32_t number) & {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof(digits), number);
    m_text += NUMBER_TYPE;
    m_text.append(digits, result.ptr);
    m_text += SEPARATOR;
    return *this;
}

void ParamStream::appendText(std::string_view text) {
    m_text += TEXT_TYPE;
    m_text.append(text);
    if (text.empty() || text.back() != SEPARATOR) m_text += SEPARATOR;
}

namespace {

/// Walks a parameter text one parameter at a time without copying it. Empty
/// pieces between two separators are parameters; the piece after the last
/// separator is one only when it is not empty.
class ParamCursor {
public:
    explicit ParamCursor(std::string_view params) : m_params(params) { findEnd(); }

    bool atEnd() const { return m_pos >= m_params.size(); }

    /// The current parameter; only valid when not atEnd.
    std::string_view current() const { return m_params.substr(m_pos, m_end - m_pos); }

    void advance() {
        m_pos = m_end < m_params.size() ? m_end + 1 : m_params.size();
        findEnd();
    }

private:
    void findEnd() {
        m_end = m_params.find(ParamStream::SEPARATOR, m_pos);
        if (m_end == std::string_view::npos) m_end = m_params.size();
    }

    std::string_view m_params;
    size_t m_pos = 0;
    size_t m_end = 0;
};

/// The type letter a conversion character takes; '?' for none.
char expectedType(char conversion) {
    switch (conversion) {
        case '%': return '%';
        case 'd': return 'e';
        case 'f':
        case 'i': return 'n';
        case 'p': return 'p';
        case 's': return 's';
        default: return '?';
    }
}

}  // namespace

void expandFormat(std::string_view format, std::string_view params, std::string& out) {
    out.clear();
    ParamCursor cursor(params);
    size_t i = 0;
    const size_t size = format.size();
    while (i < size) {
        const size_t percent = format.find('%', i);
        if (percent == std::string_view::npos) {
            out.append(format.substr(i));
            break;
        }
        out.append(format.substr(i, percent - i));
        i = percent;
        if (cursor.atEnd() || i + 1 >= size) {
            out += "<\?\?\?>";
            i += 2;
            continue;
        }
        const char expected = expectedType(format[i + 1]);
        const std::string_view param = cursor.current();
        // An empty piece (two separators in a row) has no type letter and no value.
        const char type = param.empty() ? '\0' : param[0];
        const std::string_view value = param.empty() ? param : param.substr(1);
        if (type != expected || expected == '?') {
            out += '\\';
            out.append(value);
            out += '\\';
            cursor.advance();
        } else if (expected == '%') {
            out += '%';
        } else {
            out.append(value);
            cursor.advance();
        }
        i += 2;
    }
}

void expandFormat(std::string& format, const std::string& params) {
    std::string expanded;
    expanded.reserve(format.size() + params.size());
    expandFormat(std::string_view(format), std::string_view(params), expanded);
    format.swap(expanded);
}

}  // namespace Brolix
