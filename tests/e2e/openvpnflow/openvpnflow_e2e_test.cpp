// The connect button against the real chain: the local service, tvapphelper under its supervisor,
// the system's openvpn and a real OpenVPN server in a network namespace; the window offscreen.
// Each test runs in its own process inside a private mount namespace with /etc overlaid.
#include "EventLoopWait.h"
#include "FakeConnectionHost.h"
#include "FlowEnvironment.h"
#include "LeakNet.h"
#include "PrivateEtc.h"
#include "app/channels/OVPNUtil.h"
#include "app/connection/ConnectionWindow.h"
#include "app/connection/OpenConnecctMgr.h"
#include "platform/qt/AlertPresenter.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

const QString kFailureText =
    "VPN接続に失敗しました。プロトコルを変更して再接続してください。\n"
    "突然接続できなくなった場合は、設定から「設定を初期化」ボタンをクリックしてください。";

class OpenVPNFlowEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root: network namespace, tun device, helper as root";
        if (!privateetc::inside()) {
            // The test itself runs in a child with a private /etc; this process only reports it.
            const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
            const std::string filter =
                std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
            delegated = true;
            ASSERT_EQ(privateetc::runSelf({filter}), 0)
                << "the test failed inside the private mount namespace";
            return;
        }
        const std::string error = environment.up();
        ASSERT_TRUE(error.empty()) << error;
        AlertPresenter::setCurrent(&alerts);
        host = std::make_unique<FakeConnectionHost>();
        host->authUsername = flowenv::kUser;
        host->authPassword = flowenv::kPassword;
        window = std::make_unique<ConnectionWindow>(host.get());
        cw = window.get();
    }

    void TearDown() override {
        if (delegated || !host) return;
        if (host->_vpnStatus != TAVROVPNStatus::disconnected) {
            host->connectButton->click();
            waitFor([&] { return status() == "未接続"; }, 5000);
        }
        waitFor([&] { return cw->runningStarts() == 0; }, 20000);
        window.reset();
        host.reset();
        AlertPresenter::setCurrent(nullptr);
        environment.down();
    }

    template <class Pred> static bool waitFor(Pred pred, int ms) {
        return testsupport::processUntil(pred, ms);
    }

    QString status() const { return host->statusText->text(); }

    // openvpn gone, its tun device gone, the resolver exactly as before the connect.
    void expectAllUndone(const std::string& tun) {
        EXPECT_TRUE(waitFor([&] { return environment.openvpnProcesses().empty(); }, 15000))
            << "openvpn still runs";
        if (!tun.empty()) {
            EXPECT_TRUE(waitFor([&] { return !flowenv::fs::exists("/sys/class/net/" + tun); }, 10000))
                << tun << " left behind";
        }
        EXPECT_TRUE(
            waitFor([&] { return flowenv::readFile("/etc/resolv.conf") == environment.resolvBefore; }, 5000))
            << "resolv.conf now:\n"
            << flowenv::readFile("/etc/resolv.conf");
    }

    void connectAndWait() {
        host->connectButton->click();
        EXPECT_EQ(status(), "接続中...");
        ASSERT_TRUE(waitFor([&] { return status() == "接続中"; }, 30000)) << status().toStdString();
    }

    // nft in the fixture's namespace (a table of the test's own, gone with the namespace).
    static std::string nft(const std::string& commands) {
        return flowenv::commandOutput(std::string("ip netns exec ") + flowenv::kNamespace + " nft '" + commands +
                                      "' 2>&1");
    }
    // The client configuration the service hands out for the server, with `from` replaced by `to`.
    void serveClientConfig(const std::vector<std::pair<std::string, std::string>>& edits) {
        const auto dir = environment.tmp / "fixture/client";
        std::string text = flowenv::readFile(dir / "config.ovpn");
        for (const auto& [from, to] : edits) {
            const size_t at = text.find(from);
            ASSERT_NE(at, std::string::npos) << from;
            text.replace(at, from.size(), to);
        }
        std::string name = flowenv::serverAddress();
        std::replace(name.begin(), name.end(), '.', '_');
        std::ofstream(dir / (name + ".ovpn"), std::ios::trunc) << text;
    }
    // Lets the poll timer run for `polls` of its intervals, or until pred holds.
    template <class Pred> bool pollUntil(Pred pred, int polls) {
        return waitFor(pred, polls * ConnectionWindow::kPollIntervalConnectingMs + 500);
    }

    bool delegated = false;
    flowenv::Environment environment;
    ScriptedAlertPresenter alerts;
    std::unique_ptr<FakeConnectionHost> host;
    std::unique_ptr<ConnectionWindow> window;
    ConnectionWindow* cw = nullptr;
};

TEST_F(OpenVPNFlowEndToEnd, ConnectSwitchesDnsAndStopUndoesEverything) {
    if (delegated) return;
    connectAndWait();
    EXPECT_EQ(cw->_assignDNS, flowenv::pushedDns());
    EXPECT_NE(flowenv::readFile("/etc/resolv.conf").find("nameserver " + flowenv::pushedDns() + "\n"),
              std::string::npos);
    ASSERT_EQ(environment.openvpnProcesses().size(), 1u);
    const std::string tun = environment.tunDevice();
    EXPECT_FALSE(tun.empty());
    EXPECT_TRUE(flowenv::fs::exists("/sys/class/net/" + tun));
    EXPECT_EQ(platform::Defaults::standard().string("SuccessProtcol"), "OpenVPN");
    EXPECT_TRUE(waitFor([&] { return host->ipaddrText->text() == "127.0.0.1"; }, 10000));

    host->connectButton->click();
    ASSERT_TRUE(waitFor([&] { return status() == "未接続"; }, 10000));
    expectAllUndone(tun);
    EXPECT_TRUE(host->ipaddrText->text().isEmpty());
    EXPECT_TRUE(alerts.shown.isEmpty());
}

// A dual-stack local network with its own resolver: while 接続中 only the tunnel carries traffic.
TEST_F(OpenVPNFlowEndToEnd, NothingLeaksPastTheTunnelWhileConnected) {
    if (delegated) return;
    const std::string net = flowenv::kNet;
    testsupport::LeakNet lan((environment.tmp / "leak-net").string(), flowenv::kNamespace, net + ".8.0/24",
                             flowenv::pushedDns(), net + ".9.10");
    ASSERT_TRUE(lan.up());
    const auto before = lan.probe();
    connectAndWait();
    const auto connected = lan.probe();
    const bool blockWhileUp = testsupport::LeakNet::blockPresent();
    const std::string tun = environment.tunDevice();
    host->connectButton->click();
    ASSERT_TRUE(waitFor([&] { return status() == "未接続"; }, 10000));
    expectAllUndone(tun);
    const auto after = lan.probe();
    EXPECT_EQ(lan.judge(before, connected, after, blockWhileUp, testsupport::LeakNet::blockPresent(),
                        "Leaks past an OpenVPN tunnel"),
              "");
}

TEST_F(OpenVPNFlowEndToEnd, WrongPasswordEndsWithTheFailureNotice) {
    if (delegated) return;
    host->authPassword = "wrong-password";
    host->connectButton->click();
    ASSERT_TRUE(waitFor([&] { return cw->_OVPNStatusTimer != nullptr; }, 30000)) << "the poll never started";
    // openvpn keeps asking again: whether the poll sees the refusal as a loss or keeps waiting, the
    // attempt must end with the notice. Two polls before the time-out instead of ninety seconds.
    cw->_ovpn_estb_check_count = ConnectionWindow::kConnectTimeoutPolls - 2;
    ASSERT_TRUE(waitFor([&] { return !alerts.shown.isEmpty(); }, 30000));
    EXPECT_EQ(alerts.shown[0].messageText, "タブロVPN");
    EXPECT_EQ(alerts.shown[0].informativeText, kFailureText);
    EXPECT_EQ(alerts.shown[0].buttons, QStringList{"OK"});
    EXPECT_TRUE(waitFor([&] { return status() == "未接続"; }, 5000));
    expectAllUndone(environment.tunDevice());
}

TEST_F(OpenVPNFlowEndToEnd, ServerKilledWhileConnectedIsReportedAsLost) {
    if (delegated) return;
    connectAndWait();
    const std::string tun = environment.tunDevice();
    const pid_t server = environment.serverPid();
    ASSERT_GT(server, 0);
    kill(server, SIGKILL);
    // openvpn notices by its ping-restart (60 s pushed by the server); poll more often than the
    // 10 s timer so the loss is seen soon after.
    QElapsedTimer t;
    t.start();
    while (status() != "未接続" && t.elapsed() < 120000) {
        waitFor([] { return false; }, 2000);
        if (status() != "未接続") cw->OVPNStatusTimerFunc();
    }
    ASSERT_EQ(status(), "未接続");
    ASSERT_EQ(alerts.shown.size(), 1);
    EXPECT_EQ(alerts.shown[0].buttons, QStringList{"OK"});
    expectAllUndone(tun);
}

// The uplink goes (the server unreachable) and comes back, each time reported as the route monitor
// does: openvpn restarts where it is, the block stays and nothing leaves outside the tunnel in
// between; then 接続中 again with the same openvpn, on the tunnel's resolver.
TEST_F(OpenVPNFlowEndToEnd, AnUplinkChangeReconnectsInPlaceAndNothingLeaksMeanwhile) {
    if (delegated) return;
    const std::string net = flowenv::kNet;
    testsupport::LeakNet lan((environment.tmp / "leak-net").string(), flowenv::kNamespace, net + ".8.0/24",
                             flowenv::pushedDns(), net + ".9.10");
    ASSERT_TRUE(lan.up());
    connectAndWait();
    const std::vector<pid_t> openvpn = environment.openvpnProcesses();
    ASSERT_EQ(openvpn.size(), 1u);
    const std::string tun = environment.tunDevice();

    ASSERT_EQ(nft("add table inet tvdown; add chain inet tvdown in { type filter hook input priority 0; }; "
                  "add rule inet tvdown in udp dport 1194 drop"),
              "");
    cw->noteNetworkChange();
    EXPECT_EQ(status(), "接続中...");
    const auto reconnecting = lan.probe();
    EXPECT_TRUE(testsupport::LeakNet::blockPresent()) << "the block went with the tunnel";
    EXPECT_TRUE(flowenv::fs::exists("/sys/class/net/" + tun)) << "the tunnel device went";
    for (const char* key : {"ipv6 to the internet host", "ipv4 to the internet host", "query to the local resolver"}) {
        const std::string seen = reconnecting.count(key) ? reconnecting.at(key) : "not probed";
        EXPECT_TRUE(seen.rfind("no answer", 0) == 0 || seen.rfind("refused", 0) == 0) << key << ": " << seen;
    }
    EXPECT_EQ(status(), "接続中...");

    EXPECT_EQ(nft("delete table inet tvdown"), "");
    cw->noteNetworkChange(); // the uplink is back: the restart goes at once
    EXPECT_TRUE(pollUntil([&] { return status() == "接続中"; }, 20))
        << status().toStdString() << "\n" << flowenv::readFile(environment.root / "OpenVPN/ovpn.log");
    EXPECT_EQ(environment.openvpnProcesses(), openvpn);
    EXPECT_TRUE(testsupport::LeakNet::blockPresent());
    EXPECT_NE(flowenv::readFile("/etc/resolv.conf").find("nameserver " + flowenv::pushedDns() + "\n"),
              std::string::npos);
    const auto back = lan.probe();
    EXPECT_EQ(back.count("query through the pushed DNS server") ? back.at("query through the pushed DNS server") : "",
              "answered 192.0.2.8");
    EXPECT_TRUE(alerts.shown.isEmpty());

    host->connectButton->click();
    ASSERT_TRUE(waitFor([&] { return status() == "未接続"; }, 10000));
    expectAllUndone(tun);
    EXPECT_TRUE(waitFor([] { return !testsupport::LeakNet::blockPresent(); }, 10000)) << "the block stayed";
}

// A TCP server that answers the connect only after a while (its SYNs dropped first): openvpn sits
// in TCP_CONNECT, which is the set-up still under way; once the server answers, 接続中.
TEST_F(OpenVPNFlowEndToEnd, ATcpServerThatAcceptsLateIsWaitedFor) {
    if (delegated) return;
    // A second server of the fixture's, on TCP 1195.
    const auto serverDir = environment.tmp / "fixture/server";
    std::string conf = flowenv::readFile(serverDir / "server.conf");
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"proto udp4", "proto tcp4-server"},
             {"port 1194", "port 1195"},
             {"server " + std::string(flowenv::kNet) + ".8.0", "server " + std::string(flowenv::kNet) + ".9.0"}}) {
        const size_t at = conf.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        conf.replace(at, from.size(), to);
    }
    std::ofstream(serverDir / "server-tcp.conf") << conf;
    ASSERT_EQ(nft("add table inet tvlate; add chain inet tvlate in { type filter hook input priority 0; }; "
                  "add rule inet tvlate in tcp dport 1195 drop"),
              "");
    platform::Task tcpServer;
    tcpServer.launchPath = "/usr/sbin/ip";
    tcpServer.arguments = {"netns", "exec", flowenv::kNamespace, "/usr/sbin/openvpn", "--cd", serverDir.string(),
                           "--config", "server-tcp.conf", "--log", (serverDir / "server-tcp.log").string()};
    ASSERT_TRUE(tcpServer.launch());
    serveClientConfig({{"proto udp4", "proto tcp4-client"},
                       {"remote " + flowenv::serverAddress() + " 1194", "remote " + flowenv::serverAddress() + " 1195"}});

    host->connectButton->click();
    ASSERT_TRUE(waitFor([&] { return cw->_OVPNStatusTimer != nullptr; }, 30000)) << "the poll never started";
    // Three polls while the server does not answer: still connecting, nothing torn down.
    pollUntil([] { return false; }, 3);
    // openvpn was in its TCP connect all along (its state replies then come late, or say TCP_CONNECT).
    const std::string log = flowenv::readFile(environment.root / "OpenVPN/ovpn.log");
    EXPECT_NE(log.find("Attempting to establish TCP connection"), std::string::npos) << log;
    EXPECT_EQ(log.find("TCP connection established"), std::string::npos) << log;
    EXPECT_EQ(status(), "接続中...");
    EXPECT_EQ(environment.openvpnProcesses().size(), 1u);
    EXPECT_TRUE(alerts.shown.isEmpty());

    EXPECT_EQ(nft("delete table inet tvlate"), "");
    // The next SYN the client sends gets through (they are resent after 1, 3, 7, 15 and 31 s).
    EXPECT_TRUE(pollUntil([&] { return status() == "接続中"; }, 20))
        << status().toStdString() << "\n" << flowenv::readFile(environment.root / "OpenVPN/ovpn.log");
    EXPECT_TRUE(alerts.shown.isEmpty());
    const std::string tun = environment.tunDevice();
    host->connectButton->click();
    ASSERT_TRUE(waitFor([&] { return status() == "未接続"; }, 10000));
    expectAllUndone(tun);
    tcpServer.terminate();
    tcpServer.waitUntilExit(std::chrono::seconds(10));
}

// A server that never answers: the attempt ends by the time-out, and in automatic mode without a
// notice the cycle goes on to the next protocol.
TEST_F(OpenVPNFlowEndToEnd, AServerThatNeverAnswersTimesOutAndTheCycleMovesOn) {
    if (delegated) return;
    ASSERT_EQ(nft("add table inet tvlate; add chain inet tvlate in { type filter hook input priority 0; }; "
                  "add rule inet tvlate in udp dport 1194 drop"),
              "");
    platform::Defaults::standard().setInteger("ProtcolSelAuto", 1);
    platform::Defaults::standard().setString("SuccessProtcol", "OpenVPN");
    QStringList tried;
    QObject::connect(cw, &ConnectionWindow::attemptStarted, cw, [&](const QString& p) { tried << p; });
    OpenConnectMgr::nextProtocolHook = [] {}; // the cycle is followed up to its next protocol only
    host->connectButton->click();
    ASSERT_TRUE(waitFor([&] { return cw->_OVPNStatusTimer != nullptr; }, 30000)) << "the poll never started";
    // Still waiting after a few polls: openvpn keeps trying (WAIT).
    pollUntil([] { return false; }, 2);
    EXPECT_EQ(status(), "接続中...");
    EXPECT_EQ(tried, QStringList{"OpenVPN"});
    // Two polls before the time-out instead of ninety seconds.
    cw->_ovpn_estb_check_count = ConnectionWindow::kConnectTimeoutPolls - 2;
    EXPECT_TRUE(pollUntil([&] { return tried.size() >= 2; }, 6));
    EXPECT_EQ(tried, (QStringList{"OpenVPN", "OpenConnect"}));
    EXPECT_TRUE(alerts.shown.isEmpty()) << "no notice in automatic mode";
    EXPECT_TRUE(waitFor([&] { return environment.openvpnProcesses().empty(); }, 15000)) << "openvpn still runs";
    // The OpenConnect attempt ends by itself (the list has no server for it).
    EXPECT_TRUE(waitFor([] { return !OpenConnectMgr::_OnSarting.load() && !OpenConnectMgr::_OnStoping.load(); },
                        30000));
    OpenConnectMgr::nextProtocolHook = nullptr;
    QObject::disconnect(cw, &ConnectionWindow::attemptStarted, cw, nullptr);
    EXPECT_EQ(nft("delete table inet tvlate"), "");
}

} // namespace
