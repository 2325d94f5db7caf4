#pragma once
#include "protocol/HelperProtocol.h"
#include <string>
#include <string_view>
#include <vector>

// DNS handling around an OpenVPN tunnel: the resolver addresses in force, and the shell lines that
// the helper runs as root on the tunnel channel to switch to the pushed server and back.

// Nameserver addresses of the system resolver (/etc/resolv.conf; $TAVROVPN_RESOLV_CONF for tests),
// in file order. Entries that are not IP literals are left out.
std::vector<std::string> GetCurrentDNSAddresses();

namespace dns {

// The helper reads each tunnel command with one 512-byte receive and drops the channel when a
// command fills it: every line we send stays below that.
inline constexpr size_t kMaxCommandLine = 511;

std::string resolvConfPath();

// Only an IPv4 or IPv6 address literal may enter a line.
using protocol::isIpLiteral;

// "nameserver" addresses of a resolv.conf text, in order, invalid ones dropped.
std::vector<std::string> parseNameservers(std::string_view resolvConf);

// The working folder is put inside double quotes: characters the shell still expands there (or a
// line break) would turn a path into a command, so such a folder gets no DNS lines at all.
bool rootUsableInLine(const std::string& root);

// cp /etc/resolv.conf "<root>/OpenVPN/"
std::string saveResolverLine(const std::string& root);
// "<root>/OpenVPN/set-dns.sh" openvpn <address>   (an invalid address counts as none)
std::string switchLine(const std::string& root, const std::string& address);
// "<root>/OpenVPN/set-dns.sh" localhost <a1> <a2> ... each address followed by a space; invalid
// addresses are dropped and the list is cut where the line would no longer fit.
std::string restoreLine(const std::string& root, const std::vector<std::string>& addresses);

// One line as one message, without terminator; errors are ignored (no SIGPIPE on a closed peer).
void sendLine(int fd, const std::string& line);

} // namespace dns
