#pragma once
#include <array>
#include <atomic>
#include <string>

// Process-wide constants and the few type-level values the design keeps on Constants.
// Every service URL is built here, from the deployment settings.
struct Constants {
    static constexpr std::array<const char*, 3> protcols{"OpenConnect", "L2TP", "OpenVPN"};
    // Position in the automatic protocol cycle; -1 when no cycle is in progress.
    static std::atomic<int> autoConnectCount;
    // Full URL of the authentication endpoint; the server list's AuthServer element replaces it.
    static std::string AuthHostURL;

    static std::string defaultAuthHostURL(); // "https://" + auth host + "/tavro_cm/auth"
    static std::string authURLForHost(const std::string& host);
    static std::string tvrootPath(); // $XDG_DATA_HOME/norvell/tavrovpn
    static std::string ServerListURL();
    static std::string UpdateFileURL();
    static std::string ovpnConfigURL(const std::string& fileName);
    static std::string remoteAddrURL();
    static std::string helpPageURL(); // also the FAQ page
};
