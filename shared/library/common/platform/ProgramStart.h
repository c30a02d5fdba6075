/// What a program does first: it readies its standard streams for a person and
/// checks that its command line arrived whole. Called once, at the start of main.
///
/// Texts of the programs are in the system's code page for 8-bit text (on
/// Windows the program's active code page, UTF-8 through the programs' manifest;
/// on Linux bytes, UTF-8 by custom). Where standard output or error is a Windows
/// console that shows another code page, the console is set to the program's for
/// the program's life and set back when it ends normally, so that names beyond
/// ASCII read right. (A program ended from outside leaves the console so.)
///
/// An argument that the code page cannot carry would reach the program as
/// another name ("?" for each such character on Windows without UTF-8 as the
/// program's code page). startProgram then returns false with a sentence for a
/// person in `problem` that names the argument, and the program fails rather
/// than work on that other name. On Linux arguments are bytes: always true.
#pragma once

#include <string>

namespace Brolix {
namespace platform {

bool startProgram(std::string& problem);

}  // namespace platform
}  // namespace Brolix
