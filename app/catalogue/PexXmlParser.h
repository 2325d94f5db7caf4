#pragma once
#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/catalogue/ServerInfo.h"
#include "app/catalogue/XmlEventParser.h"

namespace platform {
class Defaults;
}

// The server-list parser. The catalogue it fills is type-level: one parse per application run
// fills it and it is only read afterwards (no lock; parse and reads never overlap).
class PexXmlParser : public XmlEventDelegate {
public:
    static inline std::vector<ServerInfo> _serverList;            // OpenVPN servers, document order
    static inline std::vector<ServerInfo> _OCserverList;          // OpenConnect servers, document order
    static inline std::map<std::string, RegionInfo> _regionInfos; // by position key "0", "1", ...
    // Region elements seen so far, skipped ones included: the next position key.
    static inline int _regionElements = 0;

    // Set by the application shell; called at the end of a complete document.
    static inline std::function<void()> onParseFinished;
    // Preference store used to seed the default server; nullptr means platform::Defaults::standard().
    static inline platform::Defaults* preferences = nullptr;
    // Trace prints to standard output (element, character and server lines).
    static inline std::atomic<bool> traceOutput{true};

    // Parses a server-list file; false when it cannot be opened or is not a complete, well-formed
    // document (entries read before an error stay in the catalogue).
    bool parseFile(const std::string& path);
    bool parseData(std::string_view xml);

    void parserDidStartDocument() override;
    void didStartElement(const std::string& name, const XmlAttributes& attributes) override;
    void foundCharacters(std::string_view characters) override;
    void didEndElement(const std::string& name) override;
    void parserDidEndDocument() override;
    void parseErrorOccurred(const std::string& description) override;

    // True when path holds a complete, well-formed document with at least one usable server of a
    // listed region: what may replace the saved list. Only reads: the catalogue, the
    // authentication host and the preferences stay as they are.
    static bool isServerList(const std::string& path);

    // First OpenVPN server; an empty ServerInfo when the list is empty.
    static ServerInfo getServerInfo();
    // Region whose display name equals regionName under canonical equivalence.
    std::optional<RegionInfo> getRegionInfo(const std::string& regionName) const;

    // Empties the catalogue. The application never needs this (one parse per run); tests do.
    static void clearCatalogue();

private:
    static std::optional<ServerInfo> serverFromAttributes(const std::string& element,
                                                          const XmlAttributes& attributes);
    static void resolveRegionNames(std::vector<ServerInfo>& list, const char* listName);
};

extern PexXmlParser extParser;
