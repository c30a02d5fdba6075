/// ParamStream is the typed parameter list attached to numbered messages and to
/// debug formats. It holds one text: each parameter is a type letter ('s' for
/// text, 'n' for a number), its value, and the parameter separator 0x1A. The
/// text travels unchanged inside a message entry's wire text, so its layout is
/// read by other programs and must not change.
///
/// Calls chain: ParamStream().addText(name).addNumber(count). Chaining on a
/// temporary moves it along, so handing such a chain to a LoggerUnit call does
/// not copy the text.
///
/// expandFormat turns a printf-like format and a parameter text into the final
/// text of a debug entry.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace Brolix {

class ParamStream {
public:
    /// Ends every parameter inside the text.
    static constexpr char SEPARATOR = '\x1A';
    static constexpr char TEXT_TYPE = 's';
    static constexpr char NUMBER_TYPE = 'n';

    ParamStream() = default;
    ParamStream(const ParamStream&) = default;
    ParamStream(ParamStream&&) noexcept = default;
    ParamStream& operator=(const ParamStream&) = default;
    ParamStream& operator=(ParamStream&&) noexcept = default;
    virtual ~ParamStream();

    /// Adds a text parameter. The separator is not doubled when the text already
    /// ends with one; an empty text still gets its separator. A null pointer
    /// counts as the empty text.
    ParamStream& addText(const std::string& text) &;
    ParamStream& addText(const char* text) &;
    ParamStream&& addText(const std::string& text) && { return std::move(addText(text)); }
    ParamStream&& addText(const char* text) && { return std::move(addText(text)); }

    /// Adds a number parameter in signed decimal.
    ParamStream& addNumber(int32_t number) &;
    ParamStream&& addNumber(int32_t number) && { return std::move(addNumber(number)); }

    /// The parameter text, type letters and separators included.
    const std::string& text() const { return m_text; }

private:
    void appendText(std::string_view text);

    std::string m_text;
};

/// Replaces the conversions of `format` with the parameters of `params`, in
/// order. A conversion is '%' and the character after it: 's' takes a text
/// parameter, 'i' and 'f' a number; a parameter of another type, or one met by
/// any other conversion, is shown between backslashes. A conversion with no
/// parameter left (or a '%' that ends the format) shows "<???>". '%%' becomes
/// '%' only when the parameter it meets has the type letter '%'. Parameters
/// left over are dropped. Never fails.
void expandFormat(std::string& format, const std::string& params);

/// The same expansion, written into `out` (whose old content is replaced).
void expandFormat(std::string_view format, std::string_view params, std::string& out);

}  // namespace Brolix
