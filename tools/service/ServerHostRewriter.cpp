#include "tools/service/ServerHostRewriter.h"

#include <vector>

namespace {

bool isNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == ':' || c == '.' || c == '-' || static_cast<unsigned char>(c) >= 0x80;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

struct Replacement {
    std::size_t begin;
    std::size_t end;
    const std::string* value;
};

} // namespace

ServerHostRewriter::ServerHostRewriter(std::string openvpnHost, std::string openconnectHost)
    : openvpnHost_(std::move(openvpnHost)), openconnectHost_(std::move(openconnectHost)) {}

bool ServerHostRewriter::isValidHost(std::string_view host) {
    if (host.empty() || host.size() > 253) return false;
    for (char c : host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
        if (!ok) return false;
    }
    return true;
}

std::string ServerHostRewriter::rewrite(std::string_view xml) const {
    std::vector<Replacement> replacements;
    std::size_t i = 0;
    while ((i = xml.find('<', i)) != std::string_view::npos) {
        if (xml.substr(i, 4) == "<!--") {
            const auto end = xml.find("-->", i + 4);
            if (end == std::string_view::npos) break;
            i = end + 3;
            continue;
        }
        if (xml.substr(i, 9) == "<![CDATA[") {
            const auto end = xml.find("]]>", i + 9);
            if (end == std::string_view::npos) break;
            i = end + 3;
            continue;
        }
        ++i;
        const std::size_t nameStart = i;
        while (i < xml.size() && isNameChar(xml[i]))
            ++i;
        const std::string_view name = xml.substr(nameStart, i - nameStart);
        const std::string* host = nullptr;
        if (name == "Server" || name == "AddServer")
            host = &openvpnHost_;
        else if (name == "OCServer" || name == "AddOCServer")
            host = &openconnectHost_;
        if (!host || host->empty()) continue;

        // Attributes up to the end of the start tag; quoted values may hold ">".
        while (i < xml.size()) {
            while (i < xml.size() && isSpace(xml[i]))
                ++i;
            if (i >= xml.size() || xml[i] == '>' || xml[i] == '/') break;
            const std::size_t attrStart = i;
            while (i < xml.size() && isNameChar(xml[i]))
                ++i;
            const std::string_view attr = xml.substr(attrStart, i - attrStart);
            while (i < xml.size() && isSpace(xml[i]))
                ++i;
            if (attr.empty() || i >= xml.size() || xml[i] != '=') break;
            ++i;
            while (i < xml.size() && isSpace(xml[i]))
                ++i;
            if (i >= xml.size() || (xml[i] != '"' && xml[i] != '\'')) break;
            const char quote = xml[i++];
            const auto close = xml.find(quote, i);
            if (close == std::string_view::npos) break;
            if (attr == "Server") replacements.push_back({i, close, host});
            i = close + 1;
        }
    }

    std::string out;
    out.reserve(xml.size());
    std::size_t pos = 0;
    for (const auto& r : replacements) {
        out.append(xml.substr(pos, r.begin - pos));
        out.append(*r.value);
        pos = r.end;
    }
    out.append(xml.substr(pos));
    return out;
}
