// The portable part of the test system services: the bookkeeping of child
// processes (a reader thread per collected stream, so that a child never
// blocks on a full pipe), scoped variables, and this test program run again.
#include "testing/TestSystem.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "testing/TestSystemSide.h"

namespace Brolix {
namespace test {

ScopedVariable::ScopedVariable(const std::string& name, const std::string& value) : m_name(name) {
    const char* previous = std::getenv(name.c_str());
    m_had = previous != nullptr;
    if (m_had) m_previous = previous;
    setVariable(name, value);
}

ScopedVariable::ScopedVariable(const std::string& name) : m_name(name) {
    const char* previous = std::getenv(name.c_str());
    m_had = previous != nullptr;
    if (m_had) m_previous = previous;
    unsetVariable(name);
}

ScopedVariable::~ScopedVariable() {
    if (m_had) {
        setVariable(m_name, m_previous);
    } else {
        unsetVariable(m_name);
    }
}

struct ChildProcess::State {
    side::Process* process = nullptr;
    std::string problem;
    bool ended = false;
    ProcessEnd end;

    std::mutex mutex;
    std::condition_variable changed;
    std::string output;
    std::string errors;
    int openStreams = 0;
    std::thread readers[2];

    void collect(int stream) {
        std::string& into = stream == 1 ? output : errors;
        char buffer[4096];
        for (;;) {
            const size_t got = side::readStream(*process, stream, buffer, sizeof buffer);
            std::lock_guard<std::mutex> lock(mutex);
            if (got == 0) {
                --openStreams;
                changed.notify_all();
                return;
            }
            into.append(buffer, got);
            changed.notify_all();
        }
    }

    void joinReaders() {
        for (std::thread& reader : readers) {
            if (reader.joinable()) reader.join();
        }
    }

    ProcessEnd finish(const ProcessEnd& result) {
        if (result.running || result.stopped) return result;
        // Ended: whatever it wrote is in the pipes; the readers drain them.
        joinReaders();
        ended = true;
        end = result;
        return end;
    }
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const ChildOptions& options)
    : m_state(new State) {
    State& s = *m_state;
    s.process = side::startProcess(program, arguments, options, s.problem);
    if (s.process == nullptr) return;
    if (options.captureOutput) {
        s.openStreams = 2;
        s.readers[0] = std::thread([&s] { s.collect(1); });
        s.readers[1] = std::thread([&s] { s.collect(2); });
    }
}

ChildProcess::~ChildProcess() {
    State& s = *m_state;
    if (s.process == nullptr) return;
    if (!s.ended) kill();
    // The child is gone, and with it the writing ends of its pipes.
    s.joinReaders();
    side::releaseProcess(s.process);
}

bool ChildProcess::started() const { return m_state->process != nullptr; }

const std::string& ChildProcess::problem() const { return m_state->problem; }

bool ChildProcess::write(const std::string& text) {
    return m_state->process != nullptr && side::writeInput(*m_state->process, text);
}

void ChildProcess::closeInput() {
    if (m_state->process != nullptr) side::closeInput(*m_state->process);
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    State& s = *m_state;
    std::unique_lock<std::mutex> lock(s.mutex);
    return s.changed.wait_for(lock, timeout, [&] {
        return s.output.find(text) != std::string::npos || s.openStreams == 0;
    }) && s.output.find(text) != std::string::npos;
}

ProcessEnd ChildProcess::wait() {
    State& s = *m_state;
    if (s.process == nullptr || s.ended) return s.end;
    return s.finish(side::waitProcess(*s.process, -1));
}

ProcessEnd ChildProcess::wait(std::chrono::milliseconds timeout) {
    State& s = *m_state;
    if (s.process == nullptr || s.ended) return s.end;
    return s.finish(side::waitProcess(*s.process, static_cast<long>(timeout.count())));
}

ProcessEnd ChildProcess::kill() {
    State& s = *m_state;
    if (s.process == nullptr || s.ended) return s.end;
    side::killProcess(*s.process);
    ProcessEnd result;
    do {
        result = side::waitProcess(*s.process, -1);
        // A stopped child is ended all the same, once it runs again.
        if (result.stopped) side::resumeProcess(*s.process);
    } while (result.stopped);
    return s.finish(result);
}

void ChildProcess::resume() {
    if (m_state->process != nullptr) side::resumeProcess(*m_state->process);
}

std::string ChildProcess::output() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->output;
}

std::string ChildProcess::errors() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->errors;
}

std::unique_ptr<ChildProcess> startThisTest(const std::string& role, ChildOptions options) {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    options.setVariables.emplace_back(TEST_ROLE_VARIABLE, role);
    return std::unique_ptr<ChildProcess>(new ChildProcess(thisProgram(), {filter}, options));
}

std::string testRole() {
    const char* role = std::getenv(TEST_ROLE_VARIABLE);
    return role != nullptr ? role : "";
}

}  // namespace test
}  // namespace Brolix
