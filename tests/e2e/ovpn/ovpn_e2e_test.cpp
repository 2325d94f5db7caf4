// The real chain: tvapphelper (under its respawn supervisor) starts the system's openvpn against a
// real OpenVPN server in a network namespace, and the channels drive it over the management
// interface on 127.0.0.1:17505. Root only; the fixture is brought up and down by the suite.
#include "HelperUnderSupervisor.h"
#include "ProcessUtil.h"
#include "app/channels/ChannelIO.h"
#include "app/channels/OVPNUtil.h"
#include "app/channels/helpersocket.h"
#include "platform/Task.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::portFree;
using testsupport::processesIn;
using testsupport::readFile;
using testsupport::waitFor;

const char* kUser = "tb000001";
const char* kPassword = "secret1";
const char* kUser2 = "tb000002";
const char* kPassword2 = "pa ss\"wo\\rd"; // needs quoting on the management line
const char* kNet = "10.213";

using testsupport::env;

// The test executable lies in <build>/tests; the environment may not carry the build directory.
fs::path binaryDir() {
    const std::string fromEnv = env("TAVROVPN_BINARY_DIR");
    if (!fromEnv.empty()) return fromEnv;
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec).parent_path().parent_path();
}

std::vector<std::string> commandLine(pid_t pid) {
    const std::string raw = readFile("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> args;
    size_t start = 0;
    for (size_t i = 0; i < raw.size(); ++i)
        if (raw[i] == '\0') {
            args.push_back(raw.substr(start, i - start));
            start = i + 1;
        }
    return args;
}

int runFixture(const std::string& verb) {
    return testsupport::runFixture("ovpn-fixture.sh", verb);
}

class OpenVPNEndToEnd : public ::testing::Test {
protected:
    static inline std::string setupError;
    static inline fs::path tmp, root, ovpnDir;
    static inline platform::Task* supervisor = nullptr;
    static inline bool fixtureUp = false;

    static void SetUpTestSuite() {
        if (geteuid() != 0) return;
        if (!portFree(kOVPNManagementPort)) {
            setupError = "127.0.0.1:17505 is busy: refusing to start a second openvpn management endpoint";
            return;
        }
        const fs::path helper = binaryDir() / "helper/tvapphelper";
        const fs::path supervise = binaryDir() / "tools/supervisor/tvapphelper-supervise";
        if (!fs::exists(helper) || !fs::exists(supervise)) {
            setupError = "build tvapphelper and tvapphelper-supervise first";
            return;
        }
        char tmpl[] = "/tmp/tv-ovpn-e2e-XXXXXX";
        if (!mkdtemp(tmpl)) {
            setupError = "mkdtemp failed";
            return;
        }
        tmp = tmpl;
        // The working folder lies under "Application Support" on the original platform: keep the blank.
        root = tmp / "Application Support/norvell/tavrovpn";
        ovpnDir = root / "OpenVPN";
        fs::create_directories(ovpnDir);

        setenv("OVPN_FIXTURE_DIR", (tmp / "fixture").c_str(), 1);
        setenv("OVPN_FIXTURE_NS", "tvovpne2e", 1);
        setenv("OVPN_FIXTURE_NET", kNet, 1);
        setenv("OVPN_FIXTURE_USER", kUser, 1);
        setenv("OVPN_FIXTURE_PASSWORD", kPassword, 1);
        setenv("OVPN_FIXTURE_USER2", kUser2, 1);
        setenv("OVPN_FIXTURE_PASSWORD2", kPassword2, 1);
        if (runFixture("up") != 0) {
            setupError = "ovpn-fixture.sh up failed";
            runFixture("down");
            return;
        }
        fixtureUp = true;
        fs::copy_file(tmp / "fixture/client/config.ovpn", ovpnDir / "config.ovpn");
        {
            std::ofstream launcher(ovpnDir / "openvpn");
            launcher << "#!/bin/sh\nexec /usr/sbin/openvpn \"$@\"\n";
        }
        fs::permissions(ovpnDir / "openvpn", fs::perms::owner_all | fs::perms::group_read |
                                                 fs::perms::group_exec | fs::perms::others_read |
                                                 fs::perms::others_exec);

        supervisor = new platform::Task;
        if (!testsupport::launchHelperUnderSupervisor(*supervisor, tmp, supervise, helper) ||
            !waitFor([] { return fs::exists(tmp / "helper.ipc"); }, 10s))
            setupError = "the helper did not come up";
    }

    static void TearDownTestSuite() {
        if (supervisor) {
            testsupport::stopTask(*supervisor);
            delete supervisor;
            supervisor = nullptr;
        }
        if (!ovpnDir.empty())
            for (pid_t p : processesIn(ovpnDir))
                kill(p, SIGTERM); // left over from a failed test
        if (fixtureUp) runFixture("down");
        fixtureUp = false;
        if (!tmp.empty()) {
            std::error_code ec;
            fs::remove_all(tmp, ec);
        }
        unsetenv("TVAPPHELPER_SOCKET");
    }

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root (network namespace, tun device, helper as root)";
        ASSERT_TRUE(setupError.empty()) << setupError;
        channels::setCommandPause(1000ms); // the production pauses: openvpn answers at its own pace
        fs::remove(ovpnDir / "ovpn.log");
    }

    // "CMD_OVPN_START,<root>" with its NUL; retried while the respawned helper is not yet bound.
    static int startTunnel() {
        const std::string msg = "CMD_OVPN_START," + root.string();
        for (int i = 0; i < 100; ++i) {
            const int fd = requestDaemonBySocket(msg.c_str(), msg.size() + 1);
            sockaddr_storage peer{};
            socklen_t len = sizeof peer;
            if (fd >= 1 && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0) return fd;
            if (fd >= 0) socket_close(fd);
            std::this_thread::sleep_for(100ms);
        }
        return -1;
    }

    static std::optional<pid_t> openvpnPid() {
        std::optional<pid_t> found;
        waitFor(
            [&] {
                for (pid_t p : processesIn(ovpnDir))
                    if (readFile("/proc/" + std::to_string(p) + "/comm") == "openvpn\n") found = p;
                return found.has_value();
            },
            10s);
        return found;
    }

    static std::string tunDevice() {
        std::string dev;
        waitFor(
            [&] {
                std::smatch m;
                const std::string log = readFile(ovpnDir / "ovpn.log");
                static const std::regex re(R"(TUN/TAP device (\S+) opened)");
                if (std::regex_search(log, m, re)) dev = m[1];
                return !dev.empty();
            },
            10s);
        return dev;
    }

    // Polls like the status timer, faster; returns every result up to the first 2 or time-out.
    static std::vector<int> pollUntilConnected(int fd, std::chrono::seconds limit) {
        std::vector<int> seen;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            const int r = CheckStat(fd);
            seen.push_back(r);
            if (r == 2) break;
            std::this_thread::sleep_for(200ms);
        }
        return seen;
    }

    static void expectEnded(pid_t pid, const std::string& tun) {
        EXPECT_TRUE(waitFor([&] { return !platform::processAlive(pid); }, 15s)) << "openvpn still runs";
        if (!tun.empty()) {
            EXPECT_TRUE(waitFor([&] { return !fs::exists("/sys/class/net/" + tun); }, 10s))
                << tun << " left behind";
        }
    }
};

TEST_F(OpenVPNEndToEnd, ConnectsReportsConnectedOnceFindsThePushedDnsAndEndsWithTheChannel) {
    const int helper = startTunnel();
    ASSERT_GE(helper, 1) << "no helper connection";
    std::this_thread::sleep_for(1s); // as the connection flow does

    const auto pid = openvpnPid();
    ASSERT_TRUE(pid) << "openvpn was not started in " << ovpnDir;
    // The helper's launcher hands openvpn the checked configuration and the log the helper opened
    // in place of ./config.ovpn and ./ovpn.log; the rest of the line is as designed.
    const std::vector<std::string> want{"--config",
                                        "/dev/fd/3",
                                        "--management",
                                        "127.0.0.1",
                                        "17505",
                                        "--management-hold",
                                        "--management-query-passwords",
                                        "--auth-retry",
                                        "interact",
                                        "--log",
                                        "/dev/fd/4"};
    const auto args = commandLine(*pid);
    ASSERT_EQ(args.size(), want.size() + 1);
    EXPECT_EQ(std::vector<std::string>(args.begin() + 1, args.end()), want);

    const int mgmt = ConnectOVPNControle(kUser, kPassword);
    ASSERT_GE(mgmt, 0);
    const auto seen = pollUntilConnected(mgmt, 30s);
    ASSERT_EQ(seen.back(), 2) << "never connected";
    for (size_t i = 0; i + 1 < seen.size(); ++i)
        EXPECT_EQ(seen[i], 1) << "poll " << i;
    EXPECT_EQ(std::string(ovpnAssignAddr).rfind(std::string(kNet) + ".8.", 0), 0u) << ovpnAssignAddr;
    EXPECT_EQ(CheckStat(mgmt), 1);
    EXPECT_EQ(CheckStat(mgmt), 1);

    char dns[256] = {};
    EXPECT_EQ(GetAssignDNS(mgmt, dns), 1);
    EXPECT_STREQ(dns, (std::string(kNet) + ".8.53").c_str());
    EXPECT_EQ(SendCommand(mgmt, "mute 1\n"), 1);

    // openvpn reads the checked copy: the user's text, and the tunnel device kept across restarts.
    EXPECT_EQ(readFile("/proc/" + std::to_string(*pid) + "/fd/3"), readFile(ovpnDir / "config.ovpn") + "persist-tun\n");

    // The tunnel channel runs the application's lines, quoted paths included.
    const fs::path copy = ovpnDir / "resolv.conf";
    const std::string line = "cp /etc/resolv.conf \"" + ovpnDir.string() + "/\"";
    ASSERT_EQ(send(helper, line.data(), line.size(), MSG_NOSIGNAL), static_cast<ssize_t>(line.size()));
    EXPECT_TRUE(waitFor([&] { return fs::exists(copy); }, 10s));
    EXPECT_EQ(readFile(copy), readFile("/etc/resolv.conf"));

    const std::string tun = tunDevice();
    EXPECT_FALSE(tun.empty());
    EXPECT_TRUE(fs::exists("/sys/class/net/" + tun));

    // Closing both channels without "signal SIGTERM": the helper must stop openvpn itself.
    socket_close(mgmt);
    socket_close(helper);
    expectEnded(*pid, tun);
}

TEST_F(OpenVPNEndToEnd, APasswordThatNeedsQuotingIsAccepted) {
    const int helper = startTunnel();
    ASSERT_GE(helper, 1);
    std::this_thread::sleep_for(1s);
    const auto pid = openvpnPid();
    ASSERT_TRUE(pid);
    const int mgmt = ConnectOVPNControle(kUser2, kPassword2);
    ASSERT_GE(mgmt, 0);
    const auto seen = pollUntilConnected(mgmt, 30s);
    EXPECT_EQ(seen.back(), 2);
    // The user's own tear-down: SIGTERM through the management interface, then both closes. The
    // result is 0: openvpn hangs up within the pause that follows the command.
    EXPECT_EQ(SendCommand(mgmt, "signal SIGTERM\n"), 0);
    socket_close(mgmt);
    socket_close(helper);
    expectEnded(*pid, tunDevice());
}

TEST_F(OpenVPNEndToEnd, AWrongPasswordIsNeverReportedConnected) {
    const int helper = startTunnel();
    ASSERT_GE(helper, 1);
    std::this_thread::sleep_for(1s);
    const auto pid = openvpnPid();
    ASSERT_TRUE(pid);
    // The password line itself is accepted ("entered, but not yet verified"). The refusal follows
    // within milliseconds and is drained by the pause after the password, so the polls see
    // RECONNECTING,auth-failure (0) rather than the ">PASSWORD:Verification Failed" prefix (-1).
    const int mgmt = ConnectOVPNControle(kUser, "wrong-password");
    ASSERT_GE(mgmt, 0);
    std::vector<int> seen;
    for (int i = 0; i < 30; ++i) { // 3 s at the 3-second poll's pace, compressed
        seen.push_back(CheckStat(mgmt));
        std::this_thread::sleep_for(100ms);
    }
    std::string trace;
    for (int r : seen)
        trace += std::to_string(r) + " ";
    std::cout << "CheckStat after a wrong password: " << trace << "\n";
    for (int r : seen)
        EXPECT_NE(r, 2) << trace;
    EXPECT_LE(seen.front(), 0) << "the first poll must already show the refusal: " << trace;
    socket_close(mgmt);
    socket_close(helper);
    expectEnded(*pid, "");
}

} // namespace
