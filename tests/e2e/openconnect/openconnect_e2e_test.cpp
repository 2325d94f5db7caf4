// OpenConnect end to end: the real helper under its respawn supervisor, a real ocserv in a
// network namespace (tools/fixtures/oc-fixture.sh), the local service for the server list and the
// public address, and the manager driving the offscreen main window. Root only.
//
// The helper runs in a private mount namespace whose /etc is an overlay: the distribution's
// vpnc-script rewrites resolv.conf, which must never reach the machine's own.
#include "FakeConnectionHost.h"
#include "HelperUnderSupervisor.h"
#include "LeakNet.h"
#include "ProcessUtil.h"
#include "ServerListFromService.h"
#include "app/connection/OpenConnecctMgr.h"
#include "app/service/Constants.h"
#include "platform/Defaults.h"
#include "platform/Paths.h"
#include "platform/Task.h"
#include "platform/qt/AlertPresenter.h"

#include <QCoreApplication>
#include <QLabel>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Mgr = OpenConnectMgr;

namespace {

constexpr const char* kNs = "tvoce2e";
constexpr const char* kNet = "10.78";
constexpr const char* kUser = "tb000001";
constexpr const char* kPassword = "secret1";
constexpr const char* kPublicAddress = "203.0.113.7";

using testsupport::env;

using testsupport::readFile;

using testsupport::programOutput;

std::string ip(const std::vector<std::string>& args) {
    return programOutput("/usr/sbin/ip", args);
}

// ocserv's own account of its sessions: "users" (connected) or "sessions valid" (those a cookie
// could still resume, which count against the account's session limit).
std::string occtl(const std::string& socket, const std::string& what) {
    std::vector<std::string> args{"-s", socket, "show"};
    std::istringstream words(what);
    for (std::string w; words >> w;)
        args.push_back(w);
    return programOutput("/usr/bin/occtl", args);
}

// Runs the GUI thread's queue until pred holds or the limit passes.
template <class Pred> bool waitFor(Pred pred, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents();
        if (pred()) return true;
        std::this_thread::sleep_for(20ms);
    }
    QCoreApplication::processEvents();
    return pred();
}

int runFixture(const std::string& verb, std::string* out = nullptr) {
    return testsupport::runFixture("oc-fixture.sh", verb, out);
}

std::map<std::string, std::string> keyValues(const std::string& text) {
    std::map<std::string, std::string> m;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return m;
}

// openconnect processes working in dir (left over by a failed test).
std::vector<pid_t> openconnectsIn(const fs::path& dir) {
    std::vector<pid_t> found;
    for (pid_t pid : testsupport::processesIn(dir))
        if (readFile(fs::path("/proc") / std::to_string(pid) / "comm").rfind("openconnect", 0) == 0)
            found.push_back(pid);
    return found;
}

void stopTask(platform::Task*& t) {
    if (!t) return;
    testsupport::stopTask(*t);
    delete t;
    t = nullptr;
}

class OpenConnectEndToEnd : public ::testing::Test {
protected:
    static inline std::string setupError;
    static inline fs::path tmp, dataHome, ocDir;
    static inline std::map<std::string, std::string> fixture;
    static inline platform::Task* supervisor = nullptr;
    static inline platform::Task* service = nullptr;
    static inline bool fixtureUp = false;
    static inline std::string defaultRoute;
    static inline std::string serviceCa;

    static void fail(const std::string& why) {
        if (setupError.empty()) setupError = why;
    }

    static void SetUpTestSuite() {
        if (geteuid() != 0) return;
        const fs::path bin = env("TAVROVPN_BINARY_DIR");
        const fs::path helper = bin / "helper/tvapphelper";
        const fs::path supervise = bin / "tools/supervisor/tvapphelper-supervise";
        const fs::path serviceExe = bin / "tools/service/tavro-service";
        for (const fs::path& p : {helper, supervise, serviceExe})
            if (!fs::exists(p)) return fail("missing " + p.string() + ": build it first");
        if (access("/usr/sbin/openconnect", X_OK) != 0 || access("/usr/sbin/ocserv", X_OK) != 0)
            return fail("openconnect and ocserv must be installed (./run setup)");

        char tmpl[] = "/tmp/tv-oc-e2e-XXXXXX";
        if (!mkdtemp(tmpl)) return fail("mkdtemp failed");
        tmp = tmpl;
        // ocserv's workers run as nobody and read the fixture's run folder below this one.
        fs::permissions(tmp, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
        // The working folder has a blank in its path, like the original platform's Application Support.
        dataHome = tmp / "Application Support";
        for (const char* sub : {"config", "cache"})
            fs::create_directories(tmp / sub);
        fs::create_directories(dataHome);
        setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (tmp / "config").c_str(), 1);
        setenv("XDG_CACHE_HOME", (tmp / "cache").c_str(), 1);

        // The server.
        setenv("OC_FIXTURE_DIR", (tmp / "fixture").c_str(), 1);
        setenv("OC_FIXTURE_NS", kNs, 1);
        setenv("OC_FIXTURE_NET", kNet, 1);
        setenv("OC_FIXTURE_USER", kUser, 1);
        setenv("OC_FIXTURE_PASSWORD", kPassword, 1);
        defaultRoute = ip({"route", "show", "default"});
        std::string out;
        if (runFixture("up", &out) != 0) {
            runFixture("down");
            return fail("oc-fixture.sh up failed");
        }
        fixtureUp = true;
        fixture = keyValues(out);
        const std::string server = fixture["OC_FIXTURE_SERVER"];
        // Route guard: a test connection must never leave the machine.
        if (ip({"route", "get", server}).find("dev " + fixture["OC_FIXTURE_HOST_IF"] + " ") ==
            std::string::npos)
            return fail(server + " is not routed through the fixture's veth");

        // The service: server list whose OpenConnect servers are the fixture, and the public address.
        service = new platform::Task;
        service->launchPath = serviceExe.string();
        service->arguments = {
            "--state-dir", (tmp / "service").string(), "--listen",    "127.0.0.1:0", "--openconnect-host",
            server,        "--public-address",         kPublicAddress};
        service->standardOutput = platform::Task::Stdio::Null;
        if (!service->launch()) return fail("tavro-service did not start");
        if (!waitFor([] { return fs::exists(tmp / "service/ready"); }, 20s))
            return fail("tavro-service not ready");
        const auto ready = keyValues(readFile(tmp / "service/ready"));
        setenv("TAVROVPN_WEB_HOST", ready.at("host").c_str(), 1);
        setenv("TAVROVPN_AUTH_HOST", ready.at("host").c_str(), 1);
        serviceCa = ready.at("ca");
        setenv("TAVROVPN_CA_FILE", serviceCa.c_str(), 1);

        // The helper, in a private mount namespace with /etc overlaid.
        fs::create_directories(tmp / "etc-upper");
        fs::create_directories(tmp / "etc-work");
        supervisor = new platform::Task;
        const std::vector<std::string> privateEtc{
            "/usr/bin/unshare",
            "-m",
            "--propagation",
            "private",
            "--",
            "/bin/bash",
            "-c",
            "mount -t overlay overlay -o \"lowerdir=/etc,upperdir=$1,workdir=$2\" /etc && shift 2 && exec "
            "\"$@\"",
            "overlay",
            (tmp / "etc-upper").string(),
            (tmp / "etc-work").string()};
        if (!testsupport::launchHelperUnderSupervisor(*supervisor, tmp, supervise, helper, privateEtc) ||
            !waitFor([] { return fs::exists(tmp / "helper.ipc"); }, 10s))
            return fail("the helper did not come up");

        // The working folder as the launch sequence makes it: the bundle's openconnect folder and
        // the routing script from the encrypted library archive.
        const std::string R = Constants::tvrootPath();
        ocDir = R + "/openconnect";
        std::error_code ec;
        fs::create_directories(R, ec);
        fs::copy(platform::bundlePath() + "/Contents/Resources/openconnect/", ocDir,
                 fs::copy_options::recursive, ec);
        if (ec) return fail("bundle openconnect folder: " + ec.message());
        const std::string enc = (ocDir / "libs.tar.enc").string(), tar = (ocDir / "libs.tar").string();
        if (platform::runProgram("/usr/bin/openssl",
                                 {"enc", "-aes-256-cbc", "-d", "-salt", "-pbkdf2", "-iter", "100000", "-in",
                                  enc, "-out", tar, "-k", "vebuq527"}) != 0 ||
            platform::runProgram("/usr/bin/tar", {"-xf", tar, "-C", ocDir.string()}) != 0)
            return fail("libs.tar.enc could not be unpacked");
        fs::remove(tar, ec);
        if (access((ocDir / "vpnc-script-wrapper").c_str(), X_OK) != 0) return fail("no routing script");

        // The catalogue from the service.
        if (!testsupport::loadServerListFromService())
            return fail("server list not downloaded from the service");
        platform::Defaults::standard().setString("regionNumber", "0");
    }

    static void TearDownTestSuite() {
        if (!ocDir.empty())
            for (pid_t p : openconnectsIn(ocDir))
                kill(p, SIGTERM);
        stopTask(supervisor);
        stopTask(service);
        if (fixtureUp) runFixture("down");
        fixtureUp = false;
        if (!tmp.empty()) {
            std::error_code ec;
            fs::remove_all(tmp, ec);
        }
    }

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root (network namespace, tun device, helper as root)";
        ASSERT_TRUE(setupError.empty()) << setupError;
        app = std::make_unique<FakeConnectionHost>();
        app->authUsername = kUser;
        app->authPassword = kPassword;
        AlertPresenter::setCurrent(&alerts);
        Mgr::nextProtocolHook = [this] { ++handOvers; };
        platform::Defaults::standard().setInteger("ProtcolSelAuto", 0);
    }

    void TearDown() override {
        if (!app) return;
        if (Mgr::_OnSarting.load() && !Mgr::_OnStoping.load()) Mgr::Stop(true);
        EXPECT_TRUE(waitFor([] { return !Mgr::_OnSarting.load() && !Mgr::_OnStoping.load(); }, 40s));
        waitFor([] { return false; }, 200ms);
        AlertPresenter::setCurrent(nullptr);
        Mgr::nextProtocolHook = nullptr;
        app.reset();
    }

    QString status() const { return app->statusText->text(); }
    static bool idle() { return !Mgr::_OnSarting.load() && !Mgr::_OnStoping.load(); }
    // /etc/resolv.conf as the helper's processes see it.
    static std::string helperResolvConf() {
        return readFile("/proc/" + std::to_string(supervisor->processIdentifier()) + "/root/etc/resolv.conf");
    }
    static bool tunnelRoutePresent() {
        return ip({"route", "show", fixture["OC_FIXTURE_ROUTE"]}).find("dev ") != std::string::npos;
    }
    static bool tunnelAddressPresent() {
        return ip({"-o", "addr", "show"}).find(" " + std::string(kNet) + ".1.") != std::string::npos;
    }
    void connect() {
        Mgr::Start();
        ASSERT_TRUE(waitFor([&] { return status() == "接続中"; }, 60s))
            << "status " << status().toStdString() << "\nstatus.log:\n"
            << readFile(ocDir / "status.log");
    }

    std::unique_ptr<FakeConnectionHost> app;
    ScriptedAlertPresenter alerts;
    int handOvers = 0;
};

TEST_F(OpenConnectEndToEnd, ConnectsShowsTheAddressAndStopsCleanly) {
    const std::string resolvBefore = helperResolvConf();
    connect();
    EXPECT_TRUE(waitFor([&] { return app->ipaddrText->text() == kPublicAddress; }, 15s))
        << app->ipaddrText->text().toStdString();
    const pid_t pid = static_cast<pid_t>(std::atol(readFile(ocDir / "childpid").c_str()));
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(platform::processAlive(pid));
    EXPECT_EQ(readFile("/proc/" + std::to_string(pid) + "/comm"), "openconnect\n");
    EXPECT_TRUE(tunnelRoutePresent());
    EXPECT_TRUE(tunnelAddressPresent());
    EXPECT_NE(helperResolvConf().find(fixture["OC_FIXTURE_DNS"]), std::string::npos);
    EXPECT_EQ(ip({"route", "show", "default"}), defaultRoute);
    EXPECT_EQ(readFile(ocDir / "status.log").find(kPassword), std::string::npos);

    const std::string occtlSocket = fixture["OC_FIXTURE_OCCTL_SOCKET"];
    EXPECT_NE(occtl(occtlSocket, "users").find(kUser), std::string::npos) << occtl(occtlSocket, "users");
    EXPECT_NE(occtl(occtlSocket, "sessions valid").find(kUser), std::string::npos);

    Mgr::Stop(true);
    ASSERT_TRUE(waitFor([&] { return idle() && status() == "未接続"; }, 20s));
    EXPECT_TRUE(waitFor([&] { return !platform::processAlive(pid); }, 10s));
    // Logged off: within 5 s the server holds no session of the account, not even one a cookie
    // could resume (a hang-up would leave that one until its cookie times out).
    waitFor([] { return false; }, 5s);
    EXPECT_EQ(occtl(occtlSocket, "users").find(kUser), std::string::npos) << occtl(occtlSocket, "users");
    EXPECT_EQ(occtl(occtlSocket, "sessions valid").find(kUser), std::string::npos)
        << occtl(occtlSocket, "sessions valid");
    EXPECT_TRUE(waitFor([&] { return !tunnelRoutePresent() && !tunnelAddressPresent(); }, 10s));
    EXPECT_EQ(helperResolvConf(), resolvBefore);
    EXPECT_EQ(app->ipaddrText->text(), "");
    EXPECT_EQ(app->connectedTimeText->text(), "");
    EXPECT_TRUE(alerts.shown.isEmpty());
    EXPECT_EQ(handOvers, 0);
    EXPECT_NE(readFile(ocDir / "status.log").find("User cancelled (SIGINT/SIGTERM); exiting."), std::string::npos)
        << readFile(ocDir / "status.log");
}

// A dual-stack local network with its own resolver: while 接続中 only the tunnel carries traffic.
TEST_F(OpenConnectEndToEnd, NothingLeaksPastTheTunnelWhileConnected) {
    const std::string net = kNet;
    testsupport::LeakNet lan((tmp / "leak-net").string(), kNs, net + ".1.0/24", fixture["OC_FIXTURE_DNS"],
                             net + ".2.10");
    ASSERT_TRUE(lan.up());
    const auto before = lan.probe();
    connect();
    const auto connected = lan.probe();
    const bool blockWhileUp = testsupport::LeakNet::blockPresent();
    Mgr::Stop(true);
    ASSERT_TRUE(waitFor([&] { return idle() && status() == "未接続"; }, 20s));
    EXPECT_TRUE(waitFor([&] { return !tunnelRoutePresent() && !tunnelAddressPresent(); }, 10s));
    const auto after = lan.probe();
    EXPECT_EQ(lan.judge(before, connected, after, blockWhileUp, testsupport::LeakNet::blockPresent(),
                        "Leaks past an OpenConnect tunnel"),
              "");
}

// The uplink goes (the server unreachable) and comes back, each time reported as the route monitor
// does: the same openconnect reconnects where it is, its block stays and nothing leaves outside the
// tunnel in between; then 接続中 again.
TEST_F(OpenConnectEndToEnd, AnUplinkChangeReconnectsInPlaceAndNothingLeaksMeanwhile) {
    const std::string net = kNet;
    testsupport::LeakNet lan((tmp / "leak-net").string(), kNs, net + ".1.0/24", fixture["OC_FIXTURE_DNS"],
                             net + ".2.10");
    ASSERT_TRUE(lan.up());
    connect();
    const pid_t pid = static_cast<pid_t>(std::atol(readFile(ocDir / "childpid").c_str()));
    ASSERT_GT(pid, 0);
    const auto nft = [](const std::string& commands) {
        return programOutput("/usr/sbin/ip", {"netns", "exec", kNs, "nft", commands});
    };
    nft("add table inet tvdown; add chain inet tvdown in { type filter hook input priority 0; }; "
        "add rule inet tvdown in th dport 443 drop");
    ASSERT_TRUE(Mgr::reconnect());
    ASSERT_TRUE(waitFor([&] { return status() == "接続中..."; }, 5s));
    const auto reconnecting = lan.probe();
    EXPECT_TRUE(testsupport::LeakNet::blockPresent()) << "the block went with the tunnel";
    for (const char* key : {"ipv6 to the internet host", "ipv4 to the internet host", "query to the local resolver"}) {
        const std::string seen = reconnecting.count(key) ? reconnecting.at(key) : "not probed";
        EXPECT_TRUE(seen.rfind("no answer", 0) == 0 || seen.rfind("refused", 0) == 0) << key << ": " << seen;
    }
    EXPECT_EQ(status(), "接続中...");

    nft("delete table inet tvdown");
    ASSERT_TRUE(Mgr::reconnect()); // the uplink is back: again at once
    EXPECT_TRUE(waitFor([&] { return status() == "接続中"; }, 60s)) << readFile(ocDir / "status.log");
    EXPECT_TRUE(platform::processAlive(pid));
    EXPECT_EQ(std::atol(readFile(ocDir / "childpid").c_str()), pid);
    EXPECT_TRUE(tunnelRoutePresent());
    EXPECT_TRUE(testsupport::LeakNet::blockPresent());
    EXPECT_TRUE(alerts.shown.isEmpty());
    EXPECT_EQ(handOvers, 0);

    Mgr::Stop(true);
    ASSERT_TRUE(waitFor([&] { return idle() && status() == "未接続"; }, 20s));
    EXPECT_TRUE(waitFor([] { return !testsupport::LeakNet::blockPresent(); }, 10s)) << "the block stayed";
}

TEST_F(OpenConnectEndToEnd, WrongPasswordFailsWithTheAlertOrHandsOver) {
    app->authPassword = "wrong-password";
    for (const bool automatic : {false, true}) {
        SCOPED_TRACE(automatic ? "automatic" : "manual");
        platform::Defaults::standard().setInteger("ProtcolSelAuto", automatic ? 1 : 0);
        alerts.shown.clear();
        handOvers = 0;
        Mgr::Start();
        ASSERT_TRUE(waitFor([&] { return idle() && (handOvers > 0 || !alerts.shown.isEmpty()); }, 60s))
            << readFile(ocDir / "status.log");
        waitFor([] { return false; }, 100ms);
        EXPECT_NE(readFile(ocDir / "status.log").find("Login failed."), std::string::npos);
        EXPECT_EQ(status(), "未接続");
        EXPECT_EQ(handOvers, automatic ? 1 : 0);
        EXPECT_EQ(alerts.shown.size(), automatic ? 0 : 1);
        EXPECT_TRUE(openconnectsIn(ocDir).empty() ||
                    waitFor([] { return openconnectsIn(ocDir).empty(); }, 5s));
        EXPECT_FALSE(tunnelRoutePresent());
    }
}

// The server proves who it is: a certificate no CA vouches for is taken on trust at the first
// connection only, like an SSH host key; another one later gets no credential.
TEST_F(OpenConnectEndToEnd, AnotherCertificateGetsNoCredentialUnlessACaVouchesForIt) {
    const std::string server = fixture["OC_FIXTURE_SERVER"];
    const fs::path known = ocDir / "known_servers";
    const fs::path ocservLog = fs::path(env("OC_FIXTURE_DIR")) / "ocserv.log";
    const fs::path bundle = tmp / "ca-bundle.pem";
    enum class Server { Keep, NewSelfSigned, CaSigned };
    struct Step {
        const char* name;
        Server server;
        bool caTrusted; // the deployment CA bundle holds the fixture's CA beside the service's
        bool forget;    // the recorded pins were forgotten (settings initialized) before
        bool connects;
        int recorded; // which step's pin known_servers holds afterwards
    } steps[] = {
        {"first connection: its pin is recorded", Server::NewSelfSigned, false, true, true, 0},
        {"another self-signed certificate: refused", Server::NewSelfSigned, false, false, false, 0},
        {"a CA-signed certificate needs no recorded pin", Server::CaSigned, true, false, true, 0},
        {"the same without its CA: refused", Server::Keep, false, false, false, 0},
        {"forgotten: the next first connection records anew", Server::Keep, false, true, true, 3},
    };
    std::vector<std::string> pins;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        std::string out;
        if (step.server != Server::Keep) {
            ASSERT_EQ(runFixture(step.server == Server::CaSigned ? "ca-cert" : "new-cert", &out), 0);
            fixture = keyValues(out);
        }
        pins.push_back(fixture["OC_FIXTURE_PIN"]);
        if (step.caTrusted) {
            std::ofstream(bundle) << readFile(serviceCa) << readFile(fixture["OC_FIXTURE_CA"]);
            setenv("TAVROVPN_CA_FILE", bundle.c_str(), 1);
        } else {
            setenv("TAVROVPN_CA_FILE", serviceCa.c_str(), 1);
        }
        if (step.forget) fs::remove(known);
        const std::string recordedBefore = readFile(known);
        fs::remove(ocDir / "password.txt");
        fs::remove(ocDir / "status.log");
        const auto logins = [&] {
            const std::string log = readFile(ocservLog);
            size_t n = 0;
            for (size_t at = log.find(kUser); at != std::string::npos; at = log.find(kUser, at + 1))
                ++n;
            return n;
        };
        const size_t loginsBefore = logins();
        alerts.shown.clear();

        testing::internal::CaptureStderr();
        Mgr::Start();
        const bool up =
            waitFor([&] { return status() == "接続中" || (idle() && !alerts.shown.isEmpty()); }, 60s);
        const std::string logged = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(up) << readFile(ocDir / "status.log");
        if (step.connects) {
            EXPECT_EQ(status(), "接続中") << logged;
            Mgr::Stop(true);
            ASSERT_TRUE(waitFor([&] { return idle() && status() == "未接続"; }, 20s));
            EXPECT_TRUE(alerts.shown.isEmpty());
        } else {
            waitFor([] { return false; }, 200ms);
            EXPECT_EQ(status(), "未接続");
            EXPECT_EQ(alerts.shown.size(), 1);
            // Nothing reached the helper or the server: no password file, no status.log, no login.
            EXPECT_FALSE(fs::exists(ocDir / "password.txt"));
            EXPECT_FALSE(fs::exists(ocDir / "status.log"));
            EXPECT_EQ(logins(), loginsBefore);
            const std::string line = server + ": pin-sha256:" + pins.back() +
                                     " presented, pin-sha256:" + pins.front() + " recorded";
            EXPECT_NE(logged.find(line), std::string::npos) << logged;
            EXPECT_EQ(readFile(known), recordedBefore);
        }
        EXPECT_EQ(readFile(known), server + " pin-sha256:" + pins[static_cast<size_t>(step.recorded)] + "\n");
    }
    setenv("TAVROVPN_CA_FILE", serviceCa.c_str(), 1);
}

TEST_F(OpenConnectEndToEnd, ServerGoneWhileUpEndsTheAttempt) {
    connect();
    ASSERT_EQ(runFixture("stop-server"), 0);
    ASSERT_TRUE(waitFor([&] { return idle() && !alerts.shown.isEmpty(); }, 30s))
        << readFile(ocDir / "status.log");
    waitFor([] { return false; }, 100ms);
    EXPECT_EQ(status(), "未接続");
    EXPECT_TRUE(waitFor([] { return openconnectsIn(ocDir).empty(); }, 10s));
    EXPECT_TRUE(waitFor([&] { return !tunnelRoutePresent(); }, 10s));
}

} // namespace
