// Server-list parser, region lookup and server choice on arbitrary bytes.
#include "app/catalogue/PexXmlParser.h"
#include "app/catalogue/VPNPreferences.h"
#include "app/service/Constants.h"
#include "platform/Defaults.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

platform::Defaults& fuzzPreferences() {
    // A non-empty address means the parser never writes the store: no disk traffic per input.
    static platform::Defaults* prefs = [] {
        std::string path = "/tmp/tavro-fuzz-defaults-" + std::to_string(::getpid()) + ".json";
        auto* d = new platform::Defaults(path);
        d->setString("serverAddress", "seeded");
        return d;
    }();
    return *prefs;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PexXmlParser::traceOutput = false;
    PexXmlParser::preferences = &fuzzPreferences();
    PexXmlParser::clearCatalogue();
    setServerChoiceRandom([](uint32_t upper) { return upper - 1; });

    const std::string_view xml(reinterpret_cast<const char*>(data), size);
    extParser.parseData(xml);
    for (const auto& [key, region] : PexXmlParser::_regionInfos) {
        (void)getServerAddr(region.No);
        (void)getOCServerAddr(key);
        (void)extParser.getRegionInfo(region.Region);
        (void)region.getImage();
    }
    (void)PexXmlParser::getServerInfo();
    (void)flagImageName(std::string(xml.substr(0, 64)));
    Constants::AuthHostURL = Constants::defaultAuthHostURL();
    return 0;
}
