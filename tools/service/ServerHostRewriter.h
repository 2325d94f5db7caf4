#pragma once
#include <string>
#include <string_view>

// Puts one host into every server element of a server list, so that the demo can send every region to
// the local OpenVPN / ocserv fixtures: the "Server" attribute of each "Server"/"AddServer" element becomes
// openvpnHost and of each "OCServer"/"AddOCServer" element openconnectHost (an empty host leaves those
// elements alone). Everything else in the document stays byte for byte.
class ServerHostRewriter {
public:
    ServerHostRewriter(std::string openvpnHost, std::string openconnectHost);

    bool active() const { return !openvpnHost_.empty() || !openconnectHost_.empty(); }
    std::string rewrite(std::string_view xml) const;

    // Host names and address literals only: nothing that needs escaping in XML or a URL.
    static bool isValidHost(std::string_view host);

private:
    std::string openvpnHost_;
    std::string openconnectHost_;
};
