#pragma once
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// While a tunnel is up, only the tunnel carries traffic: an nftables table of our own,
// "inet tavrovpn", drops every packet leaving through any interface but loopback and the tunnel,
// except the tunnel's own transport to the VPN server, DHCP and IPv6 neighbour discovery on the
// local link, and the local network's subnets (never DNS, ports 53 and 853, outside the tunnel).
//
// The table has one owner at a time, noted in <state>/leak-block (<state> being set-dns.sh's state
// folder): a helper instance (pid and start time), or the L2TP profile's interface. A table whose
// owner is gone is removed by the next helper instance, --cleanup, or the package's removal.
namespace helper {

struct LeakTransport {
    std::string protocol; // "udp", "tcp" or "esp"
    unsigned port = 0;    // 0 for esp
};

struct LeakBlockPlan {
    std::string tunnel;                    // the tunnel's interface
    std::vector<std::string> servers;      // IP literals
    std::vector<LeakTransport> transports; // to the servers
    std::vector<std::string> localSubnets; // IP prefixes (ADDR/LEN) of the local network
};

struct LeakOwner {
    enum class Kind { None, Helper, L2tp } kind = Kind::None;
    pid_t pid = 0;
    unsigned long long start = 0;
    std::string interface; // L2tp
};

bool validInterfaceName(std::string_view name);
// An IP literal of either family, as inet_pton reads it; family is AF_INET or AF_INET6.
bool ipLiteral(std::string_view text, int* family = nullptr);
// ADDR/LEN with ADDR an IP literal and LEN within its family's width.
bool ipPrefix(std::string_view text, int* family = nullptr);

// The nft script that replaces the table in one transaction; empty (with why) when a field of the
// plan is not what it must be.
std::string leakBlockRules(const LeakBlockPlan& plan, std::string& why);

// The subnets of the addresses on the machine's interfaces other than loopback and `tunnel`.
std::vector<std::string> localSubnets(const std::string& tunnel);

// The transport of an openvpn client from its log: the last "… link remote: [AF_INET]A:P" line.
bool openVpnTransportFromLog(std::string_view log, std::string& server, LeakTransport& transport);
// The tun/tap interface a process holds open (/proc/PID/fdinfo "iff:"); empty when none.
std::string tunnelInterfaceOf(pid_t pid);

// Applies the plan for the owner. On any failure nothing is left applied and "leak block refused:
// <why>" is logged: the tunnel runs on without the block.
bool applyLeakBlock(const LeakBlockPlan& plan, const LeakOwner& owner);
// Removes the table when `owner` holds it (Kind::None: whoever holds it).
void removeLeakBlock(const LeakOwner& owner);
// Removes a table whose owner is gone (or that has no owner noted).
void removeStaleLeakBlock();

LeakOwner leakOwnerOfThisHelper();
bool parseLeakOwner(std::string_view text, LeakOwner& owner);
std::string leakOwnerText(const LeakOwner& owner);

// tvapphelper --leak-block ...: the calls of openconnect's routing script and of the NetworkManager
// dispatcher script. Returns the process's exit status.
int leakBlockCommand(const std::vector<std::string>& args);

} // namespace helper
