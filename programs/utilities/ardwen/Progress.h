/// Progress shows a person at a terminal which configuration file a long build
/// is on: once the build has taken longer than a second, one line on standard
/// error, rewritten in place ("ardwen: 3 of 100: server.conf") and cleared when
/// the build ends. When standard error is not a terminal it shows nothing.
///
/// Every line the program writes to standard error goes through tellLine, which
/// clears the progress line first, so that messages and progress never mix.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace Brolix {

class Progress {
public:
    /// Shows progress on `stream` (standard error) when `enabled`, after
    /// `delay` has passed since start.
    Progress(std::FILE* stream, bool enabled,
             std::chrono::milliseconds delay = std::chrono::milliseconds(1000));
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress();

    /// The build of `total` configuration files begins.
    void start(size_t total);
    /// The build is now on the file at `index` (from 0) named `name`.
    void enter(size_t index, const std::string& name);
    /// The build has ended: the line is cleared and nothing more is shown.
    void finish();

    /// Writes the whole `line` (ending in a line break) to standard error, after
    /// clearing a progress line that is shown.
    static void tellLine(const std::string& line);

private:
    void tick();
    void draw();

    std::FILE* m_stream;
    bool m_enabled;
    std::chrono::milliseconds m_delay;
    std::chrono::steady_clock::time_point m_started;
    size_t m_total = 0;
    size_t m_index = 0;
    std::string m_name;
    bool m_running = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_ticker;
};

}  // namespace Brolix
