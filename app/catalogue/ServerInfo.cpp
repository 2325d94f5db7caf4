#include "app/catalogue/ServerInfo.h"

#include "app/catalogue/VPNPreferences.h"

std::string ServerInfo::debugDescription() const {
    return "Server:" + Server + "\r\n" + "Servername:" + Servername + "\r\n" + "port:" + port + "\r\n" +
           "regionNo:" + regionNo + "\r\n" + "regionName:" + regionName + "\r\n";
}

std::string RegionInfo::getImage() const {
    return flagImageName(Region);
}
