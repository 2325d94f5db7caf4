#include "helper/LeakBlock.h"

#include "helper/HelperLog.h"
#include "helper/SystemServiceProfile.h"
#include "helper/TunnelRecord.h"
#include "helper/UniqueFd.h"
#include "helper/WorkingFolder.h"
#include "platform/FileIO.h"
#include "platform/NetworkPreferences.h"
#include "platform/Task.h"
#include "protocol/HelperProtocol.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace helper {
namespace {

using namespace std::chrono_literals;

constexpr const char* kNft = "/usr/sbin/nft";
constexpr auto kNftWait = 10s;
constexpr size_t kMaxOwnerBytes = 128;
constexpr int kMaxFdinfo = 1024;
// The openconnect URL is always https://HOST:443/ (the same port for DTLS).
constexpr unsigned kOpenConnectPort = protocol::kOpenConnectPort;

std::string stateDir() {
    const std::string records = tunnelRecordDir();
    return records.substr(0, records.rfind('/'));
}

std::string ownerPath() {
    return stateDir() + "/leak-block";
}

bool allowedInterfaceChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
}

// Masks the address to its prefix: nft takes networks, not host addresses with a length.
std::string networkText(int family, const unsigned char* addr, unsigned len) {
    unsigned char net[sizeof(in6_addr)] = {};
    const unsigned bytes = family == AF_INET ? 4 : 16;
    for (unsigned i = 0; i < bytes; ++i) {
        const unsigned bits = len >= (i + 1) * 8 ? 8 : (len > i * 8 ? len - i * 8 : 0);
        net[i] = static_cast<unsigned char>(addr[i] & (bits ? (0xff << (8 - bits)) & 0xff : 0));
    }
    char text[INET6_ADDRSTRLEN];
    if (!inet_ntop(family, net, text, sizeof text)) return {};
    return std::string(text) + "/" + std::to_string(len);
}

unsigned prefixLength(int family, const sockaddr* mask) {
    const unsigned char* b = family == AF_INET
        ? reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in*>(mask)->sin_addr)
        : reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in6*>(mask)->sin6_addr);
    unsigned len = 0;
    for (unsigned i = 0; i < (family == AF_INET ? 4u : 16u); ++i)
        for (int bit = 7; bit >= 0; --bit) {
            if (!(b[i] & (1 << bit))) return len;
            ++len;
        }
    return len;
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& s : items)
        out += (out.empty() ? "" : ", ") + s;
    return out;
}

// Runs nft with the script on its standard input; false with nft's first error line in why.
bool runNft(const std::vector<std::string>& args, const std::string& script, std::string& why) {
    if (::access(kNft, X_OK) != 0) {
        why = std::string(kNft) + " is not installed";
        return false;
    }
    UniqueFd in(::memfd_create("nft-in", MFD_CLOEXEC));
    UniqueFd err(::memfd_create("nft-err", MFD_CLOEXEC));
    if (!in.valid() || !err.valid() || !writeAll(in.get(), script) || ::lseek(in.get(), 0, SEEK_SET) != 0) {
        why = std::string("no memory file: ") + std::strerror(errno);
        return false;
    }
    platform::Task task;
    task.launchPath = kNft;
    task.arguments = args;
    task.currentDirectory = "/";
    task.standardOutput = platform::Task::Stdio::Null;
    task.passedDescriptors = {{in.get(), 0}, {err.get(), 2}};
    if (!task.launch()) {
        why = std::string("nft could not be started: ") + std::strerror(errno);
        return false;
    }
    if (!task.waitUntilExit(kNftWait)) {
        task.kill();
        task.waitUntilExit(1s);
        why = "nft did not finish";
        return false;
    }
    if (task.terminationStatus() == 0) return true;
    std::string text;
    ::lseek(err.get(), 0, SEEK_SET);
    readAll(err.get(), 4096, text);
    const size_t nl = text.find('\n');
    why = "nft: " + escapedForLog(text.substr(0, nl));
    return false;
}

bool deleteTable(std::string& why) {
    return runNft({"delete", "table", "inet", "tavrovpn"}, "", why);
}

bool readOwner(LeakOwner& owner) {
    UniqueFd fd(::open(ownerPath().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st {};
    std::string text;
    return fd.valid() && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
           readAll(fd.get(), kMaxOwnerBytes, text) && parseLeakOwner(text, owner);
}

bool writeOwner(const LeakOwner& owner) {
    std::string why;
    if (!platform::privateDir(stateDir(), why)) return false;
    const std::string path = ownerPath();
    const std::string tmp = path + ".tmp";
    ::unlink(tmp.c_str());
    UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.valid() || !writeAll(fd.get(), leakOwnerText(owner)) || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool ownerLive(const LeakOwner& o) {
    switch (o.kind) {
    case LeakOwner::Kind::Helper:
        return sameProcessAlive(o.pid, o.start);
    case LeakOwner::Kind::L2tp:
        return ::if_nametoindex(o.interface.c_str()) != 0;
    case LeakOwner::Kind::None:
        break;
    }
    return false;
}

// Whether `held` is the block that `owner` put in force: the same helper instance (on the same
// interface, when the caller names one), or the same L2TP profile on the same interface.
bool holds(const LeakOwner& held, const LeakOwner& owner) {
    if (held.kind != owner.kind) return false;
    if (owner.kind == LeakOwner::Kind::Helper)
        return held.pid == owner.pid && held.start == owner.start &&
               (owner.interface.empty() || held.interface == owner.interface);
    return owner.kind == LeakOwner::Kind::L2tp && held.interface == owner.interface &&
           held.uuid == owner.uuid;
}

std::string userText(uid_t user) {
    return user == LeakOwner::kNoUser ? std::string("-") : std::to_string(user);
}

bool parseUser(const std::string& text, uid_t& user) {
    if (text == "-") return true;
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long v = std::stoull(text);
    if (v >= LeakOwner::kNoUser) return false;
    user = static_cast<uid_t>(v);
    return true;
}

// The addresses of an L2TP server as the profile names it: an IP literal, or a name resolved now.
std::vector<std::string> resolvedAddresses(const std::string& host) {
    if (ipLiteral(host)) return {host};
    std::vector<std::string> out;
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (host.empty() || host.size() > 253 || ::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0) return out;
    for (addrinfo* a = res; a && out.size() < 8; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN];
        const void* addr = a->ai_family == AF_INET
                               ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr)
                               : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr);
        if ((a->ai_family == AF_INET || a->ai_family == AF_INET6) && inet_ntop(a->ai_family, addr, text, sizeof text))
            out.emplace_back(text);
    }
    ::freeaddrinfo(res);
    return out;
}

// The helper instance that started openconnect, as it handed itself to the routing script:
// "PID START UID" (set by root; openconnect and its script run as root).
bool ownerFromEnvironment(LeakOwner& owner) {
    const char* env = std::getenv("TAVROVPN_TUNNEL_OWNER");
    return env && parseLeakOwner(std::string("helper ") + env, owner) && sameProcessAlive(owner.pid, owner.start);
}

} // namespace

bool validInterfaceName(std::string_view name) {
    if (name.empty() || name.size() >= IFNAMSIZ || name == "." || name == ".." || name[0] == '-') return false;
    for (char c : name)
        if (!allowedInterfaceChar(c)) return false;
    return true;
}

bool ipPrefix(std::string_view text, int* family) {
    const size_t slash = text.find('/');
    if (slash == std::string_view::npos) return false;
    const std::string_view len = text.substr(slash + 1);
    int f = 0;
    if (!ipLiteral(text.substr(0, slash), &f) || len.empty() || len.size() > 3 ||
        len.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    if (std::stoul(std::string(len)) > (f == AF_INET ? 32u : 128u)) return false;
    if (family) *family = f;
    return true;
}

std::string leakBlockRules(const LeakBlockPlan& plan, std::string& why) {
    if (!validInterfaceName(plan.tunnel) || plan.tunnel == "lo") {
        why = "tunnel interface '" + escapedForLog(plan.tunnel) + "' is not an interface name";
        return {};
    }
    if (plan.servers.empty() || plan.transports.empty()) {
        why = "no VPN server transport";
        return {};
    }
    std::ostringstream rules;
    for (const std::string& server : plan.servers) {
        int family = 0;
        if (!ipLiteral(server, &family)) {
            why = "server address '" + escapedForLog(server) + "' is not an IP literal";
            return {};
        }
        const char* ip = family == AF_INET ? "ip" : "ip6";
        for (const LeakTransport& t : plan.transports) {
            if (t.protocol == "esp") {
                rules << "\t\t" << ip << " daddr " << server << " meta l4proto esp accept\n";
            } else if ((t.protocol == "udp" || t.protocol == "tcp") && t.port >= 1 && t.port <= 65535) {
                rules << "\t\t" << ip << " daddr " << server << " " << t.protocol << " dport " << t.port
                      << " accept\n";
            } else {
                why = "transport '" + escapedForLog(t.protocol) + " " + std::to_string(t.port) + "' is not one";
                return {};
            }
        }
    }
    std::vector<std::string> local4, local6{"fe80::/10"};
    for (const std::string& subnet : plan.localSubnets) {
        int family = 0;
        if (!ipPrefix(subnet, &family)) {
            why = "local subnet '" + escapedForLog(subnet) + "' is not an IP prefix";
            return {};
        }
        (family == AF_INET ? local4 : local6).push_back(subnet);
    }
    std::ostringstream out;
    // Made, deleted and made anew in one transaction: whatever was there goes, nothing half-made stays.
    out << "table inet tavrovpn {\n}\ndelete table inet tavrovpn\n"
        << "table inet tavrovpn {\n"
        << "\tchain output {\n"
        << "\t\ttype filter hook output priority filter; policy accept;\n"
        << "\t\toifname \"lo\" accept\n"
        << "\t\toifname \"" << plan.tunnel << "\" accept\n"
        << rules.str()
        << "\t\tudp sport 68 udp dport 67 accept\n"
        << "\t\tudp sport 546 udp dport 547 accept\n"
        << "\t\ticmpv6 type { nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert } accept\n"
        << "\t\tmeta l4proto { tcp, udp } th dport { 53, 853 } counter drop\n";
    if (!local4.empty()) out << "\t\tip daddr { " << joined(local4) << " } accept\n";
    out << "\t\tip6 daddr { " << joined(local6) << " } accept\n"
        << "\t\tcounter drop\n"
        << "\t}\n}\n";
    return out.str();
}

std::vector<std::string> localSubnets(const std::string& tunnel) {
    std::vector<std::string> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || !i->ifa_netmask || !i->ifa_name || (i->ifa_flags & IFF_LOOPBACK) ||
            !(i->ifa_flags & IFF_UP) || tunnel == i->ifa_name)
            continue;
        const int family = i->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        const unsigned len = prefixLength(family, i->ifa_netmask);
        // Nothing as wide as a whole part of the internet counts as the local network.
        if (len < (family == AF_INET ? 8u : 16u)) continue;
        const unsigned char* addr =
            family == AF_INET
                ? reinterpret_cast<const unsigned char*>(&reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr)
                : reinterpret_cast<const unsigned char*>(&reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr);
        if (family == AF_INET6 && addr[0] == 0xfe && (addr[1] & 0xc0) == 0x80) continue; // fe80::/10 is in
        const std::string net = networkText(family, addr, len);
        if (!net.empty() && std::find(out.begin(), out.end(), net) == out.end()) out.push_back(net);
    }
    ::freeifaddrs(list);
    return out;
}

bool openVpnTransportFromLog(std::string_view log, std::string& server, LeakTransport& transport) {
    static constexpr std::string_view kMark = " link remote: [AF_INET";
    // openvpn's own line is "[DATE TIME ]PROTO link remote: …"; the same words quoted inside a
    // longer line (a message the server pushed, logged as received) are not it.
    size_t at = log.size();
    std::string_view before;
    for (;;) {
        at = at == 0 ? std::string_view::npos : log.rfind(kMark, at - 1);
        if (at == std::string_view::npos) return false;
        const size_t nl = log.rfind('\n', at);
        const size_t lineStart = nl == std::string_view::npos ? 0 : nl + 1;
        before = log.substr(lineStart, at - lineStart);
        if (std::count(before.begin(), before.end(), ' ') <= 2 && before.find('\'') == std::string_view::npos) break;
    }
    const std::string_view proto = before.substr(before.rfind(' ') == std::string_view::npos ? 0 : before.rfind(' ') + 1);
    if (proto.rfind("UDP", 0) == 0) transport.protocol = "udp";
    else if (proto.rfind("TCP", 0) == 0) transport.protocol = "tcp";
    else return false;
    const size_t close = log.find(']', at);
    const size_t end = log.find_first_of(" \r\n", at + kMark.size());
    if (close == std::string_view::npos || (end != std::string_view::npos && close > end)) return false;
    const std::string_view hostPort = log.substr(close + 1, (end == std::string_view::npos ? log.size() : end) - close - 1);
    const size_t colon = hostPort.rfind(':');
    if (colon == std::string_view::npos) return false;
    const std::string_view port = hostPort.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos) return false;
    server = std::string(hostPort.substr(0, colon));
    transport.port = static_cast<unsigned>(std::stoul(std::string(port)));
    return ipLiteral(server) && transport.port >= 1 && transport.port <= 65535;
}

std::string tunnelInterfaceOf(pid_t pid) {
    if (pid <= 0) return {};
    const std::string dir = "/proc/" + std::to_string(pid) + "/fdinfo";
    DIR* d = ::opendir(dir.c_str());
    if (!d) return {};
    std::string found;
    int seen = 0;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.' || ++seen > kMaxFdinfo) continue;
        UniqueFd fd(::open((dir + "/" + e->d_name).c_str(), O_RDONLY | O_CLOEXEC));
        std::string text;
        if (!fd.valid() || !readAll(fd.get(), 4096, text)) continue;
        const size_t at = text.find("\niff:");
        if (at == std::string::npos) continue;
        const size_t begin = text.find_first_not_of(" \t", at + 5);
        const size_t end = text.find('\n', begin);
        if (begin == std::string::npos) continue;
        found = text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        break;
    }
    ::closedir(d);
    return validInterfaceName(found) ? found : std::string();
}

bool applyLeakBlock(const LeakBlockPlan& plan, const LeakOwner& owner) {
    std::string why;
    const std::string rules = leakBlockRules(plan, why);
    if (rules.empty()) {
        hlog("leak block refused: %s", why.c_str());
        return false;
    }
    LeakOwner held;
    if (readOwner(held) && ownerLive(held) && !holds(held, owner) && held.user != owner.user) {
        hlog("leak block refused: another user's tunnel (uid %s) holds it", userText(held.user).c_str());
        return false;
    }
    // Noted first: an instance that vanishes half-way still has its table found and removed.
    if (!writeOwner(owner)) {
        hlog("leak block refused: %s cannot be written", ownerPath().c_str());
        return false;
    }
    if (!runNft({"-f", "-"}, rules, why)) {
        hlog("leak block refused: %s", why.c_str());
        ::unlink(ownerPath().c_str());
        return false;
    }
    hlog("leak block in force: only %s and the tunnel's transport to %s carry traffic", plan.tunnel.c_str(),
         joined(plan.servers).c_str());
    return true;
}

void removeLeakBlock(const LeakOwner& owner) {
    LeakOwner held;
    const bool noted = readOwner(held);
    if (owner.kind != LeakOwner::Kind::None && (!noted || !holds(held, owner))) return;
    std::string why;
    if (deleteTable(why)) hlog("leak block removed");
    ::unlink(ownerPath().c_str());
}

void removeStaleLeakBlock() {
    LeakOwner held;
    if (readOwner(held) && ownerLive(held)) return;
    std::string why;
    if (deleteTable(why)) hlog("leak block of a tunnel that is gone removed");
    ::unlink(ownerPath().c_str());
}

uid_t leakBlockUser() {
    LeakOwner held;
    return readOwner(held) && ownerLive(held) ? held.user : LeakOwner::kNoUser;
}

LeakOwner leakOwnerOfThisHelper(uid_t user) {
    LeakOwner o;
    o.kind = LeakOwner::Kind::Helper;
    o.pid = ::getpid();
    o.start = processStartTime(o.pid);
    o.user = user;
    return o;
}

// "helper PID START [UID [IFACE]]" or "l2tp IFACE [UUID [UID]]" ("-" for a user or interface not
// known); the shorter forms are those of earlier versions.
bool parseLeakOwner(std::string_view text, LeakOwner& owner) {
    std::istringstream in{std::string(text)};
    std::string kind;
    if (!(in >> kind)) return false;
    LeakOwner o;
    std::string user, interface;
    if (kind == "helper") {
        long long pid = 0;
        unsigned long long start = 0;
        if (!(in >> pid >> start) || pid <= 1 || start == 0) return false;
        o.kind = LeakOwner::Kind::Helper;
        o.pid = static_cast<pid_t>(pid);
        o.start = start;
        if (in >> user && !parseUser(user, o.user)) return false;
        if (in >> interface && interface != "-") {
            if (!validInterfaceName(interface)) return false;
            o.interface = interface;
        }
    } else if (kind == "l2tp") {
        if (!(in >> o.interface) || !validInterfaceName(o.interface)) return false;
        o.kind = LeakOwner::Kind::L2tp;
        if (in >> o.uuid && o.uuid == "-") o.uuid.clear();
        if (!o.uuid.empty() && !protocol::isServiceIdShape(o.uuid)) return false;
        if (in >> user && !parseUser(user, o.user)) return false;
    } else {
        return false;
    }
    std::string rest;
    if (in >> rest) return false;
    owner = o;
    return true;
}

std::string leakOwnerText(const LeakOwner& o) {
    switch (o.kind) {
    case LeakOwner::Kind::Helper:
        return "helper " + std::to_string(o.pid) + " " + std::to_string(o.start) + " " + userText(o.user) +
               " " + (o.interface.empty() ? "-" : o.interface) + "\n";
    case LeakOwner::Kind::L2tp:
        return "l2tp " + o.interface + " " + (o.uuid.empty() ? "-" : o.uuid) + " " + userText(o.user) + "\n";
    case LeakOwner::Kind::None:
        break;
    }
    return {};
}

int leakBlockCommand(const std::vector<std::string>& args) {
    const std::string mode = args.empty() ? std::string() : args[0];
    LeakOwner owner;
    if (mode == "openconnect" && args.size() == 3) {
        // The routing script's connect step, for the helper instance that started openconnect.
        if (!ownerFromEnvironment(owner)) {
            hlog("leak block refused: no live helper instance owns the tunnel");
            return 1;
        }
        owner.interface = args[1];
        LeakBlockPlan plan;
        plan.tunnel = args[1];
        plan.servers = {args[2]};
        plan.transports = {{"tcp", kOpenConnectPort}, {"udp", kOpenConnectPort}};
        plan.localSubnets = localSubnets(args[1]);
        return applyLeakBlock(plan, owner) ? 0 : 1;
    }
    if (mode == "openconnect-off" && (args.size() == 1 || args.size() == 2)) {
        if (!ownerFromEnvironment(owner)) return 0;
        if (args.size() == 2) owner.interface = args[1];
        removeLeakBlock(owner);
        return 0;
    }
    if (mode == "l2tp" && args.size() == 3) {
        // NetworkManager's vpn-up of our profile: the server comes from the helper's own record.
        const std::string& uuid = args[2];
        if (!isProvisionedService(uuid)) {
            hlog("leak block refused: %s is not the provisioned service", escapedForLog(uuid).c_str());
            return 1;
        }
        owner.user = provisionedUser(uuid);
        std::string server;
        {
            platform::NetworkPreferences prefs;
            if (prefs.open())
                if (const nlohmann::json* entry = prefs.service(uuid))
                    if (auto ppp = entry->find(platform::kSCEntNetPPP);
                        ppp != entry->end() && ppp->is_object())
                        if (auto a = ppp->find(platform::kSCPropNetPPPCommRemoteAddress);
                            a != ppp->end() && a->is_string())
                            server = a->get<std::string>();
        }
        LeakBlockPlan plan;
        plan.tunnel = args[1];
        plan.servers = resolvedAddresses(server);
        plan.transports = {{"udp", 500}, {"udp", 4500}, {"udp", 1701}, {"esp", 0}};
        plan.localSubnets = localSubnets(args[1]);
        owner.kind = LeakOwner::Kind::L2tp;
        owner.interface = args[1];
        owner.uuid = uuid;
        if (!validInterfaceName(owner.interface)) {
            hlog("leak block refused: '%s' is not an interface name", escapedForLog(owner.interface).c_str());
            return 1;
        }
        return applyLeakBlock(plan, owner) ? 0 : 1;
    }
    if (mode == "l2tp-off" && args.size() == 3) {
        // Only the down of the profile that put the block in force, on its own interface, lifts it.
        owner.kind = LeakOwner::Kind::L2tp;
        owner.interface = args[1];
        owner.uuid = args[2];
        removeLeakBlock(owner);
        return 0;
    }
    if (mode == "off" && args.size() == 1) {
        removeLeakBlock(LeakOwner{});
        return 0;
    }
    hlog("leak block: usage: --leak-block openconnect TUNDEV GATEWAY | openconnect-off [TUNDEV] | l2tp IFACE "
         "UUID | "
         "l2tp-off IFACE UUID | off");
    return 2;
}

} // namespace helper
