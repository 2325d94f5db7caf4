#include "helper/OvpnConfigFilter.h"

#include <gtest/gtest.h>

using helper::checkOvpnConfigText;

namespace {

const char* kServerConfig = "\xEF\xBB\xBF# TavroVPN server tb-jp-01\n"
                            "client\n"
                            "dev tun\n"
                            "proto udp\n"
                            "remote 10.213.0.2 1194\n"
                            "resolv-retry infinite\n"
                            "nobind\n"
                            "persist-key\n"
                            "persist-tun\n"
                            "  ;comp-lzo\n"
                            "auth-user-pass\n"
                            "remote-cert-tls server\n"
                            "data-ciphers AES-256-GCM:AES-128-GCM\n"
                            "script-security 1\n"
                            "setenv opt block-outside-dns\n"
                            "setenv CLIENT_CERT 0\n"
                            "verb 3\n"
                            "management-log-cache 1000\n"
                            "--mute 20\n"
                            "\"key-direction\" 1\r\n"
                            "<connection>\n"
                            "remote 10.213.0.3 443 tcp # fallback\n"
                            "</connection>\n"
                            "<ca>\n"
                            "-----BEGIN CERTIFICATE-----\n"
                            "MIIBszCCAVmgAwIBAgIUup /bin/sh\n"
                            "-----END CERTIFICATE-----\n"
                            "</ca>\n"
                            "<tls-auth>\n"
                            "6acef03f62675b4b1bbd03e53b187727\n"
                            "</tls-auth>\n";

bool accepted(const std::string& text) {
    std::string reason;
    return checkOvpnConfigText(text, reason);
}

} // namespace

TEST(OvpnConfigFilter, AcceptsAnOrdinaryClientConfiguration) {
    std::string reason;
    EXPECT_TRUE(checkOvpnConfigText(kServerConfig, reason)) << reason;
    EXPECT_TRUE(accepted(""));
    EXPECT_TRUE(accepted("# up /bin/sh\n; plugin x.so\n   #down y\nremote h 1194 # up /bin/sh\n"));
}

TEST(OvpnConfigFilter, RefusesScriptPluginAndFileDirectivesInEverySpelling) {
    for (const char* line : {"up /bin/sh",
                             "  up /bin/sh",
                             "\tdown ./x",
                             "--up /bin/sh",
                             "\"up\" /bin/sh",
                             "'up' /bin/sh",
                             "route-up /x",
                             "route-pre-down /x",
                             "ipchange /x",
                             "client-connect /x",
                             "learn-address /x",
                             "auth-user-pass-verify /x via-file",
                             "tls-verify /x",
                             "plugin /tmp/evil.so",
                             "script-security 2",
                             "script-security 3",
                             "management 127.0.0.1 9999",
                             "management-hold",
                             "management-client-user root",
                             "config /tmp/other.ovpn",
                             "log /etc/passwd",
                             "log-append /x",
                             "syslog",
                             "writepid /etc/x",
                             "cd /",
                             "chroot /tmp",
                             "tmp-dir /tmp",
                             "daemon",
                             "status /etc/cron.d/x",
                             "iproute /tmp/ip",
                             "engine x",
                             "providers legacy",
                             "askpass /etc/shadow",
                             "auth-user-pass /etc/shadow",
                             "auth-user-pass ../../etc/shadow",
                             "setenv LD_PRELOAD /tmp/x.so",
                             "setenv opt up /bin/sh",
                             "setenv opt setenv opt plugin x",
                             "setenv opt",
                             "http-proxy h 8080 /root/creds",
                             "http-proxy h 8080 ../creds basic",
                             "ca /etc/ssl/private/host.key",
                             "cert ../../root/cert.pem",
                             "key /root/.ssh/id_rsa",
                             "pkcs12 /root/id.p12",
                             "secret /etc/shadow 1",
                             "tls-auth /etc/shadow 1",
                             "tls-crypt /root/k",
                             "crl-verify /root dir",
                             "capath /root",
                             "ca",
                             "ca a b",
                             "dns-updown /x",
                             "UP /bin/sh"}) {
        EXPECT_FALSE(accepted(std::string("client\n") + line + "\n")) << line;
    }
}

TEST(OvpnConfigFilter, ProxiesAndKeyFilesInsideTheFolderAreAccepted) {
    for (const char* line :
         {"http-proxy proxy.example.jp 8080", "http-proxy h 8080 auth.txt", "http-proxy h 8080 auto",
          "http-proxy h 8080 auto-nct ntlm", "http-proxy h 8080 proxy/auth.txt basic", "ca ca.crt",
          "cert ./client.crt", "key keys/client.key", "pkcs12 id.p12", "secret static.key 1",
          "tls-auth ta.key 1", "tls-crypt tc.key", "crl-verify crl.pem", "capath certs"})
        EXPECT_TRUE(accepted(std::string("client\n") + line + "\n")) << line;
}

TEST(OvpnConfigFilter, InlineBlocksAreSkippedButConnectionBlocksAreChecked) {
    EXPECT_TRUE(accepted("<ca>\nup /bin/sh\n</ca>\n"));
    EXPECT_FALSE(accepted("<connection>\nremote h 1\nup /bin/sh\n</connection>\n"));
    EXPECT_FALSE(accepted("<connection>\n<connection>\n</connection>\n</connection>\n"));
    EXPECT_FALSE(accepted("<up>\n/bin/sh\n</up>\n"));
    EXPECT_FALSE(accepted("<ca>\nno end tag\n"));
    // openvpn ends a block at a close tag after leading blanks, with anything after it.
    EXPECT_FALSE(accepted("<ca>\n   </ca>\nup /bin/sh\n</ca>\n"));
    EXPECT_FALSE(accepted("<ca>\n</ca>junk\nup /bin/sh\n"));
}

TEST(OvpnConfigFilter, RefusesWhatOpenvpnWouldReadDifferently) {
    // openvpn reads 256-byte pieces: the tail of a long comment would be a directive of its own.
    EXPECT_FALSE(accepted("# " + std::string(300, 'a') + "up /bin/sh\n"));
    EXPECT_TRUE(accepted("# " + std::string(200, 'a') + "\n"));
    EXPECT_FALSE(accepted(std::string("client\0up /bin/sh\n", 19)));
    EXPECT_FALSE(accepted("remote \"unterminated\n"));
    EXPECT_FALSE(accepted("\xEF\xBB\xBFup /bin/sh\n"));
}

TEST(OvpnConfigFilter, TokenisesLikeOpenvpn) {
    std::vector<std::string> t;
    ASSERT_TRUE(helper::tokenizeOvpnLine("  remote \"a b\" 'c\\d' e\\ f # x", t));
    EXPECT_EQ(t, (std::vector<std::string>{"remote", "a b", "c\\d", "e f"}));
    ASSERT_TRUE(helper::tokenizeOvpnLine("u\"p\" x", t));
    EXPECT_EQ(t[0], "u\"p\"");
    EXPECT_FALSE(helper::tokenizeOvpnLine("u\\p x", t)); // a bad escape makes openvpn refuse the line
    ASSERT_TRUE(helper::tokenizeOvpnLine("   ;x", t));
    EXPECT_TRUE(t.empty());
}
