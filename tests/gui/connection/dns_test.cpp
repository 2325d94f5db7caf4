// DNS lines, resolver parsing and the public-address body: what may enter a root shell line.
#include "app/connection/DnsHandling.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

TEST(DnsAddress, OnlyIpLiteralsPass) {
    for (const char* ok : {"192.0.2.1", "0.0.0.0", "::1", "2001:db8::53", "::ffff:192.0.2.1", "fe80::1"})
        EXPECT_TRUE(dns::isIpLiteral(ok)) << ok;
    for (const char* bad : {"", "1.2.3", "256.1.1.1", "1.2.3.4;reboot", "$(reboot)", "`id`",
                            "1.2.3.4 5.6.7.8", "dns.example.com", "1.2.3.4\n", "fe80::1%eth0",
                            "::1::", "1111111111111111111111111111111111111111111111111"})
        EXPECT_FALSE(dns::isIpLiteral(bad)) << bad;
    EXPECT_FALSE(dns::isIpLiteral(std::string("1.2.3.4\0;x", 10)));
}

TEST(DnsAddress, NameserversOfResolvConfInOrderInvalidDropped) {
    const std::string text = "# generated\n"
                             "search example.com\n"
                             "nameserver 192.0.2.1\n"
                             "  nameserver\t2001:db8::1  # comment\n"
                             "nameserver 1.2.3.4;reboot\n"
                             "nameserverx 192.0.2.9\n"
                             "nameserver\n"
                             "options edns0\n"
                             "nameserver 192.0.2.2\r\n";
    EXPECT_EQ(dns::parseNameservers(text),
              (std::vector<std::string>{"192.0.2.1", "2001:db8::1", "192.0.2.2"}));
}

TEST(DnsAddress, CurrentAddressesComeFromTheResolverFile) {
    char path[] = "/tmp/tavro-resolv-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << "nameserver 192.0.2.1\nnameserver 192.0.2.2\n";
    setenv("TAVROVPN_RESOLV_CONF", path, 1);
    EXPECT_EQ(GetCurrentDNSAddresses(), (std::vector<std::string>{"192.0.2.1", "192.0.2.2"}));
    unlink(path);
    EXPECT_TRUE(GetCurrentDNSAddresses().empty()) << "a missing file gives no servers";
    unsetenv("TAVROVPN_RESOLV_CONF");
}

TEST(DnsLines, ExactTexts) {
    const std::string r = "/home/u/.local/share/norvell/tavrovpn";
    EXPECT_EQ(dns::saveResolverLine(r),
              "cp /etc/resolv.conf \"/home/u/.local/share/norvell/tavrovpn/OpenVPN/\"");
    EXPECT_EQ(dns::switchLine(r, "10.8.0.1"),
              "\"/home/u/.local/share/norvell/tavrovpn/OpenVPN/set-dns.sh\" openvpn 10.8.0.1");
    EXPECT_EQ(dns::switchLine(r, ""),
              "\"/home/u/.local/share/norvell/tavrovpn/OpenVPN/set-dns.sh\" openvpn ");
    EXPECT_EQ(dns::switchLine(r, "1.2.3.4;reboot"), dns::switchLine(r, ""));
    EXPECT_EQ(dns::restoreLine(r, {"192.0.2.1", "192.0.2.2"}),
              "\"/home/u/.local/share/norvell/tavrovpn/OpenVPN/set-dns.sh\" localhost 192.0.2.1 192.0.2.2 ");
    EXPECT_EQ(dns::restoreLine(r, {"192.0.2.1", "$(reboot)", "192.0.2.2"}),
              dns::restoreLine(r, {"192.0.2.1", "192.0.2.2"}));
}

TEST(DnsLines, RestoreLineStaysWithinTheHelpersMessage) {
    std::vector<std::string> many(100, "2001:db8:1234:5678:9abc:def0:1234:5678");
    const std::string line = dns::restoreLine("/r", many);
    EXPECT_LE(line.size(), dns::kMaxCommandLine);
    EXPECT_EQ(line.back(), ' ');
    EXPECT_NE(line.find("localhost 2001:db8:"), std::string::npos);
}

TEST(DnsLines, WorkingFolderThatTheShellWouldExpandIsRefused) {
    EXPECT_TRUE(dns::rootUsableInLine("/home/u/Application Support/norvell/tavrovpn"));
    for (const char* bad :
         {"", "relative/path", "/home/u\"; reboot; \"", "/home/$(id)", "/home/`id`", "/a\\b", "/a\nb"})
        EXPECT_FALSE(dns::rootUsableInLine(bad)) << bad;
}

} // namespace
