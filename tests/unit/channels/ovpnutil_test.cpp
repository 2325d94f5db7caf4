// CheckStat, GetAssignDNS and SendCommand against a peer whose output is queued in advance. A
// SOCK_SEQPACKET pair keeps every queued write a separate piece, so which read sees what is
// deterministic even with the production 1000-microsecond readiness wait.
#include "app/channels/ChannelIO.h"
#include "app/channels/OVPNUtil.h"
#include "app/channels/helpersocket.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

class Peer {
public:
    Peer() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) std::abort();
        app = sv[0];
        peer = sv[1];
    }
    ~Peer() {
        if (app >= 0) close(app);
        if (peer >= 0) close(peer);
    }
    void queue(const std::string& piece) const {
        ASSERT_EQ(send(peer, piece.data(), piece.size(), MSG_NOSIGNAL), static_cast<ssize_t>(piece.size()));
    }
    void hangUp() {
        close(peer);
        peer = -1;
    }
    // Everything the application has sent, one record per send.
    std::vector<std::string> received() const {
        std::vector<std::string> out;
        char buf[4096];
        for (int i = 0; i < 64; ++i) {
            const ssize_t n = recv(peer, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) break;
            out.emplace_back(buf, static_cast<size_t>(n));
        }
        return out;
    }
    int app = -1;
    int peer = -1;
};

const std::string kPending = ">HOLD:Waiting for hold release:0\r\n";

class MgmtReaders : public ::testing::Test {
protected:
    void SetUp() override {
        channels::setCommandPause(std::chrono::milliseconds(0));
        chkStat = false;
        std::memset(ovpnAssignAddr, 0, sizeof ovpnAssignAddr);
    }
    void TearDown() override { channels::setCommandPause(std::chrono::milliseconds(1000)); }

    // Queues harmless pending output, then the state reply, and polls once.
    int poll(const std::string& stateReply) {
        Peer p;
        p.queue(kPending);
        if (!stateReply.empty()) p.queue(stateReply);
        return CheckStat(p.app);
    }
};

TEST_F(MgmtReaders, CheckStatReportsFirstConnectedOnceAndRecordsTunnelAddress) {
    const std::string line = "1796690804,CONNECTED,SUCCESS,10.8.0.6,10.213.0.2,1194,,\r\nEND\r\n";
    EXPECT_EQ(poll(line), 2);
    EXPECT_STREQ(ovpnAssignAddr, "10.8.0.6");
    EXPECT_TRUE(chkStat);
    EXPECT_EQ(poll(line), 1);
    EXPECT_EQ(poll(line), 1);
    chkStat = false; // what ConnectOVPNControle does for a new attempt
    EXPECT_EQ(poll(line), 2);
}

TEST_F(MgmtReaders, CheckStatMapsStates) {
    struct Case {
        const char* reply;
        int want;
    } cases[] = {
        {"1,CONNECTED,ERROR,10.8.0.6,10.213.0.2,1194,,\r\nEND\r\n", 0},
        {"1,RECONNECTING,auth-failure,,,,,\r\nEND\r\n", 0},
        {"1,EXITING,SIGTERM,,,,,\r\nEND\r\n", 0},
        {"1,CONNECTING,,,,,,\r\nEND\r\n", 1},
        // openvpn 2.6 set-up states, and one it may add later: still connecting.
        {"1,RESOLVE,,,,,,\r\nEND\r\n", 1},
        {"1,TCP_CONNECT,,,,,,\r\nEND\r\n", 1},
        {"1,AUTH_PENDING,,,,,,\r\nEND\r\n", 1},
        {"1,ADD_ROUTES,,10.8.0.6,,,,\r\nEND\r\n", 1},
        {"1,SOME_NEW_STEP,,,,,,\r\nEND\r\n", 1},
        {"1,WAIT,,,,,,\r\nEND\r\n", 1},
        {"1,AUTH,,,,,,\r\nEND\r\n", 1},
        {"1,GET_CONFIG,,,,,,\r\nEND\r\n", 1},
        {"1,ASSIGN_IP,,10.8.0.6,10.213.0.2,1194,,\r\nEND\r\n", 1},
        {"1,connected,SUCCESS,10.8.0.6\r\n", 1}, // names are exact: not CONNECTED, still setting up
        {"1,CONNECTED\r\nEND\r\n", 0},           // connected without a description
    };
    for (const auto& c : cases)
        EXPECT_EQ(poll(c.reply), c.want) << c.reply;
    EXPECT_FALSE(chkStat);
}

TEST_F(MgmtReaders, CheckStatTakesTheTunnelAddressFromTheFourthFieldEvenWhenTheDescriptionIsEmpty) {
    EXPECT_EQ(poll("1,ASSIGN_IP,,10.8.0.9,10.213.0.2,1194,,\r\nEND\r\n"), 1);
    EXPECT_STREQ(ovpnAssignAddr, "10.8.0.9");
    EXPECT_EQ(poll("1,CONNECTED,SUCCESS,10.8.0.7\r\nEND\r\n"), 2); // line end is not part of it
    EXPECT_STREQ(ovpnAssignAddr, "10.8.0.7");
}

TEST_F(MgmtReaders, CheckStatReadsTheReplyUpToItsEndLineAndRecordsTheStateName) {
    struct Case {
        std::vector<std::string> pieces; // later pieces arrive 30 ms apart, long after a readiness wait
        int want;
        const char* state;
    } cases[] = {
        {{"1796690804,CONNECTED,SUC", "CESS,10.8.0.6,10.213.0.2,1194,,\r\n", "END\r\n"}, 2, "CONNECTED"},
        {{">LOG:1796690804,I,Initialization Sequence Completed\r\n", "1,CONNECTED,SUCCESS,,,,,\r\nEND\r\n"},
         2, "CONNECTED"},
        {{"1,WA", "IT,,,,,,\r\nEND\r\n"}, 1, "WAIT"},
        {{"1,RECONNECTING,ping-restart,,,,,\r\nEND\r\n"}, 0, "RECONNECTING"},
        {{}, 1, ""}, // no reply at all
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pieces.empty() ? "(none)" : c.pieces[0]);
        chkStat = false;
        std::strcpy(ovpnStateName, "stale");
        Peer p;
        p.queue(kPending);
        std::thread late([&] {
            for (const auto& piece : c.pieces) {
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                p.queue(piece);
            }
        });
        EXPECT_EQ(CheckStat(p.app), c.want);
        late.join();
        EXPECT_STREQ(ovpnStateName, c.state);
    }
}

// With a zero bound (as the fuzz harness runs it) a reply queued in advance is still read whole,
// piece by piece, and nothing is waited for.
TEST_F(MgmtReaders, CheckStatWithAZeroBoundTakesWhatIsAlreadyThere) {
    struct Case {
        std::vector<std::string> pieces;
        int want;
        const char* state;
    } cases[] = {
        {{"1796690804,CONNECTED,SUC", "CESS,10.8.0.6,10.213.0.2,1194,,\r\n", "END\r\n"}, 2, "CONNECTED"},
        {{"1,TCP_CONN", "ECT,,,,,,\r\n", "END\r\n"}, 1, "TCP_CONNECT"},
        {{"1,EXITING,SIGTERM,,,,,\r\n"}, 0, "EXITING"}, // no END yet: what came is used
    };
    channels::setReadinessWait(std::chrono::microseconds(0));
    setStateReplyBound(std::chrono::milliseconds(0));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pieces[0]);
        chkStat = false;
        Peer p;
        p.queue(kPending);
        for (const auto& piece : c.pieces)
            p.queue(piece);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(CheckStat(p.app), c.want);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
        EXPECT_STREQ(ovpnStateName, c.state);
    }
    setStateReplyBound(std::chrono::milliseconds(kStateReplyMs));
    channels::setReadinessWait(std::chrono::microseconds(1000));
}

TEST_F(MgmtReaders, CheckStatBoundsAnOverlongAddress) {
    const std::string addr(2000, '9');
    std::memset(ovpnAssignAddr, 'x', sizeof ovpnAssignAddr);
    EXPECT_EQ(poll("1,CONNECTED,SUCCESS," + addr), 2); // read is cut at 1023 bytes
    EXPECT_EQ(std::strlen(ovpnAssignAddr), sizeof ovpnAssignAddr - 1);
    EXPECT_EQ(std::string(ovpnAssignAddr), std::string(255, '9'));
}

TEST_F(MgmtReaders, CheckStatSendsSevenBytesAndSeesAuthFailureOnlyAtTheStart) {
    Peer p;
    p.queue(kPending);
    p.queue("1,WAIT,,,,,,\r\nEND\r\n");
    EXPECT_EQ(CheckStat(p.app), 1);
    auto sent = p.received();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], std::string("state\n\0", 7));

    Peer failed;
    failed.queue(">PASSWORD:Verification Failed: 'Auth'\r\n");
    EXPECT_EQ(CheckStat(failed.app), -1);
    EXPECT_TRUE(failed.received().empty()) << "state must not be asked after a refusal";

    Peer later; // the failure behind other output is not a refusal of this poll
    later.queue(">PASSWORD:Need 'Auth' username/password\r\n>PASSWORD:Verification Failed: 'Auth'\r\n");
    later.queue("1,RECONNECTING,auth-failure,,,,,\r\nEND\r\n");
    EXPECT_EQ(CheckStat(later.app), 0);

    Peer truncated; // fewer than the 37 bytes compared
    truncated.queue(">PASSWORD:Verification Failed: 'Aut");
    EXPECT_EQ(CheckStat(truncated.app), 1);
}

TEST_F(MgmtReaders, CheckStatReportsAClosedPeerAsNotConnected) {
    Peer closedBefore;
    closedBefore.hangUp();
    EXPECT_EQ(CheckStat(closedBefore.app), 0);

    Peer closedAfterPending;
    closedAfterPending.queue(kPending);
    closedAfterPending.hangUp();
    EXPECT_EQ(CheckStat(closedAfterPending.app), 0);

    EXPECT_EQ(CheckStat(-1), 0);
}

TEST_F(MgmtReaders, GetAssignDNSCopiesTheFirstPushedAddressUpToAComma) {
    Peer p;
    p.queue("1,I,OPTIONS IMPORT: timers and/or timeouts modified\r\n");
    p.queue("1,,PUSH: Received control message: 'PUSH_REPLY,dhcp-option DNS 10.8.0.1,dhcp-option DNS "
            "10.8.0.2,route-gateway 10.8.0.1,topology subnet'\r\nEND\r\n");
    char out[256] = {};
    EXPECT_EQ(GetAssignDNS(p.app, out), 1);
    EXPECT_STREQ(out, "10.8.0.1");
    auto sent = p.received();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], "log all\n");
}

TEST_F(MgmtReaders, GetAssignDNSCutsAtSixteenCharactersAndAtTheEndOfTheOption) {
    {
        Peer p;
        p.queue("PUSH_REPLY,dhcp-option DNS 2001:db8:aaaa:bbbb:cccc::53,route 1\r\n");
        char out[256];
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(GetAssignDNS(p.app, out), 1);
        EXPECT_STREQ(out, "2001:db8:aaaa:bb");
    }
    {
        Peer p; // the option is the last of the pushed list
        p.queue("'PUSH_REPLY,route-gateway 10.8.0.1,dhcp-option DNS 10.8.0.1'\r\n1,2,3\r\nEND\r\n");
        char out[256] = {};
        EXPECT_EQ(GetAssignDNS(p.app, out), 1);
        EXPECT_STREQ(out, "10.8.0.1");
    }
    {
        Peer p; // the first character is taken whatever it is
        p.queue("dhcp-option DNS ,1.2.3.4\r\n");
        char out[256] = {};
        EXPECT_EQ(GetAssignDNS(p.app, out), 1);
        EXPECT_STREQ(out, ",1.2.3.4");
    }
}

TEST_F(MgmtReaders, GetAssignDNSReassemblesTheLogAcrossPieces) {
    Peer p;
    p.queue("1,,PUSH_REPLY,dhcp-option D");
    p.queue("NS 10.8.");
    p.queue("0.53,route-gateway\r\nEND\r\n");
    char out[256] = {};
    EXPECT_EQ(GetAssignDNS(p.app, out), 1);
    EXPECT_STREQ(out, "10.8.0.53");
}

TEST_F(MgmtReaders, GetAssignDNSWithoutAnAddressLeavesTheBufferAlone) {
    char out[256];
    std::memcpy(out, "keep", 5);
    {
        Peer none;
        none.queue("1,,PUSH_REPLY,route-gateway 10.8.0.1\r\nEND\r\n");
        EXPECT_EQ(GetAssignDNS(none.app, out), 0);
    }
    {
        Peer empty;
        EXPECT_EQ(GetAssignDNS(empty.app, out), 0);
    }
    {
        Peer closed;
        closed.queue("dhcp-option DNS 10.8.0.1,");
        closed.hangUp();
        EXPECT_EQ(GetAssignDNS(closed.app, out), 0); // the close counts, not what came before
    }
    EXPECT_STREQ(out, "keep");
}

TEST_F(MgmtReaders, SendCommandLooksAtTheLastPieceOnly) {
    {
        Peer p;
        p.queue(">INFO:OpenVPN Management Interface Version 5\r\n");
        p.queue("SUCCESS: hold flag set to OFF\r\n");
        EXPECT_EQ(SendCommand(p.app, "hold off\n"), 1);
        auto sent = p.received();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0], "hold off\n"); // no terminator on the wire
    }
    {
        Peer p;
        p.queue("SUCCESS: hold release succeeded\r\n");
        p.queue(">PASSWORD:Need 'Auth' username/password\r\n");
        EXPECT_EQ(SendCommand(p.app, "hold release\n"), 0);
    }
    {
        Peer p;
        p.queue("SUCCESS: 'Auth' username entered, but not yet verified\r\n");
        p.hangUp();
        EXPECT_EQ(SendCommand(p.app, "username \"Auth\" u\n"), 0);
    }
    {
        Peer p;
        p.queue("ERROR: unknown command\r\n");
        EXPECT_EQ(SendCommand(p.app, "bogus\n"), 0);
        Peer quiet;
        EXPECT_EQ(SendCommand(quiet.app, "mute 1\n"), 0);
        EXPECT_EQ(SendCommand(quiet.app, ""), 0); // nothing went out
    }
    EXPECT_EQ(SendCommand(-1, "state\n"), 0);
}

TEST(PeerClosed, OnlyAPeerThatHasGoneCounts) {
    {
        Peer open;
        EXPECT_FALSE(channels::peerClosed(open.app));
        open.queue("unexpected");
        EXPECT_FALSE(channels::peerClosed(open.app));
        char buf[16];
        EXPECT_EQ(recv(open.app, buf, sizeof buf, MSG_DONTWAIT), 10) << "nothing was consumed";
        open.hangUp();
        EXPECT_TRUE(channels::peerClosed(open.app));
    }
    const int unconnected = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_TRUE(channels::peerClosed(unconnected)) << "a helper that never answered";
    close(unconnected);
    EXPECT_FALSE(channels::peerClosed(-1));
}

TEST(AuthLine, OrdinaryValuesGoOutUnchangedAndOthersAreQuotedOrRefused) {
    std::string line;
    ASSERT_TRUE(channels::buildAuthLine("username", "tb000001", 256, line));
    EXPECT_EQ(line, "username \"Auth\" tb000001\n");
    ASSERT_TRUE(channels::buildAuthLine("password", "p@ss:w0rd,x=1%", 256, line));
    EXPECT_EQ(line, "password \"Auth\" p@ss:w0rd,x=1%\n");
    ASSERT_TRUE(channels::buildAuthLine("password", "two words \"q\" \\ 'x'", 256, line));
    EXPECT_EQ(line, "password \"Auth\" \"two words \\\"q\\\" \\\\ 'x'\"\n");
    ASSERT_TRUE(channels::buildAuthLine("password", "#notacomment", 256, line));
    EXPECT_EQ(line, "password \"Auth\" \"#notacomment\"\n");

    EXPECT_FALSE(channels::buildAuthLine("password", "x\nsignal SIGTERM", 256, line));
    EXPECT_TRUE(line.empty());
    EXPECT_FALSE(channels::buildAuthLine("password", "x\r", 256, line));
    EXPECT_FALSE(channels::buildAuthLine("username", nullptr, 256, line));

    // "username "Auth" " is 16 bytes, the newline and the terminator 2: 238 fit, 239 do not.
    EXPECT_TRUE(channels::buildAuthLine("username", std::string(238, 'a').c_str(), 256, line));
    EXPECT_FALSE(channels::buildAuthLine("username", std::string(239, 'a').c_str(), 256, line));
}

} // namespace
