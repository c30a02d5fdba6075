// What a receiver reads at the system's level: the unix datagram socket behind
// a slot, read with bare socket calls.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstring>
#include <string>

#include "IPCClient.h"

using namespace Brolix;

namespace {

const std::string ESC(1, '\x1b');

TEST(MailSlotWireTest, DatagramBytesOnTheWire) {
    // What any receiver sees, read with a bare socket at the slot's address: the
    // framed text and one zero byte, one datagram per send.
    const std::string name = "BrolixTest_" + std::to_string(::getpid()) + "_wire";
    std::string address = "brolix/mailslot/" + name;
    for (char& c : address) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path + 1, address.data(), address.size());
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + address.size())),
              0);

    IPCClient client(name);
    EXPECT_TRUE(client.sendRequest("LOGMSG", "", "abc", ""));
    EXPECT_TRUE(client.sendText(""));
    EXPECT_TRUE(client.sendRequest("LOGMSG", "", "p" + ESC + std::string("a\0b", 3), ""));
    char buffer[256];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    EXPECT_EQ(std::string(buffer, n > 0 ? n : 0), std::string("Brolix\x1bLOGMSG\x1b\x1b"
                                                              "abc\x1b") +
                                                      std::string(1, '\0'));
    n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    EXPECT_EQ(std::string(buffer, n > 0 ? n : 0), std::string(1, '\0'));
    n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    EXPECT_EQ(std::string(buffer, n > 0 ? n : 0),
              "Brolix" + ESC + "LOGMSG" + ESC + ESC + "p a b" + ESC + std::string(1, '\0'));
    ::close(fd);
}

}  // namespace
