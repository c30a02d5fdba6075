#include "Progress.h"

#include <algorithm>

namespace Brolix {

namespace {

// Standard error is shared by the ticker and the build: one line at a time.
std::mutex g_lineMutex;
// The stream and width of the progress line now shown; 0 when none is shown.
std::FILE* g_shownOn = nullptr;
size_t g_shownWidth = 0;

// How often the ticker looks at the build.
const std::chrono::milliseconds kTick(200);

// Names on the progress line are cut to this many bytes from their end.
const size_t kLongestName = 50;

void clearShownLine() {
    if (g_shownOn == nullptr || g_shownWidth == 0) return;
    const std::string blank = "\r" + std::string(g_shownWidth, ' ') + "\r";
    std::fwrite(blank.data(), 1, blank.size(), g_shownOn);
    std::fflush(g_shownOn);
    g_shownOn = nullptr;
    g_shownWidth = 0;
}

}  // namespace

Progress::Progress(std::FILE* stream, bool enabled, std::chrono::milliseconds delay)
    : m_stream(stream), m_enabled(enabled && stream != nullptr), m_delay(delay) {}

Progress::~Progress() { finish(); }

void Progress::start(size_t total) {
    if (!m_enabled || m_running) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_total = total;
        m_index = 0;
        m_started = std::chrono::steady_clock::now();
        m_running = true;
    }
    try {
        m_ticker = std::thread([this]() { tick(); });
    } catch (...) {
        // Without a thread the build shows progress only as it moves on.
    }
}

void Progress::enter(size_t index, const std::string& name) {
    if (!m_enabled) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_running) return;
    m_index = index;
    m_name = name.size() <= kLongestName ? name : "..." + name.substr(name.size() - kLongestName);
    if (std::chrono::steady_clock::now() - m_started >= m_delay) draw();
}

void Progress::finish() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_running) return;
        m_running = false;
    }
    m_wake.notify_all();
    if (m_ticker.joinable()) m_ticker.join();
    std::lock_guard<std::mutex> line(g_lineMutex);
    if (g_shownOn == m_stream) clearShownLine();
}

void Progress::tellLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_lineMutex);
    clearShownLine();
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void Progress::tick() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_running) {
        m_wake.wait_for(lock, kTick);
        if (m_running && std::chrono::steady_clock::now() - m_started >= m_delay) draw();
    }
}

// Called with m_mutex held.
void Progress::draw() {
    const std::string text =
        "ardwen: " + std::to_string(m_index + 1) + " of " + std::to_string(m_total) + ": " + m_name;
    std::lock_guard<std::mutex> line(g_lineMutex);
    // A shorter line leaves nothing of the longer one before it.
    const size_t width = std::max(text.size(), g_shownOn == m_stream ? g_shownWidth : 0);
    const std::string shownText = "\r" + text + std::string(width - text.size(), ' ');
    std::fwrite(shownText.data(), 1, shownText.size(), m_stream);
    std::fflush(m_stream);
    g_shownOn = m_stream;
    g_shownWidth = width;
}

}  // namespace Brolix
