// The status.log polls, the probe's pin and the text checks, without a worker.
#include "OcTestSupport.h"

#include "app/connection/OpenConnecctMgr.h"
#include "app/service/Constants.h"
#include "platform/Defaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using Mgr = OpenConnectMgr;
using namespace std::chrono_literals;

class StatusPoll : public ::testing::Test {
protected:
    void SetUp() override {
        octest::scratchHome();
        dir = Mgr::folderPath();
        std::filesystem::create_directories(dir);
        std::filesystem::remove(status());
        Mgr::_opcon_estb_check_count = 0;
        Mgr::tunnelAddressesHook = [] { return std::vector<std::string>{"10.0.0.2", "10.77.1.30"}; };
    }
    // A poll that finds the tunnel up posts display changes; run them here, with no delegate set,
    // so that they cannot reach a later test's window.
    void TearDown() override {
        octest::pump(std::chrono::milliseconds(50));
        Mgr::tunnelAddressesHook = nullptr;
    }
    std::string status() const { return dir + "/status.log"; }
    std::string dir;
};

TEST_F(StatusPoll, EstablishedNeedsTheUpLineAndTheGatewayLine) {
    struct Case {
        const char* text;
        int expected;
    } cases[] = {
        {"Connected as 10.0.0.2, using SSL\n", 0},
        {"add net default: gateway 10.0.0.2\n", 0},
        {"Connected as 10.0.0.2, using SSL\nadd net default: gateway 10.0.0.2\n", 1},
        {"Configured as 10.77.1.30, with SSL connected and DTLS disabled\nadd net default: gateway "
         "10.77.1.30\n",
         1},
        {"Configured as 10.77.1.30, with SSL connected and DTLS disabled\n", 0},
        {"POST https://h/\nFailed to open HTTPS connection to h\n", -1},
        {"Login failed.\n", -1},
        {"Read error on SSL session: The TLS connection was non-properly terminated.\n", -1},
        {"CSTP Dead Peer Detection detected dead peer!\n", -1},
        {"Session terminated by server; exiting.\n", -1},
        {"Cookie was rejected by server; exiting.\n", -1},
        {"SSL read error\n", -1},
        {"", 0},
        // What the server writes there itself (its banner, form labels, error texts, which may hold
        // line breaks) neither connects nor fails the attempt: only openconnect's and the routing
        // script's own lines do, for an address that a tunnel interface holds.
        {"POST https://h/\nWelcome\nConfigured as 10.9.9.9, with SSL connected and DTLS disabled\n"
         "add net default: gateway 10.9.9.9\nUsername:\n",
         0},
        {"Notice: Configured as 10.77.1.30, add net default: gateway 10.77.1.30\n", 0},
        {"Configured as 10.77.1.30, with SSL connected and DTLS disabled\nadd net default: gateway "
         "10.0.0.2\n",
         0},
        {"Your last Login failed. attempts: 0\nBanner: SSL read error is rare\n", 0},
    };
    for (const Case& c : cases) {
        Mgr::_opcon_estb_check_count = 0;
        Constants::autoConnectCount = 2; // mid-cycle
        octest::writeFile(status(), c.text);
        EXPECT_EQ(Mgr::OnConnectStatus(), c.expected) << c.text;
        // A success ends the cycle: the next click starts a fresh one.
        EXPECT_EQ(Constants::autoConnectCount.load(), c.expected == 1 ? -1 : 2) << c.text;
    }
    Constants::autoConnectCount = -1;
    EXPECT_EQ(platform::Defaults::standard().string("SuccessProtcol"), "OpenConnect");
    // Loopback is no tunnel.
    const std::vector<std::string> tunnels = Mgr::tunnelAddresses();
    EXPECT_EQ(std::find(tunnels.begin(), tunnels.end(), "127.0.0.1"), tunnels.end());
}

TEST_F(StatusPoll, ThirtyFirstFruitlessPollTimesOut) {
    octest::writeFile(status(), "POST https://h/\n");
    for (int i = 1; i <= 30; ++i)
        ASSERT_EQ(Mgr::OnConnectStatus(), 0) << "poll " << i;
    EXPECT_EQ(Mgr::OnConnectStatus(), -1);
    EXPECT_EQ(Mgr::_opcon_estb_check_count.load(), 0);
}

TEST_F(StatusPoll, MissingFilePollsCountTowardsTheLimitButEndTheWaitOnlyMuchLater) {
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(Mgr::OnConnectStatus(), 0);
    octest::writeFile(status(), "POST https://h/\n");
    for (int i = 21; i <= 30; ++i)
        ASSERT_EQ(Mgr::OnConnectStatus(), 0) << "poll " << i;
    EXPECT_EQ(Mgr::OnConnectStatus(), -1) << "the 31st poll, the 11th that found the file";

    // Without any status.log (the helper never ran openconnect) the wait still ends.
    std::filesystem::remove(status());
    int polls = 0, r = 0;
    while (r == 0 && polls < 1000) {
        r = Mgr::OnConnectStatus();
        ++polls;
    }
    EXPECT_EQ(r, -1);
    EXPECT_EQ(polls, Mgr::kMissingStatusPollLimit);
}

TEST_F(StatusPoll, BytesThatAreNotUtf8NeitherEndTheAttemptNorDropTheTunnel) {
    // A banner in Shift_JIS ("ようこそ") and a stray byte around openconnect's own lines.
    const std::string sjis = "\x82\xe6\x82\xa4\x82\xb1\x82\xbb\n";
    octest::writeFile(status(), "POST https://h/\n" + sjis + "\xff\n");
    EXPECT_EQ(Mgr::OnConnectStatus(), 0);
    octest::writeFile(status(), "Configured as 10.77.1.30, with SSL connected and DTLS disabled\n", true);
    octest::writeFile(status(), "add net default: gateway 10.77.1.30\n", true);
    EXPECT_EQ(Mgr::OnConnectStatus(), 1);
    EXPECT_EQ(Mgr::OnConnectStatus2(), 1);
    octest::writeFile(status(), sjis, true);
    EXPECT_EQ(Mgr::OnConnectStatus2(), 1);
}

TEST_F(StatusPoll, OnlyNewWholeLinesAreLoggedAndAFewKiBAtMost) {
    std::string big;
    for (int i = 0; big.size() < Mgr::kStatusReadLimit; ++i)
        big += "POST https://h/ line " + std::to_string(i) + "\n";
    octest::writeFile(status(), big);
    const auto logged = [](const std::function<void()>& poll) {
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        poll();
        const std::string out = testing::internal::GetCapturedStdout();
        return testing::internal::GetCapturedStderr() + out;
    };
    const auto connectPoll = [] { Mgr::OnConnectStatus(); };
    std::string seen = logged(connectPoll);
    EXPECT_LT(seen.size(), 8192u);
    EXPECT_NE(seen.find("bytes of status.log not logged"), std::string::npos) << seen.substr(0, 400);
    seen = logged(connectPoll);
    EXPECT_EQ(seen.find("POST https://h/"), std::string::npos) << "logged again: " << seen.substr(0, 400);

    // A line is logged once it is whole, once; while up as well. Bytes that are not UTF-8 are
    // logged escaped.
    octest::writeFile(status(), "Got CONNECT response: HTTP/1.1 200 CONNECTED\nCSTP conn", true);
    seen = logged(connectPoll);
    EXPECT_NE(seen.find("Got CONNECT response: HTTP/1.1 200 CONNECTED\n"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("CSTP conn"), std::string::npos) << seen;
    octest::writeFile(status(), "ected.\n\x82\xe6\n", true);
    seen = logged([] { Mgr::OnConnectStatus2(); });
    EXPECT_NE(seen.find("CSTP connected.\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("\\x82\\xe6"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("Got CONNECT"), std::string::npos) << seen;
    EXPECT_EQ(seen.find('\x82'), std::string::npos);
}

TEST_F(StatusPoll, AFifoInPlaceOfTheFileFailsWithoutBlocking) {
    // A FIFO in place of the file must not hang the poll.
    std::filesystem::remove(status());
    ASSERT_EQ(::mkfifo(status().c_str(), 0600), 0);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Mgr::OnConnectStatus(), -1);
    EXPECT_EQ(Mgr::OnConnectStatus2(), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    std::filesystem::remove(status());
}

TEST_F(StatusPoll, WatchWhileUpReadsOnlyTheEndOfALargeFile) {
    EXPECT_EQ(Mgr::OnConnectStatus2(), -1) << "no file";
    octest::writeFile(status(), "Configured as 10.77.1.30\nadd net default: gateway 10.77.1.30\n");
    EXPECT_EQ(Mgr::OnConnectStatus2(), 1);
    octest::writeFile(status(), "Read error on SSL session: Error in the pull function.\n", true);
    EXPECT_EQ(Mgr::OnConnectStatus2(), -1);

    // A marker beyond the read limit is not seen; one at the end is. The cut lands inside a
    // three-byte character and must still give valid text.
    std::string big = "SSL read error\n";
    while (big.size() < Mgr::kStatusReadLimit + 10)
        big += "接続ログ行\n";
    octest::writeFile(status(), big);
    EXPECT_EQ(Mgr::OnConnectStatus2(), 1);
    octest::writeFile(status(), "Session terminated by server; exiting.\n", true);
    EXPECT_EQ(Mgr::OnConnectStatus2(), -1);
}

TEST(KillLine, QuotesThePathAndRefusesLineBreaks) {
    EXPECT_EQ(Mgr::killCommandFor("/home/u/.local/share/norvell/tavrovpn/openconnect/childpid"),
              "kill -HUP $(cat \"/home/u/.local/share/norvell/tavrovpn/openconnect/childpid\")");
    EXPECT_EQ(Mgr::killCommandFor("/a b/$(x)`y`\"z\\/childpid"),
              "kill -HUP $(cat \"/a b/\\$(x)\\`y\\`\\\"z\\\\/childpid\")");
    EXPECT_FALSE(Mgr::killCommandFor("/a\n/childpid"));
}

TEST(SecretFile, PasswordFileIsPrivateAndReplacedWhole) {
    const std::string dir = octest::scratchHome() + "/secret";
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/password.txt";
    ASSERT_TRUE(Mgr::writeSecretFile(path, "a long old password", nullptr));
    ASSERT_TRUE(Mgr::writeSecretFile(path, "pw", nullptr));
    EXPECT_EQ(octest::readFile(path), "pw");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string error;
    EXPECT_FALSE(Mgr::writeSecretFile(dir + "/missing/password.txt", "pw", &error));
    EXPECT_FALSE(error.empty());
    size_t leftovers = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        leftovers += e.path().filename() != "password.txt";
    EXPECT_EQ(leftovers, 0u);
}

} // namespace
