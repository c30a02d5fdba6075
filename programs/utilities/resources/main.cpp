#include <iostream>

#include "ResourceTool.h"
#include "platform/ProgramStart.h"

int main(int argc, char** argv) {
    std::string problem;
    if (!Brolix::platform::startProgram(problem)) {
        std::cerr << "brolix-resources: " << problem << std::endl;
        return Brolix::TOOL_USAGE;
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == "--version" || args[0] == "-V")) {
        std::cout << "brolix-resources " BROLIX_VERSION "\n";
        std::cout.flush();
        return std::cout.fail() ? Brolix::TOOL_FAILED : Brolix::TOOL_OK;
    }
    const int rc = Brolix::runResourceTool(args, std::cout, std::cerr);
    std::cout.flush();
    return std::cout.fail() && rc == Brolix::TOOL_OK ? Brolix::TOOL_FAILED : rc;
}
