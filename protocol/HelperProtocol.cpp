#include "protocol/HelperProtocol.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace protocol {

std::vector<std::string> splitFields(std::string_view text, size_t maxFields) {
    std::vector<std::string> fields;
    // A NUL ends the text, as it ends the C string the helper receives.
    text = text.substr(0, text.find('\0'));
    size_t p = 0;
    while (p < text.size() && fields.size() < maxFields) {
        while (p < text.size() && text[p] == ',')
            ++p;
        if (p == text.size()) break;
        const size_t start = p;
        while (p < text.size() && text[p] != ',')
            ++p;
        fields.emplace_back(text.substr(start, p - start));
    }
    return fields;
}

namespace {

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isAlnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool isDecimal(const std::string& text) {
    int ignored = 0;
    return parseDecimal(text, ignored);
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

bool isIpLiteralOf(int family, std::string_view text) {
    int f = 0;
    return isIpLiteral(text, &f) && f == family;
}

bool isSetKeyServiceField(const std::string& text) {
    return text == "(null)" || isServiceIdShape(text);
}


// clang-format off
const std::vector<MessageShape>& firstMessageShapes() {
    static const std::vector<MessageShape> shapes = {
        {"CMD_OVPN_START", {{"root path", isUsableRootPath, false}}, false},
        {"CMD_OPENCONNECT_START", {{"root path", isUsableRootPath, false},
                                   {"user name", isUserName, false},
                                   {"server URL", isOpenConnectUrl, false},
                                   {"certificate pin", isCertPin, false}}, false},
        {"CMD_SCNETWORK", {}, false},
    };
    return shapes;
}

const std::vector<MessageShape>& subCommandShapes() {
    static const std::vector<MessageShape> shapes = {
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
    return shapes;
}
// clang-format on

const MessageShape* shapeOf(const std::vector<MessageShape>& shapes, std::string_view word) {
    for (const MessageShape& s : shapes)
        if (word == s.word) return &s;
    return nullptr;
}

// The message's text (fields joined by ","), checked against its own shape as the helper will
// split it, and short enough for the helper's buffer with the NUL when it carries one.
std::optional<std::string> built(const std::vector<std::string>& fields, const MessageShape* shape,
                                 bool withNul) {
    std::string text;
    for (const std::string& f : fields)
        text += (text.empty() ? "" : ",") + f;
    if (!shape || mismatchOf(*shape, splitFields(text)) != kMatches) return std::nullopt;
    if (withNul) text.push_back('\0');
    if (text.size() >= kMessageBufferSize) return std::nullopt;
    return text;
}

} // namespace

bool isUsableRootPath(const std::string& text) {
    if (text.empty() || text[0] != '/' || text.size() > kMaxRootPathLength) return false;
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f || c == ',') return false;
    return true;
}

bool isIpLiteral(std::string_view text, int* family) {
    // inet_pton needs a terminated string; anything longer than an IPv6 text cannot be one.
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN || text.find('\0') != std::string_view::npos) return false;
    const std::string s(text);
    unsigned char buf[sizeof(in6_addr)];
    for (int f : {AF_INET, AF_INET6})
        if (inet_pton(f, s.c_str(), buf) == 1) {
            if (family) *family = f;
            return true;
        }
    return false;
}

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

bool isOpenConnectHost(const std::string& text) {
    if (text.size() > 2 && text.front() == '[' && text.back() == ']')
        return isIpLiteralOf(AF_INET6, text.substr(1, text.size() - 2));
    return isDnsName(text) || isIpLiteralOf(AF_INET, text);
}

bool isOpenConnectUrl(const std::string& text) {
    static const std::string scheme = "https://", tail = ":443/";
    if (text.size() <= scheme.size() + tail.size() || text.compare(0, scheme.size(), scheme) != 0 ||
        text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    return isOpenConnectHost(text.substr(scheme.size(), text.size() - scheme.size() - tail.size()));
}

bool isCertPin(const std::string& text) {
    // 43 characters and one "=", the last character before it carrying no bits beyond the 256.
    if (text.size() != 44 || text[43] != '=') return false;
    for (size_t i = 0; i < 43; ++i)
        if (!isAlnum(text[i]) && text[i] != '+' && text[i] != '/') return false;
    return std::strchr("AEIMQUYcgkosw048", text[42]) != nullptr;
}

bool isPlainUtf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned c = *p;
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

bool parseDecimal(const std::string& text, int& value) {
    if (text.empty() || text.size() > 11) return false;
    const size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (i == text.size()) return false;
    for (size_t k = i; k < text.size(); ++k)
        if (text[k] < '0' || text[k] > '9') return false;
    errno = 0;
    const long v = std::strtol(text.c_str(), nullptr, 10);
    if (errno != 0 || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        return false;
    value = static_cast<int>(v);
    return true;
}

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

const MessageShape* firstMessageShape(std::string_view word) {
    return shapeOf(firstMessageShapes(), word);
}

const MessageShape* subCommandShape(std::string_view word) {
    return shapeOf(subCommandShapes(), word);
}

int mismatchOf(const MessageShape& shape, const std::vector<std::string>& fields) {
    const size_t expected = shape.fields.size() + 1;
    if (fields.size() < expected || (!shape.restIgnored && fields.size() > expected)) return kFieldCount;
    for (size_t i = 0; i < shape.fields.size(); ++i)
        if (!shape.fields[i].valid(fields[i + 1])) return static_cast<int>(i + 1);
    return kMatches;
}

std::string openConnectUrl(const std::string& host) {
    const std::string h = isIpLiteralOf(AF_INET6, host) ? "[" + host + "]" : host;
    return "https://" + h + ":" + std::to_string(kOpenConnectPort) + "/";
}

std::optional<std::string> ovpnStartMessage(const std::string& rootPath) {
    return built({"CMD_OVPN_START", rootPath}, firstMessageShape("CMD_OVPN_START"), true);
}

std::optional<std::string> openConnectStartMessage(const std::string& rootPath, const std::string& user,
                                                   const std::string& host, const std::string& pin) {
    return built({"CMD_OPENCONNECT_START", rootPath, user, openConnectUrl(host), pin},
                 firstMessageShape("CMD_OPENCONNECT_START"), true);
}

std::optional<std::string> scNetworkMessage() {
    return built({kScNetwork}, firstMessageShape(kScNetwork), true);
}

std::optional<std::string> setKeyMessage(const std::string& appPath, const std::string& serverAddr,
                                         const std::string& accountName, const std::string& password) {
    return built({"SET_KEY", "(null)", appPath, serverAddr, accountName, password, "TRUE", "none", "none",
                  "0", "1", "859"},
                 subCommandShape("SET_KEY"), false);
}

std::optional<std::string> removePrefMessage(const std::string& serviceId) {
    return built({"REMOVE_PREF", serviceId}, subCommandShape("REMOVE_PREF"), false);
}

} // namespace protocol
