/// checkXmlNesting looks at the bytes of an XML file before the XML library parses
/// it. The library parses and destroys element trees recursively, one level of
/// machine stack per level of element nesting, and it reads past the end of its
/// buffer when a file ends inside a comment, a CDATA section or a quoted attribute
/// value. The check walks the document the way the library tokenises it (names,
/// attributes, quoted values, comments, CDATA, declarations, unknown tags and the
/// library's multi-byte character steps in UTF-8 mode) without building anything,
/// so that such a file is refused before the library sees it.
///
/// The depth it reports is never below the depth the library would reach: where
/// the library would stop with a parse error, the check stops too or goes on
/// conservatively; it never decides on content the library would not have read.
#pragma once

#include <cstddef>

namespace Brolix {

enum class XmlNesting {
    Fine,          ///< safe to parse; nesting within the limit
    TooDeep,       ///< elements nest deeper than the limit
    Unterminated,  ///< the file ends inside a construct the library reads past
};

/// Prepares a file's content in place the way the library does before it parses:
/// the text ends at its first zero byte, and "\r\n" and a lone "\r" become "\n".
/// Returns the new length and writes a zero byte there, so `text` needs room for
/// `size` + 1 bytes.
size_t normaliseXmlText(char* text, size_t size);

/// Checks the prepared `text` of `size` bytes (followed by a zero byte, as
/// normaliseXmlText leaves it) against `maxDepth` levels of element
/// nesting; the document element is level 1.
XmlNesting checkXmlNesting(const char* text, size_t size, size_t maxDepth);

}  // namespace Brolix
