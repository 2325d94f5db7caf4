#include "app/service/Constants.h"

#include "platform/Deployment.h"
#include "platform/Paths.h"

std::atomic<int> Constants::autoConnectCount{-1};
std::string Constants::AuthHostURL = Constants::defaultAuthHostURL();

std::string Constants::authURLForHost(const std::string& host) {
    return "https://" + host + "/tavro_cm/auth";
}
std::string Constants::defaultAuthHostURL() {
    return authURLForHost(platform::authHost());
}
std::string Constants::tvrootPath() {
    return platform::xdgDataHome() + "/norvell/tavrovpn";
}
std::string Constants::ServerListURL() {
    return "https://" + platform::webHost() + "/support/vpn/tavrovpn/serverlist.xml";
}
std::string Constants::UpdateFileURL() {
    return "https://" + platform::webHost() + "/support/vpn/tavrovpn/app_update.xml";
}
std::string Constants::ovpnConfigURL(const std::string& fileName) {
    return "https://" + platform::webHost() + "/support/vpn/openvpn/file/" + fileName;
}
std::string Constants::remoteAddrURL() {
    return "https://" + platform::webHost() + "/support/vpn/cgi-bin/remote.cgi";
}
std::string Constants::helpPageURL() {
    return "https://" + platform::faqHost() + "/support/vpn/tavrovpn/forward/01.html";
}
