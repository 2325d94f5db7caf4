#pragma once
#include "tools/service/FaultSet.h"

#include <optional>
#include <string>
#include <vector>

// Command line of tavro-service (see usage()).
struct ServiceOptions {
    std::string listenHost{"127.0.0.1"};
    int listenPort{8443};
    std::string stateDir;
    std::string dataDir;
    std::string serverListFile; // empty: <data>/serverlist.xml
    std::string updateFile;     // empty: <data>/app_update.xml
    std::string ovpnDir;        // empty: <data>/ovpn
    std::string ovpnDefault;
    std::string openvpnHost;
    std::string openconnectHost;
    std::string accountsFile; // empty: <data>/accounts.txt when it exists
    std::vector<std::string> accounts;
    std::string publicAddress;
    std::string recordFile;
    std::vector<Fault> faults;

    // nullopt with *error set (or an empty error for --help) when the command line is not usable.
    static std::optional<ServiceOptions> parse(int argc, const char* const* argv,
                                               const std::string& defaultDataDir, std::string* error);
    static std::string usage();

    // A bare file name (no "/") names a file in the data directory.
    std::string resolveDataFile(const std::string& value, const std::string& fallbackName) const;
    // host:port as a URL authority ("[::1]:8443" for IPv6).
    std::string authority(int port) const;
};
