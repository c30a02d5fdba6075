// What a receiver reads at the system's level: a mail slot made and read with
// the bare system calls, written to through the library.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "IPCClient.h"

using namespace Brolix;

namespace {

const std::string ESC(1, '\x1b');

// The next message of `slot`, or "<none>" when none is waiting.
std::string nextMessage(HANDLE slot) {
    DWORD next = 0, count = 0;
    if (!::GetMailslotInfo(slot, nullptr, &next, &count, nullptr)) return "<GetMailslotInfo failed>";
    if (next == MAILSLOT_NO_MESSAGE) return "<none>";
    std::string buffer(next, '?');
    DWORD got = 0;
    if (next > 0 && !::ReadFile(slot, &buffer[0], next, &got, nullptr)) return "<ReadFile failed>";
    if (next == 0 && !::ReadFile(slot, nullptr, 0, &got, nullptr)) return "<ReadFile failed>";
    buffer.resize(got);
    return buffer;
}

TEST(MailSlotWireTest, DatagramBytesOnTheWire) {
    // The framed text and one zero byte, one message per send, in a slot whose
    // name differs in letter case from the client's.
    const std::string name = "BrolixTest_" + std::to_string(::GetCurrentProcessId()) + "_wire";
    const HANDLE slot = ::CreateMailslotA(("\\\\.\\mailslot\\" + name).c_str(), 0, 0, nullptr);
    ASSERT_NE(slot, INVALID_HANDLE_VALUE) << ::GetLastError();

    IPCClient client("BROLIXTEST_" + name.substr(11));
    EXPECT_TRUE(client.sendRequest("LOGMSG", "", "abc", ""));
    EXPECT_TRUE(client.sendText(""));
    EXPECT_TRUE(client.sendRequest("LOGMSG", "", "p" + ESC + std::string("a\0b", 3), ""));
    EXPECT_EQ(nextMessage(slot), std::string("Brolix\x1bLOGMSG\x1b\x1b"
                                             "abc\x1b") +
                                     std::string(1, '\0'));
    EXPECT_EQ(nextMessage(slot), std::string(1, '\0'));
    EXPECT_EQ(nextMessage(slot),
              "Brolix" + ESC + "LOGMSG" + ESC + ESC + "p a b" + ESC + std::string(1, '\0'));
    EXPECT_EQ(nextMessage(slot), "<none>");
    ::CloseHandle(slot);
}

}  // namespace
