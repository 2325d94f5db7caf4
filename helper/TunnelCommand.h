#pragma once
#include <string>
#include <string_view>
#include <vector>

// The lines a tunnel channel carries. The application sends exactly four shapes, built from the
// root path R of the channel's start command:
//   cp /etc/resolv.conf "R/OpenVPN/"                        keep a copy of the resolver
//   "R/OpenVPN/set-dns.sh" openvpn ADDR                     switch to the tunnel's server
//   "R/OpenVPN/set-dns.sh" localhost ADDR ADDR ...          switch back
//   kill -HUP $(cat "R/openconnect/childpid")               stop openconnect
// (the openconnect path escaped for double quotes). Each ADDR is an IP literal; the switch line
// may come without one (the tunnel pushed none) and the restore line with none. Nothing else is a
// tunnel line: the helper runs these as its own operations, never as shell text.
namespace helper {

enum class TunnelLineKind { SaveResolver, SwitchDns, RestoreDns, StopOpenConnect, ReconnectOpenConnect, Foreign };

struct TunnelLine {
    TunnelLineKind kind = TunnelLineKind::Foreign;
    std::vector<std::string> addresses; // SwitchDns: at most one; RestoreDns: in the order sent
};

TunnelLine parseTunnelLine(std::string_view line, const std::string& rootPath);

// The designed texts, built from the root path (what the application sends).
std::string saveResolverLineFor(const std::string& rootPath);
std::string reconnectOpenConnectLineFor(const std::string& rootPath);
std::string setDnsPrefixFor(const std::string& rootPath); // "\"R/OpenVPN/set-dns.sh\" "
std::string stopOpenConnectLineFor(const std::string& rootPath);

} // namespace helper
