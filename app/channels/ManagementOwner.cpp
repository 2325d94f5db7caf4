#include "app/channels/ManagementOwner.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>

namespace channels {
namespace {

constexpr int kListen = 0x0A;
constexpr size_t kMaxTableBytes = 4 << 20;

bool parseHex(std::string_view text, uint32_t& out) {
    if (text.empty() || text.size() > 8) return false;
    uint32_t v = 0;
    for (char c : text) {
        int d = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                         : -1;
        if (d < 0) return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    out = v;
    return true;
}

// "0100007F:445B" (IPv4) or 32 hex digits ":" port (IPv6).
bool parseEndpoint(std::string_view text, bool v6, std::array<uint32_t, 4>& addr, uint16_t& port) {
    const size_t colon = text.find(':');
    const size_t addrDigits = v6 ? 32 : 8;
    if (colon != addrDigits) return false;
    addr = {};
    for (size_t w = 0; w < addrDigits / 8; ++w)
        if (!parseHex(text.substr(w * 8, 8), addr[w])) return false;
    uint32_t p = 0;
    if (text.size() - colon - 1 != 4 || !parseHex(text.substr(colon + 1), p)) return false;
    port = static_cast<uint16_t>(p);
    return true;
}

std::array<uint32_t, 4> v4(uint32_t hostOrder) {
    return {htonl(hostOrder), 0, 0, 0};
}

std::array<uint32_t, 4> v4Mapped(uint32_t hostOrder) {
    return {0, 0, htonl(0xffff), htonl(hostOrder)};
}

bool isLoopbackPeer(const TcpSocketEntry& e, const std::array<uint32_t, 4>& a) {
    return e.v6 ? a == v4Mapped(INADDR_LOOPBACK) : a == v4(INADDR_LOOPBACK);
}

// A listener that accepts connections made to 127.0.0.1.
bool acceptsLoopback(const TcpSocketEntry& e) {
    if (e.v6) return e.local == std::array<uint32_t, 4>{} || e.local == v4Mapped(INADDR_LOOPBACK);
    return e.local == v4(INADDR_LOOPBACK) || e.local == v4(INADDR_ANY);
}

std::string readTable(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    char chunk[8192];
    while (in && text.size() < kMaxTableBytes) {
        in.read(chunk, sizeof chunk);
        text.append(chunk, static_cast<size_t>(in.gcount()));
    }
    return text;
}

} // namespace

std::vector<TcpSocketEntry> parseProcNetTcp(std::string_view text, bool v6) {
    std::vector<TcpSocketEntry> out;
    std::istringstream lines{std::string(text)};
    for (std::string line; std::getline(lines, line);) {
        // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ...
        std::istringstream f(line);
        std::string sl, local, remote, st, queues, timer, retransmits, uid;
        if (!(f >> sl >> local >> remote >> st >> queues >> timer >> retransmits >> uid)) continue;
        if (sl.empty() || sl.back() != ':') continue;
        TcpSocketEntry e;
        e.v6 = v6;
        uint32_t state = 0;
        if (!parseEndpoint(local, v6, e.local, e.localPort) ||
            !parseEndpoint(remote, v6, e.remote, e.remotePort) || st.size() != 2 || !parseHex(st, state) ||
            uid.empty() || uid.find_first_not_of("0123456789") != std::string::npos || uid.size() > 10)
            continue;
        e.state = static_cast<int>(state);
        e.uid = static_cast<uid_t>(std::strtoul(uid.c_str(), nullptr, 10));
        out.push_back(e);
    }
    return out;
}

bool rootOwnsLoopbackEndpoint(const std::vector<TcpSocketEntry>& entries, uint16_t port,
                              uint16_t clientPort) {
    bool listener = false;
    for (const TcpSocketEntry& e : entries) {
        if (e.localPort != port) continue;
        if (e.state == kListen) {
            if (!acceptsLoopback(e)) continue;
            if (e.uid != 0) return false;
            listener = true;
        } else if (e.remotePort == clientPort && isLoopbackPeer(e, e.remote) && e.uid != 0) {
            return false;
        }
    }
    return listener;
}

bool managementEndpointIsRoot(int fd, uint16_t port) {
    sockaddr_in self{};
    socklen_t len = sizeof self;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &len) != 0 || self.sin_family != AF_INET)
        return false;
    std::vector<TcpSocketEntry> entries = parseProcNetTcp(readTable("/proc/net/tcp"), false);
    const std::vector<TcpSocketEntry> six = parseProcNetTcp(readTable("/proc/net/tcp6"), true);
    entries.insert(entries.end(), six.begin(), six.end());
    return rootOwnsLoopbackEndpoint(entries, port, ntohs(self.sin_port));
}

} // namespace channels
