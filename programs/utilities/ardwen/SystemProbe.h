/// SystemProbe asks the system about the builder's surroundings where the file
/// layer reports only that something failed: whether a stream is a terminal
/// that a person watches, and why a file or its folder cannot be written, in the
/// system's own words ("Permission denied", "Read-only file system").
#pragma once

#include <cstdio>
#include <string>

namespace Brolix {

class SystemProbe {
public:
    /// True when `stream` is a terminal (a console window on Windows).
    static bool isTerminal(std::FILE* stream);

    /// Why the file `path` (native form) could not be replaced, as the system
    /// answers for this account: "the folder /x/ cannot be written: Permission
    /// denied", "the file is read-only: Permission denied"; "" when the system
    /// sees no obstacle in the folder or the file.
    static std::string writeProblem(const std::string& path);
    /// Why the file `path` could not be appended to in place: a file that
    /// exists needs only itself to be writable, its folder may be closed; one
    /// that does not exist is made in its folder, as writeProblem tells.
    static std::string appendProblem(const std::string& path);
};

}  // namespace Brolix
