// Ardwen: builds configuration files from XML definition files.
//
// The entry point settles the installation directory, the debug level and the
// build-list argument, sets up the logging chain, runs exactly one build and
// reports its end. Fatal failures inside the build end the process with their own
// exit codes; start-up itself knows only success (0) and a logging chain that
// cannot be set up (8).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BuildConf.h"
#include "FileUtils.h"
#include "LogMessenger.h"
#include "LogMessengerIPC.h"
#include "LoggerCentre.h"
#include "LoggerUnit.h"
#include "SmartPointer.h"
#include "StringUtils.h"
#include "SystemInfo.h"

using namespace Brolix;

namespace {

const int32_t kApplicationNumber = 9;
const int32_t kArdwenModule = 10;
const int kExitNoLogger = 8;

/// "InstallDir", else the current directory; always with a trailing separator
/// unless nothing could be had.
std::string lookUpInstallDir() {
    std::string dir;
    if (getResource("InstallDir", dir) != 0) dir = getCurrentDirectory();
    ensureTrailingSeparator(dir);
    return dir;
}

[[noreturn]] void endWithoutLogger() {
    std::fputs("NO LOGGER: Ardwen Error", stdout);
    std::fflush(stdout);
    std::exit(kExitNoLogger);
}

}  // namespace

int main(int argc, char** argv) {
    disableAgentNotes();

    std::string installDir = lookUpInstallDir();
    int32_t debug = -1;
    std::string buildListArgument;

    for (int i = 1; i < argc; ++i) {
        std::string argument(argv[i]);
        if (matchWildcard("--*", argument)) {
            std::string value = argument;
            const std::string name = splitAt(value, '=');
            if (name == "--installdir") {
                installDir = value;
            } else if (name == "--debug") {
                debug = static_cast<int32_t>(std::atoi(value.c_str()));
            }
            // Any other option is ignored.
        } else {
            buildListArgument = argument;
        }
    }

    if (installDir.empty()) installDir = lookUpInstallDir();
    ensureTrailingSeparator(installDir);
    stripQuotes(buildListArgument);

    std::string logName;
    if (getResource("ArdwenDebugLog", logName) != 0 || logName.empty()) logName = "ArdwenDebugLog.log";
    const std::string logPath = installDir + "Log" + "\\" + logName;

    if (debug < 0) {
        debug = 0;
        getResourceNumber("ArdwenDebugLevel", debug);
    }
    setDebugLevel(debug);
    setMessageThreshold(debug <= 0 ? 1 : 0);

    SmartPointer<LoggerCentre> centre;
    SmartPointer<LoggerUnit> logger;
    try {
        SmartPointer<LogMessenger> messenger(new LogMessengerIPC());
        messenger->setLogFile(logPath);
        centre = SmartPointer<LoggerCentre>(new LoggerCentre(kApplicationNumber, messenger));
        logger = SmartPointer<LoggerUnit>(new LoggerUnit(centre, kArdwenModule));
    } catch (...) {
        endWithoutLogger();
    }
    if (logger.isNull()) endWithoutLogger();

    logger->notice(11);
    {
        BuildConf build(logger, buildListArgument);
        logger->debug(1, "Exiting Ardwen. Building seems to have been successful.");
        logger->notice(12);
    }
    logger.release();
    centre.release();
    return 0;
}
