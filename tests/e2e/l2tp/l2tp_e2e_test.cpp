// The L2TP flow against a real NetworkManager (tools/fixtures/nm-fixture.sh: its own system bus in a
// network namespace) with the real helper: SET_KEY realises the profile, a second one updates it in
// place, and activation on this kernel (no PPP) ends VPN state 2 -> 3 -> 6, the active connection
// leaving the bus; the application reports connecting, then disconnected. Root only.
#include "AsUser.h"
#include "EventLoopWait.h"
#include "FakeConnectionHost.h"
#include "HelperMessages.h"
#include "L2tpEnvironment.h"
#include "ProcessUtil.h"
#include "app/connection/ConnectionWindow.h"
#include "app/connection/SCNetworkConnection.h"
#include "app/connection/SystemService.h"
#include "platform/qt/AlertPresenter.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <gtest/gtest.h>
#include <fstream>
#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const char* kNamespace = "tvnml2";
const char* kNet = "10.218.0"; // apart from the other fixtures' networks
const std::string kGateway = std::string(kNet) + ".1";
// Two users the helper serves besides root; users with names, as NetworkManager's permissions
// name them.
constexpr uid_t kAlice = 65534, kBob = 1; // nobody, daemon

using testsupport::commandOutput;

// UUIDs of NetworkManager's profiles named TavroVPN, as nmcli lists them.
std::vector<std::string> profileUuids() {
    std::vector<std::string> uuids;
    std::istringstream lines(commandOutput("nmcli -t -f NAME,UUID connection show 2>/dev/null"));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("TavroVPN:", 0) == 0) uuids.push_back(line.substr(9));
    return uuids;
}

class L2tpEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (geteuid() != 0) return;
        fixtureDir = fs::temp_directory_path() / ("tv-nm-" + std::to_string(getpid()));
        setenv("NM_FIXTURE_DIR", fixtureDir.c_str(), 1);
        setenv("NM_FIXTURE_NS", kNamespace, 1);
        setenv("NM_FIXTURE_NET", kNet, 1);
        const std::string out = commandOutput("bash \"" + l2tpenv::env("TAVROVPN_SOURCE_DIR") +
                                              "/tools/fixtures/nm-fixture.sh\" up");
        const auto at = out.find("DBUS_SYSTEM_BUS_ADDRESS=");
        if (at == std::string::npos) {
            setupError = "nm-fixture.sh up failed";
            fixture("down");
            return;
        }
        const std::string address = out.substr(at + 24, out.find('\n', at) - at - 24);
        // Before the application's first use of the system bus: the helper inherits it too.
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        setupError = environment.up(kGateway, {kAlice, kBob});
        // NetworkManager's dispatcher finds the package's script in its /etc (the fixture's overlay).
        const fs::path dispatcher = fixtureDir / "etc-up/NetworkManager/dispatcher.d";
        std::error_code ec;
        fs::create_directories(dispatcher, ec);
        std::ofstream(dispatcher / "90-tavrovpn-leak-block") << l2tpenv::Environment::leakDispatcherScript();
        fs::permissions(dispatcher / "90-tavrovpn-leak-block", fs::perms(0755), ec);
    }
    static void TearDownTestSuite() {
        environment.down();
        if (!fixtureDir.empty()) fixture("down");
    }
    static int fixture(const char* verb) { return testsupport::runFixture("nm-fixture.sh", verb); }

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root: network namespaces, NetworkManager, helper as root";
        ASSERT_TRUE(setupError.empty()) << setupError;
        AlertPresenter::setCurrent(&alerts);
        host = std::make_unique<FakeConnectionHost>();
        host->authUsername = "l2tp-user";
        host->authPassword = "l2tp-pass";
        window = std::make_unique<ConnectionWindow>(host.get());
        QObject::connect(window.get(), &ConnectionWindow::attemptStarted, window.get(),
                         [this](const QString& p) { attempts << p; });
    }
    void TearDown() override {
        if (!host) return;
        if (host->_vpnStatus != TAVROVPNStatus::disconnected) {
            host->connectButton->click();
            waitFor([&] { return status() == "未接続"; }, 15000);
        }
        waitFor([&] { return window->runningStarts() == 0; }, 20000);
        window.reset();
        host.reset();
        AlertPresenter::setCurrent(nullptr);
    }

    template <class Pred> static bool waitFor(Pred pred, int ms) {
        return testsupport::processUntil(pred, ms);
    }
    QString status() const { return host->statusText->text(); }

    // Clicks connect and collects the distinct status words until the attempt has ended.
    QStringList connectUntilEnded() {
        QStringList seen;
        host->connectButton->click();
        seen << status();
        waitFor(
            [&] {
                if (seen.last() != status()) seen << status();
                return status() == "未接続";
            },
            90000);
        return seen;
    }

    static inline std::string setupError;
    static inline fs::path fixtureDir;
    static inline l2tpenv::Environment environment;
    ScriptedAlertPresenter alerts;
    std::unique_ptr<FakeConnectionHost> host;
    std::unique_ptr<ConnectionWindow> window;
    QStringList attempts;
};

std::vector<int> g_statuses;
void recordStatus(SCNetworkConnection*, int status, void*) {
    g_statuses.push_back(status);
}

TEST_F(L2tpEndToEnd, ProfileIsRealisedUpdatedInPlaceAndItsActivationEndsDisconnected) {
    EXPECT_EQ(connectUntilEnded(), (QStringList{"接続中...", "未接続"}));
    ASSERT_FALSE(extThisServiceID.empty());
    EXPECT_EQ(profileUuids(), std::vector<std::string>{extThisServiceID});
    // A failed activation (disconnected) that never reached 接続中 is told, as on the other protocols.
    ASSERT_EQ(alerts.shown.size(), 1);
    EXPECT_EQ(alerts.shown[0].buttons, QStringList{"OK"});
    EXPECT_TRUE(host->serverSelButton->isEnabled());
    // System-owned secrets: in NetworkManager's keyfile, root only.
    const fs::path keyfile = fixtureDir / "etc-up/NetworkManager/system-connections/TavroVPN.nmconnection";
    struct stat st {};
    ASSERT_EQ(stat(keyfile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);
    const std::string text = testsupport::readFile(keyfile);
    EXPECT_NE(text.find("password=l2tp-pass"), std::string::npos);
    EXPECT_NE(text.find("ipsec-psk=859"), std::string::npos);
    EXPECT_NE(text.find("gateway=" + kGateway), std::string::npos);
    EXPECT_NE(text.find("dns-priority=-50"), std::string::npos); // the tunnel's DNS alone

    // The activation got as far as the IPsec phase (which times out here): the plugin took the
    // profile's settings.
    const std::string nmLog = testsupport::readFile(fixtureDir / "log/NetworkManager.log");
    EXPECT_NE(nmLog.find("\"TavroVPN\"]: failed to connect: 'Timeout was reached'"), std::string::npos)
        << nmLog;
    EXPECT_EQ(nmLog.find("invalid or not supported"), std::string::npos);

    // The second connect updates the same profile; a second observer sees the callback's values.
    const std::string first = extThisServiceID;
    g_statuses.clear();
    SCNetworkConnection observer(QString::fromStdString(first), recordStatus, nullptr);
    EXPECT_EQ(connectUntilEnded(), (QStringList{"接続中...", "未接続"}));
    EXPECT_EQ(extThisServiceID, first);
    EXPECT_EQ(profileUuids(), std::vector<std::string>{first});
    EXPECT_TRUE(waitFor([&] { return !g_statuses.empty() && g_statuses.back() == 0; }, 5000));
    EXPECT_EQ(g_statuses,
              (std::vector<int>{kSCNetworkConnectionConnecting, kSCNetworkConnectionDisconnected}));
}

TEST_F(L2tpEndToEnd, AutomaticModeMovesOnToTheNextProtocol) {
    platform::Defaults::standard().setInteger("ProtcolSelAuto", 1);
    platform::Defaults::standard().setString("SuccessProtcol", "L2TP");
    host->connectButton->click();
    EXPECT_TRUE(waitFor([&] { return attempts.size() >= 2; }, 90000));
    ASSERT_GE(attempts.size(), 2);
    EXPECT_EQ(attempts.mid(0, 2), (QStringList{"L2TP", "OpenConnect"}));
    if (host->_vpnStatus != TAVROVPNStatus::disconnected) host->connectButton->click(); // user stop
    EXPECT_TRUE(waitFor([&] { return status() == "未接続"; }, 30000));
    EXPECT_TRUE(alerts.shown.isEmpty());
    platform::Defaults::standard().setInteger("ProtcolSelAuto", 0);
}

TEST_F(L2tpEndToEnd, LaunchFollowsAnActivationAlreadyUnderWayAndInitializeRemovesTheProfile) {
    connectUntilEnded(); // provisions the profile (if an earlier test has not)
    ASSERT_FALSE(extThisServiceID.empty());
    const std::string id = extThisServiceID;
    extThisServiceID.clear();
    readCurrentService();
    ASSERT_EQ(extThisServiceID, id);
    platform::Task nmcli;
    nmcli.launchPath = "/usr/bin/nmcli";
    nmcli.arguments = {"connection", "up", "uuid", id};
    nmcli.standardOutput = nmcli.standardError = platform::Task::Stdio::Null;
    ASSERT_TRUE(nmcli.launch());
    // Step 17 once the activation is known to NetworkManager: a new connection object follows it.
    ASSERT_TRUE(waitFor(
        [&] {
            return commandOutput("nmcli -t -f NAME connection show --active").find("TavroVPN") !=
                   std::string::npos;
        },
        10000));
    attachSystemServiceConnection();
    EXPECT_TRUE(waitFor([&] { return status() == "接続中..."; }, 10000));
    EXPECT_TRUE(waitFor([&] { return status() == "未接続"; }, 60000));
    nmcli.waitUntilExit(30s);

    removeSystemService();
    EXPECT_TRUE(extThisServiceID.empty());
    EXPECT_FALSE(extConnection);
    EXPECT_TRUE(waitFor([&] { return profileUuids().empty(); }, 5000));
}

// One sub-command as a user's process sends it; the helper's answer, "" for none.
std::string subCommandAs(uid_t uid, const std::string& sub) {
    const std::string answers = testsupport::asUser(uid, uid, [&] {
        return testsupport::converse({"CMD_SCNETWORK", sub}, 30s);
    });
    // "1;<reply>;(eof);", or "1;(eof);" when there is none.
    if (answers.rfind("1;", 0) != 0) return "(no CMD_SCNETWORK answer: " + answers + ")";
    const std::string rest = answers.substr(2);
    return rest == "(eof);" ? "" : rest.substr(0, rest.find(';'));
}

// The profile sub-commands reach only what the helper provisioned, and each user's secrets are
// their own: another user sees none of them, NetworkManager holds those of the user whose request
// provisioned the profile, and a blanked or deleted secret no longer connects.
TEST_F(L2tpEndToEnd, OtherProfilesAndOtherUsersSecretsAreOutOfReach) {
    const auto setKey = [](const std::string& user, const std::string& password) {
        return "SET_KEY,(null),/opt/TavroVPN," + kGateway + "," + user + "," + password +
               ",TRUE,none,none,0,1,859";
    };
    const fs::path keyfile = fixtureDir / "etc-up/NetworkManager/system-connections/TavroVPN.nmconnection";
    const auto profile = [&] { return testsupport::readFile(keyfile); };
    ASSERT_EQ(subCommandAs(kAlice, setKey("alice", "alice-pw")), "1");
    ASSERT_EQ(profileUuids().size(), 1u);
    const std::string id = profileUuids().front();
    EXPECT_NE(profile().find("password=alice-pw"), std::string::npos);
    // Only the user it was provisioned for sees the profile and its secrets.
    EXPECT_NE(profile().find("permissions=user:nobody:;"), std::string::npos) << profile();

    struct Row {
        uid_t uid;
        std::string sub, reply, profileHas, profileHasNot;
    } rows[] = {
        {kBob, "GET_PASSWD_SZ," + id, "", "password=alice-pw", ""},
        {kBob, "GET_USER_SZ," + id, "", "", ""},
        {kBob, "GET_PASSWD_SZ," + id + ".SS", "", "", ""},
        {kAlice, "GET_PASSWD_SZ," + id, "alice-pw", "", ""},
        {kAlice, "GET_USER_SZ," + id, "alice", "", ""},
        // Bob's SET_KEY gives the shared profile Bob's own secrets; Alice's stay hers.
        {kBob, setKey("bob", "bob-pw"), "1", "password=bob-pw", "password=alice-pw"},
        {kBob, "GET_VER", "240", "permissions=user:daemon:;", "user:nobody"},
        {kAlice, "GET_PASSWD_SZ," + id, "alice-pw", "", ""},
        {kBob, "GET_PASSWD_SZ," + id, "bob-pw", "", ""},
        {kBob, "REMOVE_PASSWD," + id, "1", "", "password=bob-pw"},
        {kBob, "DELETE_KEY," + id + ".SS", "0", "", "ipsec-psk=859"},
        {kAlice, "GET_PASSWD_SZ," + id + ".SS", "859", "", ""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(subCommandAs(row.uid, row.sub), row.reply) << row.uid << " " << row.sub;
        if (!row.profileHas.empty()) {
            EXPECT_NE(profile().find(row.profileHas), std::string::npos) << row.sub;
        }
        if (!row.profileHasNot.empty()) {
            EXPECT_EQ(profile().find(row.profileHasNot), std::string::npos) << row.sub << "\n" << profile();
        }
    }

    // Not the helper's: the base profile, whose UUID anyone can list, stays whatever it is asked.
    std::string base;
    std::istringstream lines(commandOutput("nmcli -t -f NAME,UUID connection show 2>/dev/null"));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("TavroVPN:", 0) != 0 && line.find(':') != std::string::npos)
            base = line.substr(line.rfind(':') + 1);
    ASSERT_FALSE(base.empty());
    for (const std::string& sub : {"REMOVE_PREF," + base, "REMOVE_PASSWD," + base, "DELETE_KEY," + base})
        subCommandAs(kAlice, sub);
    EXPECT_NE(commandOutput("nmcli -t -f UUID connection show 2>/dev/null").find(base), std::string::npos);
    EXPECT_EQ(profileUuids(), std::vector<std::string>{id});
}

} // namespace

namespace {

// NetworkManager's dispatcher runs the package's script with the profile's name and UUID: the leak
// block follows the profile the helper provisioned, and nothing else.
TEST_F(L2tpEndToEnd, TheDispatcherScriptLeakBlocksTheProvisionedProfileOnly) {
    ASSERT_EQ(subCommandAs(kAlice, "SET_KEY,(null),/opt/TavroVPN," + kGateway + ",alice,alice-pw,TRUE,none,none,0,1,859"),
              "1");
    ASSERT_EQ(profileUuids().size(), 1u);
    const std::string id = profileUuids().front();
    std::string base;
    std::istringstream lines(commandOutput("nmcli -t -f NAME,UUID connection show 2>/dev/null"));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("TavroVPN:", 0) != 0 && line.find(':') != std::string::npos)
            base = line.substr(line.rfind(':') + 1);

    const std::string script = l2tpenv::Environment::leakDispatcherScript();
    ASSERT_FALSE(script.empty());
    const fs::path path = environment.tmp / "90-tavrovpn-leak-block";
    std::ofstream(path) << script;
    const auto dispatch = [&](const std::string& name, const std::string& uuid, const std::string& action) {
        const std::string line = "CONNECTION_ID=" + testsupport::shellQuoted(name) +
                                 " CONNECTION_UUID=" + testsupport::shellQuoted(uuid) +
                                 " VPN_IP_IFACE=ppp7 sh " + path.string() + " ppp7 " + action + " 2>&1";
        commandOutput(line);
        return commandOutput("nft list table inet tavrovpn 2>/dev/null");
    };
    struct Row {
        std::string name, uuid, action;
        bool blocked;
    } rows[] = {
        {"TavroVPN", id, "vpn-up", true},
        {"TavroVPN", id, "vpn-down", false},
        {"Office", id, "vpn-up", false},                   // another profile's name
        {"TavroVPN", base, "vpn-up", false},               // not the helper's profile
        {"TavroVPN", id + "; nft flush ruleset", "vpn-up", false},
        {"TavroVPN", id, "up", false},                     // a device event, not the VPN's
    };
    for (const Row& r : rows) {
        const std::string table = dispatch(r.name, r.uuid, r.action);
        EXPECT_EQ(!table.empty(), r.blocked) << r.name << " " << r.uuid << " " << r.action << "\n" << table;
        if (r.blocked) {
            EXPECT_NE(table.find("oifname \"ppp7\" accept"), std::string::npos) << table;
            EXPECT_NE(table.find("ip daddr " + kGateway + " udp dport 4500 accept"), std::string::npos) << table;
            EXPECT_NE(table.find("ip daddr " + kGateway + " meta l4proto esp accept"), std::string::npos) << table;
        }
    }
}

} // namespace
