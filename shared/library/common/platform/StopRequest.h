/// A person's request that a console program stop: Ctrl+C, and where the system
/// has them, a request to terminate (SIGTERM) or the closing of the program's
/// console window. A program that watches for them is not ended by them: the
/// request sets a flag, and the program ends by itself soon after.
#pragma once

#include <atomic>
#include <string>

namespace Brolix {
namespace platform {

/// From now on a stop request sets `*flag` to 1 instead of ending the process
/// (from a signal handler or a thread of the system's: the flag is lock-free).
/// When the console is closed or the system shuts down, the system allows the
/// program only a few seconds before it ends it anyway.
void watchStopRequests(std::atomic<int>* flag);

/// Reads standard input to its end and appends it to `text`. A stop request
/// that comes while the read waits for input ends the read (the flag tells the
/// caller); false when the input cannot be read.
bool readStandardInput(std::string& text);

}  // namespace platform
}  // namespace Brolix
