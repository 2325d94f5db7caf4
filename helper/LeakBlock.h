#pragma once
#include "protocol/HelperProtocol.h"
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
// folder): a helper instance (pid and start time), or the provisioned L2TP profile (its interface
// and UUID), each with the user whose tunnel it protects. Only its owner lifts it, and a tunnel of
// another user never replaces it. A table whose owner is gone is removed by the next helper
// instance, --cleanup, or the package's removal.
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
    static constexpr uid_t kNoUser = static_cast<uid_t>(-1);
    enum class Kind { None, Helper, L2tp } kind = Kind::None;
    pid_t pid = 0;
    unsigned long long start = 0;
    std::string interface; // the tunnel's (L2tp always; Helper when known)
    std::string uuid;      // L2tp: the profile's
    uid_t user = kNoUser;  // whose tunnel it protects
};

bool validInterfaceName(std::string_view name);
// An IP literal of either family; family is AF_INET or AF_INET6.
inline bool ipLiteral(std::string_view text, int* family = nullptr) { return protocol::isIpLiteral(text, family); }
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

// Applies the plan for the owner, in place of a block of the same user's or of one whose owner is
// gone; a live block of another user's tunnel stays. On any failure nothing is left applied and
// "leak block refused: <why>" is logged: the tunnel runs on without the block.
bool applyLeakBlock(const LeakBlockPlan& plan, const LeakOwner& owner);
// Removes the table when `owner` holds it: the same helper instance (and interface, when owner
// names one), or the same L2TP interface and UUID. Kind::None: whoever holds it.
void removeLeakBlock(const LeakOwner& owner);
// The user whose live tunnel the block in force protects; kNoUser when none is in force.
uid_t leakBlockUser();
// Removes a table whose owner is gone (or that has no owner noted).
void removeStaleLeakBlock();

// This helper instance, for the user whose request it serves.
LeakOwner leakOwnerOfThisHelper(uid_t user = LeakOwner::kNoUser);
bool parseLeakOwner(std::string_view text, LeakOwner& owner);
std::string leakOwnerText(const LeakOwner& owner);

// tvapphelper --leak-block ...: the calls of openconnect's routing script and of the NetworkManager
// dispatcher script. Returns the process's exit status.
int leakBlockCommand(const std::vector<std::string>& args);

} // namespace helper
