// bench_logchain: the cost of one debug line through the whole logging chain
// (LoggerUnit::debug, the centre, the messenger and the file agent, into a real
// log file) against a bare loop that only seeks to the end, writes and flushes
// the same finished lines to another file in the same directory.
//
// Usage: bench_logchain [lines per round] [rounds] [directory]
// Both loops run one after the other in every round, so that each pair sees the
// same load on the machine. The figures are the medians over the rounds, in
// nanoseconds per line; the ratio is the median of the rounds' chain / bare.
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
using Clock = std::chrono::steady_clock;

namespace {

double nanosecondsPerLine(Clock::time_point start, Clock::time_point end, int lines) {
    return std::chrono::duration<double, std::nano>(end - start).count() / lines;
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
    std::string directory;
    if (argc > 3) {
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

    std::vector<double> chainFigures;
    std::vector<double> bareFigures;
    std::vector<double> ratios;
    {
        SmartPointer<LogMessenger> messenger(new LogMessengerIPC);
        messenger->setLogFile(chainPath);
        SmartPointer<LoggerCentre> centre(new LoggerCentre(9, messenger));
        LoggerUnit unit(centre, ARDWEN_MODULE);
        std::vector<std::string> bareLines;

        for (int round = 0; round < rounds; ++round) {
            const Clock::time_point chainStart = Clock::now();
            for (int i = 0; i < lines; ++i) {
                if (!unit.debug(3, texts[i & 3])) {
                    std::fprintf(stderr, "line %d of round %d was not written\n", i, round);
                    return 1;
                }
            }
            chainFigures.push_back(nanosecondsPerLine(chainStart, Clock::now(), lines));

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
            const Clock::time_point bareStart = Clock::now();
            for (const std::string& line : bareLines) {
                std::fseek(bare, 0, SEEK_END);
                std::fwrite(line.data(), 1, line.size(), bare);
                std::fflush(bare);
            }
            bareFigures.push_back(nanosecondsPerLine(bareStart, Clock::now(), lines));
            std::fclose(bare);
            ratios.push_back(chainFigures.back() / bareFigures.back());
        }
    }

    const double chain = median(chainFigures);
    const double bare = median(bareFigures);
    const double ratio = median(ratios);
    std::printf("lines per round: %d, rounds: %d\n", lines, rounds);
    std::printf("chain: %.0f ns per line\n", chain);
    std::printf("bare:  %.0f ns per line\n", bare);
    std::printf("ratio: %.2f\n", ratio);
    std::printf("target: chain at most twice the bare loop (%s)\n", ratio <= 2.0 ? "met" : "missed");
    if (argc <= 3) std::system(("rm -rf '" + directory + "'").c_str());
    return 0;
}
