#pragma once
// What the application's L2TP flow meets: the local service (server list whose servers are the
// given L2TP gateway, public-address query), the real tvapphelper under its supervisor with its
// stores in the scratch folder, and the preferences of a manual L2TP choice. NetworkManager is
// whatever the system bus reaches ($DBUS_SYSTEM_BUS_ADDRESS: the fixture's, or the guest's own).
// Root only. Used by the NetworkManager end-to-end test and by the QEMU guest's client.
#include "HelperUnderSupervisor.h"
#include "LocalService.h"
#include "ProcessUtil.h"
#include "ServerListFromService.h"
#include "platform/Defaults.h"
#include "platform/Task.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace l2tpenv {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using testsupport::env;

template <class Pred> bool waitPlain(Pred pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

class Environment {
public:
    ~Environment() { down(); }

    // Empty on success, otherwise what went wrong (everything started so far is stopped again).
    // The helper serves root and the uids in allowed (their processes can reach its socket).
    std::string up(const std::string& gateway, const std::vector<uid_t>& allowed = {}) {
        if (geteuid() != 0) return "needs root";
        const fs::path bin = env("TAVROVPN_BINARY_DIR");
        const fs::path helperExe = bin / "helper/tvapphelper";
        const fs::path supervise = bin / "tools/supervisor/tvapphelper-supervise";
        if (!fs::exists(helperExe) || !fs::exists(supervise))
            return "build tvapphelper and tvapphelper-supervise first";
        char tmpl[] = "/tmp/tv-l2tp-XXXXXX";
        if (!mkdtemp(tmpl)) return "mkdtemp failed";
        tmp = tmpl;
        fs::permissions(tmp, fs::perms(0755));
        // The OpenConnect servers are loopback ones: an attempt the cycle moves on to stays here.
        service = std::make_unique<LocalService>(
            std::vector<std::string>{"--openvpn-host", gateway, "--openconnect-host", "127.0.0.1"});
        if (!service->start()) return down("tavro-service did not start");
        service->exportEnv();
        setenv("XDG_DATA_HOME", (tmp / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (tmp / "config").c_str(), 1);
        setenv("XDG_CACHE_HOME", (tmp / "cache").c_str(), 1);
        supervisor = std::make_unique<platform::Task>();
        supervisor->standardOutput = platform::Task::Stdio::Null;
        if (!testsupport::launchHelperUnderSupervisor(*supervisor, tmp, supervise, helperExe, {}, allowed) ||
            !waitPlain([&] { return fs::exists(tmp / "helper.ipc"); }, 10s))
            return down("the helper did not come up");
        platform::Defaults& d = platform::Defaults::standard();
        d.reload();
        d.setString("ProtcolChoice", "L2TP");
        d.setInteger("ProtcolSelAuto", 0);
        d.setString("regionNumber", "0");
        d.removeObject("SuccessProtcol");
        if (!testsupport::loadServerListFromService()) return down("the server list could not be loaded");
        return {};
    }

    std::string down(const std::string& why = {}) {
        if (supervisor) {
            testsupport::stopTask(*supervisor);
            supervisor.reset();
        }
        service.reset();
        if (!tmp.empty()) {
            std::error_code ec;
            fs::remove_all(tmp, ec);
            tmp.clear();
        }
        return why;
    }

    static std::string leakDispatcherScript() { return testsupport::leakDispatcherScript(); }

    fs::path tmp;
    std::unique_ptr<LocalService> service;
    std::unique_ptr<platform::Task> supervisor;
};

} // namespace l2tpenv
