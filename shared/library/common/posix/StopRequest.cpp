// Stop requests are SIGINT (Ctrl+C) and SIGTERM.
#include "platform/StopRequest.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace Brolix {
namespace platform {

namespace {

std::atomic<int>* g_flag = nullptr;
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may set the flag");

extern "C" void onStopSignal(int) {
    if (g_flag != nullptr) g_flag->store(1);
}

}  // namespace

void watchStopRequests(std::atomic<int>* flag) {
    g_flag = flag;
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
}

bool readStandardInput(std::string& text) {
    // While this read waits, a stop signal interrupts it instead of letting the
    // system restart it (the handlers, whoever installed them, stay).
    const int signals[] = {SIGINT, SIGTERM};
    struct sigaction previous[2];
    for (int i = 0; i < 2; ++i) {
        struct sigaction interrupting;
        ::sigaction(signals[i], nullptr, &previous[i]);
        interrupting = previous[i];
        interrupting.sa_flags &= ~SA_RESTART;
        ::sigaction(signals[i], &interrupting, nullptr);
    }
    bool read = true;
    char piece[4096];
    while (g_flag == nullptr || g_flag->load() == 0) {
        const ssize_t got = ::read(STDIN_FILENO, piece, sizeof piece);
        if (got > 0) {
            text.append(piece, static_cast<size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            read = false;
            break;
        }
    }
    for (int i = 0; i < 2; ++i) ::sigaction(signals[i], &previous[i], nullptr);
    return read;
}

}  // namespace platform
}  // namespace Brolix
