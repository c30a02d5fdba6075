// Ardwen: builds configuration files from XML definition files.
//
// The entry point settles the installation directory, the debug level, the mode
// and the build-list argument, sets up the logging chain, runs exactly one build
// and reports its end. Fatal failures inside the build end the process with
// their own exit codes; start-up itself knows success (0), a check that found
// files to change (1), a build in which some configuration file could not be
// written (7), a logging chain that cannot be set up (8), standard output or the
// report that cannot be written (9) and a stop request (130 or 143; on Windows
// the system's status of a console that was interrupted).
//
// "--help" and "--version" answer on standard output and end at once, before
// anything is read or written. Whatever the program meets on its way that a
// person should know about (options it ignores, every FATAL, ERROR and WARNING
// of the build) is also told on standard error, one line each.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ArdwenMessage.h"
#include "BuildConf.h"
#include "FileUtils.h"
#include "LogMessenger.h"
#include "LogMessengerIPC.h"
#include "LoggerCentre.h"
#include "LoggerUnit.h"
#include "Progress.h"
#include "RunReport.h"
#include "SmartPointer.h"
#include "StringUtils.h"
#include "SystemInfo.h"
#include "SystemProbe.h"
#include "platform/NativePath.h"
#include "platform/StopRequest.h"
#include "platform/ProgramStart.h"

using namespace Brolix;

namespace {

const char kUsage[] =
    "Usage: ardwen [--installdir=DIR] [--debug=LEVEL] [BUILDLIST]\n"
    "Builds the configuration files that the build list names from their XML files.\n"
    "  --installdir=DIR  installation directory; the debug log goes to DIR/Log/\n"
    "                    (default: resource InstallDir, else the current directory)\n"
    "  --debug=LEVEL     debug level 0 (quiet) to 5 (every object)\n"
    "                    (default: resource ArdwenDebugLevel, else 0)\n"
    "  --check           write nothing; list the files that would change\n"
    "  --only-changed    write only the files whose content changes\n"
    "  --report=FILE     write an account of the run to FILE (JSON)\n"
    "  BUILDLIST         the build list (\"-\": standard input); without it the\n"
    "                    resources ConfigurationDir and ArdwenFile name it\n"
    "  --                the next argument is the build list, even if it begins with -\n"
    "  -h, --help        show this text;  -V, --version  show the version\n"
    "Exit status: 0 built (--check: nothing would change), 1 --check: some file\n"
    "would change, 2 resource missing, 3 build list unreadable, 4 syntax error in\n"
    "the build list, 5 nothing to build, 6 XML file not loaded, 7 one or\n"
    "more configuration files not written, 8 no logging, 9 standard output or\n"
    "the report not written, 130 interrupted (143 terminated). See ardwen(1).\n";

// Set by a stop request; SIGTERM also marks itself, for its exit status.
std::atomic<int> g_stop{0};
std::atomic<int> g_terminated{0};

extern "C" void onTerminate(int) {
    g_terminated.store(1);
    g_stop.store(1);
}

/// Everything the end of the run needs, whichever way it ends.
struct Run {
    std::string reportPath;
    RunReport report;
    std::string installDir;
    std::string logPath;
    bool installDirExisted = true;
    std::string logProblem;  ///< why the debug log cannot be written; "" when it can
    bool logProblemTold = false;
    int32_t debug = 0;
};
Run g_run;

/// Writes `text` to standard output; false (and a line on standard error) when
/// the stream refuses it.
bool writeStandardOutput(const std::string& text) {
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
                         std::fflush(stdout) == 0 && !std::ferror(stdout);
    if (!written) {
        const int error = errno;
        tellStandardError(std::string("cannot write to standard output") +
                          (error != 0 ? std::string(": ") + std::strerror(error) : std::string()));
    }
    return written;
}

/// Tells what became of the debug log where a person would not expect it, and
/// writes the report; returns the exit status to end with.
int endOfRun(int exitCode) {
    if (!g_run.logProblem.empty() && !g_run.logProblemTold && (g_run.debug > 0 || numberedMessagesTold() > 0)) {
        tellStandardError(g_run.logProblem);
        g_run.logProblemTold = true;
    }
    std::error_code error;
    if (!g_run.installDirExisted &&
        std::filesystem::is_directory(platform::toNativePath(g_run.installDir), error)) {
        tellStandardError("the installation folder " + platform::toNativePath(g_run.installDir) +
                          " did not exist; it was made to hold the debug log " +
                          platform::toNativePath(g_run.logPath));
    }
    if (!g_run.reportPath.empty()) {
        g_run.report.exitStatus = exitCode;
        std::string problem;
        if (!g_run.report.write(g_run.reportPath, problem)) {
            tellStandardError("cannot write the report " + platform::toNativePath(g_run.reportPath) + ": " +
                              problem);
            if (exitCode == 0 || exitCode == EXIT_WOULD_CHANGE) exitCode = EXIT_OWN_OUTPUT;
        }
    }
    return exitCode;
}

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
    g_run.report.error = "the logging chain cannot be set up; nothing was built";
    std::exit(endOfRun(EXIT_NO_LOGGER));
}

/// True when `text` is a number as "--debug=" reads it.
bool isNumber(const std::string& text) {
    char* end = nullptr;
    std::strtol(text.c_str(), &end, 10);
    return !text.empty() && end != text.c_str() && *end == '\0';
}

/// Why the debug log at `logPath` cannot be written, for standard error; "" when
/// nothing stands in its way. Its folders are made with the first line, so the
/// nearest one that exists decides.
std::string debugLogProblem(const std::string& logPath) {
    namespace fs = std::filesystem;
    const fs::path log(platform::toNativePath(logPath));
    std::error_code error;
    fs::path existing = log.parent_path();
    while (!existing.empty() && !fs::exists(existing, error)) {
        if (existing == existing.parent_path()) break;
        existing = existing.parent_path();
    }
    std::string problem;
    if (!existing.empty() && fs::exists(existing, error) && !fs::is_directory(existing, error)) {
        problem = existing.string() + " is not a folder";
    } else if (existing == log.parent_path()) {
        // The log is appended to in place: a file that exists needs no more.
        problem = SystemProbe::appendProblem(log.string());
    } else if (!existing.empty()) {
        problem = SystemProbe::writeProblem((existing / "Log").string());
    }
    return problem.empty() ? problem : "the debug log " + log.string() + " cannot be written: " + problem;
}

}  // namespace

int main(int argc, char** argv) {
    std::string startProblem;
    if (!platform::startProgram(startProblem)) {
        tellStandardError(startProblem);
        return EXIT_BUILD_LIST_READ;
    }
    // "--help" and "--version" (and "-h", "-V") answer before anything else;
    // after "--" every argument is a build list.
    int answer = 0;  // 1 help, 2 version
    for (int i = 1; i < argc && answer != 1; ++i) {
        const std::string argument(argv[i]);
        if (argument == "--") break;
        if (optionName(argument) == "--help" || argument == "-h") answer = 1;
        if (optionName(argument) == "--version" || argument == "-V") answer = 2;
    }
    if (answer != 0)
        return writeStandardOutput(answer == 1 ? kUsage : "ardwen " ARDWEN_VERSION "\n") ? 0 : EXIT_OWN_OUTPUT;

    disableAgentNotes();

    std::string installDir = lookUpInstallDir();
    int32_t debug = -1;
    BuildMode mode = BuildMode::Write;
    std::vector<std::string> buildLists;
    // Arguments already told as taken for a build list, after an option without
    // its value.
    std::vector<std::string> toldAsLists;

    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument(argv[i]);
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && matchWildcard("--*", argument)) {
            std::string value = argument;
            const std::string name = splitAt(value, '=');
            const bool hasValue = argument.size() > name.size();
            // The value belongs after an equals sign; a separate argument after
            // the option is the build list.
            const std::string next =
                !hasValue && i + 1 < argc && !matchWildcard("--*", argv[i + 1]) ? argv[i + 1] : "";
            auto taken = [&](const char* form, bool meant) {
                if (!next.empty()) toldAsLists.push_back(next);
                return next.empty() ? std::string()
                                    : "; \"" + next + "\" counts as a build-list argument" +
                                          (meant ? " (write \"" + std::string(form) + next + "\")" : "");
            };
            if (name == "--installdir") {
                installDir = value;
                std::error_code error;
                if (!hasValue)
                    tellStandardError(
                        "\"--installdir\" without \"=DIR\": the resource InstallDir or the current "
                        "directory is used" +
                        taken("--installdir=",
                              std::filesystem::is_directory(platform::toNativePath(next), error)));
            } else if (name == "--debug") {
                if (hasValue) {
                    debug = readDebugLevel(value);
                } else {
                    debug = 0;
                    tellStandardError("\"--debug\" without \"=LEVEL\": debug level 0 is used" +
                                      taken("--debug=", isNumber(next)));
                }
            } else if (name == "--check" || name == "--only-changed") {
                const BuildMode chosen = name == "--check" ? BuildMode::Check : BuildMode::OnlyChanged;
                // Checking writes nothing, whatever else is asked for.
                if (mode != BuildMode::Check) mode = chosen;
                if (hasValue) tellStandardError("\"" + argument + "\": " + name + " takes no value; it is used");
            } else if (name == "--report") {
                g_run.reportPath = value;
                if (value.empty())
                    tellStandardError("\"" + argument + "\" without a file name: no report is written" +
                                      taken("--report=", false));
            } else {
                // Other programs of the family pass options of their own: they
                // are ignored, but not silently.
                tellStandardError("unknown option \"" + argument + "\" ignored");
            }
        } else {
            buildLists.push_back(argument);
        }
    }
    std::string buildListArgument = buildLists.empty() ? std::string() : buildLists.back();
    size_t untold = buildLists.size();
    for (const std::string& told : toldAsLists) {
        if (untold > 0 && std::find(buildLists.begin(), buildLists.end(), told) != buildLists.end()) --untold;
    }
    if (buildLists.size() > 1 && untold > 1) {
        std::string given;
        for (const std::string& list : buildLists) given += (given.empty() ? "\"" : ", \"") + list + "\"";
        tellStandardError(std::to_string(buildLists.size()) + " build lists given (" + given + "): the last, \"" +
                          buildListArgument + "\", is used");
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

    g_run.report.mode = mode == BuildMode::Check ? "check" : mode == BuildMode::OnlyChanged ? "only-changed" : "build";
    g_run.installDir = installDir;
    g_run.logPath = logPath;
    g_run.debug = debug;
    {
        std::error_code error;
        g_run.installDirExisted = std::filesystem::exists(platform::toNativePath(installDir), error);
    }
    g_run.logProblem = debugLogProblem(logPath);
    if (!g_run.logProblem.empty() && debug > 0) {
        tellStandardError(g_run.logProblem);
        g_run.logProblemTold = true;
    }

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

    // From here a stop request ends the build at its next safe point.
    platform::watchStopRequests(&g_stop);
    std::signal(SIGTERM, onTerminate);

    logger->notice(MSG_STARTED);
    int exitCode = 0;
    {
        Progress progress(stderr, SystemProbe::isTerminal(stderr));
        BuildOptions options;
        options.mode = mode;
        options.stop = &g_stop;
        options.progress = &progress;
        options.beforeFatalExit = [](const BuildConf& build, int code, const std::string& told) {
            g_run.report.buildList = build.buildListShown();
            g_run.report.outputs = build.records();
            g_run.report.error = told;
            const int status = endOfRun(code);
            // Only a report that could not be written changes a fatal status.
            if (status != code) std::exit(status);
        };
        BuildConf build(logger, buildListArgument, options);
        g_run.report.buildList = build.buildListShown();
        g_run.report.outputs = build.records();

        std::string changed;
        for (const OutputRecord& record : build.records()) {
            if (record.state == OutputState::WouldChange) changed += platform::toNativePath(record.path) + "\n";
        }
        const bool listed = changed.empty() || writeStandardOutput(changed);

        size_t unchanged = 0;
        for (const OutputRecord& record : build.records()) unchanged += record.state == OutputState::Unchanged;
        if (mode == BuildMode::OnlyChanged) {
            const std::string text = std::to_string(unchanged) + " of " + std::to_string(build.outputCount()) +
                                     " configuration files were unchanged and left alone.";
            logger->debug(1, "%s", ParamStream().addText(text));
        }

        if (build.interrupted()) {
            exitCode = g_terminated.load() != 0 ? 128 + SIGTERM : static_cast<int>(ARDWEN_INTERRUPT_STATUS);
            g_run.report.interruptedBy = g_terminated.load() != 0 ? "SIGTERM" : "SIGINT";
            logger->debug(1, "Exiting Ardwen. The build was interrupted.");
        } else if (build.failedOutputs() != 0) {
            exitCode = EXIT_OUTPUT_NOT_WRITTEN;
            logger->debug(1, "Exiting Ardwen. One or more configuration files could not be written.");
            tellStandardError(std::to_string(build.failedOutputs()) + " of " +
                              std::to_string(build.outputCount()) +
                              " configuration files could not be written");
        } else if (build.changedOutputs() != 0) {
            exitCode = EXIT_WOULD_CHANGE;
            logger->debug(1, "Exiting Ardwen. One or more configuration files would change.");
        } else {
            logger->debug(1, "Exiting Ardwen. Building seems to have been successful.");
        }
        if (!listed && (exitCode == 0 || exitCode == EXIT_WOULD_CHANGE)) exitCode = EXIT_OWN_OUTPUT;
        // The build has ended either way: the end of work is announced, and the
        // ERROR messages before it say what failed.
        logger->notice(MSG_FINISHED);
    }
    logger.release();
    centre.release();
    return endOfRun(exitCode);
}
