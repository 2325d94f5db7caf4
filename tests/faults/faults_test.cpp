// Faults injected into real tunnels: the application (the real program, offscreen) connects
// through the real helper under its supervisor to a real OpenVPN server or ocserv in a network
// namespace, then something breaks. Whatever broke, the machine must end up as it was: the
// resolver byte-identical (or the system's own newer version kept), no tunnel device, route or leak
// block (table inet tavrovpn) of ours, no process of ours; and the next connect must succeed. Each case runs
// TAVROVPN_FAULT_RUNS times (3 by default) and the suite prints a table of runs and passes.
//
// Root only. Each protocol runs in its own process inside a private mount namespace with /etc
// overlaid, so the resolver it changes is a private copy.
#include "AppProcess.h"
#include "HelperUnderSupervisor.h"
#include "LeakNet.h"
#include "LocalService.h"
#include "PrivateEtc.h"
#include "ProcessUtil.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::readFile;
using testsupport::waitFor;

constexpr const char* kUser = "tb000001";
constexpr const char* kPassword = "secret1";

using testsupport::env;
using testsupport::programOutput;


// Alive processes running `exe` (by /proc/PID/exe) whose environment holds `mark`: this suite's
// own, not those of a suite running next to it.
std::vector<pid_t> processesOf(const fs::path& exe, const std::string& mark) {
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code ec2;
        if (fs::read_symlink(e.path() / "exe", ec2) != exe) continue;
        if (readFile(e.path() / "environ").find(mark) == std::string::npos) continue;
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        if (platform::processAlive(pid)) found.push_back(pid);
    }
    return found;
}

enum class Fault {
    AppKilledConnected,
    AppKilledConnecting,
    TunnelProgramKilled,
    HelperKilled,
    HelperKilledWhileBlocking,
    ServerStopped,
    ResolverReplaced,
};

struct FaultCase {
    Fault fault;
    const char* name;
};

const FaultCase kCases[] = {
    {Fault::AppKilledConnected, "application SIGKILLed while connected"},
    {Fault::AppKilledConnecting, "application SIGKILLed while connecting"},
    {Fault::TunnelProgramKilled, "tunnel program SIGKILLed"},
    {Fault::HelperKilled, "helper SIGKILLed"},
    {Fault::HelperKilledWhileBlocking, "helper killed while the block is in force"},
    {Fault::ServerStopped, "server stopped"},
    {Fault::ResolverReplaced, "resolver replaced by the system"},
};

// What differs between the two protocols.
struct Protocol {
    const char* name;        // "OpenVPN" / "OpenConnect": the ProtcolChoice value
    const char* fixture;     // script under tools/fixtures
    const char* prefix;      // the fixture's environment prefix
    const char* ns;          // namespace, also the veth prefix
    const char* net;         // first two octets of the fixture's addresses
    const char* tunnelNet;   // addresses the tunnel gets, as a prefix ("10.219.8.")
    const char* program;     // the tunnel program's process name
    const char* folder;      // its folder in the working folder
};

const Protocol kOpenVPN{"OpenVPN", "ovpn-fixture.sh", "OVPN_FIXTURE", "tvfltovpn", "10.219", "10.219.8.",
                        "openvpn", "OpenVPN"};
const Protocol kOpenConnect{"OpenConnect", "oc-fixture.sh", "OC_FIXTURE", "tvfltoc", "10.79", "10.79.1.",
                            "openconnect", "openconnect"};

struct RunResult {
    bool passed = false;
    std::string why;
};

class Rig {
public:
    explicit Rig(const Protocol& p) : p_(p) {}
    ~Rig() { down(); }

    std::string up() {
        if (!privateetc::etcIsOverlay()) return "refusing to run: /etc is not a private overlay in this process";
        const fs::path bin = env("TAVROVPN_BINARY_DIR");
        helperExe_ = bin / "helper/tvapphelper";
        const fs::path supervise = bin / "tools/supervisor/tvapphelper-supervise";
        char tmpl[] = "/tmp/tv-faults-XXXXXX";
        if (!mkdtemp(tmpl)) return "mkdtemp failed";
        tmp_ = tmpl;
        // ocserv's workers run as nobody and read the fixture's folder below this one.
        fs::permissions(tmp_, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
        const std::string pre = p_.prefix;
        setenv((pre + "_DIR").c_str(), (tmp_ / "fixture").c_str(), 1);
        setenv((pre + "_NS").c_str(), p_.ns, 1);
        setenv((pre + "_NET").c_str(), p_.net, 1);
        setenv((pre + "_USER").c_str(), kUser, 1);
        setenv((pre + "_PASSWORD").c_str(), kPassword, 1);
        setenv("OVPN_FIXTURE_KEEPALIVE", "1 4", 1); // a stopped server is noticed within seconds
        setenv("OC_FIXTURE_MAX_SAME", "0", 1);      // hung-up sessions pile up over the runs
        if (!fixture("up")) return "fixture up failed";
        const std::string server = std::string(p_.net) + ".0.2";
        if (programOutput("/usr/sbin/ip", {"-4", "route", "get", server}).find(std::string(" dev ") + p_.ns + "h ") ==
            std::string::npos)
            return "route guard: " + server + " is not routed through the fixture's veth";

        std::vector<std::string> args{"--account", std::string(kUser) + ":" + kPassword};
        if (std::string(p_.name) == "OpenVPN")
            args.insert(args.end(), {"--openvpn-host", server, "--ovpn-dir", (tmp_ / "fixture/client").string()});
        else
            args.insert(args.end(), {"--openconnect-host", server});
        service_ = std::make_unique<LocalService>(args);
        if (!service_->start()) return "tavro-service did not start";
        service_->exportEnv();

        setenv("TAVROVPN_DNS_STATE_DIR", (tmp_ / "dns-state").c_str(), 1);
        supervisor_ = std::make_unique<platform::Task>();
        supervisor_->standardOutput = platform::Task::Stdio::Null;
        if (!testsupport::launchHelperUnderSupervisor(*supervisor_, tmp_, supervise, helperExe_) ||
            !waitFor([&] { return fs::exists(tmp_ / "helper.ipc"); }, 10s))
            return "the helper did not come up";
        resolvBefore_ = readFile("/etc/resolv.conf");
        return {};
    }

    void down() {
        app_.reset();
        killLeftovers();
        if (supervisor_) testsupport::stopTask(*supervisor_);
        supervisor_.reset();
        service_.reset();
        if (!tmp_.empty()) {
            fixture("down");
            std::error_code ec;
            fs::remove_all(tmp_, ec);
            tmp_.clear();
        }
    }

    // Launches a fresh application that connects on its own; true once the tunnel is up (or, when
    // `untilStarted`, once the tunnel program runs but before the application reports it).
    bool connect(std::string& why, bool untilStarted = false) {
        app_.reset();
        const fs::path home = tmp_ / ("home" + std::to_string(++launches_));
        app_ = std::make_unique<testsupport::AppProcess>(home);
        app_->seedAutoConnect(kUser, kPassword, p_.name);
        if (!app_->start({{"TAVROVPN_HELPER_JOB_FILE", (tmp_ / "supervise.pid").string()}})) {
            why = "the application did not start";
            return false;
        }
        if (untilStarted) {
            if (waitFor([&] { return !tunnelPrograms().empty(); }, 40s)) return true;
            why = "the tunnel program never started";
            return false;
        }
        if (waitFor([&] { return connected(); }, 60s)) return true;
        why = "not connected within 60 s";
        return false;
    }

    bool connected() const {
        if (tunnelDevice().empty()) return false;
        if (std::string(p_.name) == "OpenVPN")
            return readFile("/etc/resolv.conf").find(std::string("nameserver ") + p_.net + ".8.53") !=
                   std::string::npos;
        return app_->output().find("OpenConnectStatusTimerFunc 42") != std::string::npos;
    }

    // Interface holding an address of the tunnel's network: ours.
    std::string tunnelDevice() const {
        std::istringstream in(programOutput("/usr/sbin/ip", {"-o", "-4", "addr", "show"}));
        for (std::string line; std::getline(in, line);) {
            std::istringstream f(line);
            std::string index, dev, family, addr;
            f >> index >> dev >> family >> addr;
            if (addr.rfind(p_.tunnelNet, 0) == 0) return dev;
        }
        return {};
    }

    // openvpn / openconnect processes of any of this suite's applications (an earlier run's too).
    std::vector<pid_t> tunnelPrograms() const {
        std::vector<pid_t> found;
        for (int i = 1; i <= launches_; ++i)
            for (pid_t pid : testsupport::processesIn(tmp_ / ("home" + std::to_string(i)) /
                                                      "data/norvell/tavrovpn" / p_.folder))
                found.push_back(pid);
        return found;
    }

    // Routes into the tunnel's networks, or to the server itself (openconnect's routing script adds one).
    std::string routesOfOurs() const {
        std::istringstream in(programOutput("/usr/sbin/ip", {"-o", "route", "show", "table", "all"}));
        std::string ours;
        const std::string net = p_.net;
        for (std::string line; std::getline(in, line);)
            if (line.rfind(p_.tunnelNet, 0) == 0 || line.rfind(net + ".2.", 0) == 0 ||
                line.rfind(net + ".0.2 ", 0) == 0 || line.find(" " + net + ".0.2 ") != std::string::npos)
                ours += line + "; ";
        return ours;
    }
    std::vector<pid_t> helperInstances() const {
        return processesOf(fs::canonical(helperExe_), "TVAPPHELPER_SOCKET=" + (tmp_ / "helper.ipc").string());
    }

    void inject(Fault f) {
        switch (f) {
        case Fault::AppKilledConnected:
        case Fault::AppKilledConnecting:
            app_->signal(SIGKILL);
            app_->waitExit(5s);
            break;
        case Fault::TunnelProgramKilled:
            for (pid_t pid : tunnelPrograms())
                ::kill(pid, SIGKILL);
            break;
        case Fault::HelperKilledWhileBlocking:
            if (!waitFor([] { return testsupport::LeakNet::blockPresent(); }, 10s)) blockMissing_ = true;
            [[fallthrough]];
        case Fault::HelperKilled:
            for (pid_t pid : helperInstances())
                ::kill(pid, SIGKILL);
            break;
        case Fault::ServerStopped:
            for (const std::string& pid : split(programOutput("/usr/sbin/ip", {"netns", "pids", p_.ns})))
                ::kill(static_cast<pid_t>(std::stol(pid)), SIGKILL);
            serverStopped_ = true;
            break;
        case Fault::ResolverReplaced: {
            // As a network manager would: a new file renamed over the old one.
            replacement_ = "# written by the system while the tunnel was up\nnameserver 192.0.2.99\n";
            std::ofstream("/etc/resolv.conf.new") << replacement_;
            fs::rename("/etc/resolv.conf.new", "/etc/resolv.conf");
            app_->signal(SIGTERM); // the tunnel then ends the ordinary way
            break;
        }
        }
    }

    // After a fault: waits for the machine to be clean again, ends a surviving application through
    // its quit path; empty when all is well, else what was left.
    std::string settle(Fault f) {
        const std::string wantResolver = f == Fault::ResolverReplaced ? replacement_ : resolvBefore_;
        const bool appSurvives = f != Fault::AppKilledConnected && f != Fault::AppKilledConnecting &&
                                 f != Fault::ResolverReplaced;
        // A surviving application must notice the loss and tear down on its own.
        const std::string noticed = std::string(p_.name) == "OpenVPN" ? "stopOVPNTunnel" : "_OnStoping true";
        auto clean = [&] {
            return readFile("/etc/resolv.conf") == wantResolver && tunnelDevice().empty() &&
                   routesOfOurs().empty() && tunnelPrograms().empty() && !testsupport::LeakNet::blockPresent() &&
                   (!appSurvives || app_->output().find(noticed) != std::string::npos);
        };
        std::string why;
        if (blockMissing_) why += "no leak block in force when the helper was killed; ";
        blockMissing_ = false;
        if (!waitFor(clean, 40s)) {
            if (readFile("/etc/resolv.conf") != wantResolver) why += "resolver not restored; ";
            if (!tunnelDevice().empty()) why += "tunnel device " + tunnelDevice() + " left; ";
            if (!routesOfOurs().empty()) why += "routes left: " + routesOfOurs();
            if (!tunnelPrograms().empty()) why += std::string(p_.program) + " left running; ";
            if (testsupport::LeakNet::blockPresent()) why += "table inet tavrovpn left; ";
            if (appSurvives && app_->output().find(noticed) == std::string::npos)
                why += "the application did not notice the loss; ";
        }
        if (app_->pid() > 0) {
            app_->signal(SIGTERM);
            const auto status = app_->waitExit(15s);
            if (!status) why += "the application did not end on SIGTERM; ";
            else if (f != Fault::AppKilledConnected && f != Fault::AppKilledConnecting && *status != 0)
                why += "the application ended with status " + std::to_string(*status) + "; ";
        }
        if (!waitFor([&] { return helperInstances().empty(); }, 10s)) why += "a helper instance left running; ";
        if (readFile("/etc/resolv.conf") != wantResolver && why.find("resolver") == std::string::npos)
            why += "resolver changed at the end; ";
        // Back to the starting point for the next run.
        if (f == Fault::ResolverReplaced) {
            std::ofstream("/etc/resolv.conf.new") << resolvBefore_;
            fs::rename("/etc/resolv.conf.new", "/etc/resolv.conf");
        }
        if (serverStopped_) {
            fixture("down");
            if (!fixture("up")) why += "the server could not be started again; ";
            serverStopped_ = false;
        }
        killLeftovers();
        return why;
    }

    // Ends a connected application through its quit path; empty when it left everything clean.
    std::string quit() {
        app_->signal(SIGTERM);
        const auto status = app_->waitExit(15s);
        if (!status || *status != 0) return "the application did not end cleanly on SIGTERM";
        if (!waitFor([&] { return readFile("/etc/resolv.conf") == resolvBefore_ && tunnelDevice().empty() &&
                                  routesOfOurs().empty() && tunnelPrograms().empty(); },
                     20s))
            return "the quit path left the tunnel or the resolver behind";
        return {};
    }

    std::string appOutput() const { return app_ ? app_->output() : std::string(); }

private:
    static std::vector<std::string> split(const std::string& text) {
        std::istringstream in(text);
        std::vector<std::string> out;
        for (std::string w; in >> w;)
            if (w.find_first_not_of("0123456789") == std::string::npos) out.push_back(w);
        return out;
    }
    bool fixture(const std::string& verb) const { return testsupport::runFixture(p_.fixture, verb) == 0; }
    // What a failed run may have left: never carried into the next one.
    void killLeftovers() {
        for (pid_t pid : tunnelPrograms())
            ::kill(pid, SIGKILL);
        for (pid_t pid : helperInstances())
            ::kill(pid, SIGKILL);
    }

    const Protocol& p_;
    fs::path tmp_, helperExe_;
    std::string resolvBefore_, replacement_;
    std::unique_ptr<LocalService> service_;
    std::unique_ptr<platform::Task> supervisor_;
    std::unique_ptr<testsupport::AppProcess> app_;
    int launches_ = 0;
    bool serverStopped_ = false;
    bool blockMissing_ = false;
};

std::string tail(const std::string& text, size_t n) {
    return text.size() > n ? text.substr(text.size() - n) : text;
}

int runsPerCase() {
    const int n = std::atoi(env("TAVROVPN_FAULT_RUNS").c_str());
    return n > 0 ? n : 3;
}

// The table: one line per case with its runs and passes; also left in the build folder.
void printTable(const Protocol& p, const std::map<std::string, std::vector<RunResult>>& results) {
    std::ostringstream t;
    t << "Faults injected into " << p.name << " tunnels\n";
    char line[160];
    std::snprintf(line, sizeof line, "  %-42s %5s %7s\n", "case", "runs", "passes");
    t << line;
    for (const FaultCase& c : kCases) {
        const auto it = results.find(c.name);
        const auto& runs = it == results.end() ? std::vector<RunResult>{} : it->second;
        const auto passes = std::count_if(runs.begin(), runs.end(), [](const RunResult& r) { return r.passed; });
        std::snprintf(line, sizeof line, "  %-42s %5zu %7zd\n", c.name, runs.size(), passes);
        t << line;
    }
    std::fputs(t.str().c_str(), stdout);
    std::fflush(stdout);
    const fs::path dir = fs::path(env("TAVROVPN_BINARY_DIR")) / "faults";
    std::error_code ec;
    fs::create_directories(dir, ec);
    std::ofstream(dir / (std::string(p.name) + ".txt")) << t.str();
}

void runSuite(const Protocol& p) {
    Rig rig(p);
    const std::string error = rig.up();
    ASSERT_TRUE(error.empty()) << error;
    std::map<std::string, std::vector<RunResult>> results;
    RunResult* previous = nullptr; // its "next connect succeeds" is this run's connect
    const int runs = runsPerCase();
    for (int run = 0; run < runs; ++run) {
        for (const FaultCase& c : kCases) {
            // TAVROVPN_FAULT_ONLY narrows the suite to the cases whose name holds it (debugging).
            if (!env("TAVROVPN_FAULT_ONLY").empty() && std::string(c.name).find(env("TAVROVPN_FAULT_ONLY")) == std::string::npos)
                continue;
            RunResult& r = results[c.name].emplace_back();
            std::string why;
            const bool connecting = c.fault == Fault::AppKilledConnecting;
            const bool up = rig.connect(why, connecting);
            if (previous && !up) {
                previous->passed = false;
                previous->why += "the next connect failed: " + why + "; ";
            }
            if (!up) {
                r.why = "connect: " + why + "\n" + rig.appOutput();
                rig.settle(c.fault);
                previous = nullptr;
                continue;
            }
            rig.inject(c.fault);
            r.why = rig.settle(c.fault);
            r.passed = r.why.empty();
            if (!r.passed) r.why += "\n--- the application's output, last part:\n" + tail(rig.appOutput(), 3000);
            previous = &r;
        }
    }
    // The last run's next connect, ended by the user's quit.
    std::string why;
    if (previous && (!rig.connect(why) || !(why = rig.quit()).empty())) {
        previous->passed = false;
        previous->why += "the next connect: " + why + "; ";
    }
    printTable(p, results);
    for (const auto& [name, list] : results)
        for (size_t i = 0; i < list.size(); ++i)
            EXPECT_TRUE(list[i].passed) << name << ", run " << i + 1 << ": " << list[i].why;
}

class Faults : public ::testing::Test {
protected:
    // The suite itself runs in a child with a private /etc; this process only reports it.
    bool delegated() {
        if (geteuid() != 0) {
            skip = true;
            return true;
        }
        if (privateetc::inside()) return false;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        EXPECT_EQ(privateetc::runSelf({std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name()}), 0)
            << "the suite failed inside the private mount namespace";
        return true;
    }
    bool skip = false;
};

TEST_F(Faults, OpenVPNLeavesNothingBehind) {
    if (delegated()) {
        if (skip) GTEST_SKIP() << "needs root: network namespaces, tun devices, the helper as root";
        return;
    }
    runSuite(kOpenVPN);
}

TEST_F(Faults, OpenConnectLeavesNothingBehind) {
    if (delegated()) {
        if (skip) GTEST_SKIP() << "needs root: network namespaces, tun devices, the helper as root";
        return;
    }
    runSuite(kOpenConnect);
}

} // namespace
