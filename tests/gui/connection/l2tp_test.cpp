// The system VPN service's status callback and the L2TP start, offscreen, with a fake helper and no
// NetworkManager on the bus (the end-to-end suite has the real one).
#include "ConnectionFixture.h"
#include "app/connection/SCNetworkConnection.h"
#include "app/connection/SystemService.h"
#include "platform/Paths.h"

namespace {

class L2tpTest : public ConnectionFixture {
protected:
    void SetUp() override {
        ConnectionFixture::SetUp();
        QObject::connect(cw, &ConnectionWindow::attemptStarted, cw,
                         [this](const QString& p) { attempts << p; });
    }
    QStringList attempts;
};

// Every row of the status table, in manual and in automatic mode; the automatic cycle is at its end,
// so a goNext shows the give-up notice ("はい") instead of starting another protocol.
TEST_F(L2tpTest, StatusCallbackActions) {
    struct Case {
        int status;
        bool automatic, userStopped;
        const char* word;
        bool timerRuns;
        QStringList notices;  // buttons of the alerts shown
        bool pending = false; // an attempt of ours had not reached 接続中
    } cases[] = {
        {kSCNetworkConnectionConnected, false, false, "接続中", true, {}},
        {kSCNetworkConnectionConnecting, false, false, "接続中...", true, {}},
        {kSCNetworkConnectionDisconnecting, true, false, "接続中...", true, {}},
        {kSCNetworkConnectionDisconnected, false, false, "未接続", false, {}},
        {kSCNetworkConnectionDisconnected, true, false, "未接続", false, {"はい"}},
        {kSCNetworkConnectionDisconnected, true, true, "未接続", false, {}},
        {kSCNetworkConnectionInvalid, false, false, "未接続", false, {"OK"}},
        {kSCNetworkConnectionInvalid, true, false, "未接続", false, {"はい"}},
        {7, false, false, "未接続", true, {}},
        // An attempt that ends before 接続中 failed: told in manual mode, unless the user stopped it.
        {kSCNetworkConnectionDisconnected, false, false, "未接続", false, {"OK"}, true},
        {kSCNetworkConnectionDisconnected, false, true, "未接続", false, {}, true},
        {kSCNetworkConnectionDisconnected, true, false, "未接続", false, {"はい"}, true},
        {kSCNetworkConnectionInvalid, false, false, "未接続", false, {"OK"}, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "status " << k.status << (k.automatic ? " auto" : " manual")
                                        << (k.userStopped ? " after a stop" : "")
                                        << (k.pending ? " before connected" : ""));
        platform::Defaults::standard().setInteger("ProtcolSelAuto", k.automatic ? 1 : 0);
        platform::Defaults::standard().removeObject("SuccessProtcol");
        alerts.shown.clear();
        host->updateStatus("接続中...");
        host->startConnectedTimer();
        host->ipaddrText->setText("203.0.113.9");
        host->serverSelButton->setEnabled(false);
        host->_isAction = true;
        host->_current_protcol = "OpenVPN";
        extIsManualStop = k.userStopped;
        extL2TPAttemptPending = k.pending;
        Constants::autoConnectCount = 3;

        scNetworkConnectionCallback(nullptr, k.status, nullptr);
        settle(50);

        EXPECT_EQ(status(), k.word);
        EXPECT_EQ(host->_updateTimeTimer != nullptr, k.timerRuns);
        QStringList notices;
        for (const auto& a : alerts.shown)
            notices << a.buttons.join("|");
        EXPECT_EQ(notices, k.notices);
        const bool ended =
            k.status == kSCNetworkConnectionDisconnected || k.status == kSCNetworkConnectionInvalid;
        if (ended) {
            EXPECT_TRUE(host->ipaddrText->text().isEmpty());
            EXPECT_TRUE(host->serverSelButton->isEnabled());
        }
        if (k.status == kSCNetworkConnectionConnected) {
            EXPECT_EQ(platform::Defaults::standard().string("SuccessProtcol"), "L2TP");
            EXPECT_EQ(Constants::autoConnectCount.load(), -1);
            EXPECT_EQ(host->_current_protcol, "L2TP");
        }
        EXPECT_FALSE(extL2TPAttemptPending);
        host->stopConnectedTimer();
    }
    EXPECT_TRUE(attempts.isEmpty());
}

// NetworkManager ends the profile's connection when the uplink goes: after a network change the
// profile is started again once, as soon as the machine has an uplink; a click meanwhile stops that.
TEST_F(L2tpTest, ATunnelLostAfterANetworkChangeStartsAgainOnceTheUplinkIsBack) {
    platform::Defaults::standard().setString("ProtcolChoice", "L2TP");
    bool uplink = false;
    cw->uplinkPresent = [&] { return uplink; };
    for (bool userStops : {true, false}) {
        SCOPED_TRACE(userStops ? "stopped while waiting" : "uplink back");
        alerts.shown.clear();
        attempts.clear();
        uplink = false;
        host->_current_protcol = "L2TP";
        host->updateStatus("接続中");
        extIsManualStop = false;
        cw->noteNetworkChange();
        scNetworkConnectionCallback(nullptr, kSCNetworkConnectionDisconnected, nullptr);
        EXPECT_EQ(status(), "接続中...");
        settle(ConnectionWindow::kUplinkCheckMs + 500);
        EXPECT_TRUE(attempts.isEmpty()) << "no attempt without an uplink";
        if (userStops) {
            host->connectButton->click();
            EXPECT_EQ(status(), "未接続");
            uplink = true;
            settle(ConnectionWindow::kUplinkCheckMs + ConnectionWindow::kReconnectDelayMs + 500);
            EXPECT_TRUE(attempts.isEmpty());
            EXPECT_TRUE(alerts.shown.isEmpty());
            continue;
        }
        uplink = true;
        ASSERT_TRUE(waitFor([&] { return !attempts.isEmpty(); }, 5000));
        EXPECT_EQ(attempts, QStringList{"L2TP"});
        // That attempt ends as any (here at once: no server, no NetworkManager), with the notice.
        ASSERT_TRUE(waitFor([&] { return !alerts.shown.isEmpty(); }, 15000));
        settle(50);
        EXPECT_EQ(alerts.shown[0].informativeText, kFailureText);
        EXPECT_EQ(status(), "未接続");
        removeSystemService();
    }
}

// Only the helper's "1" to SET_KEY lets a profile start: an earlier "TavroVPN" profile must not
// connect with its old gateway and account while the window shows the new region.
TEST_F(L2tpTest, OnlyAProvisionedProfileIsStarted) {
    struct Case {
        const char* name;
        const char* server; // of region 0; "" for none
        const char* answer; // the helper's answer to SET_KEY
        bool sent, started;
    } cases[] = {
        {"provisioned", "192.0.2.10", "1", true, true},
        {"refused by the helper", "192.0.2.10", "0", true, false},
        {"no server address", "", "1", false, false},
    };
    platform::Defaults::standard().setString("ProtcolChoice", "L2TP");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        alerts.shown.clear();
        PexXmlParser::clearCatalogue();
        if (*c.server) loadCatalogue(c.server);
        helper->setLaterReply(c.answer);
        const size_t before = helper->connections().size();
        extThisServiceID = "5c0ff8a4-0000-4000-8000-0000000000e1"; // a profile of an earlier attempt
        host->connectButton->click();
        ASSERT_TRUE(waitFor([&] { return !alerts.shown.isEmpty(); }, 15000));
        settle(50);
        EXPECT_EQ(helper->connections().size(), before + (c.sent ? 1 : 0));
        // Without NetworkManager on the bus even the provisioned profile ends invalid, but only it
        // was started.
        EXPECT_EQ(extConnection != nullptr, c.started);
        EXPECT_EQ(status(), "未接続");
        EXPECT_EQ(alerts.shown[0].informativeText, kFailureText);
        EXPECT_EQ(alerts.shown[0].buttons, QStringList{"OK"});
        EXPECT_FALSE(extL2TPAttemptPending);
        extThisServiceID.clear();
        removeSystemService(); // forgets the connection object; nothing is sent without a service
        settle(50);
    }
}

// SET_KEY goes to the helper in its fixed form, then, with no NetworkManager to find a
// service on, the attempt ends invalid.
TEST_F(L2tpTest, StartSendsSetKeyThenEndsInvalidWithoutNetworkManager) {
    loadCatalogue("192.0.2.10");
    helper->setLaterReply("0"); // what the helper answers without NetworkManager
    platform::Defaults::standard().setString("ProtcolChoice", "L2TP");
    host->connectButton->click();
    const auto messages = helperMessages(1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(helper->connections()[0].first, std::string("CMD_SCNETWORK\0", 14));
    EXPECT_EQ(messages[0], "SET_KEY,(null)," + platform::bundlePath() +
                               ",192.0.2.10,tb000001,secret1,TRUE,none,none,0,1,859");
    ASSERT_TRUE(waitFor([&] { return !alerts.shown.isEmpty(); }, 5000));
    EXPECT_EQ(status(), "未接続");
    EXPECT_EQ(alerts.shown[0].informativeText, kFailureText);
}

// A comma would shift the later fields: such an account is not sent at all.
TEST_F(L2tpTest, CredentialsWithACommaAreNotSent) {
    loadCatalogue("192.0.2.10");
    platform::Defaults::standard().setString("ProtcolChoice", "L2TP");
    host->authPassword = "pass,TRUE";
    host->connectButton->click();
    ASSERT_TRUE(waitFor([&] { return status() == "未接続"; }, 5000));
    EXPECT_TRUE(helper->connections().empty());
}

} // namespace
