#pragma once
// Loads the server list from the local service into the shared catalogue, as the launch sequence
// does; the service must already be exported to the environment.
#include "app/catalogue/PexXmlParser.h"
#include "app/service/Constants.h"
#include "app/service/FileDownloader.h"

#include <optional>
#include <string>

namespace testsupport {

inline bool loadServerListFromService() {
    PexXmlParser::traceOutput = false;
    bool parsed = false;
    FileDownloader::loadFileSync(Constants::ServerListURL(),
                                 [&](const std::string& path, const std::optional<DownloadError>& error) {
                                     parsed = !error && extParser.parseFile(path);
                                 });
    return parsed;
}

} // namespace testsupport
