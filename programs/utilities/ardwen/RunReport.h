/// RunReport is the account of one run that `--report=FILE` asks for: a JSON
/// document that a tool in a pipeline reads instead of standard error. It names
/// the program, the mode, the build list, every configuration file with what
/// became of it, the fatal failure or the interruption that ended the run, and
/// the exit status.
///
/// Strings are JSON strings of the bytes the program has: quotes, backslashes
/// and control characters are escaped (\n, \t, ... or \u00XX), well-formed UTF-8
/// passes unchanged, and every byte that is not part of a well-formed UTF-8
/// sequence becomes U+FFFD, so that the document is always valid UTF-8.
#pragma once

#include <string>
#include <vector>

#include "BuildConf.h"

namespace Brolix {

class RunReport {
public:
    std::string mode = "build";  ///< "build", "only-changed" or "check"
    std::string buildList;       ///< as standard error names it; "" before it is known
    std::vector<OutputRecord> outputs;
    /// The line standard error was told about the fatal failure that ended the
    /// run (without "ardwen: "); "" when there was none.
    std::string error;
    /// "SIGINT" or "SIGTERM" when a stop request ended the run (the console's
    /// events on Windows count as "SIGINT").
    std::string interruptedBy;
    int exitStatus = 0;

    /// The whole document, ending in a line break.
    std::string toJson() const;

    /// Writes the document to `path` as a safe update: a reader finds the whole
    /// old file or the whole new one. On failure returns false and says why in
    /// `problem`.
    bool write(const std::string& path, std::string& problem) const;

    /// `text` as a JSON string, quotes included.
    static std::string jsonString(const std::string& text);
};

}  // namespace Brolix
