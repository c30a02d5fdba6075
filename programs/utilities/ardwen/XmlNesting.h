/// Parsing an XML file's text into the library's document tree without letting
/// any text crash or stall the builder.
///
/// The XML library parses and releases element trees recursively, one level of
/// machine stack per level of element nesting, so a deep enough file overflows
/// any fixed stack. No look at the bytes short of the library's own lexer can
/// tell how deep the library will go: it skips byte-order marks inside tags,
/// swallows markup into character references and steps over whole multi-byte
/// characters. What it cannot do is make an element without a "<" of its own:
/// every element starts at a "<" followed by neither "/", "!" nor "?", and
/// nested elements start at different ones. The number of those bytes therefore
/// bounds the depth whatever the lexer makes of the rest. Where that bound passes
/// the caller's limit, parseXmlText parses on a thread whose stack holds that
/// many levels, and the document it fills is released on such a thread too.
///
/// The library also takes time that grows with the square of the depth (every
/// new element looks its document up through all its parents: 40,000 levels take
/// a minute), so a file nested deeper than the limit is refused before the
/// library parses it, by scanXmlText, which follows the library's grammar without
/// building anything. A fault in that walk can cost time and let a deeper tree
/// through, never crash the builder: the stacks are sized by the count above.
///
/// The library may read up to three bytes past the zero byte that ends the text
/// (a multi-byte character step at the very end), so the text is followed by
/// XML_PADDING zero bytes, which stop it there.
#pragma once

#include <cstddef>
#include <memory>

class TiXmlDocument;

namespace Brolix {

/// Zero bytes after the text of a parse buffer.
constexpr size_t XML_PADDING = 8;

/// What parseXmlText made of a text.
enum class XmlLoad {
    Parsed,        ///< the document holds the tree; nesting within the limit
    Rejected,      ///< the library refused the text; its error is set in the document
    TooDeep,       ///< elements nest deeper than the limit
    Unterminated,  ///< the library accepted the text, but its reading ends inside a
                   ///< comment, CDATA section, declaration or other markup
    NoMemory,      ///< no memory (or no thread stack) to parse it
};

/// What the library will make of a text, found by following its grammar.
struct XmlShape {
    /// The deepest element nesting the library reaches, errors included (it
    /// recurses into an element before it finds the element broken); at most
    /// the limit + 1, where the walk stops.
    size_t depth;
    /// The library's reading ends inside a comment, CDATA section, declaration
    /// or other markup at the top level, which it keeps without complaint: the
    /// file is cut short there, or the library ignores all that follows.
    bool unterminated;
};

/// Prepares a file's content in place the way the library does before it parses:
/// the text ends at its first zero byte, and "\r\n" and a lone "\r" become "\n".
/// Returns the new length and writes XML_PADDING zero bytes there, so `text`
/// needs room for `size` + XML_PADDING bytes.
size_t normaliseXmlText(char* text, size_t size);

/// Follows the library's grammar through the prepared `text` without building
/// anything, and stops once the nesting passes `maxDepth`.
XmlShape scanXmlText(const char* text, size_t size, size_t maxDepth);

/// The most levels of element nesting the library can make of `text`: the
/// number of "<" bytes followed by neither "/", "!" nor "?".
size_t xmlNestingBound(const char* text, size_t size);

/// The stack a parse of a text with that bound needs, with room to spare.
size_t xmlParseStackBytes(size_t nestingBound);

/// The deepest level of element nesting in the document; a top-level element is
/// level 1. Walks the tree without recursion (its cost is that of a walk through
/// every node, so the parse does not use it).
size_t xmlElementDepth(const TiXmlDocument& document);

/// Deletes a document on a thread whose stack holds `stackBytes` (on the
/// calling thread when it is 0), so that a tree of any depth its text allowed is
/// released without harm. parseXmlText sets the size.
struct XmlDocumentRelease {
    size_t stackBytes = 0;
    void operator()(TiXmlDocument* document) const;
};
using XmlDocumentPtr = std::unique_ptr<TiXmlDocument, XmlDocumentRelease>;

/// Parses the prepared `text` of `size` bytes (followed by XML_PADDING zero
/// bytes, as normaliseXmlText leaves it) into the empty `document`, allowing
/// `maxDepth` levels of element nesting. The calling thread's stack must hold
/// that many levels. On anything but Parsed the document is left without nodes
/// (an error the library set stays).
XmlLoad parseXmlText(XmlDocumentPtr& document, const char* text, size_t size, size_t maxDepth);

}  // namespace Brolix
