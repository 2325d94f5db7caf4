// The management client against a scripted management server on loopback that answers like
// OpenVPN 2.6 (CRLF line ends, SUCCESS:/ERROR: replies, ">" notifications).
#include "app/channels/ChannelIO.h"
#include "app/channels/OVPNUtil.h"
#include "app/channels/helpersocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <dirent.h>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
constexpr const char* kClose = "<close>";

// Replies to each received line; the reply kClose hangs up. All waits are bounded.
class FakeManagement {
public:
    using Responder = std::function<std::string(const std::string&)>;

    explicit FakeManagement(Responder responder) : responder_(std::move(responder)) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 1) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            std::abort();
        port = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeManagement() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> l(m_);
        return lines_;
    }
    std::string raw() {
        std::lock_guard<std::mutex> l(m_);
        return raw_;
    }
    // Waits (bounded) for the client to hang up.
    bool waitForHangUp() {
        for (int i = 0; i < 300 && !hungUp_; ++i)
            std::this_thread::sleep_for(10ms);
        return hungUp_;
    }
    uint16_t port = 0;
    std::atomic<bool> accepted{false};

private:
    static bool readable(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }
    void serve() {
        int c = -1;
        for (int i = 0; i < 200 && !stop_ && c < 0; ++i)
            if (readable(listener_, 50)) c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        accepted = true;
        const std::string hello = ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more "
                                  "info\r\n>HOLD:Waiting for hold release:0\r\n";
        send(c, hello.data(), hello.size(), MSG_NOSIGNAL);
        std::string pending;
        bool peerClosed = false;
        char buf[1024];
        for (int i = 0; i < 4000 && !stop_; ++i) {
            if (!readable(c, 10)) continue;
            const ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) {
                peerClosed = true;
                break;
            }
            {
                std::lock_guard<std::mutex> l(m_);
                raw_.append(buf, static_cast<size_t>(n));
            }
            pending.append(buf, static_cast<size_t>(n));
            bool closed = false;
            for (size_t nl; !closed && (nl = pending.find('\n')) != std::string::npos;) {
                std::string line;
                for (char ch : pending.substr(0, nl))
                    if (ch != '\0' && ch != '\r') line += ch; // OpenVPN skips both too
                pending.erase(0, nl + 1);
                {
                    std::lock_guard<std::mutex> l(m_);
                    lines_.push_back(line);
                }
                const std::string reply = responder_(line);
                if (reply == kClose)
                    closed = true;
                else if (!reply.empty())
                    send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            if (closed) break;
        }
        close(c);
        hungUp_ = peerClosed;
    }
    Responder responder_;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> hungUp_{false};
    std::mutex m_;
    std::vector<std::string> lines_;
    std::string raw_;
    std::thread thread_;
};

// What OpenVPN answers for a client that logs in with tb000001/secret1 and is pushed a DNS server.
std::string openvpnLike(const std::string& line) {
    if (line == "hold off") return "SUCCESS: hold flag set to OFF\r\n";
    if (line == "hold release")
        return "SUCCESS: hold release succeeded\r\n>PASSWORD:Need 'Auth' username/password\r\n";
    if (line.rfind("username \"Auth\" ", 0) == 0)
        return "SUCCESS: 'Auth' username entered, but not yet verified\r\n";
    if (line.rfind("password \"Auth\" ", 0) == 0)
        return "SUCCESS: 'Auth' password entered, but not yet verified\r\n";
    if (line == "state") return "1796690804,CONNECTED,SUCCESS,10.8.0.6,127.0.0.1,1194,,\r\nEND\r\n";
    if (line == "log all")
        return "1796690800,,PUSH: Received control message: 'PUSH_REPLY,dhcp-option DNS 10.8.0.53,"
               "route-gateway 10.8.0.1,topology subnet,ifconfig 10.8.0.6 255.255.255.0'\r\nEND\r\n";
    if (line == "mute 1") return "SUCCESS: mute level changed\r\n";
    if (line == "signal SIGTERM") return "SUCCESS: signal SIGTERM thrown\r\n";
    return "ERROR: unknown command, enter 'help' for more options\r\n";
}

int openDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

class MgmtClient : public ::testing::Test {
protected:
    void SetUp() override {
        // The credentials go only to an endpoint of root's, as the helper's openvpn is.
        if (geteuid() != 0) GTEST_SKIP() << "needs root: the fake management server must be root's";
        channels::setCommandPause(50ms);
    }
    void TearDown() override {
        channels::setCommandPause(1000ms);
        channels::setReadinessWait(1000us);
    }
};

TEST_F(MgmtClient, DialogueReleasesTheHoldAndHandsOverTheCredentials) {
    FakeManagement server(openvpnLike);
    chkStat = true;
    const int fd = ConnectOVPNControle("tb000001", "secret1", server.port);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(chkStat);
    const std::vector<std::string> want{"hold off", "hold release", "username \"Auth\" tb000001",
                                        "password \"Auth\" secret1"};
    EXPECT_EQ(server.lines(), want);

    // The state reply must arrive within the readiness wait; give the fake server's thread room.
    channels::setReadinessWait(500ms);
    EXPECT_EQ(CheckStat(fd), 2);
    EXPECT_STREQ(ovpnAssignAddr, "10.8.0.6");
    EXPECT_EQ(CheckStat(fd), 1);
    char dns[256] = {};
    EXPECT_EQ(GetAssignDNS(fd, dns), 1);
    EXPECT_STREQ(dns, "10.8.0.53");
    EXPECT_EQ(SendCommand(fd, "mute 1\n"), 1);
    EXPECT_EQ(SendCommand(fd, "signal SIGTERM\n"), 1);
    EXPECT_NE(server.raw().find(std::string("state\n\0", 7)), std::string::npos);
    close(fd);
}

TEST_F(MgmtClient, AValueWithBlanksIsQuotedForTheServer) {
    FakeManagement server(openvpnLike);
    const int fd = ConnectOVPNControle("tb000001", "pass word\"1", server.port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(server.lines().back(), "password \"Auth\" \"pass word\\\"1\"");
    close(fd);
}

TEST_F(MgmtClient, ARefusedStepClosesTheConnection) {
    FakeManagement server([](const std::string& line) {
        return line == "hold release" ? std::string("ERROR: no hold\r\n") : openvpnLike(line);
    });
    const int before = openDescriptors();
    EXPECT_EQ(ConnectOVPNControle("tb000001", "secret1", server.port), -1);
    EXPECT_TRUE(server.waitForHangUp());
    EXPECT_EQ(server.lines(), (std::vector<std::string>{"hold off", "hold release"}));
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(MgmtClient, AServerThatHangsUpMidwayFails) {
    FakeManagement server([](const std::string& line) {
        return line.rfind("username", 0) == 0 ? std::string(kClose) : openvpnLike(line);
    });
    EXPECT_EQ(ConnectOVPNControle("tb000001", "secret1", server.port), -1);
}

TEST_F(MgmtClient, NothingListeningFails) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&a), &len), 0);
    close(s); // the port is free again and nothing listens on it
    const int before = openDescriptors();
    EXPECT_EQ(ConnectOVPNControle("tb000001", "secret1", ntohs(a.sin_port)), -1);
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(MgmtClient, CredentialsThatWouldInjectOrOverflowAreNeverSent) {
    FakeManagement server(openvpnLike);
    EXPECT_EQ(ConnectOVPNControle("tb000001", "x\nsignal SIGTERM", server.port), -1);
    EXPECT_EQ(ConnectOVPNControle("tb000001\r", "secret1", server.port), -1);
    EXPECT_EQ(ConnectOVPNControle(std::string(300, 'u').c_str(), "secret1", server.port), -1);
    EXPECT_EQ(ConnectOVPNControle("tb000001", std::string(240, 'p').c_str(), server.port), -1);
    EXPECT_EQ(ConnectOVPNControle(nullptr, "secret1", server.port), -1);
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(server.accepted);
    EXPECT_TRUE(server.lines().empty());
}

} // namespace
