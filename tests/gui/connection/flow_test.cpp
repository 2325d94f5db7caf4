// The connect button end to end through the OpenVPN start worker: the real local service serves
// the configuration and the public address, a fake helper and a scripted management peer stand in
// for tvapphelper and openvpn. Also the automatic protocol cycle with protocols that fail honestly.
#include "ConnectionFixture.h"
#include "LocalService.h"

#include <QSignalSpy>
#include <QTimer>
#include <sstream>

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

uint16_t closedPort() {
    FakeManagement probe;
    const uint16_t port = probe.listenLoopback();
    probe.stop();
    return port;
}

class FlowTest : public ConnectionFixture {
protected:
    void startService(std::vector<std::string> args = {}) {
        service = std::make_unique<LocalService>(std::move(args));
        ASSERT_TRUE(service->start()) << "tavro-service did not start";
        service->exportEnv();
    }
    void TearDown() override {
        ConnectionFixture::TearDown();
        service.reset();
    }
    // Runs one automatic cycle in which every attempt fails and returns the protocols tried. The
    // OpenConnect flow is someone else's: if its attempt does not move on by itself, the test
    // stands in for its failure by calling goNext.
    QStringList runFailingCycle() {
        QStringList tried;
        QObject::connect(cw, &ConnectionWindow::attemptStarted, cw, [&](const QString& p) { tried << p; });
        host->connectButton->click();
        for (int guard = 0; guard < 10 && alerts.shown.isEmpty(); ++guard) {
            const qsizetype before = tried.size();
            waitFor([&] { return !alerts.shown.isEmpty() || tried.size() > before; }, 4000);
            if (alerts.shown.isEmpty() && tried.size() == before && !tried.isEmpty() &&
                tried.back() == "OpenConnect")
                goNext();
        }
        QObject::disconnect(cw, &ConnectionWindow::attemptStarted, cw, nullptr);
        return tried;
    }

    std::unique_ptr<LocalService> service;
};

TEST_F(FlowTest, ConnectsThroughHelperAndManagementThenStops) {
    startService();
    loadCatalogue("127.0.10.1");
    FakeManagement mgmt;
    cw->managementPort = mgmt.listenLoopback();
    mgmt.setState("1796690804,CONNECTED,SUCCESS,10.213.8.2,10.213.0.2,1194,,");
    mgmt.setLog("1796690800,,PUSH: Received control message: 'PUSH_REPLY,dhcp-option DNS 10.213.8.53'\r\n");

    host->connectButton->click();
    EXPECT_EQ(status(), "接続中...");
    EXPECT_FALSE(host->serverSelButton->isEnabled());
    ASSERT_TRUE(waitFor([&] { return status() == "接続中"; }, 15000)) << status().toStdString();

    const auto conns = helper->connections();
    ASSERT_EQ(conns.size(), 1u);
    EXPECT_EQ(conns[0].first, "CMD_OVPN_START," + root() + std::string(1, '\0'));
    const std::string source = std::string(std::getenv("TAVROVPN_SOURCE_DIR"));
    EXPECT_EQ(readFile(root() + "/OpenVPN/config.ovpn"),
              readFile(source + "/tools/service/data/ovpn/127_0_10_1.ovpn"));
    const auto cmds = mgmt.commands();
    ASSERT_GE(cmds.size(), 4u);
    EXPECT_EQ(cmds[0], "hold off");
    EXPECT_EQ(cmds[1], "hold release");
    EXPECT_EQ(cmds[2], "username \"Auth\" tb000001");
    EXPECT_EQ(cmds[3], "password \"Auth\" secret1");
    const std::string setDns = "\"" + root() + "/OpenVPN/set-dns.sh\"";
    EXPECT_EQ(helperMessages(2), (std::vector<std::string>{"cp /etc/resolv.conf \"" + root() + "/OpenVPN/\"",
                                                           setDns + " openvpn 10.213.8.53"}));
    // The public address comes from the service: it sees us from loopback.
    EXPECT_TRUE(waitFor([&] { return host->ipaddrText->text() == "127.0.0.1"; }, 5000))
        << host->ipaddrText->text().toStdString();

    host->connectButton->click();
    ASSERT_TRUE(waitFor([&] { return status() == "未接続"; }, 5000));
    EXPECT_EQ(helperMessages(3).back(), setDns + " localhost 192.0.2.1 192.0.2.2 ");
    EXPECT_TRUE(waitFor([&] { return helper->connections()[0].closed; }, 2000));
    EXPECT_TRUE(mgmt.received("signal SIGTERM"));
    EXPECT_TRUE(host->serverSelButton->isEnabled());
    EXPECT_TRUE(host->ipaddrText->text().isEmpty());
    EXPECT_TRUE(alerts.shown.isEmpty());
}

TEST_F(FlowTest, StopDuringConfigurationDownloadStartsNothing) {
    startService({"--fault", "delay=1500@/support/vpn/openvpn/file/*"});
    loadCatalogue("127.0.10.1");
    host->connectButton->click();
    settle(300);
    host->connectButton->click();
    ASSERT_TRUE(waitFor([&] { return cw->runningStarts() == 0; }, 10000));
    settle(700);
    EXPECT_EQ(status(), "未接続");
    EXPECT_TRUE(helper->connections().empty()) << "no helper command after a stop";
    EXPECT_FALSE(std::filesystem::exists(root() + "/OpenVPN/config.ovpn"));
    EXPECT_TRUE(alerts.shown.isEmpty());
}

TEST_F(FlowTest, AbandonedStartDoesNotDisturbTheNextAttempt) {
    startService({"--fault", "delay=1500@/support/vpn/openvpn/file/*"});
    loadCatalogue("127.0.10.1");
    FakeManagement mgmt;
    cw->managementPort = mgmt.listenLoopback();
    mgmt.setState("1796690804,CONNECTED,SUCCESS,10.213.8.2,10.213.0.2,1194,,");
    host->connectButton->click();
    settle(200);
    host->connectButton->click(); // stop while the first download hangs
    settle(700);
    ASSERT_EQ(status(), "未接続");
    host->connectButton->click(); // and connect again at once
    settle(1500);                 // the first start gives up meanwhile
    EXPECT_EQ(status(), "接続中...") << "the abandoned start must not announce over the new attempt";
    ASSERT_TRUE(waitFor([&] { return status() == "接続中"; }, 20000)) << status().toStdString();
    EXPECT_EQ(helper->connections().size(), 1u);
    EXPECT_EQ(mgmt.connections.load(), 1);
}

// The second after a failed attempt belongs to that attempt: a click within it starts an attempt
// (here one whose download takes a while) that the end of the wait neither stops nor replaces.
TEST_F(FlowTest, AClickDuringTheWaitAfterAFailureStartsAnAttemptTheWaitLeavesAlone) {
    startService({"--fault", "delay=2500@/support/vpn/openvpn/file/*"});
    loadCatalogue("127.0.10.1");
    platform::Defaults::standard().setInteger("ProtcolSelAuto", 1);
    FakeManagement failing;
    failing.setState("1796690804,RECONNECTING,auth-failure,,,,,");
    enterWaitingState(failing);
    Constants::autoConnectCount = 2; // the next one is OpenVPN again
    cw->OVPNStatusTimerFunc();
    settle(100);
    ASSERT_EQ(status(), "未接続");
    QStringList tried;
    QObject::connect(cw, &ConnectionWindow::attemptStarted, cw, [&](const QString& p) { tried << p; });
    host->connectButton->click();
    settle(1500);
    QObject::disconnect(cw, &ConnectionWindow::attemptStarted, cw, nullptr);
    EXPECT_EQ(tried, QStringList{"OpenVPN"});
    EXPECT_EQ(status(), "接続中...");
    EXPECT_FALSE(extIsManualStop.load()) << "the wait did not stop the click's attempt";
    EXPECT_EQ(Constants::autoConnectCount.load(), 3);
    host->connectButton->click(); // the user's stop
    ASSERT_TRUE(waitFor([&] { return cw->runningStarts() == 0; }, 10000));
}

TEST_F(FlowTest, StopDuringHelperWaitClosesTheChannel) {
    startService();
    loadCatalogue("127.0.10.1");
    FakeManagement mgmt;
    cw->managementPort = mgmt.listenLoopback();
    host->connectButton->click();
    ASSERT_TRUE(waitFor([&] { return !helper->connections().empty(); }, 10000));
    host->connectButton->click();
    ASSERT_TRUE(waitFor([&] { return cw->runningStarts() == 0; }, 5000));
    EXPECT_TRUE(waitFor([&] { return helper->connections()[0].closed; }, 2000));
    settle(700);
    EXPECT_EQ(status(), "未接続");
    EXPECT_EQ(mgmt.connections.load(), 0) << "management must not be contacted after the stop";
    EXPECT_TRUE(alerts.shown.isEmpty());
}

TEST_F(FlowTest, ManualFailuresShowTheNoticeAndEndDisconnected) {
    struct Case {
        const char* name;
        bool catalogue;
        bool service;
    };
    for (const Case& c : {Case{"management refused", true, true}, Case{"download refused", true, false},
                          Case{"no server for the region", false, true}}) {
        SCOPED_TRACE(c.name);
        alerts.shown.clear();
        PexXmlParser::clearCatalogue();
        if (c.catalogue) loadCatalogue("127.0.10.1");
        if (c.service)
            startService();
        else
            setenv("TAVROVPN_WEB_HOST", "127.0.0.1:1", 1);
        const size_t helperBefore = helper->connections().size();
        cw->managementPort = closedPort();
        host->connectButton->click();
        ASSERT_TRUE(waitFor([&] { return !alerts.shown.isEmpty(); }, 15000));
        settle(100);
        EXPECT_EQ(status(), "未接続");
        EXPECT_EQ(alerts.shown[0].informativeText, kFailureText);
        EXPECT_EQ(alerts.shown[0].buttons, QStringList{"OK"});
        EXPECT_TRUE(host->serverSelButton->isEnabled());
        const auto conns = helper->connections();
        if (std::string(c.name) == "management refused") {
            ASSERT_EQ(conns.size(), helperBefore + 1);
            EXPECT_TRUE(waitFor([&] { return helper->connections().back().closed; }, 2000));
        } else {
            EXPECT_EQ(conns.size(), helperBefore) << "nothing started";
        }
        ASSERT_TRUE(waitFor([&] { return cw->runningStarts() == 0; }, 5000));
        service.reset();
    }
}

TEST_F(FlowTest, CredentialsGoOnlyToAnOpenvpnTheHelperStarted) {
    startService();
    loadCatalogue("127.0.10.1");
    FakeManagement mgmt; // a listener on the port, but the helper started nothing
    cw->managementPort = mgmt.listenLoopback();
    helper->setFirstReply("0");
    host->connectButton->click();
    ASSERT_TRUE(waitFor([&] { return !alerts.shown.isEmpty(); }, 15000));
    settle(100);
    EXPECT_EQ(status(), "未接続");
    EXPECT_EQ(alerts.shown[0].informativeText, kFailureText);
    ASSERT_EQ(helper->connections().size(), 1u);
    EXPECT_TRUE(waitFor([&] { return helper->connections()[0].closed; }, 2000));
    EXPECT_EQ(mgmt.connections.load(), 0);
    EXPECT_TRUE(mgmt.commands().empty());
}

TEST_F(FlowTest, AWorkingFolderTheHelperCannotTakeStartsNothing) {
    startService();
    loadCatalogue("127.0.10.1");
    for (const std::string& data : {home + "/da,ta", home + "/" + std::string(200, 'd')}) {
        alerts.shown.clear();
        setenv("XDG_DATA_HOME", data.c_str(), 1);
        host->connectButton->click();
        ASSERT_TRUE(waitFor([&] { return !alerts.shown.isEmpty(); }, 15000)) << data;
        ASSERT_TRUE(waitFor([&] { return cw->runningStarts() == 0; }, 5000));
        EXPECT_EQ(status(), "未接続");
        EXPECT_TRUE(helper->connections().empty()) << data;
    }
    setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
}

// No NetworkManager on the (test's) system bus: the service is invalid, never connected.
TEST_F(FlowTest, L2TPWithoutNetworkManagerIsInvalidWithTheFailureNotice) {
    platform::Defaults::standard().setString("ProtcolChoice", "L2TP");
    host->connectButton->click();
    EXPECT_EQ(status(), "接続中...");
    ASSERT_TRUE(waitFor([&] { return status() == "未接続"; }, 5000));
    EXPECT_TRUE(host->serverSelButton->isEnabled());
    ASSERT_EQ(alerts.shown.size(), 1);
    EXPECT_EQ(alerts.shown[0].informativeText, kFailureText);
    EXPECT_NE(host->_vpnStatus, TAVROVPNStatus::connected);
}

TEST_F(FlowTest, AutomaticCycleWithoutStoredProtocolThenGivesUp) {
    platform::Defaults::standard().setInteger("ProtcolSelAuto", 1);
    loadCatalogue("127.0.10.1"); // downloads fail: the web host refuses
    const QStringList tried = runFailingCycle();
    EXPECT_EQ(tried, (QStringList{"OpenConnect", "L2TP", "OpenVPN"}));
    ASSERT_EQ(alerts.shown.size(), 1);
    EXPECT_EQ(alerts.shown[0].messageText, "タブロVPN");
    EXPECT_EQ(alerts.shown[0].informativeText, kFailureText);
    EXPECT_EQ(alerts.shown[0].buttons, QStringList{"はい"});
    EXPECT_EQ(Constants::autoConnectCount.load(), -1);
    EXPECT_FALSE(host->_isAction);
    EXPECT_EQ(status(), "未接続");
}

TEST_F(FlowTest, AutomaticCycleStartsWithTheStoredProtocol) {
    platform::Defaults::standard().setInteger("ProtcolSelAuto", 1);
    platform::Defaults::standard().setString("SuccessProtcol", "OpenVPN");
    loadCatalogue("127.0.10.1");
    const QStringList tried = runFailingCycle();
    EXPECT_EQ(tried, (QStringList{"OpenVPN", "OpenConnect", "L2TP", "OpenVPN"}));
    ASSERT_EQ(alerts.shown.size(), 1);
    EXPECT_EQ(alerts.shown[0].buttons, QStringList{"はい"});
    EXPECT_EQ(Constants::autoConnectCount.load(), -1);
}

TEST_F(FlowTest, UnknownStoredProtocolDoesNotStallTheCycle) {
    platform::Defaults::standard().setInteger("ProtcolSelAuto", 1);
    platform::Defaults::standard().setString("SuccessProtcol", "IKEv2");
    loadCatalogue("127.0.10.1");
    const QStringList tried = runFailingCycle();
    EXPECT_EQ(tried, (QStringList{"OpenConnect", "L2TP", "OpenVPN"}));
}

TEST_F(FlowTest, UserStopEndsTheCycle) {
    platform::Defaults::standard().setInteger("ProtcolSelAuto", 1);
    platform::Defaults::standard().setString("SuccessProtcol", "OpenVPN");
    startService({"--fault", "delay=1000@/support/vpn/openvpn/file/*"});
    loadCatalogue("127.0.10.1");
    QStringList tried;
    QObject::connect(cw, &ConnectionWindow::attemptStarted, cw, [&](const QString& p) { tried << p; });
    host->connectButton->click();
    settle(200);
    host->connectButton->click();
    ASSERT_TRUE(waitFor([&] { return cw->runningStarts() == 0; }, 10000));
    settle(1500);
    EXPECT_EQ(tried, QStringList{"OpenVPN"});
    EXPECT_EQ(Constants::autoConnectCount.load(), -1);
    EXPECT_EQ(status(), "未接続");
    EXPECT_TRUE(alerts.shown.isEmpty());
}

// The cycle counter never outlives its cycle: whatever ended the last one, the next click tries
// a protocol instead of giving up at once.
TEST_F(FlowTest, TheCycleCounterNeverOutlivesItsCycle) {
    struct Case {
        const char* name;
        bool automatic;
        int count;              // left by the earlier cycle
        bool callGoNext;        // an attempt ends while the cycle cannot go on
        QStringList tried;      // attempts the next click starts before a notice
        QStringList buttons;    // of the notice that ends it
    } cases[] = {
        {"a chosen protocol after an unfinished cycle", false, 3, false, {"OpenVPN"}, {"OK"}},
        {"an attempt ending after a switch to a chosen protocol", false, 2, true, {"OpenVPN"}, {"OK"}},
        {"an attempt ending outside the user's action", true, 2, true, {"OpenConnect", "L2TP", "OpenVPN"}, {"はい"}},
    };
    loadCatalogue("127.0.10.1"); // downloads fail: the web host refuses
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        alerts.shown.clear();
        platform::Defaults::standard().setInteger("ProtcolSelAuto", c.automatic ? 1 : 0);
        Constants::autoConnectCount = c.count;
        if (c.callGoNext) {
            host->_isAction = false;
            goNext();
            EXPECT_EQ(Constants::autoConnectCount.load(), -1);
        }
        const QStringList tried = runFailingCycle();
        EXPECT_EQ(tried, c.tried);
        ASSERT_EQ(alerts.shown.size(), 1);
        EXPECT_EQ(alerts.shown[0].buttons, c.buttons);
        EXPECT_EQ(Constants::autoConnectCount.load(), -1);
        ASSERT_TRUE(waitFor([&] { return cw->runningStarts() == 0; }, 10000));
    }
}

} // namespace
