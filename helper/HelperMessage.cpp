#include "helper/HelperMessage.h"

#include "helper/HelperLog.h"
#include "platform/Log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace helper {

std::vector<std::string> splitFields(const char* text, size_t maxFields) {
    std::vector<std::string> fields;
    if (!text) return fields;
    const char* p = text;
    while (*p && fields.size() < maxFields) {
        while (*p == ',')
            ++p;
        if (!*p) break;
        const char* start = p;
        while (*p && *p != ',')
            ++p;
        fields.emplace_back(start, p);
    }
    return fields;
}

bool isCloseRequest(const char* text) {
    return text && std::strncmp(text, "close", 5) == 0;
}

Command commandOf(const std::vector<std::string>& fields) {
    if (fields.empty()) return Command::Unknown;
    const std::string& w = fields[0];
    if (w == "CMD_OVPN_START") return Command::OvpnStart;
    if (w == "CMD_OPENCONNECT_START") return Command::OpenConnectStart;
    if (w == "CMD_SCNETWORK") return Command::ScNetwork;
    return Command::Unknown;
}

SubCommand subCommandOf(const std::vector<std::string>& fields) {
    if (fields.empty()) return SubCommand::Unknown;
    const std::string& w = fields[0];
    if (w == "REMOVE_PASSWD") return SubCommand::RemovePasswd;
    if (w == "GET_VER") return SubCommand::GetVer;
    if (w == "DELETE_KEY") return SubCommand::DeleteKey;
    if (w == "GET_PASSWD_SZ") return SubCommand::GetPasswdSz;
    if (w == "GET_USER_SZ") return SubCommand::GetUserSz;
    if (w == "SET_KEY") return SubCommand::SetKey;
    if (w == "REMOVE_PREF") return SubCommand::RemovePref;
    return SubCommand::Unknown;
}

bool isUsableRootPath(const std::string& rootPath) {
    if (rootPath.empty() || rootPath[0] != '/' || rootPath.size() > kMaxRootPathLength) return false;
    for (unsigned char c : rootPath)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

bool isIpLiteral(const std::string& text) {
    unsigned char buf[16];
    return inet_pton(AF_INET, text.c_str(), buf) == 1 || inet_pton(AF_INET6, text.c_str(), buf) == 1;
}

namespace {

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isAlnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Decimal integer that fits an int; what atoi would read for every well-formed value.
bool parseDecimal(const std::string& text, int& value) {
    if (text.empty() || text.size() > 11) return false;
    size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (i == text.size()) return false;
    for (size_t k = i; k < text.size(); ++k)
        if (text[k] < '0' || text[k] > '9') return false;
    errno = 0;
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (errno != 0 || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        return false;
    value = static_cast<int>(v);
    return true;
}

bool isDecimal(const std::string& text) {
    int ignored = 0;
    return parseDecimal(text, ignored);
}

// A DNS name: dot-separated labels of letters, digits, "-" and "_", none empty, longer than 63 or
// starting or ending with "-" (so no name can be read as an option).
bool isDnsName(const std::string& text) {
    if (text.empty() || text.size() > 253) return false;
    size_t start = 0;
    for (;;) {
        const size_t dot = text.find('.', start);
        const size_t end = dot == std::string::npos ? text.size() : dot;
        const size_t len = end - start;
        if (len == 0 || len > 63 || text[start] == '-' || text[end - 1] == '-') return false;
        for (size_t i = start; i < end; ++i)
            if (!isAlnum(text[i]) && text[i] != '-' && text[i] != '_') return false;
        if (dot == std::string::npos) return true;
        start = dot + 1;
    }
}

bool isServerAddress(const std::string& text) {
    return isDnsName(text) || isIpLiteral(text);
}

// The only URL the application builds for openconnect: https://HOST:443/, HOST a DNS name, an
// IPv4 literal or a bracketed IPv6 literal.
bool isOpenConnectUrl(const std::string& text) {
    static const std::string scheme = "https://", tail = ":443/";
    if (text.size() <= scheme.size() + tail.size() || text.compare(0, scheme.size(), scheme) != 0 ||
        text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string host = text.substr(scheme.size(), text.size() - scheme.size() - tail.size());
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        unsigned char buf[16];
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), buf) == 1;
    }
    return isDnsName(host);
}

// A SHA-256 digest in base64 as openconnect's probe prints it: 43 characters and one "=", the last
// character before it carrying no bits beyond the 256.
bool isCertPin(const std::string& text) {
    if (text.size() != 44 || text[43] != '=') return false;
    for (size_t i = 0; i < 43; ++i)
        if (!isAlnum(text[i]) && text[i] != '+' && text[i] != '/') return false;
    return std::strchr("AEIMQUYcgkosw048", text[42]) != nullptr;
}

// Strict UTF-8 (no overlong forms, surrogates or code points above U+10FFFF) without control
// characters (C0, DEL, C1).
bool isPlainUtf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        unsigned c = *p;
        size_t n = 0;
        unsigned cp = 0, min = 0;
        if (c < 0x80) {
            n = 0, cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1, cp = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2, cp = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3, cp = c & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (static_cast<size_t>(end - p) < n + 1) return false;
        for (size_t i = 1; i <= n; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return false;
        p += n + 1;
    }
    return true;
}

// A user name as openconnect is given it: plain UTF-8 without blanks, not starting with "-".
bool isUserName(const std::string& text) {
    if (text.empty() || text.size() > 255 || text[0] == '-' || !isPlainUtf8(text)) return false;
    return text.find(' ') == std::string::npos;
}

bool isCredential(const std::string& text) {
    return !text.empty() && isPlainUtf8(text);
}

bool isAppPath(const std::string& text) {
    return !text.empty() && text[0] == '/' && text.size() <= 400 && isPlainUtf8(text);
}

bool isL2tpFlag(const std::string& text) {
    if (text.empty() || text.size() > 16) return false;
    for (char c : text)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
    return true;
}

bool isDnsField(const std::string& text) {
    return text == "none" || isIpLiteral(text);
}

bool isSetKeyServiceField(const std::string& text) {
    return text == "(null)" || isServiceIdShape(text);
}

struct FieldRule {
    const char* name;
    bool (*valid)(const std::string&);
    bool secret; // masked in the refusal's log line
};

// Each command word and its fields after the word, exactly as the application sends them.
struct MessageRule {
    const char* word;
    std::vector<FieldRule> fields;
    bool restIgnored; // further fields are not looked at (the word uses none)
};

// clang-format off
const std::vector<MessageRule>& commandRules() {
    static const std::vector<MessageRule> rules = {
        {"CMD_OVPN_START", {{"root path", isUsableRootPath, false}}, false},
        {"CMD_OPENCONNECT_START", {{"root path", isUsableRootPath, false},
                                   {"user name", isUserName, false},
                                   {"server URL", isOpenConnectUrl, false},
                                   {"certificate pin", isCertPin, false}}, false},
        {"CMD_SCNETWORK", {}, false},
    };
    return rules;
}

const std::vector<MessageRule>& subCommandRules() {
    static const std::vector<MessageRule> rules = {
        {"REMOVE_PASSWD", {{"service identifier", isKeychainServiceShape, false}}, false},
        {"GET_VER", {}, true},
        {"DELETE_KEY", {{"service identifier", isKeychainServiceShape, false}}, false},
        {"GET_PASSWD_SZ", {{"keychain service name", isKeychainServiceShape, false}}, false},
        {"GET_USER_SZ", {{"keychain service name", isKeychainServiceShape, false}}, false},
        {"SET_KEY", {{"service identifier", isSetKeyServiceField, false},
                     {"appPath", isAppPath, false},
                     {"serverAddr", isServerAddress, false},
                     {"accountName", isCredential, false},
                     {"password", isCredential, true},
                     {"IsL2tp", isL2tpFlag, false},
                     {"DNSPrim", isDnsField, false},
                     {"DNSSecond", isDnsField, false},
                     {"PPPCCPEnabled40", isDecimal, false},
                     {"PPPCCPEnabled128", isDecimal, false},
                     {"L2TPpassword", isCredential, true}}, false},
        {"REMOVE_PREF", {{"service identifier", isServiceIdShape, false}}, false},
    };
    return rules;
}
// clang-format on

// False when the fields are not as the rule wants them: refusal says what was wrong, for the log,
// and field names the field ("fields" when there are too few or too many).
bool fieldsMatch(const MessageRule& rule, const std::vector<std::string>& fields, std::string& refusal,
                 std::string& field) {
    const size_t expected = rule.fields.size() + 1;
    if (fields.size() < expected || (!rule.restIgnored && fields.size() > expected)) {
        field = "fields";
        refusal = std::string(rule.word) + " refused: fields: " + std::to_string(fields.size() - 1) +
                  " given, " + std::to_string(rule.fields.size()) + " expected";
        return false;
    }
    for (size_t i = 0; i < rule.fields.size(); ++i) {
        const FieldRule& f = rule.fields[i];
        if (f.valid(fields[i + 1])) continue;
        field = f.name;
        refusal = std::string(rule.word) + " refused: " + f.name + ": " +
                  (f.secret ? std::string(platform::kMasked) : escapedForLog(fields[i + 1]));
        return false;
    }
    return true;
}

bool checkAgainst(const std::vector<MessageRule>& rules, const std::vector<std::string>& fields,
                  std::string& refusal, std::string* fieldOut = nullptr) {
    refusal.clear();
    if (fields.empty()) return true;
    for (const MessageRule& rule : rules) {
        if (fields[0] != rule.word) continue;
        std::string field;
        if (fieldsMatch(rule, fields, refusal, field)) return true;
        if (fieldOut) *fieldOut = field;
        return false;
    }
    return true;
}

} // namespace

bool isServiceIdShape(const std::string& text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !isHex(text[i])) return false;
    }
    return true;
}

bool isKeychainServiceShape(const std::string& text) {
    if (isServiceIdShape(text)) return true;
    return text.size() == 39 && text.compare(36, 3, ".SS") == 0 && isServiceIdShape(text.substr(0, 36));
}

std::string serviceIdOfKeychainService(const std::string& keychainService) {
    if (keychainService.size() > 3 && keychainService.compare(keychainService.size() - 3, 3, ".SS") == 0)
        return keychainService.substr(0, keychainService.size() - 3);
    return keychainService;
}

bool checkCommandFields(const std::vector<std::string>& fields, std::string& refusal) {
    return checkAgainst(commandRules(), fields, refusal);
}

bool checkSubCommandFields(const std::vector<std::string>& fields, std::string& refusal) {
    return checkAgainst(subCommandRules(), fields, refusal);
}

// A root path holding a "," arrives as more fields than the command has: refused, never guessed.
bool parseOvpnStart(const std::vector<std::string>& fields, std::string& rootPath) {
    std::string refusal;
    if (commandOf(fields) != Command::OvpnStart || !checkCommandFields(fields, refusal)) return false;
    rootPath = fields[1];
    return true;
}

bool parseOpenConnectStart(const std::vector<std::string>& fields, OpenConnectStart& out) {
    std::string refusal;
    if (commandOf(fields) != Command::OpenConnectStart || !checkCommandFields(fields, refusal)) return false;
    out.rootPath = fields[1];
    out.user = fields[2];
    out.url = fields[3];
    out.pin = fields[4];
    return true;
}

SetKeyParse parseSetKey(const std::vector<std::string>& f, SetKeyRequest& out, std::string& problem) {
    problem.clear();
    if (f.size() < 12) {
        problem = "missing fields";
        return SetKeyParse::MissingFields;
    }
    std::string refusal;
    if (subCommandOf(f) != SubCommand::SetKey) {
        problem = "not SET_KEY";
        return SetKeyParse::InvalidField;
    }
    if (!checkAgainst(subCommandRules(), f, refusal, &problem)) return SetKeyParse::InvalidField;
    SetKeyRequest r;
    r.serviceId = f[1];
    r.appPath = f[2];
    r.serverAddr = f[3];
    r.accountName = f[4];
    r.password = f[5];
    r.isL2tpText = f[6];
    r.dnsPrim = f[7];
    r.dnsSecond = f[8];
    r.ccp40Text = f[9];
    r.ccp128Text = f[10];
    r.l2tpPassword = f[11];
    r.isL2tp = r.isL2tpText == "TRUE";
    parseDecimal(r.ccp40Text, r.ccp40);
    parseDecimal(r.ccp128Text, r.ccp128);
    out = std::move(r);
    return SetKeyParse::Ok;
}

std::string maskedForLog(const char* text) {
    if (!text) return std::string();
    auto fields = splitFields(text, 1);
    if (fields.empty() || fields[0] != "SET_KEY") return escapedForLog(text);
    std::string out;
    size_t index = 0; // 1-based number of the field being copied
    bool inField = false;
    for (const char* p = text; *p; ++p) {
        if (*p == ',') {
            inField = false;
            out += ',';
            continue;
        }
        if (!inField) {
            inField = true;
            ++index;
            if (index == 6 || index == 12) out += platform::kMasked;
        }
        if (index != 6 && index != 12) out += *p;
    }
    return escapedForLog(out);
}

} // namespace helper
