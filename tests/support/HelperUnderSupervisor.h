#pragma once
// Starting and stopping the real tvapphelper under its respawn supervisor, the way the root-only
// suites run it: socket and allow file in the suite's scratch folder.
#include "ProcessUtil.h"
#include "platform/Task.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// Writes dir/allow (root and the uids in allowed, owner-only), points TVAPPHELPER_SOCKET at
// dir/helper.ipc, TVAPPHELPER_ALLOW_FILE at dir/allow, TVAPPHELPER_STATE_DIR at dir/state,
// TVAPPHELPER_LOG_FILE at dir/helper.log (every instance's lines) and (unless set)
// TAVROVPN_DNS_STATE_DIR at dir/dns-state, and
// launches the supervisor (pidfile dir/supervise.pid) over the helper. A non-empty wrapper is a
// command the supervisor is started through (its arguments followed by the supervisor's command
// line). The caller waits for the socket.
inline bool launchHelperUnderSupervisor(platform::Task& supervisor, const std::filesystem::path& dir,
                                        const std::filesystem::path& supervise,
                                        const std::filesystem::path& helper,
                                        const std::vector<std::string>& wrapper = {},
                                        const std::vector<uid_t>& allowed = {}) {
    namespace fs = std::filesystem;
    {
        std::ofstream allow(dir / "allow");
        allow << "0\n";
        for (uid_t uid : allowed)
            allow << uid << "\n";
    }
    fs::permissions(dir / "allow", fs::perms::owner_read | fs::perms::owner_write);
    setenv("TVAPPHELPER_SOCKET", (dir / "helper.ipc").c_str(), 1);
    setenv("TVAPPHELPER_ALLOW_FILE", (dir / "allow").c_str(), 1);
    setenv("TVAPPHELPER_STATE_DIR", (dir / "state").c_str(), 1);
    setenv("TVAPPHELPER_LOG_FILE", (dir / "helper.log").c_str(), 1);
    // The resolver's and the tunnels' records stay in the scratch folder too.
    if (!std::getenv("TAVROVPN_DNS_STATE_DIR"))
        setenv("TAVROVPN_DNS_STATE_DIR", (dir / "dns-state").c_str(), 1);
    std::vector<std::string> command = wrapper;
    for (const std::string& a : {supervise.string(), std::string("--pidfile"),
                                 (dir / "supervise.pid").string(), std::string("--"), helper.string()})
        command.push_back(a);
    supervisor.launchPath = command.front();
    supervisor.arguments.assign(command.begin() + 1, command.end());
    return supervisor.launch();
}

// SIGTERM, then SIGKILL if it has not ended within 10 s.
inline void stopTask(platform::Task& t) {
    using namespace std::chrono_literals;
    t.terminate();
    if (!t.waitUntilExit(10s)) {
        t.kill();
        t.waitUntilExit(5s);
    }
}

// NetworkManager's dispatcher script as the package installs it, for the built helper and the
// stores of this run (TVAPPHELPER_STATE_DIR, TAVROVPN_DNS_STATE_DIR); empty when its form changed.
inline std::string leakDispatcherScript() {
    std::string script = readFile(env("TAVROVPN_SOURCE_DIR") + "/tools/install/90-tavrovpn-leak-block");
    const std::string installed = "HELPER=/usr/local/libexec/tavrovpn/tvapphelper\n";
    const size_t at = script.find(installed);
    if (at == std::string::npos) return {};
    const auto exported = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string("export ") + name + "=" + shellQuoted(value ? value : "") + "\n";
    };
    script.replace(at, installed.size(),
                   "HELPER=" + env("TAVROVPN_BINARY_DIR") + "/helper/tvapphelper\n" +
                       exported("TVAPPHELPER_STATE_DIR") + exported("TAVROVPN_DNS_STATE_DIR"));
    return script;
}

} // namespace testsupport
