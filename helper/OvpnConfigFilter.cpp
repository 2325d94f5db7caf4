#include "helper/OvpnConfigFilter.h"

#include <cctype>
#include <map>
#include <set>

namespace helper {
namespace {

// openvpn reads config lines with a 256-byte buffer (255 in inline blocks); a longer line is read
// in pieces, and a piece could start a directive that a line-based check never saw.
constexpr size_t kMaxLineBytes = 254;
constexpr size_t kMaxParms = 16;

bool isSpace(char c) {
    return c == '\0' || std::isspace(static_cast<unsigned char>(c));
}

// Directives that take no file, run nothing, and change nothing outside the tunnel's own settings.
const std::set<std::string>& plainDirectives() {
    // clang-format off
    static const std::set<std::string> s = {
        "client", "tls-client", "pull", "dev", "dev-type", "proto", "proto-force", "remote", "remote-random",
        "remote-random-hostname", "resolv-retry", "nobind", "bind", "lport", "rport", "port", "local",
        "float", "persist-key", "persist-tun", "persist-remote-ip", "persist-local-ip", "connect-retry",
        "connect-retry-max", "connect-timeout", "server-poll-timeout", "explicit-exit-notify", "keepalive",
        "ping", "ping-restart", "ping-exit", "ping-timer-rem", "inactive", "single-session", "tls-exit",
        "tun-mtu", "tun-mtu-extra", "tun-mtu-max", "link-mtu", "mtu-disc", "mtu-test", "fragment", "mssfix",
        "sndbuf", "rcvbuf", "txqueuelen", "fast-io", "socket-flags", "mark", "bind-dev", "disable-dco",
        "shaper", "comp-lzo", "compress", "allow-compression", "comp-noadapt", "cipher", "ncp-ciphers",
        "data-ciphers", "data-ciphers-fallback", "ncp-disable", "auth", "keysize", "prng", "tls-cipher",
        "tls-ciphersuites", "tls-groups", "ecdh-curve", "tls-version-min", "tls-version-max",
        "tls-cert-profile", "tls-timeout", "reneg-sec", "reneg-bytes", "reneg-pkts", "hand-window",
        "tran-window", "key-method", "remote-cert-tls", "remote-cert-ku", "remote-cert-eku", "ns-cert-type",
        "verify-x509-name", "verify-hash", "peer-fingerprint", "key-direction", "auth-nocache", "auth-retry",
        "route-nopull", "route-noexec", "ifconfig-noexec", "route-delay", "route-method", "route-metric",
        "route", "route-ipv6", "route-gateway", "redirect-gateway", "redirect-private", "block-outside-dns",
        "block-ipv6", "dhcp-option", "dns", "ifconfig", "ifconfig-ipv6", "ifconfig-nowarn", "topology",
        "ip-win32", "register-dns", "tap-sleep", "pull-filter", "ignore-unknown-option", "verb", "mute",
        "mute-replay-warnings", "replay-window", "no-replay", "suppress-timestamps",
        "machine-readable-output", "push-peer-info", "tun-ipv6", "allow-pull-fqdn", "allow-recursive-routing",
        "disable-occ", "opt-verify", "passtos", "tcp-nodelay", "http-proxy-option", "http-proxy-retry",
        "socks-proxy-retry", "static-challenge", "management-log-cache", "user", "group", "nice", "echo",
        "up-delay", "up-restart", "down-pre", "max-routes", "setenv-safe"};
    // clang-format on
    return s;
}

// Key and certificate material, read by openvpn as root: a file (or folder) named here must lie in
// the OpenVPN folder, or the material comes inline. The count is the most parameters openvpn takes.
const std::map<std::string, size_t>& fileDirectives() {
    static const std::map<std::string, size_t> m = {{"ca", 2},     {"cert", 2},       {"key", 2},
                                                    {"pkcs12", 2}, {"dh", 2},         {"extra-certs", 2},
                                                    {"capath", 2}, {"crl-verify", 3}, {"tls-auth", 3},
                                                    {"secret", 3}, {"tls-crypt", 2},  {"tls-crypt-v2", 2}};
    return m;
}

const std::set<std::string>& inlineTags() {
    static const std::set<std::string> s = {"ca",
                                            "cert",
                                            "key",
                                            "pkcs12",
                                            "dh",
                                            "extra-certs",
                                            "crl-verify",
                                            "tls-auth",
                                            "tls-crypt",
                                            "tls-crypt-v2",
                                            "secret",
                                            "auth-user-pass",
                                            "http-proxy-user-pass",
                                            "peer-fingerprint"};
    return s;
}

// A file inside the working folder: relative, without a ".." component.
bool isLocalPath(const std::string& p) {
    if (p.empty() || p[0] == '/') return false;
    size_t start = 0;
    while (start <= p.size()) {
        size_t slash = p.find('/', start);
        std::string part = p.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part == "..") return false;
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return true;
}

bool checkDirective(std::vector<std::string> p, std::string& reason) {
    // "setenv opt X ..." is openvpn's way of applying X as an optional directive: check X itself.
    for (int depth = 0; p.size() >= 2 && p[0] == "setenv" && p[1] == "opt"; ++depth) {
        if (depth > 4 || p.size() < 3) {
            reason = "setenv opt without a directive";
            return false;
        }
        p.erase(p.begin(), p.begin() + 2);
    }
    const std::string& kw = p[0];
    if (plainDirectives().count(kw)) return true;
    if (kw == "script-security") {
        if (p.size() == 2 && (p[1] == "0" || p[1] == "1")) return true;
        reason = "script-security above 1";
        return false;
    }
    if (kw == "auth-user-pass") {
        // A named file is read as root and its content sent to the server.
        if (p.size() == 1 || (p.size() == 2 && isLocalPath(p[1]))) return true;
        reason = "auth-user-pass with a file outside the working folder";
        return false;
    }
    if (auto file = fileDirectives().find(kw); file != fileDirectives().end()) {
        if (p.size() >= 2 && p.size() <= file->second && isLocalPath(p[1])) return true;
        reason = kw + " names a file outside the OpenVPN folder";
        return false;
    }
    if (kw == "http-proxy") {
        // http-proxy host port [authfile|auto|auto-nct] [auth-method]
        if (p.size() <= 3) return true;
        if (p.size() <= 5 && (p[3] == "auto" || p[3] == "auto-nct" || isLocalPath(p[3]))) return true;
        reason = "http-proxy with an authentication file outside the OpenVPN folder";
        return false;
    }
    if (kw == "socks-proxy") {
        if (p.size() <= 3) return true;
        reason = "socks-proxy with an authentication file";
        return false;
    }
    if (kw == "setenv") {
        if (p.size() >= 2 &&
            (p[1] == "CLIENT_CERT" || p[1] == "FORWARD_COMPATIBLE" || p[1].rfind("UV_", 0) == 0))
            return true;
        reason = "setenv " + (p.size() >= 2 ? p[1] : std::string());
        return false;
    }
    reason = "directive not allowed: " + kw;
    return false;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return lines;
}

bool startsWithCloseTag(const std::string& line, const std::string& closeTag) {
    size_t i = 0;
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
        ++i;
    return line.compare(i, closeTag.size(), closeTag) == 0;
}

bool checkText(const std::string& text, int depth, std::string& reason) {
    if (text.find('\0') != std::string::npos) {
        reason = "NUL byte";
        return false;
    }
    std::vector<std::string> lines = splitLines(text);
    if (depth == 0 && !lines.empty() && lines[0].compare(0, 3, "\xEF\xBB\xBF") == 0) lines[0].erase(0, 3);
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string lineNo = std::to_string(i + 1);
        if (lines[i].size() > kMaxLineBytes) {
            reason = "line " + lineNo + " too long";
            return false;
        }
        std::vector<std::string> p;
        if (!tokenizeOvpnLine(lines[i], p)) {
            reason = "line " + lineNo + " unreadable";
            return false;
        }
        if (p.empty()) continue;
        if (p[0].size() >= 3 && p[0].compare(0, 2, "--") == 0) p[0].erase(0, 2);
        const std::string& kw = p[0];
        if (p.size() == 1 && kw.size() >= 2 && kw.front() == '<' && kw.back() == '>') {
            const std::string tag = kw.substr(1, kw.size() - 2);
            const std::string closeTag = "</" + tag + ">";
            std::string content;
            size_t j = i + 1;
            for (; j < lines.size(); ++j) {
                if (lines[j].size() > kMaxLineBytes) {
                    reason = "line " + std::to_string(j + 1) + " too long";
                    return false;
                }
                if (startsWithCloseTag(lines[j], closeTag)) break;
                content += lines[j];
                content += '\n';
            }
            if (j == lines.size()) {
                reason = "unterminated <" + tag + ">";
                return false;
            }
            if (tag == "connection") {
                if (depth > 0) {
                    reason = "nested <connection>";
                    return false;
                }
                if (!checkText(content, depth + 1, reason)) return false;
            } else if (!inlineTags().count(tag)) {
                reason = "inline block not allowed: <" + tag + ">";
                return false;
            }
            i = j;
            continue;
        }
        if (!checkDirective(p, reason)) {
            reason += " (line " + lineNo + ")";
            return false;
        }
    }
    return true;
}

} // namespace

bool tokenizeOvpnLine(const std::string& line, std::vector<std::string>& tokens) {
    enum { Initial, Unquoted, Quoted, SingleQuoted } state = Initial;
    tokens.clear();
    std::string parm;
    bool backslash = false;
    for (size_t i = 0; i <= line.size(); ++i) {
        const char in = i < line.size() ? line[i] : '\0';
        char out = 0;
        bool done = false;
        if (!backslash && in == '\\' && state != SingleQuoted) {
            backslash = true;
        } else {
            if (state == Initial) {
                if (!isSpace(in)) {
                    if (in == ';' || in == '#') break;
                    if (!backslash && in == '"')
                        state = Quoted;
                    else if (!backslash && in == '\'')
                        state = SingleQuoted;
                    else {
                        out = in;
                        state = Unquoted;
                    }
                }
            } else if (state == Unquoted) {
                if (!backslash && isSpace(in))
                    done = true;
                else
                    out = in;
            } else if (state == Quoted) {
                if (!backslash && in == '"')
                    done = true;
                else
                    out = in;
            } else if (in == '\'') {
                done = true;
            } else {
                out = in;
            }
            if (done) {
                tokens.push_back(parm);
                parm.clear();
                state = Initial;
            }
            if (backslash && out && !(out == '\\' || out == '"' || isSpace(out))) return false;
            backslash = false;
        }
        if (out) parm += out;
        if (tokens.size() >= kMaxParms) break;
    }
    if (state != Initial) return false;
    return true;
}

bool checkOvpnConfigText(const std::string& text, std::string& reason) {
    reason.clear();
    return checkText(text, 0, reason);
}

} // namespace helper
