#pragma once
#include <string>
#include <vector>

// One server of the server list. Servername is never fed by the document; regionName is filled in
// once the whole list (and so every region) has been read.
struct ServerInfo {
    std::string Server;
    std::string Servername;
    std::string port;
    std::string regionNo;
    std::string regionName;
    std::string status;
    std::vector<std::string> type;

    // "Server:…\r\nServername:…\r\nport:…\r\nregionNo:…\r\nregionName:…\r\n"
    std::string debugDescription() const;
};

// One region of the server list. Row is its zero-based position among the region elements.
struct RegionInfo {
    std::string Region;
    std::string No;
    int Row = 0;

    // Name of the flag image for Region ("flg_blk" when the name is not in the flag table); the UI
    // layer maps names to image files.
    std::string getImage() const;
};
