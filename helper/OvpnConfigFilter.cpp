#include "helper/OvpnConfigFilter.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
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
        "client", "tls-client", "pull", "dev", "dev-type", "remote-random",
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
        "ip-win32", "register-dns", "tap-sleep", "pull-filter", "ignore-unknown-option", "mute",
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

// What openvpn takes inside a <connection> block; anything else there makes it stop. Of the files,
// only the control channel keys: they are put inline in the block.
const std::set<std::string>& connectionDirectives() {
    // clang-format off
    static const std::set<std::string> s = {
        "remote", "proto", "nobind", "bind", "lport", "rport", "port", "local", "float", "connect-retry",
        "connect-retry-max", "connect-timeout", "server-poll-timeout", "explicit-exit-notify", "tun-mtu",
        "tun-mtu-extra", "tun-mtu-max", "link-mtu", "mtu-disc", "fragment", "mssfix", "key-direction",
        "http-proxy", "http-proxy-option", "socks-proxy", "tls-auth", "tls-crypt", "tls-crypt-v2"};
    // clang-format on
    return s;
}

const std::set<std::string>& connectionInlineTags() {
    static const std::set<std::string> s = {"tls-auth", "tls-crypt", "tls-crypt-v2"};
    return s;
}

// Protocols that connect out. A plain "tcp" is a client's only with --client/--pull, which the
// allow-list cannot take away; without them openvpn calls it ambiguous and stops.
bool isClientProto(const std::string& proto) {
    static const std::set<std::string> s = {"udp",  "udp4",       "udp6",        "tcp",        "tcp4",
                                            "tcp6", "tcp-client", "tcp4-client", "tcp6-client"};
    return s.count(proto) != 0;
}

bool isTcpClientProto(const std::string& proto) {
    return isClientProto(proto) && proto.compare(0, 3, "tcp") == 0;
}

// From verb 7 on openvpn logs the keys themselves (control channel HMAC keys, data channel cipher
// keys), and the log is the user's to read.
constexpr int kMaxVerb = 6;

// openvpn reads the level with atoi; only digits are let through, so both read the same number.
int verbosity(const std::string& v) {
    int n = 0;
    for (char c : v)
        n = std::min(n * 10 + (c - '0'), 100);
    return n;
}

bool isDigits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// "setenv opt X ..." is openvpn's way of applying X as an optional directive.
bool stripSetenvOpt(std::vector<std::string>& p, std::string& reason) {
    for (int depth = 0; p.size() >= 2 && p[0] == "setenv" && p[1] == "opt"; ++depth) {
        if (depth > 4 || p.size() < 3) {
            reason = "setenv opt without a directive";
            return false;
        }
        p.erase(p.begin(), p.begin() + 2);
    }
    return true;
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

bool checkDirective(std::vector<std::string> p, bool inConnection, std::string& reason) {
    if (!stripSetenvOpt(p, reason)) return false;
    const std::string& kw = p[0];
    if (inConnection && !connectionDirectives().count(kw)) {
        reason = kw + " not allowed in <connection>";
        return false;
    }
    if (plainDirectives().count(kw)) return true;
    if (kw == "proto" || kw == "proto-force") {
        if (p.size() == 2 && isClientProto(p[1])) return true;
        reason = kw + " " + (p.size() >= 2 ? p[1] : std::string()) + ": not a client's protocol";
        return false;
    }
    if (kw == "remote") {
        // remote host [port [proto]]
        if (p.size() == 4 && !isClientProto(p[3])) {
            reason = "remote " + p[3] + ": not a client's protocol";
            return false;
        }
        if (p.size() >= 2 && p.size() <= 4) return true;
        reason = "remote with " + std::to_string(p.size() - 1) + " parameters";
        return false;
    }
    if (kw == "verb") {
        if (p.size() == 2 && isDigits(p[1])) return true;
        reason = "verb not a number";
        return false;
    }
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
        const bool asks = p[3] == "auto" || p[3] == "auto-nct";
        // A block cannot take the credentials inline: openvpn would read the file itself.
        if (inConnection && !asks) {
            reason = "http-proxy credentials file inside <connection>";
            return false;
        }
        if (p.size() <= 5 && (asks || isLocalPath(p[3]))) return true;
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
            } else if (!(depth > 0 ? connectionInlineTags() : inlineTags()).count(tag)) {
                reason = "inline block not allowed" + std::string(depth > 0 ? " in <connection>" : "") +
                         ": <" + tag + ">";
                return false;
            }
            i = j;
            continue;
        }
        if (!checkDirective(p, depth > 0, reason)) {
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

namespace {

constexpr size_t kMaxSealedBytes = 1 << 20;
constexpr size_t kBase64Line = 64;

std::string base64(const std::string& data) {
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out, line;
    for (size_t i = 0; i < data.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(data[i]) << 16;
        if (i + 1 < data.size()) v |= static_cast<unsigned char>(data[i + 1]) << 8;
        if (i + 2 < data.size()) v |= static_cast<unsigned char>(data[i + 2]);
        line += abc[(v >> 18) & 63];
        line += abc[(v >> 12) & 63];
        line += i + 1 < data.size() ? abc[(v >> 6) & 63] : '=';
        line += i + 2 < data.size() ? abc[v & 63] : '=';
        if (line.size() >= kBase64Line) {
            out += line + "\n";
            line.clear();
        }
    }
    if (!line.empty()) out += line + "\n";
    return out;
}

// Host names, ports, methods and key directions, rebuilt into a line openvpn reads back alike.
bool isPlainToken(const std::string& t) {
    if (t.empty()) return false;
    for (char c : t)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != ':' && c != '-' && c != '_')
            return false;
    return true;
}

// What decides whether openvpn binds a local port, and which: the global settings, or those of a
// <connection> block over them.
struct Binding {
    bool bind = false, nobind = false, lportSet = false, localSet = false, portSet = false;
    // Only a TCP client binds nothing unasked; any other protocol is taken to bind.
    bool tcpClient = false, remoteBinds = false;
    std::string lport, port, localPort;

    void apply(const std::vector<std::string>& p) {
        const std::string& kw = p[0];
        if (kw == "bind") bind = true;
        if (kw == "nobind") nobind = true;
        if (kw == "lport" && p.size() >= 2) lportSet = true, lport = p[1];
        if (kw == "port" && p.size() >= 2) portSet = true, port = p[1];
        if (kw == "local") {
            localSet = true;
            if (p.size() >= 3) localPort = p[2];
        }
        if (kw == "proto" && p.size() >= 2) tcpClient = isTcpClientProto(p[1]);
        if (kw == "remote" && p.size() >= 4 && !isTcpClientProto(p[3])) remoteBinds = true;
    }

    // Empty when no port below 1024 would be bound.
    std::string lowPortProblem() const {
        const bool binds = bind || lportSet || localSet || (!nobind && (!tcpClient || remoteBinds));
        if (!binds) return std::string();
        const std::string& p = lportSet ? lport : !localPort.empty() ? localPort : portSet ? port : "1194";
        if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
            return "local port " + p + " is not a number";
        const long n = std::strtol(p.c_str(), nullptr, 10);
        if (n > 0 && n < 1024) return "openvpn would bind local port " + p + " (below 1024)";
        return std::string();
    }
};

class Sealer {
public:
    Sealer(const OvpnFileReader& readFile, std::string& reason) : readFile_(readFile), reason_(reason) {}

    bool run(const std::string& text, std::string& out) {
        std::vector<std::string> lines = splitLines(text);
        if (!lines.empty() && lines[0].compare(0, 3, "\xEF\xBB\xBF") == 0) lines[0].erase(0, 3);
        std::vector<std::vector<std::string>> directives;
        if (!sealLevel(lines, false, global_, directives, out)) return false;
        // Each <connection> block with the global settings seen before it; checked also over all
        // of them at the end, whichever way openvpn combines the two.
        std::vector<Binding> entries{global_};
        for (const auto& [early, blockDirectives] : blocks_) {
            Binding late = global_;
            for (const auto& q : blockDirectives)
                late.apply(q);
            entries.push_back(early);
            entries.push_back(late);
        }
        for (const Binding& b : entries)
            if (std::string problem = b.lowPortProblem(); !problem.empty()) return fail(problem);
        return true;
    }

private:
    // One level: the whole text, or the inside of a <connection> block, which openvpn reads as a
    // configuration of its own. Files are put inline at the level that names them.
    bool sealLevel(const std::vector<std::string>& lines, bool inConnection, Binding& binding,
                   std::vector<std::vector<std::string>>& directives, std::string& out) {
        for (size_t i = 0; i < lines.size(); ++i) {
            std::vector<std::string> p;
            tokenizeOvpnLine(lines[i], p); // the check has accepted every line
            if (p.empty()) {
                out += lines[i] + "\n";
                continue;
            }
            if (p[0].size() >= 3 && p[0].compare(0, 2, "--") == 0) p[0].erase(0, 2);
            if (p.size() == 1 && p[0].size() >= 2 && p[0].front() == '<' && p[0].back() == '>') {
                const std::string tag = p[0].substr(1, p[0].size() - 2);
                const std::string closeTag = "</" + tag + ">";
                std::vector<std::string> inner;
                size_t j = i + 1;
                for (; j < lines.size() && !startsWithCloseTag(lines[j], closeTag); ++j)
                    inner.push_back(lines[j]);
                out += lines[i] + "\n";
                if (tag == "connection") {
                    Binding block = binding;
                    std::vector<std::vector<std::string>> blockDirectives;
                    if (!sealLevel(inner, true, block, blockDirectives, out)) return false;
                    blocks_.emplace_back(block, blockDirectives);
                } else {
                    for (const std::string& line : inner)
                        out += line + "\n";
                }
                if (j < lines.size()) out += lines[j] + "\n";
                i = j;
                continue;
            }
            stripSetenvOpt(p, reason_); // accepted by the check
            binding.apply(p);
            if (inConnection) directives.push_back(p);
            if (!sealDirective(p, lines[i], inConnection, out)) return false;
        }
        return true;
    }

    bool fail(const std::string& why) {
        reason_ = why;
        return false;
    }

    bool read(const std::string& directive, const std::string& path, std::string& content) {
        std::string why;
        if (readFile_(path, content, why)) return true;
        return fail(directive + " " + path + ": " + why);
    }

    // A line that closes the block, or the <connection> around it, would end it there, and the
    // rest of the file would be read as directives: one naming a file passes the check again, and
    // root's openvpn would open that file by name.
    bool inlineFile(const std::string& directive, const std::string& path, const std::string& tag,
                    bool inConnection, std::string& out) {
        std::string content;
        if (!read(directive, path, content)) return false;
        if (directive == "pkcs12") content = base64(content);
        for (const std::string& line : splitLines(content))
            if (startsWithCloseTag(line, "</" + tag + ">") ||
                (inConnection && startsWithCloseTag(line, "</connection>")))
                return fail("a named file changes the configuration: " + directive + " " + path + " ends <" +
                            tag + ">");
        out += "<" + tag + ">\n" + content;
        if (!content.empty() && content.back() != '\n') out += "\n";
        out += "</" + tag + ">\n";
        return true;
    }

    bool sealDirective(const std::vector<std::string>& p, const std::string& line, bool inConnection,
                       std::string& out) {
        const std::string& kw = p[0];
        if (kw == "verb" && verbosity(p[1]) > kMaxVerb) {
            out += "verb " + std::to_string(kMaxVerb) + "\n";
            return true;
        }
        if (kw == "capath") return fail("capath names a folder, which openvpn cannot be given inline");
        if (kw == "crl-verify" && p.size() >= 3) return fail("crl-verify of a folder cannot be given inline");
        if (fileDirectives().count(kw) && p.size() >= 2) {
            if (!inlineFile(kw, p[1], kw, inConnection, out)) return false;
            if ((kw == "tls-auth" || kw == "secret") && p.size() >= 3) {
                if (!isPlainToken(p[2])) return fail(kw + " direction " + p[2]);
                out += "key-direction " + p[2] + "\n";
            }
            return true;
        }
        if (kw == "auth-user-pass" && p.size() == 2) return inlineFile(kw, p[1], kw, inConnection, out);
        if (kw == "http-proxy" && p.size() >= 4 && p[3] != "auto" && p[3] != "auto-nct") {
            if (!isPlainToken(p[1]) || !isPlainToken(p[2]) || (p.size() >= 5 && !isPlainToken(p[4])))
                return fail("http-proxy with an unusual host, port or method");
            // The credentials come from the inline block; the name in their place is not read.
            out += "http-proxy " + p[1] + " " + p[2] + " inline" + (p.size() >= 5 ? " " + p[4] : "") + "\n";
            return inlineFile(kw, p[3], "http-proxy-user-pass", inConnection, out);
        }
        out += line + "\n";
        return true;
    }

    const OvpnFileReader& readFile_;
    std::string& reason_;
    Binding global_;
    std::vector<std::pair<Binding, std::vector<std::vector<std::string>>>> blocks_;
};

} // namespace

bool sealOvpnConfigText(const std::string& text, const OvpnFileReader& readFile, std::string& sealed,
                        std::string& reason) {
    reason.clear();
    if (!checkText(text, 0, reason)) return false;
    std::string out;
    if (!Sealer(readFile, reason).run(text, out)) return false;
    // What was put inline must not have changed how the text reads (a file holding "</ca>" and
    // directives after it): the sealed text passes the same check.
    std::string again;
    if (!checkText(out, 0, again)) {
        reason = "a named file changes the configuration: " + again;
        return false;
    }
    if (out.size() > kMaxSealedBytes) {
        reason = "larger than 1 MiB with its files";
        return false;
    }
    sealed = std::move(out);
    return true;
}

} // namespace helper
