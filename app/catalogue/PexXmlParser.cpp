#include "app/catalogue/PexXmlParser.h"

#include "app/catalogue/VPNPreferences.h"
#include "app/service/Constants.h"
#include "platform/Defaults.h"
#include "platform/Log.h"

#include <algorithm>
#include <cstdio>
#include <set>

PexXmlParser extParser;

namespace {

void trace(std::string_view text) {
    if (!PexXmlParser::traceOutput.load(std::memory_order_relaxed)) return;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

void trace(std::string_view prefix, std::string_view text) {
    if (!PexXmlParser::traceOutput.load(std::memory_order_relaxed)) return;
    std::string line;
    line.reserve(prefix.size() + text.size());
    line.append(prefix).append(text);
    trace(line);
}

const std::string* attribute(const XmlAttributes& attributes, const char* key) {
    auto it = attributes.find(key);
    return it == attributes.end() ? nullptr : &it->second;
}

std::vector<std::string> splitType(const std::string& value) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t comma = value.find(',', start);
        parts.push_back(value.substr(start, comma - start));
        if (comma == std::string::npos) return parts;
        start = comma + 1;
    }
}

// An authentication host goes straight into a URL that receives the user's credentials: only a
// host name or address with an optional port is taken, never a path, user part or query.
bool isHostWithPort(const std::string& host) {
    if (host.empty() || host.size() > 255) return false;
    return std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
               c == '-' || c == ':' || c == '[' || c == ']';
    });
}

bool isServerElement(const std::string& name) {
    return name == "Server" || name == "AddServer";
}
bool isOCServerElement(const std::string& name) {
    return name == "OCServer" || name == "AddOCServer";
}
bool isRegionElement(const std::string& name) {
    return name == "Region" || name == "AddRegion";
}

enum class ServerFault { none, missingAttribute, emptyServerOrRegion, statusNotInteger };

ServerFault serverElementFault(const XmlAttributes& attributes) {
    for (const char* key : {"Server", "Region", "Port", "Status", "Type"})
        if (!attribute(attributes, key)) return ServerFault::missingAttribute;
    if (attribute(attributes, "Server")->empty() || attribute(attributes, "Region")->empty())
        return ServerFault::emptyServerOrRegion;
    if (!parseStatus(*attribute(attributes, "Status"))) return ServerFault::statusNotInteger;
    return ServerFault::none;
}

// Follows a parse the way the catalogue would take it, keeping nothing but what it saw.
class ServerListCheck : public XmlEventDelegate {
public:
    void didStartElement(const std::string& name, const XmlAttributes& attributes) override {
        if (isRegionElement(name)) {
            const int row = regionElements_++;
            const std::string* region = attribute(attributes, "Region");
            const std::string* no = attribute(attributes, "No");
            if (region && no && !region->empty() && !no->empty()) regionKeys_.insert(std::to_string(row));
        } else if ((isServerElement(name) || isOCServerElement(name)) &&
                   serverElementFault(attributes) == ServerFault::none) {
            serverRegions_.push_back(*attribute(attributes, "Region"));
        }
    }
    bool hasServerOfListedRegion() const {
        return std::any_of(serverRegions_.begin(), serverRegions_.end(),
                           [this](const std::string& r) { return regionKeys_.count(r) != 0; });
    }

private:
    int regionElements_ = 0;
    std::set<std::string> regionKeys_;
    std::vector<std::string> serverRegions_;
};

} // namespace

bool PexXmlParser::parseFile(const std::string& path) {
    return XmlEventParser::parseFile(path, *this);
}

bool PexXmlParser::parseData(std::string_view xml) {
    return XmlEventParser::parseData(xml, *this);
}

bool PexXmlParser::isServerList(const std::string& path) {
    ServerListCheck check;
    return XmlEventParser::parseFile(path, check) && check.hasServerOfListedRegion();
}

void PexXmlParser::parserDidStartDocument() {
    platform::logText("parserDidStartDocument");
}

std::optional<ServerInfo> PexXmlParser::serverFromAttributes(const std::string& element,
                                                             const XmlAttributes& attributes) {
    switch (serverElementFault(attributes)) {
    case ServerFault::missingAttribute:
        platform::logInfo("server list: %s element without Server, Region, Port, Status or Type skipped",
                          element.c_str());
        return std::nullopt;
    case ServerFault::emptyServerOrRegion:
        platform::logInfo("server list: %s element with an empty Server or Region skipped", element.c_str());
        return std::nullopt;
    case ServerFault::statusNotInteger:
        platform::logInfo("server list: %s element for %s skipped: status is not an integer", element.c_str(),
                          attribute(attributes, "Server")->c_str());
        return std::nullopt;
    case ServerFault::none:
        break;
    }
    ServerInfo info;
    info.Server = *attribute(attributes, "Server");
    info.port = *attribute(attributes, "Port");
    info.regionNo = *attribute(attributes, "Region");
    info.status = *attribute(attributes, "Status");
    info.type = splitType(*attribute(attributes, "Type"));
    return info;
}

void PexXmlParser::didStartElement(const std::string& name, const XmlAttributes& attributes) {
    trace("開始タグ:", name);
    if (isServerElement(name) || isOCServerElement(name)) {
        auto info = serverFromAttributes(name, attributes);
        if (!info) return;
        (isServerElement(name) ? _serverList : _OCserverList).push_back(*info);
        trace(info->debugDescription());
    } else if (isRegionElement(name)) {
        // A skipped element still takes its position: every later region keeps its key.
        const int row = _regionElements++;
        const std::string* region = attribute(attributes, "Region");
        const std::string* no = attribute(attributes, "No");
        if (!region || !no || region->empty() || no->empty()) {
            platform::logInfo("server list: %s element without Region or No skipped", name.c_str());
            return;
        }
        _regionInfos[std::to_string(row)] = RegionInfo{*region, *no, row};
    } else if (name == "AuthServer") {
        const std::string* host = attribute(attributes, "Server");
        if (!host || !isHostWithPort(*host)) {
            platform::logInfo("server list: AuthServer element without a usable host ignored");
            return;
        }
        Constants::AuthHostURL = Constants::authURLForHost(*host);
    }
}

void PexXmlParser::foundCharacters(std::string_view characters) {
    trace("要素:", characters);
}

void PexXmlParser::didEndElement(const std::string& name) {
    trace("終了タグ:", name);
}

void PexXmlParser::resolveRegionNames(std::vector<ServerInfo>& list, const char* listName) {
    std::erase_if(list, [listName](ServerInfo& info) {
        auto it = _regionInfos.find(info.regionNo);
        if (it == _regionInfos.end()) {
            platform::logInfo("server list: %s server %s dropped: region %s is not in the list", listName,
                              info.Server.c_str(), info.regionNo.c_str());
            return true;
        }
        info.regionName = it->second.Region;
        return false;
    });
}

void PexXmlParser::parserDidEndDocument() {
    trace("XML解析終了しました");
    resolveRegionNames(_serverList, "OpenVPN");
    resolveRegionNames(_OCserverList, "OpenConnect");

    platform::Defaults& prefs = preferences ? *preferences : platform::Defaults::standard();
    if (prefs.string("serverAddress").empty()) {
        if (_serverList.empty()) {
            platform::logInfo("server list: no usable OpenVPN server; default server not set");
        } else {
            const ServerInfo first = getServerInfo();
            prefs.setString("serverAddress", first.Server);
            prefs.setString("regionNumber", first.regionNo);
            prefs.setString("Region", first.regionName);
        }
    }
    if (onParseFinished) onParseFinished();
}

void PexXmlParser::parseErrorOccurred(const std::string& description) {
    trace("エラー:", description);
}

ServerInfo PexXmlParser::getServerInfo() {
    return _serverList.empty() ? ServerInfo{} : _serverList.front();
}

std::optional<RegionInfo> PexXmlParser::getRegionInfo(const std::string& regionName) const {
    const std::string wanted = canonicalText(regionName);
    for (const auto& [key, info] : _regionInfos) {
        if (info.Region == regionName || canonicalText(info.Region) == wanted) return info;
    }
    return std::nullopt;
}

void PexXmlParser::clearCatalogue() {
    _serverList.clear();
    _OCserverList.clear();
    _regionInfos.clear();
    _regionElements = 0;
}
