// Whose is 127.0.0.1:17505, read from the kernel's socket tables as /proc/net/tcp{,6} print them.
#include "app/channels/ManagementOwner.h"

#include <gtest/gtest.h>

#include <string>

using namespace channels;

namespace {

const std::string kHeader =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
    "timeout inode\n";
const std::string kHeader6 =
    "  sl  local_address                         remote_address                        st "
    "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";

// One table line: local and remote as printed, state, owner.
std::string line(const std::string& local, const std::string& remote, const char* st, int uid) {
    return "   0: " + local + " " + remote + " " + st + " 00000000:00000000 00:00000000 00000000 " +
           std::to_string(uid) + "        0 12345 1 0000000000000000 100 0 0 10 0\n";
}

// 127.0.0.1:17505 (0x4461), 0.0.0.0:17505, a client at 127.0.0.1:40000 (0x9C40).
const std::string kLoopback = "0100007F:4461", kAny = "00000000:4461", kClient = "0100007F:9C40";
const std::string kNone = "00000000:0000";
const std::string kAny6 = "00000000000000000000000000000000:4461";
const std::string kMapped6 = "0000000000000000FFFF00000100007F:4461",
                  kClient6 = "0000000000000000FFFF00000100007F:9C40";

bool rootOwns(const std::string& tcp, const std::string& tcp6) {
    auto entries = parseProcNetTcp(kHeader + tcp, false);
    auto six = parseProcNetTcp(kHeader6 + tcp6, true);
    entries.insert(entries.end(), six.begin(), six.end());
    return rootOwnsLoopbackEndpoint(entries, 17505, 40000);
}

} // namespace

TEST(ManagementOwner, OnlyARootListenerWithARootServerEndIsTrusted) {
    struct Case {
        const char* what;
        std::string tcp, tcp6;
        bool trusted;
    } cases[] = {
        {"openvpn as root, connection accepted",
         line(kLoopback, kNone, "0A", 0) + line(kLoopback, kClient, "01", 0) +
             line(kClient, kLoopback, "01", 1000),
         "", true},
        {"root listener, connection not yet accepted", line(kLoopback, kNone, "0A", 0), "", true},
        {"nothing listens", line(kClient, kLoopback, "02", 1000), "", false},
        {"a user's listener", line(kLoopback, kNone, "0A", 1000) + line(kLoopback, kClient, "01", 1000), "",
         false},
        {"a user's listener on 0.0.0.0", line(kAny, kNone, "0A", 65534), "", false},
        {"a user's dual-stack listener", "",
         line(kAny6, kNone, "0A", 65534) + line(kMapped6, kClient6, "01", 65534), false},
        {"root listener but the user's server end",
         line(kLoopback, kNone, "0A", 0) + line(kLoopback, kClient, "01", 1000), "", false},
        {"a user's listener on another port",
         line(kLoopback, kNone, "0A", 0) + line("0100007F:4462", kNone, "0A", 1000), "", true},
        {"a user's listener on another address",
         line(kLoopback, kNone, "0A", 0) + line("0200007F:4461", kNone, "0A", 1000), "", true},
        {"unreadable lines are skipped", "garbage\n   1: 0100007F:4461\n" + line(kLoopback, kNone, "0A", 0),
         "", true},
    };
    for (const Case& k : cases)
        EXPECT_EQ(rootOwns(k.tcp, k.tcp6), k.trusted) << k.what;
}

TEST(ManagementOwner, ParsesTheKernelsFields) {
    auto entries = parseProcNetTcp(kHeader + line(kLoopback, kClient, "0A", 123), false);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].localPort, 17505);
    EXPECT_EQ(entries[0].remotePort, 40000);
    EXPECT_EQ(entries[0].state, 0x0A);
    EXPECT_EQ(entries[0].uid, 123u);
    EXPECT_TRUE(parseProcNetTcp(kHeader + line("0100007F:4461:", kClient, "0A", 0), false).empty());
    EXPECT_TRUE(parseProcNetTcp(kHeader + line(kMapped6, kClient, "0A", 0), false).empty());
}
