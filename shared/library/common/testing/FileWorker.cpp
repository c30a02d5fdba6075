// A worker process for the file layer's tests with several processes and
// faults: one file operation per run, so that a test can run it under a fault
// injector (LD_PRELOAD, Linux), stop or kill it at a chosen point, or run
// several at once on one target.
//
//   brolix_file_worker [--lock-seconds N] [--hold] COMMAND ARGUMENTS...
//     --hold                        before a write's close, say "holding" on
//                                   standard output and wait for a line (or the
//                                   end) on standard input: the test may kill
//                                   the worker there
//     write PATH ACCESS TEXT        opens PATH with the access flags ACCESS (a
//                                   number), writes TEXT, flushes and closes
//     safe-write PATH SIZE [FILL]   a safe update writing SIZE bytes of FILL
//     gz-append PATH TEXT [MODE]    an append to a gzip file; MODE is safe
//                                   (default), unsafe or nolock
//     move-replace FROM TO          the replacing move of the file operations
//     batch-write SIZE FILL PATH... safe updates of SIZE bytes of FILL to each
//                                   PATH, committed together (CommitBatch)
//     set-resource NAME VALUE       stores a text resource
//     stress-plain PATH ID COUNT SIZE
//                                   COUNT safe updates, each a whole version
//                                   (see versionText); a writer that finds the
//                                   target locked tries again
//     stress-gz PATH ID COUNT       COUNT safe appends of one record line each
//
// Exit status: 0 done; 20 + the FL code of a FileException (its description
// on standard error); 1 another failure; 2 wrong usage.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "CommitBatch.h"
#include "FileException.h"
#include "FileOps.h"
#include "FileFactory.h"
#include "FileGZ.h"
#include "FilePlain.h"
#include "SystemInfo.h"
#include "platform/Registry.h"
#include "testing/FileVersions.h"

using namespace Brolix;

namespace {

int failed(const FileException& e) {
    std::cerr << e.fullText() << "\n";
    return 20 + static_cast<int>(e.code());
}

bool g_hold = false;

/// With --hold: the file is written and flushed but not closed yet.
void holdBeforeClose() {
    if (!g_hold) return;
    std::cout << "holding" << std::endl;
    std::string line;
    std::getline(std::cin, line);
}

bool retryable(const FileException& e) {
    return e.code() == FileException::FL_IS_LOCKED || e.code() == FileException::FL_CANNOT_LOCK;
}

void writePlain(const std::string& path, const std::string& content) {
    FilePlain file(path);
    file.open(FileBase::ACCESS_WRITE);
    file.writeText(content);
    file.flush();
    holdBeforeClose();
    file.close();
}

void appendGz(const std::string& path, const std::string& text, uint16_t extra) {
    FileGZ file(path);
    file.open(FileBase::ACCESS_WRITE | FileBase::ACCESS_APPEND | extra);
    file.writeText(text);
    file.close();
}

/// Runs `step` until it gets past a lock held by another writer. The pause
/// between two tries doubles up to 20 ms: writers that only poll must leave the
/// holder room (under Wine every try is a round of calls to the one server all
/// processes share, and thousands a second starve the holder). A lock that
/// stays for two minutes is reported like any other failure.
template <typename Step>
void untilUnlocked(Step step) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    std::chrono::microseconds pause(200);
    for (;;) {
        try {
            step();
            return;
        } catch (const FileException& e) {
            if (!retryable(e) || std::chrono::steady_clock::now() > giveUp) throw;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(20000));
    }
}

int run(int argc, char** argv) {
    int i = 1;
    if (i + 1 < argc && std::string(argv[i]) == "--lock-seconds") {
        FileBase::setDefaultLockTimeout(TimeSpan(std::atoi(argv[i + 1])));
        i += 2;
    }
    if (i < argc && std::string(argv[i]) == "--hold") {
        g_hold = true;
        ++i;
    }
    if (i >= argc) return 2;
    const std::string command = argv[i++];
    const int left = argc - i;
    try {
        if (command == "write" && left == 3) {
            SmartPointer<FileBase> file = makeFile(argv[i]);
            file->open(static_cast<uint16_t>(std::atoi(argv[i + 1])));
            file->writeText(argv[i + 2]);
            file->flush();
            holdBeforeClose();
            file->close();
            return 0;
        }
        if (command == "safe-write" && (left == 2 || left == 3)) {
            const char fill = left == 3 ? argv[i + 2][0] : 'x';
            writePlain(argv[i], std::string(std::strtoull(argv[i + 1], nullptr, 10), fill));
            return 0;
        }
        if (command == "gz-append" && (left == 2 || left == 3)) {
            const std::string mode = left == 3 ? argv[i + 2] : "safe";
            uint16_t extra = 0;
            if (mode == "unsafe") {
                extra = FileBase::ACCESS_UNSAFE;
            } else if (mode == "nolock") {
                extra = FileBase::ACCESS_NOLOCK;
            } else if (mode != "safe") {
                return 2;
            }
            appendGz(argv[i], argv[i + 1], extra);
            return 0;
        }
        if (command == "move-replace" && left == 2) return moveFile(argv[i], argv[i + 1], true) ? 0 : 1;
        if (command == "batch-write" && left >= 3) {
            const std::string content(std::strtoull(argv[i], nullptr, 10), argv[i + 1][0]);
            int failures = 0;
            CommitBatch batch(1000);
            for (int k = i + 2; k < argc; ++k) {
                SmartPointer<FileBase> file = makeFile(argv[k]);
                file->open(FileBase::ACCESS_WRITE | FileBase::ACCESS_CREATE);
                file->writeText(content);
                batch.add(file, [&failures](const FileException* failure) { failures += failure != nullptr; });
            }
            batch.commit();
            return failures == 0 ? 0 : 1;
        }
        if (command == "set-resource" && left == 2) {
            if (setResource(argv[i], argv[i + 1]) == 0) return 0;
            std::cerr << platform::registryProblem() << "\n";
            return 1;
        }
        if (command == "stress-plain" && left == 4) {
            const int id = std::atoi(argv[i + 1]);
            const int count = std::atoi(argv[i + 2]);
            const size_t size = std::strtoull(argv[i + 3], nullptr, 10);
            for (int n = 1; n <= count; ++n) {
                const std::string content = test::versionText(id, n, size);
                untilUnlocked([&] { writePlain(argv[i], content); });
            }
            return 0;
        }
        if (command == "stress-gz" && left == 3) {
            const int id = std::atoi(argv[i + 1]);
            const int count = std::atoi(argv[i + 2]);
            for (int n = 1; n <= count; ++n) {
                const std::string record = test::recordLine(id, n);
                untilUnlocked([&] { appendGz(argv[i], record, 0); });
            }
            return 0;
        }
    } catch (const FileException& e) {
        return failed(e);
    } catch (const Exception& e) {
        std::cerr << e.fullText() << "\n";
        return 1;
    }
    return 2;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
