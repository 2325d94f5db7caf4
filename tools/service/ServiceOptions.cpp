#include "tools/service/ServiceOptions.h"

#include "tools/service/ServerHostRewriter.h"

#include <arpa/inet.h>
#include <charconv>
#include <string_view>

namespace {

bool parseListen(std::string_view value, std::string& host, int& port) {
    std::string_view h, p;
    if (value.starts_with("[")) {
        const auto close = value.find("]:");
        if (close == std::string_view::npos) return false;
        h = value.substr(1, close - 1);
        p = value.substr(close + 2);
    } else {
        const auto colon = value.rfind(':');
        if (colon == std::string_view::npos) return false;
        h = value.substr(0, colon);
        p = value.substr(colon + 1);
    }
    unsigned char buf[16];
    const std::string hs(h);
    if (inet_pton(AF_INET, hs.c_str(), buf) != 1 && inet_pton(AF_INET6, hs.c_str(), buf) != 1) return false;
    int n = 0;
    auto [ptr, ec] = std::from_chars(p.data(), p.data() + p.size(), n);
    if (p.empty() || ec != std::errc() || ptr != p.data() + p.size() || n < 0 || n > 65535) return false;
    host = hs;
    port = n;
    return true;
}

} // namespace

std::string ServiceOptions::usage() {
    return "usage: tavro-service --state-dir DIR [--listen IP:PORT] [--data-dir DIR]\n"
           "         [--serverlist FILE] [--update-file FILE] [--ovpn-dir DIR] [--ovpn-default FILE]\n"
           "         [--openvpn-host HOST] [--openconnect-host HOST] [--accounts FILE] [--account "
           "USER:PASS]...\n"
           "         [--public-address ADDR] [--record FILE] [--fault RULE]...\n"
           "  --listen        address to listen on (default 127.0.0.1:8443; port 0 picks a free port)\n"
           "  --state-dir     where ca.pem, server.pem/.key, the control file \"faults\" and \"ready\" go\n"
           "  --serverlist, --update-file   a bare file name is taken from the data directory\n"
           "  --openvpn-host, --openconnect-host   put this host into every Server / OCServer element\n"
           "  --fault RULE    refuse[@PATH] | delay=MS[@PATH] | broken-xml[@PATH] | login-html |\n"
           "                  login-code[=N] | status=CODE[@PATH]   (PATH exact, or a prefix ending in *)\n";
}

std::optional<ServiceOptions> ServiceOptions::parse(int argc, const char* const* argv,
                                                    const std::string& defaultDataDir, std::string* error) {
    ServiceOptions o;
    o.dataDir = defaultDataDir;
    auto fail = [&](std::string why) -> std::optional<ServiceOptions> {
        if (error) *error = std::move(why);
        return std::nullopt;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") return fail("");
        if (i + 1 >= argc) return fail("missing value for " + std::string(arg));
        const std::string value = argv[++i];
        if (arg == "--listen") {
            if (!parseListen(value, o.listenHost, o.listenPort))
                return fail("--listen needs IP:PORT, got " + value);
        } else if (arg == "--state-dir") {
            o.stateDir = value;
        } else if (arg == "--data-dir") {
            o.dataDir = value;
        } else if (arg == "--serverlist") {
            o.serverListFile = value;
        } else if (arg == "--update-file") {
            o.updateFile = value;
        } else if (arg == "--ovpn-dir") {
            o.ovpnDir = value;
        } else if (arg == "--ovpn-default") {
            o.ovpnDefault = value;
        } else if (arg == "--openvpn-host" || arg == "--openconnect-host") {
            if (!ServerHostRewriter::isValidHost(value))
                return fail(std::string(arg) + ": not a host: " + value);
            (arg == "--openvpn-host" ? o.openvpnHost : o.openconnectHost) = value;
        } else if (arg == "--accounts") {
            o.accountsFile = value;
        } else if (arg == "--account") {
            if (value.find(':') == std::string::npos || value.front() == ':')
                return fail("--account needs USER:PASSWORD");
            o.accounts.push_back(value);
        } else if (arg == "--public-address") {
            if (!ServerHostRewriter::isValidHost(value))
                return fail("--public-address: not an address: " + value);
            o.publicAddress = value;
        } else if (arg == "--record") {
            o.recordFile = value;
        } else if (arg == "--fault") {
            std::string why;
            auto fault = FaultSet::parseRule(value, &why);
            if (!fault) return fail("--fault " + value + ": " + why);
            o.faults.push_back(std::move(*fault));
        } else {
            return fail("unknown option " + std::string(arg));
        }
    }
    if (o.stateDir.empty()) return fail("--state-dir is required");
    if (o.dataDir.empty()) return fail("--data-dir is required");
    return o;
}

std::string ServiceOptions::resolveDataFile(const std::string& value, const std::string& fallbackName) const {
    if (value.empty()) return dataDir + "/" + fallbackName;
    if (value.find('/') == std::string::npos) return dataDir + "/" + value;
    return value;
}

std::string ServiceOptions::authority(int port) const {
    std::string host = listenHost;
    if (host == "0.0.0.0") host = "127.0.0.1";
    if (host == "::") host = "::1";
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return host + ":" + std::to_string(port);
}
