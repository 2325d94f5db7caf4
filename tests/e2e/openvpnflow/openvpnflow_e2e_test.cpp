// The connect button against the real chain: the local service, tvapphelper under its supervisor,
// the system's openvpn and a real OpenVPN server in a network namespace; the window offscreen.
// Each test runs in its own process inside a private mount namespace with /etc overlaid.
#include "EventLoopWait.h"
#include "FakeConnectionHost.h"
#include "FlowEnvironment.h"
#include "LeakNet.h"
#include "PrivateEtc.h"
#include "app/connection/ConnectionWindow.h"
#include "platform/qt/AlertPresenter.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
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

} // namespace
