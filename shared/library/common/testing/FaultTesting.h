/// Test support for the file layer's tests with several processes and with
/// faults made for real: the worker process (brolix_file_worker), run alone,
/// several at once, killed, or with the fault injector that stops, kills or
/// fails it at a chosen call; a reader that checks a file over and over while
/// workers change it; and (through TestSystem.h) a small file system that
/// fills up.
///
/// The fault injector works through LD_PRELOAD and exists on Linux only; a
/// test that needs it asks faultsCanBeInjected() and skips elsewhere.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testing/TestSystem.h"

namespace Brolix {
namespace test {

/// True where a worker can be run with a fault (the build names the injector;
/// it has none for Windows).
inline bool faultsCanBeInjected() { return std::string(BROLIX_FAULT_SHIM).size() > 0; }

/// The reason a test gives where faultsCanBeInjected() is false.
constexpr const char* NO_FAULT_INJECTOR =
    "faults are injected into a worker with LD_PRELOAD, which only Linux has";

/// How a worker process ended or stopped.
using WorkerEnd = ProcessEnd;

/// A worker process (brolix_file_worker) under test. Its standard output is
/// collected (waitForOutput), its input is a pipe (a worker started with
/// "--hold" waits on it), and what it wrote to its error output is shown in
/// the test's log when it ends.
class Worker {
public:
    /// Starts the worker with `arguments`; with a non-empty `fault` it runs with
    /// the injector loaded and BROLIX_FAULT set to it (see FaultShim.c).
    explicit Worker(const std::vector<std::string>& arguments, const std::string& fault = std::string()) {
        ChildOptions options;
        options.captureOutput = true;
        options.withInput = true;
        if (!fault.empty()) {
            options.setVariables.emplace_back("LD_PRELOAD", BROLIX_FAULT_SHIM);
            options.setVariables.emplace_back("BROLIX_FAULT", fault);
            // The sanitizer runtime must not insist on coming first.
            const char* asan = std::getenv("ASAN_OPTIONS");
            options.setVariables.emplace_back(
                "ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0");
        }
        m_process.reset(new ChildProcess(BROLIX_FILE_WORKER, arguments, options));
        if (!m_process->started()) std::cerr << m_process->problem() << "\n";
    }

    /// Waits until the worker ends or stops itself; shows what it said on its
    /// error output.
    WorkerEnd wait() {
        const WorkerEnd end = m_process->wait();
        if (!end.stopped) report();
        return end;
    }
    /// Lets a stopped worker go on.
    void resume() { m_process->resume(); }
    /// Waits until the worker has written `text` to its standard output.
    bool waitForOutput(const std::string& text) { return m_process->waitForOutput(text); }
    /// Feeds the worker's standard input (a held worker goes on at a line).
    bool write(const std::string& text) { return m_process->write(text); }
    /// Ends the worker at once and waits for its end.
    WorkerEnd kill() {
        const WorkerEnd end = m_process->kill();
        report();
        return end;
    }

private:
    void report() {
        const std::string errors = m_process->errors();
        if (!errors.empty() && !m_reported) std::cerr << "worker: " << errors;
        m_reported = true;
    }

    std::unique_ptr<ChildProcess> m_process;
    bool m_reported = false;
};

/// A reader on a thread of its own that runs `check` over and over until it is
/// stopped; it ends at the first check that fails. With a `pause`, it waits that
/// long between checks.
class Poller {
public:
    explicit Poller(const std::function<bool()>& check,
                    std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
        m_thread = std::thread([this, check, pause] {
            long checks = 0;
            while (!m_stop) {
                if (!check()) {
                    m_failed = true;
                    return;
                }
                ++checks;
                if (pause.count() > 0) std::this_thread::sleep_for(pause);
            }
            std::fprintf(stderr, "%ld checks passed\n", checks);
        });
    }
    ~Poller() { stop(); }
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    /// Stops the reader; true when every check it made passed.
    bool stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        return !m_failed;
    }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_failed{false};
    std::thread m_thread;
};

/// The exit code of a worker that ended with a FileException of `code`.
inline int exitForCode(unsigned code) { return 20 + static_cast<int>(code); }

}  // namespace test
}  // namespace Brolix
