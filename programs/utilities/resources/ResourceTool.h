/// The resource tool: list, read and change resources from the command line.
/// It reads and writes through the library's own resource operations, so it
/// sees the same key (BROLIX_ENV) and the same store as every program.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace Brolix {

/// Exit codes of the tool.
enum ResourceToolExit { TOOL_OK = 0, TOOL_USAGE = 1, TOOL_FAILED = 2 };

/// Runs one command; `args` are the command-line arguments after the program
/// name. Results go to `out`, messages to `err`; returns the exit code.
int runResourceTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace Brolix
