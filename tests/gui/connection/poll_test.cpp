// The OpenVPN poll driven directly against a scripted management peer: time-out, loss, the first
// connected report with its DNS switch, hostile pushed values, and the tear-down that follows.
#include "ConnectionFixture.h"

#include <QTimer>

namespace {

const char* kConnected = "1796690804,CONNECTED,SUCCESS,10.213.8.2,10.213.0.2,1194,,";
const char* kReconnecting = "1796690804,RECONNECTING,auth-failure,,,,,";

std::string pushLog(const std::string& options) {
    return "1796690800,,PUSH: Received control message: 'PUSH_REPLY," + options +
           ",route-gateway 10.213.8.1,topology subnet,ifconfig 10.213.8.2 255.255.255.0'\r\n";
}

class PollTest : public ConnectionFixture {
protected:
    std::string setDns() const { return "\"" + root() + "/OpenVPN/set-dns.sh\""; }
    std::string restoreLine() const { return setDns() + " localhost 192.0.2.1 192.0.2.2 "; }
};

TEST_F(PollTest, ThirtiethPollStillWaitsAndTheThirtyFirstTimesOut) {
    FakeManagement mgmt;
    enterWaitingState(mgmt);
    for (int i = 1; i <= 30; ++i)
        cw->OVPNStatusTimerFunc();
    EXPECT_EQ(cw->_ovpn_estb_check_count, 30);
    EXPECT_EQ(status(), "接続中...");
    EXPECT_GE(cw->_ovpn_socket_fd.load(), 1);
    EXPECT_TRUE(alerts.shown.isEmpty());

    cw->OVPNStatusTimerFunc();
    settle(100);
    EXPECT_EQ(status(), "未接続");
    EXPECT_EQ(cw->_ovpn_socket_fd.load(), -1);
    EXPECT_EQ(cw->_helper_daemon_socket.load(), -1);
    EXPECT_TRUE(mgmt.received("signal SIGTERM"));
    ASSERT_EQ(alerts.shown.size(), 1);
    EXPECT_EQ(alerts.shown[0].messageText, "タブロVPN");
    EXPECT_EQ(alerts.shown[0].informativeText, kFailureText);
    EXPECT_EQ(alerts.shown[0].buttons, QStringList{"OK"});
    // No switch was made, yet the captured list still goes back, and the channel is closed.
    EXPECT_EQ(helperMessages(1), std::vector<std::string>{restoreLine()});
    EXPECT_TRUE(waitFor([&] { return helper->connections()[0].closed; }, 2000));
}

TEST_F(PollTest, TimeOutInAutomaticModeGoesOnWithoutNotice) {
    platform::Defaults::standard().setInteger("ProtcolSelAuto", 1);
    FakeManagement mgmt;
    enterWaitingState(mgmt);
    Constants::autoConnectCount = 3; // OpenVPN was the cycle's last protocol
    cw->_ovpn_estb_check_count = 30;
    cw->OVPNStatusTimerFunc();
    settle(200);
    EXPECT_TRUE(alerts.shown.isEmpty()) << "no failure notice in automatic mode";
    // A second later goNext clicks again: the exhausted cycle gives up.
    ASSERT_TRUE(waitFor([&] { return !alerts.shown.isEmpty(); }, 3000));
    EXPECT_EQ(alerts.shown[0].buttons, QStringList{"はい"});
    EXPECT_EQ(Constants::autoConnectCount.load(), -1);
    EXPECT_FALSE(host->_isAction);
}

TEST_F(PollTest, LostTunnelNoticeInManualModeOnly) {
    for (bool automatic : {false, true}) {
        SCOPED_TRACE(automatic ? "automatic" : "manual");
        platform::Defaults::standard().setInteger("ProtcolSelAuto", automatic ? 1 : 0);
        alerts.shown.clear();
        FakeManagement mgmt;
        mgmt.setState(kConnected);
        enterWaitingState(mgmt);
        cw->OVPNStatusTimerFunc();
        ASSERT_EQ(status(), "接続中");
        mgmt.setState(kReconnecting);
        QStringList tried;
        QObject::connect(cw, &ConnectionWindow::attemptStarted, cw, [&](const QString& p) { tried << p; });
        cw->OVPNStatusTimerFunc();
        settle(1500); // past the second after which a failed attempt goes on
        QObject::disconnect(cw, &ConnectionWindow::attemptStarted, cw, nullptr);
        EXPECT_EQ(status(), "未接続");
        EXPECT_EQ(cw->_ovpn_socket_fd.load(), -1);
        EXPECT_TRUE(tried.isEmpty()) << "a lost tunnel is not retried";
        if (automatic) {
            EXPECT_TRUE(alerts.shown.isEmpty());
        } else {
            ASSERT_EQ(alerts.shown.size(), 1);
            EXPECT_EQ(alerts.shown[0].buttons, QStringList{"OK"});
        }
    }
}

// However it ends, an attempt that never reached 接続中 failed: the notice in manual mode, the next
// protocol in automatic mode (here the cycle's last one, whose failure then ends the cycle).
TEST_F(PollTest, AnAttemptEndingBeforeConnectedFailsAndTheCycleMovesOn) {
    enum class End { Reply, ManagementClosed, ChannelClosed };
    struct Case {
        const char* name;
        End end;
        const char* state;
    } cases[] = {
        {"reconnecting", End::Reply, kReconnecting},
        {"exiting", End::Reply, "1796690804,EXITING,SIGTERM,,,,,"},
        {"connected with an error", End::Reply, "1796690804,CONNECTED,ERROR,,,,,"},
        {"management closed", End::ManagementClosed, nullptr},
        {"tunnel channel closed", End::ChannelClosed, nullptr},
    };
    for (const Case& c : cases) {
        for (bool automatic : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (automatic ? ", automatic" : ", manual"));
            platform::Defaults::standard().setInteger("ProtcolSelAuto", automatic ? 1 : 0);
            alerts.shown.clear();
            FakeManagement mgmt;
            if (c.state) mgmt.setState(c.state);
            enterWaitingState(mgmt);
            Constants::autoConnectCount = automatic ? 2 : -1; // OpenConnect and L2TP were tried
            if (c.end == End::ManagementClosed) mgmt.hangUp();
            if (c.end == End::ChannelClosed) {
                int sv[2];
                ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
                socket_close(cw->_helper_daemon_socket.exchange(sv[0]));
                ::close(sv[1]);
            }
            settle(50);
            QStringList tried, shown;
            QObject::connect(cw, &ConnectionWindow::attemptStarted, cw, [&](const QString& p) {
                tried << p;
                shown << status();
            });
            cw->OVPNStatusTimerFunc();
            settle(100);
            EXPECT_EQ(status(), "未接続");
            EXPECT_EQ(cw->_ovpn_socket_fd.load(), -1);
            if (automatic) {
                EXPECT_TRUE(alerts.shown.isEmpty()) << "no notice before the cycle ends";
                ASSERT_TRUE(waitFor([&] { return !alerts.shown.isEmpty(); }, 15000));
                EXPECT_EQ(tried, QStringList{"OpenVPN"}) << "the next attempt of the cycle ran";
                EXPECT_EQ(alerts.shown.back().buttons, QStringList{"はい"});
                ASSERT_TRUE(waitFor([&] { return cw->runningStarts() == 0; }, 15000));
            } else {
                ASSERT_EQ(alerts.shown.size(), 1);
                EXPECT_EQ(alerts.shown[0].buttons, QStringList{"OK"});
                settle(1200);
                EXPECT_TRUE(tried.isEmpty());
            }
            QObject::disconnect(cw, &ConnectionWindow::attemptStarted, cw, nullptr);
            EXPECT_EQ(Constants::autoConnectCount.load(), -1);
        }
    }
}

TEST_F(PollTest, ManagementClosedCountsAsLost) {
    FakeManagement mgmt;
    enterWaitingState(mgmt);
    mgmt.hangUp();
    settle(100);
    cw->OVPNStatusTimerFunc();
    settle(100);
    EXPECT_EQ(status(), "未接続");
    EXPECT_EQ(alerts.shown.size(), 1);
}

TEST_F(PollTest, TunnelChannelClosedByTheHelperCountsAsLost) {
    for (bool connected : {false, true}) {
        SCOPED_TRACE(connected ? "connected" : "waiting");
        alerts.shown.clear();
        FakeManagement mgmt;
        mgmt.setState(kConnected);
        enterWaitingState(mgmt);
        if (connected) cw->OVPNStatusTimerFunc();
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        socket_close(cw->_helper_daemon_socket.exchange(sv[0]));
        ::close(sv[1]); // the helper ended the channel: its tunnel is gone
        cw->OVPNStatusTimerFunc();
        settle(100);
        EXPECT_EQ(status(), "未接続");
        EXPECT_EQ(cw->_ovpn_socket_fd.load(), -1);
        EXPECT_TRUE(mgmt.received("signal SIGTERM"));
        EXPECT_EQ(alerts.shown.size(), 1);
    }
}

TEST_F(PollTest, ConnectedSwitchesDnsOnceAndStopRestoresIt) {
    FakeManagement mgmt;
    mgmt.setState(kConnected);
    mgmt.setLog(pushLog("dhcp-option DNS 10.213.8.53"));
    enterWaitingState(mgmt);
    cw->OVPNStatusTimerFunc();
    EXPECT_EQ(status(), "接続中");
    EXPECT_EQ(cw->_assignDNS, "10.213.8.53");
    EXPECT_EQ(helperMessages(2), (std::vector<std::string>{"cp /etc/resolv.conf \"" + root() + "/OpenVPN/\"",
                                                           setDns() + " openvpn 10.213.8.53"}));
    EXPECT_TRUE(mgmt.received("mute 1"));
    EXPECT_EQ(platform::Defaults::standard().string("SuccessProtcol"), "OpenVPN");
    EXPECT_EQ(Constants::autoConnectCount.load(), -1);
    ASSERT_NE(cw->_OVPNStatusTimer, nullptr);
    EXPECT_EQ(cw->_OVPNStatusTimer->interval(), 10000);
    EXPECT_NE(host->_updateTimeTimer, nullptr);

    // A later CONNECTED report changes nothing.
    cw->OVPNStatusTimerFunc();
    EXPECT_EQ(status(), "接続中");
    EXPECT_EQ(helperMessages(2).size(), 2u);
    EXPECT_EQ(cw->_ovpn_estb_check_count, 0);

    host->connectButton->click(); // the user's stop
    EXPECT_TRUE(extIsManualStop.load());
    EXPECT_EQ(host->_updateTimeTimer, nullptr);
    ASSERT_TRUE(waitFor([&] { return status() == "未接続"; }, 3000));
    EXPECT_TRUE(mgmt.received("signal SIGTERM"));
    EXPECT_EQ(helperMessages(3).back(), restoreLine());
    EXPECT_TRUE(waitFor([&] { return helper->connections()[0].closed; }, 2000));
    EXPECT_TRUE(cw->_assignDNS.empty());
    EXPECT_TRUE(host->ipaddrText->text().isEmpty());
    EXPECT_TRUE(host->connectedTimeText->text().isEmpty());
    EXPECT_TRUE(alerts.shown.isEmpty());
}

// After ping-restart openvpn mostly sits in WAIT while it looks for the server again; after the
// server's RESTART (its management "kill") it may be connected anew before the next poll, which
// only the time of the CONNECTED state tells.
TEST_F(PollTest, ReconnectingAfterConnectedIsALossNotAWait) {
    for (const char* later : {"1796690900,WAIT,,,,,,", "1796690900,CONNECTED,SUCCESS,10.213.8.3,10.213.0.2,1194,,"}) {
        SCOPED_TRACE(later);
        alerts.shown.clear();
        FakeManagement mgmt;
        mgmt.setState(kConnected);
        mgmt.setLog(pushLog("dhcp-option DNS 10.213.8.53"));
        enterWaitingState(mgmt);
        cw->OVPNStatusTimerFunc();
        ASSERT_EQ(status(), "接続中");
        cw->OVPNStatusTimerFunc();
        ASSERT_EQ(status(), "接続中");
        mgmt.setState(later);
        cw->OVPNStatusTimerFunc();
        settle(100);
        EXPECT_EQ(status(), "未接続");
        ASSERT_EQ(alerts.shown.size(), 1);
        EXPECT_EQ(alerts.shown[0].buttons, QStringList{"OK"});
        EXPECT_EQ(helperMessages(3).back(), restoreLine());
    }
}

TEST_F(PollTest, ConnectedLineWithoutAnAddressKeepsTheTunnel) {
    FakeManagement mgmt;
    mgmt.setState(kConnected);
    enterWaitingState(mgmt);
    cw->OVPNStatusTimerFunc();
    ASSERT_EQ(status(), "接続中");
    mgmt.setState("1796690804,CONNECTED,SUCCESS,,10.213.0.2,1194,,");
    cw->OVPNStatusTimerFunc();
    settle(100);
    EXPECT_EQ(status(), "接続中");
    EXPECT_GE(cw->_ovpn_socket_fd.load(), 1);
    EXPECT_FALSE(mgmt.received("signal SIGTERM"));
    EXPECT_TRUE(alerts.shown.isEmpty());
}

TEST_F(PollTest, NoPollAnnouncesAnythingBetweenTheUsersStopAndTheTearDown) {
    FakeManagement mgmt;
    mgmt.setState(kConnected);
    enterWaitingState(mgmt);
    cw->OVPNStatusTimerFunc();
    ASSERT_EQ(status(), "接続中");
    mgmt.setState(kReconnecting); // a poll now would report the loss and show the notice
    host->connectButton->click();
    ASSERT_NE(cw->_OVPNStatusTimer, nullptr);
    EXPECT_FALSE(cw->_OVPNStatusTimer->isActive()) << "the poll stops at the click";
    host->startConnectedTimer(); // as a poll's late connected report would have
    ASSERT_TRUE(waitFor([&] { return status() == "未接続"; }, 3000));
    EXPECT_EQ(host->_updateTimeTimer, nullptr) << "the tear-down ends the connected-time timer";
    EXPECT_TRUE(alerts.shown.isEmpty());
}

// After an uplink change openvpn restarts where it is (SIGUSR1): the management connection and
// the tunnel channel, and with it the helper's block, live on; 接続中... until CONNECTED again, with
// the resolver left switched. The reconnect is bounded by the attempt's polls, then it is a loss.
TEST_F(PollTest, ANetworkChangeReconnectsOpenVpnInPlaceUntilConnectedOrGivenUp) {
    const char* kWait = "1796690900,WAIT,,,,,,";
    FakeManagement mgmt;
    mgmt.setState(kConnected);
    mgmt.setLog(pushLog("dhcp-option DNS 10.213.8.53"));
    enterWaitingState(mgmt);
    cw->noteNetworkChange(); // not connected yet: does not count
    EXPECT_FALSE(mgmt.received("signal SIGUSR1"));
    cw->OVPNStatusTimerFunc();
    ASSERT_EQ(status(), "接続中");
    ASSERT_EQ(helperMessages(2).size(), 2u);

    cw->noteNetworkChange();
    EXPECT_TRUE(mgmt.received("signal SIGUSR1"));
    EXPECT_EQ(status(), "接続中...");
    EXPECT_EQ(host->_updateTimeTimer, nullptr);
    for (const char* state : {kReconnecting, kWait}) {
        mgmt.setState(state);
        cw->OVPNStatusTimerFunc();
        EXPECT_EQ(status(), "接続中...") << state;
    }
    mgmt.setState(kConnected);
    cw->OVPNStatusTimerFunc();
    EXPECT_EQ(status(), "接続中");
    EXPECT_NE(host->_updateTimeTimer, nullptr);
    // The resolver is switched already: no copy of it is taken again (it would be the tunnel's).
    const auto lines = helperMessages(3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], setDns() + " openvpn 10.213.8.53");
    EXPECT_FALSE(helper->connections()[0].closed);
    EXPECT_FALSE(mgmt.received("signal SIGTERM"));

    // Every change restarts the wait; a reconnect that never gets there is a lost tunnel.
    cw->noteNetworkChange();
    mgmt.setState(kWait);
    for (int i = 1; i < ConnectionWindow::kConnectTimeoutPolls; ++i)
        cw->OVPNStatusTimerFunc();
    EXPECT_EQ(status(), "接続中...");
    EXPECT_TRUE(alerts.shown.isEmpty());
    cw->OVPNStatusTimerFunc();
    settle(1500);
    EXPECT_EQ(status(), "未接続");
    EXPECT_TRUE(mgmt.received("signal SIGTERM"));
    ASSERT_EQ(alerts.shown.size(), 1);
    EXPECT_EQ(alerts.shown[0].buttons, QStringList{"OK"});
    EXPECT_EQ(helperMessages(5).back(), restoreLine());
}

// A loss the poll sees first: right after a change (the way into sleep arms without asking) openvpn
// is already looking for the server and is waited for; without a recent change it is a loss.
TEST_F(PollTest, ALossRightAfterANetworkChangeIsWaitedForOnce) {
    QStringList attempts;
    QObject::connect(cw, &ConnectionWindow::attemptStarted, cw, [&](const QString& p) { attempts << p; });
    for (bool changed : {true, false}) {
        SCOPED_TRACE(changed ? "after a change" : "no change");
        alerts.shown.clear();
        FakeManagement mgmt;
        mgmt.setState(kConnected);
        enterWaitingState(mgmt);
        cw->OVPNStatusTimerFunc();
        ASSERT_EQ(status(), "接続中");
        if (changed) cw->noteNetworkChange(false);
        EXPECT_FALSE(mgmt.received("signal SIGUSR1"));
        mgmt.setState(kReconnecting);
        cw->OVPNStatusTimerFunc();
        settle(200);
        EXPECT_EQ(status(), changed ? "接続中..." : "未接続");
        EXPECT_EQ(mgmt.received("signal SIGTERM"), !changed);
        EXPECT_EQ(alerts.shown.size(), changed ? 0 : 1);
        if (changed) {
            mgmt.setState(kConnected);
            cw->OVPNStatusTimerFunc();
            EXPECT_EQ(status(), "接続中");
            host->connectButton->click(); // the user's stop
            ASSERT_TRUE(waitFor([&] { return status() == "未接続"; }, 3000));
        }
    }
    EXPECT_TRUE(attempts.isEmpty()) << "nothing is started afresh";
}

TEST_F(PollTest, RestoreAfterSwitchRunsEvenWithoutCapturedServers) {
    FakeManagement mgmt;
    mgmt.setState(kConnected);
    mgmt.setLog(pushLog("dhcp-option DNS 10.213.8.53"));
    enterWaitingState(mgmt);
    cw->defaultDNSaddrs.clear();
    cw->OVPNStatusTimerFunc();
    cw->resumeOVPNConnect();
    EXPECT_EQ(helperMessages(3).back(), setDns() + " localhost ");
}

TEST_F(PollTest, HostilePushedValuesNeverReachTheShellLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"dhcp-option DNS 1.2.3.4;reboot", ""},
        {"dhcp-option DNS $(reboot)", ""},
        {"dhcp-option DNS `id`1.2.3.4", ""},
        {"dhcp-option DNS 1.2.3.4|sh", ""},
        {"dhcp-option DNS 1111111111111111111111111111", ""},
        {"dhcp-option DOMAIN example.com", ""}, // no DNS pushed at all
        {"dhcp-option DNS 2001:db8::53", "2001:db8::53"},
    };
    for (const auto& [option, expected] : cases) {
        SCOPED_TRACE(option);
        FakeManagement mgmt;
        mgmt.setState(kConnected);
        mgmt.setLog(pushLog(option));
        enterWaitingState(mgmt);
        const size_t conn = helper->connections().size() - 1;
        cw->OVPNStatusTimerFunc();
        EXPECT_EQ(cw->_assignDNS, expected);
        const auto messages = helperMessages(2, 3000, conn);
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[1], setDns() + " openvpn " + expected);
        cw->resumeOVPNConnect();
        settle(50);
    }
}

} // namespace
