#include <cstdio>
#include <string>

#include "LogReceiver.h"
#include "platform/ProgramStart.h"

int main(int argc, char** argv) {
    std::string problem;
    if (!Brolix::platform::startProgram(problem)) {
        std::fprintf(stderr, "brolix-logreceiver: %s\n", problem.c_str());
        return Brolix::RECEIVER_USAGE;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg(argv[i]);
        if (arg == "--version" || arg == "-V") {
            std::fputs("brolix-logreceiver " BROLIX_VERSION "\n", stdout);
            return std::fflush(stdout) == 0 && !std::ferror(stdout) ? Brolix::RECEIVER_OK : Brolix::RECEIVER_FAILED;
        }
    }
    Brolix::LogReceiverOptions options;
    std::string error;
    if (!Brolix::parseLogReceiverArguments(argc - 1, argv + 1, options, error)) {
        std::fprintf(stderr, "brolix-logreceiver: %s\n%s", error.c_str(), Brolix::logReceiverUsage().c_str());
        return Brolix::RECEIVER_USAGE;
    }
    if (options.help) {
        std::fputs(Brolix::logReceiverUsage().c_str(), stdout);
        return Brolix::RECEIVER_OK;
    }
    return Brolix::runLogReceiver(options);
}
