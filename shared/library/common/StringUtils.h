/// Small operations on 8-bit byte strings shared by the start-up code, the build
/// run, the logger and the time parser: option splitting, quote stripping, field
/// splitting, padding, number formatting and a wildcard matcher. None of them
/// throws and none logs; positions are unsigned indexes and "not found" is npos.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Brolix {

/// The line end of every text file the library writes.
constexpr const char LINE_END[] = "\r\n";

/// Removes one pair of enclosing quotes: when the text starts with a double or a
/// single quote and ends with the same character. A lone quote becomes "".
void stripQuotes(std::string& text);

/// Cuts the head off `text` up to the first `delimiter` and returns it; the head
/// and the delimiter are erased from `text`. Without a delimiter the whole text is
/// returned and `text` becomes empty.
std::string splitAt(std::string& text, char delimiter);

/// Splits `text` at `delimiter` into `fields` (cleared first). At most
/// `maxCount` fields are produced, the last one holding the unsplit rest; a
/// `maxCount` of 0 means no limit. With `skipEmpty` empty inner fields are left
/// out; an empty trailing field is never produced.
void splitString(const std::string& text, char delimiter, std::vector<std::string>& fields,
                 uint32_t maxCount = 0, bool skipEmpty = false);

/// Appends `fill` until `text` is `width` characters long; longer texts stay.
void padRight(std::string& text, size_t width, char fill = ' ');

/// True when `text` holds `needle` at `offset` (and the needle fits there).
bool matchesAt(const std::string& text, const std::string& needle, size_t offset);

/// Decimal text of `value` ("%d").
std::string intToString(int32_t value);

/// With `position` >= 0: whether the character there is an ASCII digit (false
/// beyond the end). With a negative `position`: whether every character of the
/// text is a digit, true for the empty text.
bool isDigits(const std::string& text, int32_t position = -1);

/// Wildcard match of the whole `text` against `pattern`: "*" is any run of
/// characters, "?" one character (also next to a star: "a*?" needs two
/// characters), everything else compares exactly. The scan does not backtrack
/// over every split a star could take, so some texts a full matcher would accept
/// are rejected ("*aab" rejects "aaab"); it never accepts a text a full matcher
/// rejects. An empty text matches only "*"; an empty pattern matches nothing.
bool matchWildcard(const std::string& pattern, const std::string& text);

}  // namespace Brolix
