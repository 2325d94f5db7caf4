#include "app/connection/DnsHandling.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
#include <sys/socket.h>

namespace {

constexpr size_t kMaxResolvConfBytes = 64 * 1024;

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (isBlank(s.front()) || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (isBlank(s.back()) || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::string setDnsScript(const std::string& root) {
    return "\"" + root + "/OpenVPN/set-dns.sh\"";
}

} // namespace

namespace dns {

std::string resolvConfPath() {
    const char* env = std::getenv("TAVROVPN_RESOLV_CONF");
    return (env && *env) ? env : "/etc/resolv.conf";
}

std::vector<std::string> parseNameservers(std::string_view text) {
    std::vector<std::string> out;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        line = trimmed(line);
        constexpr std::string_view key = "nameserver";
        if (line.substr(0, key.size()) != key || line.size() == key.size() || !isBlank(line[key.size()]))
            continue;
        line = trimmed(line.substr(key.size()));
        // The address is the first blank-separated word, as the resolver itself reads it.
        const size_t end = line.find_first_of(" \t");
        const std::string_view address = line.substr(0, end);
        if (isIpLiteral(address)) out.emplace_back(address);
    }
    return out;
}

bool rootUsableInLine(const std::string& root) {
    if (root.empty() || root.front() != '/') return false;
    for (char c : root)
        if (c == '"' || c == '$' || c == '`' || c == '\\' || c == '\n' || c == '\r' || c == '\0')
            return false;
    return true;
}

std::string saveResolverLine(const std::string& root) {
    return "cp /etc/resolv.conf \"" + root + "/OpenVPN/\"";
}

std::string switchLine(const std::string& root, const std::string& address) {
    return setDnsScript(root) + " openvpn " + (isIpLiteral(address) ? address : std::string());
}

std::string restoreLine(const std::string& root, const std::vector<std::string>& addresses) {
    std::string line = setDnsScript(root) + " localhost ";
    for (const std::string& a : addresses) {
        if (!isIpLiteral(a)) continue;
        if (line.size() + a.size() + 1 > kMaxCommandLine) break;
        line += a;
        line += ' ';
    }
    return line;
}

void sendLine(int fd, const std::string& line) {
    if (fd < 1 || line.empty()) return;
    (void)::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
}

} // namespace dns

std::vector<std::string> GetCurrentDNSAddresses() {
    std::ifstream in(dns::resolvConfPath(), std::ios::binary);
    if (!in) return {};
    std::string text(kMaxResolvConfBytes, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return dns::parseNameservers(text);
}
