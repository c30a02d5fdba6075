/// The builder's fatal ends, brought back to a fuzz target as an exception
/// instead of ending the process.
#pragma once

#include "BuildConf.h"

namespace Brolix {
namespace fuzz {

struct FatalEnd {
    int exitCode;
};

[[noreturn]] inline void throwFatalEnd(int exitCode) { throw FatalEnd{exitCode}; }

/// Runs one build of the build list `list` (a library path) without logging.
/// Returns 0 when the build ran to its end, else the fatal end's exit code.
inline int runBuild(const std::string& list) {
    setFatalEnding(&throwFatalEnd);
    try {
        BuildConf build(SmartPointer<LoggerUnit>(), list);
    } catch (const FatalEnd& end) {
        return end.exitCode;
    }
    return 0;
}

}  // namespace fuzz
}  // namespace Brolix
