/// The calls that each system's side of TestSystem.h provides to the portable
/// part: starting, feeding, reading, waiting for and ending a child process.
/// The portable part (TestSystem.cpp) collects the output with a reader thread
/// per stream and keeps the bookkeeping.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "testing/TestSystem.h"

namespace Brolix {
namespace test {
namespace side {

/// A started child with its pipes; made by startProcess, given back with
/// releaseProcess.
struct Process;

/// Starts `program`; null when the system refuses, with `problem` saying why.
Process* startProcess(const std::string& program, const std::vector<std::string>& arguments,
                      const ChildOptions& options, std::string& problem);
/// Blocks until the child has written to its standard output (stream 1) or
/// error (stream 2), and reads some of it; 0 at the end of the stream (and
/// always for a stream that is not collected).
size_t readStream(Process& process, int stream, char* buffer, size_t size);
bool writeInput(Process& process, const std::string& text);
void closeInput(Process& process);
/// Waits for the child's end or stop, at most `timeoutMs` (negative: as long
/// as it takes).
ProcessEnd waitProcess(Process& process, long timeoutMs);
void killProcess(Process& process);
void resumeProcess(Process& process);
/// Closes what is left of the child's handles; a child still running goes on.
void releaseProcess(Process* process);

}  // namespace side
}  // namespace test
}  // namespace Brolix
