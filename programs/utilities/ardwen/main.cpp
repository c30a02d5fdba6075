// Ardwen: builds configuration files from XML definition files.
//
// The entry point settles the installation directory, the debug level and the
// build-list argument, sets up the logging chain, runs exactly one build and
// reports its end. Fatal failures inside the build end the process with their own
// exit codes; start-up itself knows only success (0), a build in which some
// configuration file could not be written (7) and a logging chain that cannot be
// set up (8).
//
// "--help" and "--version" answer on standard output and end at once, before
// anything is read or written. Whatever the program meets on its way that a
// person should know about (options it ignores, every FATAL, ERROR and WARNING
// of the build) is also told on standard error, one line each.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ArdwenMessage.h"
#include "BuildConf.h"
#include "FileUtils.h"
#include "LogMessenger.h"
#include "LogMessengerIPC.h"
#include "LoggerCentre.h"
#include "LoggerUnit.h"
#include "SmartPointer.h"
#include "StringUtils.h"
#include "SystemInfo.h"
#include "platform/ProgramStart.h"

using namespace Brolix;

namespace {

const int kExitNoLogger = 8;

const char kUsage[] =
    "Usage: ardwen [--installdir=DIR] [--debug=LEVEL] [BUILDLIST]\n"
    "Builds the configuration files that the build list names from their XML files.\n"
    "  --installdir=DIR  installation directory; the debug log goes to DIR/Log/\n"
    "                    (default: resource InstallDir, else the current directory)\n"
    "  --debug=LEVEL     debug level 0 (quiet) to 5 (every object)\n"
    "                    (default: resource ArdwenDebugLevel, else 0)\n"
    "  BUILDLIST         the build list; without it the resources ConfigurationDir\n"
    "                    and ArdwenFile name it\n"
    "  --help            show this text;  --version  show the version\n"
    "Exit status: 0 built, 2 resource missing, 3 build list unreadable, 4 syntax\n"
    "error in the build list, 5 nothing to build, 6 XML file not loaded, 7 one or\n"
    "more configuration files not written, 8 no logging. See ardwen(1).\n";

/// "InstallDir", else the current directory; always with a trailing separator
/// unless nothing could be had.
std::string lookUpInstallDir() {
    std::string dir;
    if (getResource("InstallDir", dir) != 0) dir = getCurrentDirectory();
    ensureTrailingSeparator(dir);
    return dir;
}

/// The name of an option argument: the text before its first equals sign.
std::string optionName(const std::string& argument) { return argument.substr(0, argument.find('=')); }

/// A "--debug" value as a decimal number the way strtol reads it (leading
/// blanks, a sign, digits), held within the 32-bit range instead of wrapping.
/// Tells standard error when the value is not a plain number or is beyond
/// the levels there are; a negative value leaves the level to the resource.
int32_t readDebugLevel(const std::string& value) {
    char* end = nullptr;
    const long number = std::strtol(value.c_str(), &end, 10);
    const int32_t level = number > INT32_MAX   ? INT32_MAX
                          : number < INT32_MIN ? INT32_MIN
                                               : static_cast<int32_t>(number);
    const std::string used = level < 0   ? "the resource ArdwenDebugLevel decides"
                             : level > 5 ? "debug level 5 is used"
                                         : "debug level " + std::to_string(level) + " is used";
    if (end == value.c_str() || *end != '\0') {
        tellStandardError("\"--debug=" + value + "\": \"" + value + "\" is not a number; " + used);
    } else if (level > 5) {
        tellStandardError("\"--debug=" + value + "\": debug levels go from 0 to 5; " + used);
    }
    return level;
}

[[noreturn]] void endWithoutLogger() {
    std::fputs("NO LOGGER: Ardwen Error", stdout);
    std::fflush(stdout);
    tellStandardError("the logging chain cannot be set up; nothing was built");
    std::exit(kExitNoLogger);
}

}  // namespace

int main(int argc, char** argv) {
    std::string startProblem;
    if (!platform::startProgram(startProblem)) {
        tellStandardError(startProblem);
        return EXIT_BUILD_LIST_READ;
    }
    for (int i = 1; i < argc; ++i) {
        if (optionName(argv[i]) == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    for (int i = 1; i < argc; ++i) {
        if (optionName(argv[i]) == "--version") {
            std::fputs("ardwen " ARDWEN_VERSION "\n", stdout);
            return 0;
        }
    }

    disableAgentNotes();

    std::string installDir = lookUpInstallDir();
    int32_t debug = -1;
    std::string buildListArgument;

    for (int i = 1; i < argc; ++i) {
        std::string argument(argv[i]);
        if (matchWildcard("--*", argument)) {
            std::string value = argument;
            const std::string name = splitAt(value, '=');
            const bool hasValue = argument.size() > name.size();
            // The value belongs after an equals sign; a separate argument after
            // the option is the build list.
            const std::string next =
                !hasValue && i + 1 < argc && !matchWildcard("--*", argv[i + 1]) ? argv[i + 1] : "";
            auto taken = [&](const char* form) {
                return next.empty() ? std::string()
                                    : "; \"" + next + "\" counts as a build-list argument (write \"" + form +
                                          next + "\")";
            };
            if (name == "--installdir") {
                installDir = value;
                if (!hasValue)
                    tellStandardError(
                        "\"--installdir\" without \"=DIR\": the resource InstallDir or the current "
                        "directory is used" +
                        taken("--installdir="));
            } else if (name == "--debug") {
                if (hasValue) {
                    debug = readDebugLevel(value);
                } else {
                    debug = 0;
                    tellStandardError("\"--debug\" without \"=LEVEL\": debug level 0 is used" +
                                      taken("--debug="));
                }
            } else {
                // Other programs of the family pass options of their own: they
                // are ignored, but not silently.
                tellStandardError("unknown option \"" + argument + "\" ignored");
            }
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
        centre = SmartPointer<LoggerCentre>(new LoggerCentre(ARDWEN_APPLICATION, messenger));
        logger = SmartPointer<LoggerUnit>(new LoggerUnit(centre, ARDWEN_MODULE));
    } catch (...) {
        endWithoutLogger();
    }
    if (logger.isNull()) endWithoutLogger();

    logger->notice(MSG_STARTED);
    int exitCode = 0;
    {
        BuildConf build(logger, buildListArgument);
        if (build.failedOutputs() == 0) {
            logger->debug(1, "Exiting Ardwen. Building seems to have been successful.");
        } else {
            exitCode = EXIT_OUTPUT_NOT_WRITTEN;
            logger->debug(1, "Exiting Ardwen. One or more configuration files could not be written.");
            tellStandardError(std::to_string(build.failedOutputs()) + " of " +
                              std::to_string(build.outputCount()) +
                              " configuration files could not be written");
        }
        // The build has ended either way: the end of work is announced, and the
        // ERROR messages before it say what failed.
        logger->notice(MSG_FINISHED);
    }
    logger.release();
    centre.release();
    return exitCode;
}
