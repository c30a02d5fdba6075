// bench_logchain: the cost of one debug line through the whole logging chain
// (LoggerUnit::debug, the centre, the messenger and the file agent, into a real
// log file) against a bare loop that only seeks to the end, writes and flushes
// the same finished lines to another file in the same directory. A third loop
// only writes and flushes them (the file is open for appending, as the agent's
// is): the least any writer of those lines pays, shown for comparison.
//
// Usage: bench_logchain [lines per round] [rounds] [directory] [cpu|wall]
// Both loops run one after the other in every round, so that each pair sees the
// same load on the machine. The figures are the medians over the rounds, in
// nanoseconds per line; the ratio is the median of the rounds' chain / bare.
// They are taken from the process's CPU time (user + system, the default: other
// work on a shared machine disturbs it little) or from wall-clock time; the
// other clock's figures are printed after them.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "LogMessengerIPC.h"
#include "LoggerCentre.h"
#include "LoggerUnit.h"
#include "SmartPointer.h"

using namespace Brolix;
namespace {

/// A reading of both clocks, in nanoseconds.
struct Reading {
    double wall;
    double cpu;
};

Reading now() {
    timespec cpu;
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    const double wall =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now().time_since_epoch()).count();
    return {wall, cpu.tv_sec * 1e9 + cpu.tv_nsec};
}

/// Figures of one loop: nanoseconds per line on each clock.
Reading perLine(const Reading& start, const Reading& end, int lines) {
    return {(end.wall - start.wall) / lines, (end.cpu - start.cpu) / lines};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::vector<std::string> finishedLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end + 2 - start));
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    const int lines = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 15;
    const bool wallClock = argc > 4 && std::string(argv[4]) == "wall";
    std::string directory;
    const bool ownDirectory = argc <= 3 || argv[3][0] == '\0';
    if (!ownDirectory) {
        directory = argv[3];
    } else {
        char pattern[] = "/tmp/logchainXXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        directory = pattern;
    }
    // The agent records its file's opening time as a resource; keep that away
    // from the machine's own store.
    ::setenv("BROLIX_REGISTRY", (directory + "/registry.reg").c_str(), 0);
    const std::string chainPath = directory + "/chain.log";
    const std::string barePath = directory + "/bare.log";
    std::remove(chainPath.c_str());
    std::remove(barePath.c_str());

    disableAgentNotes();
    setDebugLevel(5);
    const char* const texts[] = {
        "Creating DOM tree",
        "Reading file \"C:\\Brolix\\Config\\objects.xml\"...",
        "BuildConf: writing configuration file ardwen.conf with 42 objects",
        "Done.",
    };

    // Per round, on the chosen clock [0] and the other one [1].
    std::vector<double> chainFigures[2];
    std::vector<double> bareFigures[2];
    std::vector<double> ratios[2];
    std::vector<double> appendFigures;
    {
        SmartPointer<LogMessenger> messenger(new LogMessengerIPC);
        messenger->setLogFile(chainPath);
        SmartPointer<LoggerCentre> centre(new LoggerCentre(9, messenger));
        LoggerUnit unit(centre, ARDWEN_MODULE);
        std::vector<std::string> bareLines;

        for (int round = 0; round < rounds; ++round) {
            const Reading chainStart = now();
            for (int i = 0; i < lines; ++i) {
                if (!unit.debug(3, texts[i & 3])) {
                    std::fprintf(stderr, "line %d of round %d was not written\n", i, round);
                    return 1;
                }
            }
            const Reading chain = perLine(chainStart, now(), lines);

            if (bareLines.empty()) {
                bareLines = finishedLines(chainPath);
                if (bareLines.size() < static_cast<size_t>(lines)) {
                    std::fprintf(stderr, "the chain wrote %zu lines\n", bareLines.size());
                    return 1;
                }
                bareLines.erase(bareLines.begin(), bareLines.end() - lines);
            }
            std::FILE* bare = std::fopen(barePath.c_str(), "ab");
            if (bare == nullptr) {
                std::perror(barePath.c_str());
                return 1;
            }
            const Reading bareStart = now();
            for (const std::string& line : bareLines) {
                std::fseek(bare, 0, SEEK_END);
                std::fwrite(line.data(), 1, line.size(), bare);
                std::fflush(bare);
            }
            const Reading plain = perLine(bareStart, now(), lines);
            const Reading appendStart = now();
            for (const std::string& line : bareLines) {
                std::fwrite(line.data(), 1, line.size(), bare);
                std::fflush(bare);
            }
            const Reading append = perLine(appendStart, now(), lines);
            std::fclose(bare);
            appendFigures.push_back(wallClock ? append.wall : append.cpu);
            const double chainOn[2] = {wallClock ? chain.wall : chain.cpu,
                                       wallClock ? chain.cpu : chain.wall};
            const double bareOn[2] = {wallClock ? plain.wall : plain.cpu, wallClock ? plain.cpu : plain.wall};
            for (int c = 0; c < 2; ++c) {
                chainFigures[c].push_back(chainOn[c]);
                bareFigures[c].push_back(bareOn[c]);
                ratios[c].push_back(chainOn[c] / bareOn[c]);
            }
        }
    }

    const double ratio = median(ratios[0]);
    const char* const clockName = wallClock ? "wall-clock" : "CPU";
    const char* const otherName = wallClock ? "CPU" : "wall-clock";
    std::printf("lines per round: %d, rounds: %d, %s time\n", lines, rounds, clockName);
    std::printf("chain: %.0f ns per line\n", median(chainFigures[0]));
    std::printf("bare:  %.0f ns per line\n", median(bareFigures[0]));
    std::printf("ratio: %.2f\n", ratio);
    std::printf("%s time: chain %.0f ns, bare %.0f ns per line, ratio %.2f\n", otherName,
                median(chainFigures[1]), median(bareFigures[1]), median(ratios[1]));
    std::printf("append: %.0f ns per line (write and flush, no seek); chain / append %.2f\n",
                median(appendFigures), median(chainFigures[0]) / median(appendFigures));
    std::printf("target: chain at most 1.5 times the bare loop (%s)\n", ratio <= 1.5 ? "met" : "missed");
    if (ownDirectory) std::system(("rm -rf '" + directory + "'").c_str());
    return 0;
}
