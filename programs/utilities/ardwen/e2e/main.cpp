// The end-to-end test program. Every ardwen run may send numbered messages to
// the central service's slot "Brolix_Core", and a receiver on this machine
// would take them for real ones. So before any test starts, the program moves
// into a network namespace of its own, which carries the slots with it (they
// are abstract unix sockets); every child it starts inherits it. Where no
// namespace can be had the program refuses to run rather than send.
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "ArdwenEndToEnd.h"

namespace e2e {
bool g_isolated = false;
}

namespace {

bool writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

bool isolate() {
    // As root a network namespace is enough; otherwise a user namespace comes
    // with it, in which this user keeps its own ids.
    if (::unshare(CLONE_NEWNET) == 0) return true;
    const std::string uid = std::to_string(::getuid());
    const std::string gid = std::to_string(::getgid());
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
    writeText("/proc/self/setgroups", "deny");
    return writeText("/proc/self/uid_map", uid + " " + uid + " 1\n") &&
           writeText("/proc/self/gid_map", gid + " " + gid + " 1\n");
}

}  // namespace

int main(int argc, char** argv) {
    // Listing the tests (as the build does to register them) runs none.
    bool listing = false;
    for (int i = 1; i < argc; ++i) listing = listing || std::string(argv[i]) == "--gtest_list_tests";
    e2e::g_isolated = isolate();
    if (!e2e::g_isolated && !listing) {
        std::fprintf(stderr,
                     "ardwen_e2e_tests: cannot get a network namespace of its own (unshare); refusing to run "
                     "ardwen where its messages would reach the machine's central logging service\n");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
