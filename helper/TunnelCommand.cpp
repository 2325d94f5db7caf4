#include "helper/TunnelCommand.h"

#include "helper/HelperMessage.h"
#include "helper/ShellQuote.h"

#include <algorithm>

namespace helper {
namespace {

constexpr size_t kMaxAddresses = 32;

// Blank-separated words; repeated and trailing blanks (the restore line ends in one) are allowed,
// any other white space is not.
std::vector<std::string> splitWords(std::string_view text) {
    std::vector<std::string> words;
    size_t pos = 0;
    while (pos < text.size()) {
        if (text[pos] == ' ') {
            ++pos;
            continue;
        }
        const size_t end = std::min(text.find(' ', pos), text.size());
        words.emplace_back(text.substr(pos, end - pos));
        pos = end;
    }
    return words;
}

} // namespace

std::string saveResolverLineFor(const std::string& rootPath) {
    return "cp /etc/resolv.conf \"" + rootPath + "/OpenVPN/\"";
}

std::string setDnsPrefixFor(const std::string& rootPath) {
    return "\"" + rootPath + "/OpenVPN/set-dns.sh\" ";
}

std::string stopOpenConnectLineFor(const std::string& rootPath) {
    return "kill -HUP $(cat " + doubleQuotedPath(rootPath + "/openconnect/childpid") + ")";
}

std::string reconnectOpenConnectLineFor(const std::string& rootPath) {
    return "kill -USR2 $(cat " + doubleQuotedPath(rootPath + "/openconnect/childpid") + ")";
}

TunnelLine parseTunnelLine(std::string_view line, const std::string& rootPath) {
    TunnelLine out;
    if (line.find('\0') != std::string_view::npos) return out;
    if (line == saveResolverLineFor(rootPath)) {
        out.kind = TunnelLineKind::SaveResolver;
        return out;
    }
    if (line == stopOpenConnectLineFor(rootPath)) {
        out.kind = TunnelLineKind::StopOpenConnect;
        return out;
    }
    if (line == reconnectOpenConnectLineFor(rootPath)) {
        out.kind = TunnelLineKind::ReconnectOpenConnect;
        return out;
    }
    const std::string prefix = setDnsPrefixFor(rootPath);
    if (line.substr(0, prefix.size()) != prefix) return out;
    const std::vector<std::string> words = splitWords(line.substr(prefix.size()));
    if (words.empty() || words.size() > kMaxAddresses + 1) return out;
    for (size_t i = 1; i < words.size(); ++i)
        if (!isIpLiteral(words[i])) return out;
    if (words[0] == "openvpn" && words.size() <= 2) {
        out.kind = TunnelLineKind::SwitchDns;
    } else if (words[0] == "localhost") {
        out.kind = TunnelLineKind::RestoreDns;
    } else {
        return out;
    }
    out.addresses.assign(words.begin() + 1, words.end());
    return out;
}

} // namespace helper
