#include "helper/TunnelCommand.h"

#include <gtest/gtest.h>

using namespace helper;

namespace {

const std::string R = "/home/u/.local/share/norvell/tavrovpn";
const std::string kSetDns = "\"" + R + "/OpenVPN/set-dns.sh\" ";

} // namespace

TEST(TunnelLine, TheFourShapesTheApplicationSends) {
    struct Case {
        std::string line;
        TunnelLineKind kind;
        std::vector<std::string> addresses;
    } cases[] = {
        {"cp /etc/resolv.conf \"" + R + "/OpenVPN/\"", TunnelLineKind::SaveResolver, {}},
        {kSetDns + "openvpn 10.8.0.1", TunnelLineKind::SwitchDns, {"10.8.0.1"}},
        {kSetDns + "openvpn fd00::53", TunnelLineKind::SwitchDns, {"fd00::53"}},
        {kSetDns + "openvpn ", TunnelLineKind::SwitchDns, {}}, // no address pushed
        {kSetDns + "localhost 192.168.1.1 ::ffff:10.0.0.1 ",
         TunnelLineKind::RestoreDns,
         {"192.168.1.1", "::ffff:10.0.0.1"}},
        {kSetDns + "localhost ", TunnelLineKind::RestoreDns, {}},
        {"kill -HUP $(cat \"" + R + "/openconnect/childpid\")", TunnelLineKind::StopOpenConnect, {}},
        {"kill -USR2 $(cat \"" + R + "/openconnect/childpid\")", TunnelLineKind::ReconnectOpenConnect, {}},
    };
    for (const Case& k : cases) {
        const TunnelLine t = parseTunnelLine(k.line, R);
        EXPECT_EQ(t.kind, k.kind) << k.line;
        EXPECT_EQ(t.addresses, k.addresses) << k.line;
    }
    // A root path the shell would expand is matched in the escaped form the application sends.
    const std::string odd = "/tmp/a \"$x`\\";
    EXPECT_EQ(parseTunnelLine("kill -HUP $(cat \"/tmp/a \\\"\\$x\\`\\\\/openconnect/childpid\")", odd).kind,
              TunnelLineKind::StopOpenConnect);
}

TEST(TunnelLine, EverythingElseIsForeign) {
    for (const std::string& line : std::vector<std::string>{
             std::string(),
             std::string("touch /root/x"),
             "cp /etc/resolv.conf \"" + R + "/OpenVPN/\"; touch /x",
             "cp /etc/shadow \"" + R + "/OpenVPN/\"",
             "cp /etc/resolv.conf \"/tmp/OpenVPN/\"",
             kSetDns + "openvpn 10.8.0.1; touch /x",
             kSetDns + "openvpn $(touch /x)",
             kSetDns + "openvpn 10.8.0.1 10.8.0.2",
             kSetDns + "openvpn 10.8.0.256",
             kSetDns + "openvpn\t10.8.0.1",
             kSetDns + "localhost 10.8.0.1\n",
             kSetDns + "localhost example.com",
             kSetDns + "restore 10.8.0.1",
             kSetDns + "",
             "\"/other/OpenVPN/set-dns.sh\" openvpn 10.8.0.1",
             kSetDns + std::string("openvpn 10.8.0.1\0junk", 21),
             "kill -HUP $(cat \"" + R + "/openconnect/childpid\") ; touch /x",
             "kill -HUP 1",
             "kill -USR2 1",
             "kill -KILL $(cat \"" + R + "/openconnect/childpid\")",
             "kill -HUP $(cat \"/tmp/openconnect/childpid\")",
         })
        EXPECT_EQ(parseTunnelLine(line, R).kind, TunnelLineKind::Foreign) << line;
}
