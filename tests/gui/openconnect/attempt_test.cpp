// Whole attempts through the worker: a scripted server certificate, a stand-in helper on a Unix
// socket and a status.log the test writes as openconnect would.
#include "FakeConnectionHost.h"
#include "OcTestSupport.h"

#include "app/catalogue/PexXmlParser.h"
#include "app/connection/KnownServers.h"
#include "app/connection/OpenConnecctMgr.h"
#include "app/service/Constants.h"
#include "app/service/ServerCertificate.h"
#include "platform/Defaults.h"
#include "platform/qt/AlertPresenter.h"

#include <QLabel>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

namespace {

using Mgr = OpenConnectMgr;
using namespace std::chrono_literals;

constexpr const char* kPin1 = "AAAAcxCojJmYX+RUo48KEXQ+05wtRBSUOwNxod58Alc=";
constexpr const char* kPin2 = "cxCojJmYX+RUo48KEXQ+05wtRBSUOwNxod58AlcZp90=";
constexpr const char* kUp = "Configured as 10.77.1.30, with SSL connected and DTLS disabled\n";
constexpr const char* kGateway = "add net default: gateway 10.77.1.30\n";

ServerCertificate certificate(const char* pin, bool caValid = false) {
    ServerCertificate c;
    c.reached = true;
    c.caValid = caValid;
    c.pin = pin;
    if (!caValid) c.error = "self-signed certificate";
    return c;
}

class Attempt : public ::testing::Test {
protected:
    void SetUp() override {
        octest::scratchHome();
        R = Constants::tvrootPath();
        D = Mgr::folderPath();
        std::filesystem::remove_all(D);
        std::filesystem::create_directories(D);
        presented = certificate(kPin2);
        queryDelay = 0ms;
        queried.clear();
        Mgr::certificateQueryHook = [this](const std::string& host) {
            queried.push_back(host);
            std::this_thread::sleep_for(queryDelay);
            return presented;
        };
        Mgr::tunnelAddressesHook = [] { return std::vector<std::string>{"10.77.1.30"}; };

        socketPath = octest::scratchHome() + "/helper.sock";
        ::setenv("TVAPPHELPER_SOCKET", socketPath.c_str(), 1);
        helper = std::make_unique<octest::FakeHelper>(socketPath);
        ASSERT_TRUE(helper->ok());

        PexXmlParser::traceOutput = false;
        PexXmlParser::clearCatalogue();
        ASSERT_TRUE(extParser.parseData(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><ServerList><Regions><Region Region=\"日本\" "
            "No=\"0\"/>"
            "</Regions><Servers/><OCServers><OCServer Server=\"oc.example.test\" Region=\"0\" Port=\"443\" "
            "Status=\"1\" Type=\"OpenConnect\"/></OCServers></ServerList>"));
        auto& d = platform::Defaults::standard();
        d.setString("regionNumber", "0");
        d.setInteger("ProtcolSelAuto", 0);
        d.removeObject("SuccessProtcol");

        app = std::make_unique<FakeConnectionHost>();
        app->authUsername = "tb000001";
        app->authPassword = "secret1";
        AlertPresenter::setCurrent(&alerts);
        alerts.shown.clear();
        handOvers = 0;
        Mgr::nextProtocolHook = [this] { ++handOvers; };
        Mgr::probeTimeLimit = 20s;
        Mgr::_opcon_estb_check_count = 0;
    }

    void TearDown() override {
        // Leave the manager idle for the next test whatever happened here.
        if (Mgr::_OnSarting.load() && !Mgr::_OnStoping.load()) Mgr::Stop(true);
        EXPECT_TRUE(octest::waitFor([] { return !Mgr::_OnSarting.load() && !Mgr::_OnStoping.load(); }, 40s));
        octest::pump(100ms);
        AlertPresenter::setCurrent(nullptr);
        Mgr::nextProtocolHook = nullptr;
        Mgr::tunnelLostHook = nullptr;
        Mgr::certificateQueryHook = nullptr;
        Mgr::tunnelAddressesHook = nullptr;
        app.reset();
        helper.reset();
    }

    QString status() const { return app->statusText->text(); }
    bool idle() const { return !Mgr::_OnSarting.load() && !Mgr::_OnStoping.load(); }
    // Until the start command has arrived (the connection alone is recorded a moment earlier).
    bool waitStarted() {
        return octest::waitFor(
            [&] {
                const auto c = helper->connections();
                return !c.empty() && !c[0].first.empty();
            },
            30s);
    }
    std::string killLine() const { return "kill -HUP $(cat \"" + D + "/childpid\")"; }
    // One attempt in the given mode, counted afresh: true once its start command has connected.
    bool startAttempt(bool automatic) {
        platform::Defaults::standard().setInteger("ProtcolSelAuto", automatic ? 1 : 0);
        alerts.shown.clear();
        handOvers = 0;
        const size_t before = helper->connections().size();
        Mgr::Start();
        return octest::waitFor([&] { return helper->connections().size() == before + 1; }, 30s);
    }

    std::string R, D, socketPath;
    ServerCertificate presented;
    std::chrono::milliseconds queryDelay{0};
    std::vector<std::string> queried;
    std::unique_ptr<octest::FakeHelper> helper;
    std::unique_ptr<FakeConnectionHost> app;
    ScriptedAlertPresenter alerts;
    int handOvers = 0;
};

TEST_F(Attempt, ConnectsOnceTheGatewayIsReportedAndStopsOnRequest) {
    Mgr::Start();
    EXPECT_EQ(status(), "接続中...");
    Mgr::Start(); // a second start while one runs does nothing
    ASSERT_TRUE(waitStarted());
    const auto conns = helper->connections();
    ASSERT_EQ(conns.size(), 1u);
    // With its NUL, like every first message.
    EXPECT_EQ(conns[0].first, "CMD_OPENCONNECT_START," + R + ",tb000001,https://oc.example.test:443/," +
                                  kPin2 + std::string(1, '\0'));
    EXPECT_EQ(queried, std::vector<std::string>{"oc.example.test"});
    EXPECT_FALSE(std::filesystem::exists(KnownServers::path())) << "recorded before 接続中";
    EXPECT_EQ(octest::readFile(D + "/password.txt"), "secret1");
    struct stat st {};
    ASSERT_EQ(::stat((D + "/password.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Up but without the routes: still connecting.
    octest::writeFile(D + "/status.log", std::string("POST https://oc.example.test/\n") + kUp);
    octest::pump(2500ms);
    EXPECT_EQ(status(), "接続中...");
    EXPECT_EQ(app->_updateTimeTimer, nullptr);

    octest::writeFile(D + "/status.log", kGateway, true);
    ASSERT_TRUE(octest::waitFor([&] { return status() == "接続中"; }, 5s));
    EXPECT_NE(app->_updateTimeTimer, nullptr);
    EXPECT_TRUE(app->_connectedDate.has_value());
    EXPECT_EQ(platform::Defaults::standard().string("SuccessProtcol"), "OpenConnect");
    // No CA vouches for this server: its pin is recorded at this first connection.
    EXPECT_TRUE(octest::waitFor(
        [] {
            return octest::readFile(KnownServers::path()) ==
                   std::string("oc.example.test pin-sha256:") + kPin2 + "\n";
        },
        2s));

    app->ipaddrText->setText("203.0.113.9");
    app->connectedTimeText->setText("00:00:03");
    Mgr::Stop(true);
    Mgr::Stop(true); // a second stop while stopping does nothing
    ASSERT_TRUE(octest::waitFor([&] { return idle(); }, 10s));
    octest::pump(100ms);
    EXPECT_EQ(status(), "未接続");
    EXPECT_EQ(app->ipaddrText->text(), "");
    EXPECT_EQ(app->connectedTimeText->text(), "");
    EXPECT_EQ(app->_updateTimeTimer, nullptr);
    ASSERT_TRUE(octest::waitFor([&] { return helper->connections()[0].closed; }, 5s));
    const auto after = helper->connections();
    ASSERT_EQ(after.size(), 1u);
    ASSERT_EQ(after[0].messages.size(), 1u);
    EXPECT_EQ(after[0].messages[0], killLine());
    EXPECT_TRUE(alerts.shown.isEmpty());
    EXPECT_EQ(handOvers, 0);
    EXPECT_EQ(Mgr::_helper_daemon_socket.load(), -1);
}

TEST_F(Attempt, RefusedLoginEndsWithTheAlertInManualModeAndHandsOverInAutomaticMode) {
    for (const bool automatic : {false, true}) {
        SCOPED_TRACE(automatic ? "automatic" : "manual");
        ASSERT_TRUE(startAttempt(automatic));
        octest::writeFile(D + "/status.log", "POST https://oc.example.test/\nLogin failed.\n");
        ASSERT_TRUE(
            octest::waitFor([&] { return idle() && (handOvers > 0 || !alerts.shown.isEmpty()); }, 10s));
        octest::pump(100ms);
        EXPECT_EQ(status(), "未接続");
        EXPECT_EQ(helper->connections().back().messages, std::vector<std::string>{killLine()});
        if (automatic) {
            EXPECT_EQ(handOvers, 1);
            EXPECT_TRUE(alerts.shown.isEmpty());
        } else {
            EXPECT_EQ(handOvers, 0);
            ASSERT_EQ(alerts.shown.size(), 1);
            EXPECT_EQ(alerts.shown[0].messageText, "タブロVPN");
            EXPECT_EQ(alerts.shown[0].informativeText,
                      "VPN接続に失敗しました。プロトコルを変更して再接続してください。\n"
                      "突然接続できなくなった場合は、設定から「設定を初期化」ボタンをクリックしてください。");
            EXPECT_EQ(alerts.shown[0].buttons, QStringList{"OK"});
        }
    }
}

TEST_F(Attempt, AStartTheHelperRefusesEndsAtOnce) {
    helper->setFirstReply("0");
    for (const bool automatic : {false, true}) {
        SCOPED_TRACE(automatic ? "automatic" : "manual");
        ASSERT_TRUE(startAttempt(automatic));
        // Not the wait for a status.log that never comes: over within the settling second or so.
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(
            octest::waitFor([&] { return idle() && (handOvers > 0 || !alerts.shown.isEmpty()); }, 10s));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
        octest::pump(100ms);
        EXPECT_EQ(status(), "未接続");
        EXPECT_EQ(Mgr::_helper_daemon_socket.load(), -1);
        EXPECT_TRUE(helper->connections().back().messages.empty()) << "nothing to stop";
        EXPECT_EQ(handOvers, automatic ? 1 : 0);
        EXPECT_EQ(alerts.shown.size(), automatic ? 0u : 1u);
    }
}

TEST_F(Attempt, LostSessionEndsTheAttemptWithinTheWatchInterval) {
    Mgr::Start();
    ASSERT_TRUE(waitStarted());
    octest::writeFile(D + "/status.log", std::string(kUp) + kGateway);
    ASSERT_TRUE(octest::waitFor([&] { return status() == "接続中"; }, 5s));
    octest::writeFile(D + "/status.log", "Read error on SSL session: Error in the pull function.\n", true);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(octest::waitFor([&] { return idle() && !alerts.shown.isEmpty(); }, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 7s);
    octest::pump(100ms);
    EXPECT_EQ(status(), "未接続");
    EXPECT_EQ(app->_updateTimeTimer, nullptr);
}

TEST_F(Attempt, OnlyAWorkingTunnelLostOnItsOwnIsOfferedForAReconnect) {
    int asked = 0;
    bool reconnects = false;
    Mgr::tunnelLostHook = [&] {
        ++asked;
        return reconnects;
    };
    enum class End { DeadPeer, HelperEndsChannel, UserStops };
    struct Case {
        const char* name;
        bool reconnects;
        End end;
        int wantAsked;
        int wantAlerts;
    } cases[] = {
        {"lost, reconnected instead", true, End::DeadPeer, 1, 0},
        {"lost, no reconnect", false, End::DeadPeer, 1, 1},
        {"channel ended by the helper", false, End::HelperEndsChannel, 1, 1},
        {"stopped by the user", true, End::UserStops, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        asked = 0;
        reconnects = c.reconnects;
        alerts.shown.clear();
        const size_t before = helper->connections().size();
        Mgr::Start();
        ASSERT_TRUE(octest::waitFor([&] { return helper->connections().size() == before + 1; }, 30s));
        octest::writeFile(D + "/status.log", std::string(kUp) + kGateway);
        ASSERT_TRUE(octest::waitFor([&] { return status() == "接続中"; }, 5s));
        if (c.end == End::UserStops)
            Mgr::Stop(true);
        else if (c.end == End::HelperEndsChannel)
            helper->endConnection(before); // status.log still says nothing is wrong
        else
            octest::writeFile(D + "/status.log", "CSTP Dead Peer Detection detected dead peer!\n", true);
        ASSERT_TRUE(octest::waitFor([&] { return idle(); }, 10s));
        octest::pump(200ms);
        EXPECT_EQ(status(), "未接続");
        EXPECT_EQ(asked, c.wantAsked);
        EXPECT_EQ(alerts.shown.size(), c.wantAlerts);
        EXPECT_EQ(handOvers, 0);
    }
    Mgr::tunnelLostHook = nullptr;
}

TEST_F(Attempt, AttemptsThatCannotStartEndWithoutAStartCommand) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
    } cases[] = {
        {"server not reached", [&] { presented = ServerCertificate{}; }},
        {"pin not of its shape", [&] { presented = certificate("AAAA,evil"); }},
        {"another pin than the recorded one",
         [&] { ASSERT_TRUE(KnownServers::record("oc.example.test", kPin1)); }},
        {"recorded pins unreadable", [&] { std::filesystem::create_directory(KnownServers::path()); }},
        {"no region", [&] { platform::Defaults::standard().removeObject("regionNumber"); }},
        {"no server in the region", [&] { platform::Defaults::standard().setString("regionNumber", "7"); }},
        {"user name with a comma", [&] { app->authUsername = "tb,CMD_SCNETWORK"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.arrange();
        Mgr::Start();
        ASSERT_TRUE(octest::waitFor([&] { return idle() && !alerts.shown.isEmpty(); }, 15s));
        octest::pump(100ms);
        EXPECT_TRUE(helper->connections().empty());
        EXPECT_FALSE(std::filesystem::exists(D + "/password.txt")) << "a credential was written";
        EXPECT_EQ(status(), "未接続");
        EXPECT_EQ(alerts.shown.size(), 1);
        TearDown();
    }
}

TEST_F(Attempt, StopDuringTheProbeStartsNothing) {
    queryDelay = 2s;
    Mgr::Start();
    octest::pump(300ms);
    Mgr::Stop(true);
    ASSERT_TRUE(octest::waitFor([&] { return idle(); }, 10s));
    octest::pump(200ms);
    EXPECT_TRUE(helper->connections().empty());
    EXPECT_EQ(status(), "未接続");
    EXPECT_TRUE(alerts.shown.isEmpty());
}

TEST_F(Attempt, AStatusLogLeftFromAnEarlierAttemptIsNotTakenForThisOne) {
    // The helper is unreachable: nothing renews status.log, and without its "1" the attempt ends.
    helper.reset();
    octest::writeFile(D + "/status.log", std::string(kUp) + kGateway);
    QStringList shown;
    Mgr::Start();
    ASSERT_TRUE(octest::waitFor([&] {
        shown << status();
        return idle() && !alerts.shown.isEmpty();
    }, 10s));
    octest::pump(100ms);
    EXPECT_FALSE(shown.contains("接続中")) << "the old status.log was taken for this attempt";
    EXPECT_FALSE(std::filesystem::exists(D + "/status.log"));
    EXPECT_EQ(status(), "未接続");
    EXPECT_EQ(alerts.shown.size(), 1);
}

TEST_F(Attempt, StopWithoutAWorkerReturns) {
    auto done = std::async(std::launch::async, [] { Mgr::Stop(false); });
    ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
    ASSERT_TRUE(octest::waitFor([&] { return idle() && status() == "未接続"; }, 5s));
    // The manager is usable afterwards.
    Mgr::Start();
    ASSERT_TRUE(waitStarted());
}

} // namespace
