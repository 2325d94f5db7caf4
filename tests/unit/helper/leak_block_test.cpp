#include "helper/LeakBlock.h"

#include <gtest/gtest.h>

using namespace helper;

namespace {

LeakBlockPlan openVpnPlan() {
    LeakBlockPlan s;
    s.tunnel = "tun0";
    s.servers = {"198.51.100.7"};
    s.transports = {{"udp", 1194}};
    s.localSubnets = {"192.168.1.0/24", "2001:db8:1::/64"};
    return s;
}

size_t at(const std::string& text, const std::string& what) {
    const size_t p = text.find(what);
    EXPECT_NE(p, std::string::npos) << "missing: " << what << "\n" << text;
    return p;
}

} // namespace

TEST(LeakBlock, RulesLetOnlyTheTunnelItsTransportAndTheLocalLinkThrough) {
    std::string why;
    const std::string r = leakBlockRules(openVpnPlan(), why);
    ASSERT_FALSE(r.empty()) << why;
    // Replaced in one transaction, whatever was there.
    EXPECT_EQ(r.rfind("table inet tavrovpn {\n}\ndelete table inet tavrovpn\ntable inet tavrovpn {\n", 0), 0u);
    // First match wins: the order is the policy.
    const size_t order[] = {
        at(r, "type filter hook output priority filter; policy accept;"),
        at(r, "oifname \"lo\" accept"),
        at(r, "oifname \"tun0\" accept"),
        at(r, "ip daddr 198.51.100.7 udp dport 1194 accept"),
        at(r, "udp sport 68 udp dport 67 accept"),
        at(r, "udp sport 546 udp dport 547 accept"),
        at(r, "icmpv6 type { nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert } accept"),
        at(r, "meta l4proto { tcp, udp } th dport { 53, 853 } counter drop"),
        at(r, "ip daddr { 192.168.1.0/24 } accept"),
        at(r, "ip6 daddr { fe80::/10, 2001:db8:1::/64 } accept"),
        at(r, "\t\tcounter drop\n\t}\n}\n"),
    };
    for (size_t i = 1; i < std::size(order); ++i)
        EXPECT_LT(order[i - 1], order[i]) << "rule " << i << " out of order";

    LeakBlockPlan l2tp = openVpnPlan();
    l2tp.tunnel = "ppp0";
    l2tp.servers = {"2001:db8::5"};
    l2tp.transports = {{"udp", 500}, {"esp", 0}};
    l2tp.localSubnets = {};
    const std::string r6 = leakBlockRules(l2tp, why);
    at(r6, "ip6 daddr 2001:db8::5 udp dport 500 accept");
    at(r6, "ip6 daddr 2001:db8::5 meta l4proto esp accept");
    at(r6, "ip6 daddr { fe80::/10 } accept");
    EXPECT_EQ(r6.find("ip daddr {"), std::string::npos);
}

TEST(LeakBlock, AnyFieldThatIsNotWhatItMustBeRefusesTheWholeRuleSet) {
    struct Case {
        const char* name;
        void (*spoil)(LeakBlockPlan&);
    } cases[] = {
        {"no tunnel", [](LeakBlockPlan& s) { s.tunnel = ""; }},
        {"loopback as tunnel", [](LeakBlockPlan& s) { s.tunnel = "lo"; }},
        {"quote in tunnel", [](LeakBlockPlan& s) { s.tunnel = "tun0\" accept; flush ruleset; \""; }},
        {"long tunnel", [](LeakBlockPlan& s) { s.tunnel = "tun0123456789abcd"; }},
        {"option as tunnel", [](LeakBlockPlan& s) { s.tunnel = "-f"; }},
        {"no server", [](LeakBlockPlan& s) { s.servers.clear(); }},
        {"name as server", [](LeakBlockPlan& s) { s.servers = {"vpn.example.com"}; }},
        {"rule in server", [](LeakBlockPlan& s) { s.servers = {"1.2.3.4 accept\nflush ruleset"}; }},
        {"prefix as server", [](LeakBlockPlan& s) { s.servers = {"0.0.0.0/0"}; }},
        {"no transport", [](LeakBlockPlan& s) { s.transports.clear(); }},
        {"port 0", [](LeakBlockPlan& s) { s.transports = {{"udp", 0}}; }},
        {"port 65536", [](LeakBlockPlan& s) { s.transports = {{"tcp", 65536}}; }},
        {"other protocol", [](LeakBlockPlan& s) { s.transports = {{"icmp", 1}}; }},
        {"wide prefix length", [](LeakBlockPlan& s) { s.localSubnets = {"10.0.0.0/33"}; }},
        {"no prefix length", [](LeakBlockPlan& s) { s.localSubnets = {"10.0.0.0"}; }},
        {"set breakout", [](LeakBlockPlan& s) { s.localSubnets = {"10.0.0.0/8 } accept; ip daddr { 0.0.0.0/0"}; }},
        {"signed length", [](LeakBlockPlan& s) { s.localSubnets = {"10.0.0.0/+8"}; }},
    };
    for (const Case& c : cases) {
        LeakBlockPlan s = openVpnPlan();
        c.spoil(s);
        std::string why;
        EXPECT_EQ(leakBlockRules(s, why), "") << c.name;
        EXPECT_FALSE(why.empty()) << c.name;
        EXPECT_EQ(why.find('\n'), std::string::npos) << c.name; // logged on one line
    }
}

TEST(LeakBlock, TheTransportComesFromTheLastLinkRemoteLineOfTheLog) {
    struct Case {
        std::string log;
        bool found;
        std::string server, protocol;
        unsigned port;
    } cases[] = {
        {"2026-12-10 07:00:01 UDPv4 link local: (not bound)\n"
         "2026-12-10 07:00:01 UDPv4 link remote: [AF_INET]10.216.0.2:1194\n",
         true, "10.216.0.2", "udp", 1194},
        {"2026-12-10 07:00:01 TCP_CLIENT link remote: [AF_INET]203.0.113.9:443\n", true, "203.0.113.9", "tcp", 443},
        {"x UDPv6 link remote: [AF_INET6]2001:db8::1:1194\n", true, "2001:db8::1", "udp", 1194},
        {"a UDPv4 link remote: [AF_INET]10.0.0.1:1194\nb TCP_CLIENT link remote: [AF_INET]10.0.0.2:443\n", true,
         "10.0.0.2", "tcp", 443},
        // A server's pushed text, logged as received, is not openvpn's own line.
        {"a UDPv4 link remote: [AF_INET]10.0.0.1:1194\n"
         "b c PUSH: Received control message: 'PUSH_REPLY,x UDPv4 link remote: [AF_INET]8.8.8.8:53'\n",
         true, "10.0.0.1", "udp", 1194},
        {"", false, "", "", 0},
        {"x UDPv4 link remote: [AF_INET]10.0.0.1\n", false, "", "", 0},
        {"x UDPv4 link remote: [AF_INET]10.0.0.1:99999\n", false, "", "", 0},
        {"x UDPv4 link remote: [AF_INET]evil;drop:1194\n", false, "", "", 0},
        {"x ICMP link remote: [AF_INET]10.0.0.1:1194\n", false, "", "", 0},
        {"x UDPv4 link remote: [AF_INET10.0.0.1:1194\n", false, "", "", 0},
    };
    for (const Case& c : cases) {
        std::string server;
        LeakTransport t;
        EXPECT_EQ(openVpnTransportFromLog(c.log, server, t), c.found) << c.log;
        if (!c.found) continue;
        EXPECT_EQ(server, c.server);
        EXPECT_EQ(t.protocol, c.protocol);
        EXPECT_EQ(t.port, c.port);
    }
}

TEST(LeakBlock, OwnerRecordsReadBackOnlyInTheirOwnShapes) {
    const std::string uuid = "0b1c2d3e-4f50-4617-8293-a4b5c6d7e8f9";
    LeakOwner o;
    // The forms of earlier versions still read: their user is not known.
    ASSERT_TRUE(parseLeakOwner("helper 4242 987654\n", o));
    EXPECT_EQ(o.kind, LeakOwner::Kind::Helper);
    EXPECT_EQ(o.pid, 4242);
    EXPECT_EQ(o.start, 987654u);
    EXPECT_EQ(o.user, LeakOwner::kNoUser);
    EXPECT_EQ(leakOwnerText(o), "helper 4242 987654 - -\n");
    ASSERT_TRUE(parseLeakOwner("l2tp ppp0\n", o));
    EXPECT_EQ(o.interface, "ppp0");
    EXPECT_EQ(leakOwnerText(o), "l2tp ppp0 - -\n");
    for (const std::string& text :
         {std::string("helper 4242 987654 1000 tun0\n"), std::string("helper 4242 987654 0 -\n"),
          "l2tp ppp0 " + uuid + " 1000\n", std::string("l2tp ppp0 - -\n")}) {
        ASSERT_TRUE(parseLeakOwner(text, o)) << text;
        EXPECT_EQ(leakOwnerText(o), text);
    }
    for (const char* bad : {"", "helper", "helper 1 5", "helper 42 0", "helper -3 5", "helper 42 5 extra",
                            "helper 42 5 1000 ../x", "helper 42 5 4294967295 tun0", "l2tp", "l2tp ../x",
                            "l2tp ppp0 ppp1", "l2tp ppp0 - 12x", "nobody 1 2"})
        EXPECT_FALSE(parseLeakOwner(bad, o)) << bad;
}
