#include "ServiceRecord.h"

#include <fstream>
#include <sstream>
#include <strings.h>

namespace servicerecord {
namespace {

int decode64(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

std::string base64Decode(const std::string& in) {
    std::string out;
    int bits = 0;
    unsigned acc = 0;
    for (char c : in) {
        const int v = decode64(c);
        if (v < 0) continue;
        acc = ((acc << 6) | static_cast<unsigned>(v)) & 0xffffff;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xff));
        }
    }
    return out;
}

} // namespace

std::vector<nlohmann::json> read(const std::string& file) {
    std::vector<nlohmann::json> out;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        auto j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_object()) out.push_back(std::move(j));
    }
    return out;
}

std::vector<nlohmann::json> logins(const std::string& file) {
    std::vector<nlohmann::json> out;
    for (auto& e : read(file))
        if (e.value("path", "") == "/tavro_cm/auth") out.push_back(std::move(e));
    return out;
}

std::vector<std::string> headers(const nlohmann::json& entry, const std::string& name) {
    std::vector<std::string> out;
    for (const auto& h : entry.value("headers", nlohmann::json::array()))
        if (h.is_array() && h.size() == 2 && h[0].is_string() && h[1].is_string() &&
            ::strcasecmp(h[0].get<std::string>().c_str(), name.c_str()) == 0)
            out.push_back(h[1].get<std::string>());
    return out;
}

std::string header(const nlohmann::json& entry, const std::string& name) {
    const auto values = headers(entry, name);
    return values.empty() ? std::string() : values.front();
}

std::string clientContentType(const nlohmann::json& entry) {
    for (const auto& v : headers(entry, "Content-Type"))
        if (v != "application/octet-stream") return v;
    return {};
}

std::string body(const nlohmann::json& entry) {
    return base64Decode(entry.value("body_base64", ""));
}

} // namespace servicerecord
