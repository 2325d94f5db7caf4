#pragma once
// Everything the application's OpenVPN flow meets in real life, brought up for one process: a real
// OpenVPN server in a network namespace (tools/fixtures/ovpn-fixture.sh), the local service serving
// that server's client configuration under its server name, the real tvapphelper under its respawn
// supervisor, and a fresh working folder copied from the bundle. Root only.
//
// The process must run in a private mount namespace with /etc overlaid (see PrivateEtc.h), so
// that the DNS switch never touches the machine's own resolver.
#include "HelperUnderSupervisor.h"
#include "LocalService.h"
#include "PrivateEtc.h"
#include "ProcessUtil.h"
#include "ServerListFromService.h"
#include "app/service/Constants.h"
#include "platform/Defaults.h"
#include "platform/Paths.h"
#include "platform/Task.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace flowenv {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline const char* kUser = "tb000001";
inline const char* kPassword = "secret1";
inline const char* kNet = "10.216"; // apart from the demo's and the channel test's networks
inline const char* kNamespace = "tvovpnflow";
inline std::string serverAddress() {
    return std::string(kNet) + ".0.2";
}
inline std::string pushedDns() {
    return std::string(kNet) + ".8.53";
}

using testsupport::portFree;
using testsupport::processesIn;
using testsupport::readFile;
using testsupport::waitFor;

using testsupport::commandOutput;
using testsupport::env;

class Environment {
public:
    ~Environment() { down(); }

    // Empty on success, otherwise what went wrong (everything started so far is stopped again).
    std::string up() {
        if (geteuid() != 0) return "needs root";
        if (!privateetc::etcIsOverlay()) return "refusing to run: /etc is not a private overlay in this process";
        if (!portFree(17505)) return "127.0.0.1:17505 is busy: another openvpn management endpoint runs";
        const fs::path bin = env("TAVROVPN_BINARY_DIR");
        const fs::path helperExe = bin / "helper/tvapphelper";
        const fs::path supervise = bin / "tools/supervisor/tvapphelper-supervise";
        if (!fs::exists(helperExe) || !fs::exists(supervise))
            return "build tvapphelper and tvapphelper-supervise first";

        char tmpl[] = "/tmp/tv-ovpnflow-XXXXXX";
        if (!mkdtemp(tmpl)) return "mkdtemp failed";
        tmp = tmpl;
        setenv("OVPN_FIXTURE_DIR", (tmp / "fixture").c_str(), 1);
        setenv("OVPN_FIXTURE_NS", kNamespace, 1);
        setenv("OVPN_FIXTURE_NET", kNet, 1);
        setenv("OVPN_FIXTURE_USER", kUser, 1);
        setenv("OVPN_FIXTURE_PASSWORD", kPassword, 1);
        setenv("OVPN_FIXTURE_ROUTE", "yes", 1); // NET.9.0/24 through the tunnel
        if (fixture("up") != 0) {
            fixture("down");
            return "ovpn-fixture.sh up failed";
        }
        fixtureUp_ = true;
        // Route guard: the server must be reached over the fixture's veth, never the default route.
        const std::string route = commandOutput("ip -4 route get " + serverAddress() + " 2>&1");
        if (route.find(std::string(" dev ") + kNamespace + "h ") == std::string::npos)
            return down("route guard: " + serverAddress() +
                        " would not leave through the fixture veth: " + route);

        service = std::make_unique<LocalService>(std::vector<std::string>{
            "--openvpn-host", serverAddress(), "--ovpn-dir", (tmp / "fixture/client").string()});
        if (!service->start()) return down("tavro-service did not start");
        service->exportEnv();

        setenv("XDG_DATA_HOME", (tmp / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (tmp / "config").c_str(), 1);
        setenv("XDG_CACHE_HOME", (tmp / "cache").c_str(), 1);
        root = Constants::tvrootPath();
        std::error_code ec;
        fs::create_directories(root, ec);
        fs::copy(platform::bundlePath() + "/Contents/Resources/OpenVPN", root / "OpenVPN",
                 fs::copy_options::recursive, ec);
        if (ec || !fs::exists(root / "OpenVPN/set-dns.sh") || !fs::exists(root / "OpenVPN/openvpn"))
            return down("the bundle's OpenVPN folder is incomplete (build tavrovpn_resources)");

        // set-dns.sh keeps its record here rather than in the machine's /run.
        setenv("TAVROVPN_DNS_STATE_DIR", (tmp / "dns-state").c_str(), 1);
        supervisor = std::make_unique<platform::Task>();
        supervisor->standardOutput = platform::Task::Stdio::Null;
        if (!testsupport::launchHelperUnderSupervisor(*supervisor, tmp, supervise, helperExe) ||
            !waitFor([&] { return fs::exists(tmp / "helper.ipc"); }, 10s))
            return down("the helper did not come up");

        platform::Defaults& d = platform::Defaults::standard();
        d.setString("ProtcolChoice", "OpenVPN");
        d.setInteger("ProtcolSelAuto", 0);
        d.setString("regionNumber", "0");
        if (!testsupport::loadServerListFromService())
            return down("the server list could not be loaded from the service");
        resolvBefore = readFile("/etc/resolv.conf");
        return {};
    }

    std::string down(const std::string& why = {}) {
        if (!root.empty())
            for (pid_t p : processesIn(root / "OpenVPN"))
                kill(p, SIGTERM); // a failed test's leftover
        if (supervisor) {
            testsupport::stopTask(*supervisor);
            supervisor.reset();
        }
        service.reset();
        if (fixtureUp_) fixture("down");
        fixtureUp_ = false;
        if (!tmp.empty()) {
            std::error_code ec;
            fs::remove_all(tmp, ec);
            tmp.clear();
        }
        return why;
    }

    std::vector<pid_t> openvpnProcesses() const { return processesIn(root / "OpenVPN"); }

    // The client's tun device, from its log ("TUN/TAP device tunN opened").
    std::string tunDevice() const {
        static const std::regex re(R"(TUN/TAP device (\S+) opened)");
        std::smatch m;
        const std::string log = readFile(root / "OpenVPN/ovpn.log");
        return std::regex_search(log, m, re) ? m[1].str() : std::string();
    }

    pid_t serverPid() const {
        const std::string text = readFile(tmp / "fixture/server/server.pid");
        return static_cast<pid_t>(std::atol(text.c_str()));
    }

    fs::path tmp, root;
    std::string resolvBefore;
    std::unique_ptr<LocalService> service;
    std::unique_ptr<platform::Task> supervisor;

private:
    static int fixture(const std::string& verb) { return testsupport::runFixture("ovpn-fixture.sh", verb); }
    bool fixtureUp_ = false;
};

} // namespace flowenv
