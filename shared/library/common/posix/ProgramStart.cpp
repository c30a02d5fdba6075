// Linux hands a program its arguments as the bytes it was given, and a terminal
// shows what the program writes as it is: nothing to ready or check.
#include "platform/ProgramStart.h"

namespace Brolix {
namespace platform {

bool startProgram(std::string& problem) {
    problem.clear();
    return true;
}

}  // namespace platform
}  // namespace Brolix
