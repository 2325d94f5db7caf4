#pragma once
// The dual-stack local network around a VPN server fixture (tools/fixtures/leak-net.sh), and the
// checks of what leaves outside the tunnel: taken before the connect, while 接続中 and after the
// stop, judged and printed as one table (check, expected, seen). Root only; the process must run
// in a network namespace of its own (the machine's default routes are set for the test).
#include "ProcessUtil.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

class LeakNet {
public:
    // serverNs: the VPN server fixture's namespace; tunnelNet: the tunnel's IPv4 network (a /24),
    // tunnelDns: its pushed DNS server; inet4: an address inside a route the tunnel pushes.
    LeakNet(std::string dir, std::string serverNs, std::string tunnelNet, std::string tunnelDns, std::string inet4)
        : vars_{{"LEAK_PREFIX", "tvlk"},          {"LEAK_DIR", std::move(dir)},
                {"LEAK_SERVER_NS", std::move(serverNs)}, {"LEAK_TUNNEL_NET", std::move(tunnelNet)},
                {"LEAK_TUNNEL_DNS", std::move(tunnelDns)}, {"LEAK_INET4", std::move(inet4)}} {}
    ~LeakNet() { down(); }

    bool up() {
        exportVars();
        up_ = runFixture("leak-net.sh", "up") == 0;
        return up_;
    }
    void down() {
        if (!up_) return;
        exportVars();
        runFixture("leak-net.sh", "down");
        up_ = false;
    }

    using Seen = std::map<std::string, std::string>;
    Seen probe() {
        exportVars();
        std::string out;
        runFixture("leak-net.sh", "probe", &out);
        Seen seen;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            if (const size_t bar = line.find('|'); bar != std::string::npos)
                seen[line.substr(0, bar)] = line.substr(bar + 1);
        return seen;
    }

    // The helper's table, as nft lists it.
    static bool blockPresent() { return std::system("nft list table inet tavrovpn >/dev/null 2>&1") == 0; }

    // Judges the three probes and whether the table was there while connected and after the stop;
    // the table of checks goes to stdout, the failures into the returned text.
    std::string judge(const Seen& before, const Seen& connected, const Seen& after, bool blockWhileUp,
                      bool blockAfter, const std::string& title) const {
        const std::string tunnelPrefix = vars_.at("LEAK_TUNNEL_NET").substr(0, vars_.at("LEAK_TUNNEL_NET").rfind('.') + 1);
        struct Row {
            std::string check, expected;
            bool (*ok)(const std::string& seen, const std::string& arg);
            std::string arg;
        };
        const auto blocked = [](const std::string& s, const std::string&) {
            return s.rfind("no answer", 0) == 0 || s.rfind("refused", 0) == 0;
        };
        const auto startsWith = [](const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; };
        const std::vector<Row> whileUp = {
            {"ipv6 to the internet host", "no answer", blocked, ""},
            {"ipv4 to the internet host", "from " + tunnelPrefix + "x (the tunnel)", startsWith, tunnelPrefix},
            {"query to the local resolver", "no answer", blocked, ""},
            {"query through the pushed DNS server", "answered 192.0.2.8", startsWith, "answered 192.0.2.8"},
            {"local subnet service", "192.168.77.2", startsWith, "192.168.77.2"},
        };
        std::string failures;
        std::printf("%s\n  %-48s %-34s %s\n", title.c_str(), "check", "expected", "seen");
        const auto row = [&](const std::string& check, const std::string& expected, const std::string& seen, bool ok) {
            std::printf("  %-48s %-34s %s%s\n", check.c_str(), expected.c_str(), seen.c_str(), ok ? "" : "   <-- FAIL");
            if (!ok) failures += check + ": expected " + expected + ", seen " + seen + "\n";
        };
        const auto at = [](const Seen& s, const std::string& k) {
            const auto it = s.find(k);
            return it == s.end() ? std::string("(no probe)") : it->second;
        };
        row("before: ipv6 to the internet host", "fd77::2 (local network)", at(before, whileUp[0].check),
            at(before, whileUp[0].check) == "fd77::2");
        row("before: ipv4 to the internet host", "192.168.77.2 (local network)", at(before, whileUp[1].check),
            at(before, whileUp[1].check) == "192.168.77.2");
        row("before: query to the local resolver", "answered 192.0.2.77", at(before, whileUp[2].check),
            at(before, whileUp[2].check) == "answered 192.0.2.77");
        for (const Row& r : whileUp)
            row("connected: " + r.check, r.expected, at(connected, r.check), r.ok(at(connected, r.check), r.arg));
        row("connected: table inet tavrovpn", "present", blockWhileUp ? "present" : "absent", blockWhileUp);
        for (const Row& r : whileUp)
            row("after the stop: " + r.check, "as before", at(after, r.check), at(after, r.check) == at(before, r.check));
        row("after the stop: table inet tavrovpn", "absent", blockAfter ? "present" : "absent", !blockAfter);
        std::fflush(stdout);
        return failures;
    }

private:
    void exportVars() const {
        for (const auto& [k, v] : vars_)
            setenv(k.c_str(), v.c_str(), 1);
    }
    std::map<std::string, std::string> vars_;
    bool up_ = false;
};

} // namespace testsupport
