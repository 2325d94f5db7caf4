// The helper-socket client against a real Unix-domain listener in a private directory.
#include "app/channels/helpersocket.h"
#include "app/channels/ChannelIO.h"

#include <gtest/gtest.h>

#include <memory>

#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Accepts one client; records its first message, optionally answers, then records everything
// else until the client closes. Every wait is bounded.
class FakeHelper {
public:
    FakeHelper(const std::string& path, std::string reply) : path_(path), reply_(std::move(reply)) {
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener_, 5) != 0)
            std::abort();
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeHelper() {
        stop_ = true;
        thread_.join();
        close(listener_);
        unlink(path_.c_str());
    }
    // Waits (bounded) until the client has closed its end or the helper gave up.
    void finish() {
        for (int i = 0; i < 500 && !done_; ++i)
            std::this_thread::sleep_for(10ms);
    }
    std::string first;
    std::string rest;
    std::atomic<bool> sawEof{false};
    std::atomic<bool> accepted{false};
    std::atomic<bool> done_{false};

private:
    bool readable(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }
    void serve() {
        int c = -1;
        for (int i = 0; i < 100 && !stop_ && c < 0; ++i)
            if (readable(listener_, 100)) c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) {
            accepted = true;
            char buf[512];
            if (readable(c, 5000)) {
                const ssize_t n = recv(c, buf, sizeof buf, 0);
                if (n > 0) first.assign(buf, static_cast<size_t>(n));
            }
            if (!reply_.empty()) send(c, reply_.data(), reply_.size(), MSG_NOSIGNAL);
            for (int i = 0; i < 3000 && !stop_; ++i) {
                if (!readable(c, 10)) continue;
                const ssize_t n = recv(c, buf, sizeof buf, 0);
                if (n <= 0) {
                    sawEof = (n == 0);
                    break;
                }
                rest.append(buf, static_cast<size_t>(n));
            }
            close(c);
        }
        done_ = true;
    }
    std::string path_;
    std::string reply_;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class HelperSocket : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tv-helpersock-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/helper.ipc";
        setenv("TVAPPHELPER_SOCKET", path_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("TVAPPHELPER_SOCKET");
        std::filesystem::remove_all(dir_);
    }
    std::string dir_, path_;
};

TEST_F(HelperSocket, PathComesFromTheEnvironmentOnEveryCall) {
    EXPECT_EQ(std::string(helperSocketPath()), path_);
    setenv("TVAPPHELPER_SOCKET", "/tmp/other.ipc", 1);
    EXPECT_STREQ(helperSocketPath(), "/tmp/other.ipc");
    unsetenv("TVAPPHELPER_SOCKET");
    EXPECT_STREQ(helperSocketPath(), "/var/run/com.norvell.tvapphelper.ipc");
}

TEST_F(HelperSocket, WithoutAHelperTheDescriptorIsOpenButUnconnected) {
    const auto t0 = std::chrono::steady_clock::now();
    std::string reply = "stale";
    const int fd = requestDaemonBySocket("CMD_SCNETWORK", 14, &reply);
    const auto waited = std::chrono::steady_clock::now() - t0;
    // Tried again for a bounded short time, in case the helper's socket is being set up anew.
    EXPECT_GE(waited, std::chrono::milliseconds(kHelperConnectRetryMs));
    EXPECT_LT(waited, std::chrono::milliseconds(kHelperConnectRetryMs + 1000));
    EXPECT_EQ(reply, "");
    ASSERT_GE(fd, 1);
    EXPECT_LT(send(fd, "x", 1, MSG_NOSIGNAL), 0);
    EXPECT_EQ(SendCommand(fd, "SET_KEY,x\n"), 0);
    EXPECT_EQ(socket_close(fd), 0);
}

TEST_F(HelperSocket, AHelperSocketThatAppearsShortlyIsWaitedForAndItsReplyKept) {
    // The socket comes up half a second after the request starts, as after a restart.
    std::unique_ptr<FakeHelper> late;
    std::thread starter([&] {
        std::this_thread::sleep_for(500ms);
        late = std::make_unique<FakeHelper>(path_, "1");
    });
    std::string reply;
    const int fd = requestDaemonBySocket("CMD_OVPN_START,/r", 18, &reply);
    starter.join();
    ASSERT_GE(fd, 1);
    EXPECT_EQ(reply, "1");
    socket_close(fd);
    late->finish();
    EXPECT_EQ(late->first, std::string("CMD_OVPN_START,/r\0", 18));
}

TEST_F(HelperSocket, FirstMessageKeepsItsTerminatorAndTheChannelStaysOpen) {
    FakeHelper helper(path_, "1");
    const int fd = requestDaemonBySocket("CMD_SCNETWORK", sizeof "CMD_SCNETWORK");
    ASSERT_GE(fd, 1);
    EXPECT_EQ(send(fd, "cp /etc/resolv.conf \"/x/OpenVPN/\"", 33, MSG_NOSIGNAL), 33);
    EXPECT_EQ(socket_close(fd), 0);
    helper.finish();
    EXPECT_EQ(helper.first, std::string("CMD_SCNETWORK\0", 14));
    EXPECT_EQ(helper.rest, "cp /etc/resolv.conf \"/x/OpenVPN/\"");
    EXPECT_TRUE(helper.sawEof);
}

TEST_F(HelperSocket, RaiseSendsExactlyOneByteAndCloses) {
    FakeHelper helper(path_, "");
    EXPECT_EQ(raiseDaemonBySocket(), 0);
    helper.finish();
    EXPECT_EQ(helper.first, "1");
    EXPECT_EQ(helper.rest, "");
    EXPECT_TRUE(helper.sawEof);
}

TEST_F(HelperSocket, APathLongerThanTheAddressIsRefusedNotCut) {
    // The first 107 characters name a real listener: a cut path would reach it.
    const std::string prefix = dir_ + "/" + std::string(107 - dir_.size() - 1, 'p');
    FakeHelper decoy(prefix, "1");
    const std::string longPath = prefix + "-and-more";
    setenv("TVAPPHELPER_SOCKET", longPath.c_str(), 1);
    const int fd = requestDaemonBySocket("CMD_SCNETWORK", 14);
    ASSERT_GE(fd, 1);
    EXPECT_LT(send(fd, "x", 1, MSG_NOSIGNAL), 0);
    EXPECT_EQ(socket_close(fd), 0);
    EXPECT_EQ(raiseDaemonBySocket(), 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(decoy.accepted);
}

TEST_F(HelperSocket, ASilentHelperDoesNotHoldTheCallerForever) {
    FakeHelper helper(path_, ""); // reads, never answers, keeps the connection
    const auto t0 = std::chrono::steady_clock::now();
    const int fd = requestDaemonBySocket("CMD_OVPN_START,/r", 18);
    const auto waited = std::chrono::steady_clock::now() - t0;
    ASSERT_GE(fd, 1);
    EXPECT_LT(waited, std::chrono::seconds(kHelperReplyTimeoutSeconds + 10));
    // The time-out applied to that one read only: the channel is still usable.
    EXPECT_EQ(send(fd, "echo", 4, MSG_NOSIGNAL), 4);
    socket_close(fd);
    helper.finish();
    EXPECT_EQ(helper.first, std::string("CMD_OVPN_START,/r\0", 18));
    EXPECT_EQ(helper.rest, "echo");
}

TEST_F(HelperSocket, NoDescriptorLeftGivesMinusOne) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int probe = open("/dev/null", O_RDONLY | O_CLOEXEC); // the lowest free descriptor
    ASSERT_GE(probe, 0);
    close(probe);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(probe);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const int a = requestDaemonBySocket("CMD_SCNETWORK", 14);
    const int b = raiseDaemonBySocket();
    const int c = ConnectOVPNControle("u", "p", 1);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(a, -1);
    EXPECT_EQ(b, -1);
    EXPECT_EQ(c, -1);
}

// A sub-command's answer as the helper gives it: "1" for the connection, then, after the
// sub-command, its answer (late, or none) and the connection closed.
TEST_F(HelperSocket, ASubCommandsAnswerIsKeptAlsoWhenTheHelperClosesAfterIt) {
    struct Case {
        const char* name;
        const char* answer; // nullptr: closed without one
        int delayMs;        // before the answer
        std::string got;    // what requestScNetwork hands back
        std::string later;  // what pollHelperAnswer then finds ("" for nothing)
        int laterResult;
    } cases[] = {
        {"answered and closed", "1", 0, "1", "", -1},
        {"refused and closed", "0", 0, "0", "", -1},
        {"answered after the pause", "1", 400, "", "1", 1},
        {"closed without an answer", nullptr, 0, "", "", -1},
    };
    channels::setCommandPause(100ms);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path_.copy(addr.sun_path, sizeof addr.sun_path - 1);
        unlink(path_.c_str());
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(listener, 1), 0);
        std::string sub;
        std::thread helper([&] {
            const int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0) return;
            char buf[512];
            pollfd p{conn, POLLIN, 0};
            if (poll(&p, 1, 5000) > 0 && recv(conn, buf, sizeof buf, 0) > 0) send(conn, "1", 1, MSG_NOSIGNAL);
            if (poll(&p, 1, 5000) > 0) {
                const ssize_t n = recv(conn, buf, sizeof buf, 0);
                if (n > 0) sub.assign(buf, static_cast<size_t>(n));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(c.delayMs));
            if (c.answer) send(conn, c.answer, std::strlen(c.answer), MSG_NOSIGNAL);
            close(conn);
        });
        std::string answer = "stale";
        const int fd = requestScNetwork("SET_KEY,x", &answer);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(answer, c.got);
        std::string later;
        int result = 0;
        for (int i = 0; i < 200 && (result = pollHelperAnswer(fd, later)) == 0; ++i)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(result, c.laterResult);
        EXPECT_EQ(later, c.later);
        helper.join();
        EXPECT_EQ(sub, "SET_KEY,x");
        close(fd);
        close(listener);
    }
    channels::setCommandPause(1000ms);
}

} // namespace
