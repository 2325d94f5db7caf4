#pragma once
#include <array>
#include <cstdint>
#include <string_view>
#include <sys/types.h>
#include <vector>

// Whose is the management endpoint on 127.0.0.1? The credentials go only to the openvpn that the
// helper started, which runs as root; a listener some user put on the port first (openvpn then
// cannot bind it and ends) must never receive them. The kernel's socket tables
// (/proc/net/tcp, /proc/net/tcp6) name the owner of every socket.
namespace channels {

struct TcpSocketEntry {
    bool v6 = false;
    std::array<uint32_t, 4> local{}, remote{}; // as the kernel prints them: network order words
    uint16_t localPort = 0, remotePort = 0;
    int state = 0; // 0x0A: listening
    uid_t uid = 0;
};

// The entries of one table's text; lines that do not read as entries are skipped.
std::vector<TcpSocketEntry> parseProcNetTcp(std::string_view text, bool v6);

// True when something listens on 127.0.0.1:port (bound to it, to 0.0.0.0, or to :: / its
// IPv4-mapped form), every such listener belongs to root, and so does the server end of the
// connection from 127.0.0.1:clientPort when the tables show it.
bool rootOwnsLoopbackEndpoint(const std::vector<TcpSocketEntry>& entries, uint16_t port, uint16_t clientPort);

// The check for the connection fd (connected to 127.0.0.1:port), read from /proc.
bool managementEndpointIsRoot(int fd, uint16_t port);

} // namespace channels
