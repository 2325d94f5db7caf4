#include "helper/HelperMessage.h"

#include "platform/Log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <nlohmann/json.hpp>

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

// A root path holding a "," arrives as more fields than the command has: refused, never guessed.
bool parseOvpnStart(const std::vector<std::string>& fields, std::string& rootPath) {
    if (fields.size() != 2 || !isUsableRootPath(fields[1])) return false;
    rootPath = fields[1];
    return true;
}

bool parseOpenConnectStart(const std::vector<std::string>& fields, OpenConnectStart& out) {
    if (fields.size() != 5 || !isUsableRootPath(fields[1])) return false;
    out.rootPath = fields[1];
    out.user = fields[2];
    out.url = fields[3];
    out.pin = fields[4];
    return true;
}

bool isIpLiteral(const std::string& text) {
    unsigned char buf[16];
    return inet_pton(AF_INET, text.c_str(), buf) == 1 || inet_pton(AF_INET6, text.c_str(), buf) == 1;
}

namespace {

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

bool isHostName(const std::string& text) {
    if (text.empty() || text.size() > 253) return false;
    for (char c : text) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '-' || c == ':';
        if (!ok) return false;
    }
    return true;
}

// Exactly the texts the stores can keep: their JSON writer is the judge.
bool isUtf8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

bool isDnsField(const std::string& text) {
    return text == "none" || isIpLiteral(text);
}

} // namespace

SetKeyParse parseSetKey(const std::vector<std::string>& f, SetKeyRequest& out, std::string& problem) {
    problem.clear();
    if (f.size() < 12) {
        problem = "missing fields";
        return SetKeyParse::MissingFields;
    }
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

    if (r.appPath[0] != '/')
        problem = "appPath";
    else if (!isHostName(r.serverAddr))
        problem = "serverAddr";
    else if (!isDnsField(r.dnsPrim))
        problem = "DNSPrim";
    else if (!isDnsField(r.dnsSecond))
        problem = "DNSSecond";
    else if (!parseDecimal(r.ccp40Text, r.ccp40))
        problem = "PPPCCPEnabled40";
    else if (!parseDecimal(r.ccp128Text, r.ccp128))
        problem = "PPPCCPEnabled128";
    // The keychain keeps texts: bytes that are no UTF-8 could not be stored as sent.
    else if (!isUtf8(r.accountName) || !isUtf8(r.password) || !isUtf8(r.l2tpPassword) || !isUtf8(r.appPath))
        problem = "not UTF-8";
    if (!problem.empty()) return SetKeyParse::InvalidField;
    out = std::move(r);
    return SetKeyParse::Ok;
}

std::string maskedForLog(const char* text) {
    if (!text) return std::string();
    auto fields = splitFields(text, 1);
    if (fields.empty() || fields[0] != "SET_KEY") return text;
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
    return out;
}

} // namespace helper
