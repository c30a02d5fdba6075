/// Path operations on library paths. The library writes the backslash as path
/// separator; every search for a separator also accepts the slash. Directory
/// texts end in a separator. None of these throws and none logs.
#pragma once

#include <string>

namespace Brolix {

/// The separator the library writes.
constexpr char PATH_SEPARATOR = '\\';

/// Appends a backslash unless the path is empty or already ends in a backslash
/// or a slash.
void ensureTrailingSeparator(std::string& path);

/// Turns every separator into a backslash and collapses runs of separators into
/// one. The first character is left alone, so a leading pair (a network path)
/// keeps both characters.
void normaliseSeparators(std::string& path);

/// The text after the last dot anywhere in the path (a dot in a directory name
/// counts); "" without a dot.
std::string getExtension(const std::string& path);

/// Removes the dot and the extension from the end of the path and returns the
/// extension; a path without an extension is unchanged.
std::string stripExtension(std::string& path);

/// The path up to and including its last separator; "" if it has none.
std::string getDirectory(const std::string& path);

/// The part after the last separator; the whole path if it has none.
std::string getFileName(const std::string& path);

/// The process's current directory with a backslash appended unless it already
/// ends in one; "" when the system cannot tell. Directories of any length are
/// returned whole.
std::string getCurrentDirectory();

}  // namespace Brolix
