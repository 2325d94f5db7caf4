#include "helper/OvpnConfigFilter.h"

#include <gtest/gtest.h>

#include <map>

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
                             "UP /bin/sh",
                             "mode server",
                             "server 10.8.0.0 255.255.255.0",
                             "server-bridge",
                             "tls-server",
                             "port-share 127.0.0.1 443",
                             "proto tcp-server",
                             "setenv opt proto tcp6-server",
                             "remote h 80 tcp4-server",
                             "verb 7x"}) {
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
    // openvpn takes only some directives in a block, and only the control channel keys inline.
    EXPECT_TRUE(accepted("<connection>\n--tls-auth ta.key 1\n<tls-crypt>\nx\n</tls-crypt>\n</connection>\n"));
    for (const char* line :
         {"ca ca.crt", "<ca>\nx\n</ca>", "setenv opt auth-user-pass a.txt", "verb 4", "proto tcp-server"})
        EXPECT_FALSE(accepted(std::string("<connection>\n") + line + "\n</connection>\n")) << line;
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

namespace {

// The files of a user's OpenVPN folder as the helper would read them; a missing one is refused.
struct FakeFolder {
    std::map<std::string, std::string> files;
    helper::OvpnFileReader reader() const {
        return [this](const std::string& path, std::string& content, std::string& why) {
            auto it = files.find(path);
            if (it == files.end()) {
                why = "a symbolic link";
                return false;
            }
            content = it->second;
            return true;
        };
    }
};

} // namespace

// What openvpn is given: every named file inline, nothing for root to open in the user's folder.
TEST(OvpnConfigSeal, NamedFilesGoInline) {
    FakeFolder folder{{{"ca.crt", "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n"},
                       {"keys/ta.key", "6acef03f"},
                       {"creds.txt", "puser\nppass\n"},
                       {"login.txt", "user\npass\n"},
                       {"id.p12", std::string("\x30\x82\x00\xff", 4)}}};
    struct Row {
        std::string line, sealed;
    } rows[] = {
        {"ca ca.crt", "<ca>\n-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n</ca>\n"},
        {"setenv opt ca ca.crt",
         "<ca>\n-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n</ca>\n"},
        {"tls-auth keys/ta.key 1", "<tls-auth>\n6acef03f\n</tls-auth>\nkey-direction 1\n"},
        {"pkcs12 id.p12", "<pkcs12>\nMIIA/w==\n</pkcs12>\n"},
        {"auth-user-pass login.txt", "<auth-user-pass>\nuser\npass\n</auth-user-pass>\n"},
        {"auth-user-pass", "auth-user-pass\n"},
        {"http-proxy h 8080 creds.txt basic",
         "http-proxy h 8080 inline basic\n<http-proxy-user-pass>\npuser\nppass\n</http-proxy-user-pass>\n"},
        {"http-proxy h 8080 auto", "http-proxy h 8080 auto\n"},
        {"<connection>\nremote h 1\ntls-auth keys/ta.key 1\n</connection>",
         "<connection>\nremote h 1\n<tls-auth>\n6acef03f\n</tls-auth>\nkey-direction 1\n</connection>\n"},
        {"<connection>\nsetenv opt tls-crypt keys/ta.key\n</connection>",
         "<connection>\n<tls-crypt>\n6acef03f\n</tls-crypt>\n</connection>\n"},
        // From verb 7 on openvpn logs its keys.
        {"verb 11", "verb 6\n"},
        {"setenv opt verb 0007", "verb 6\n"},
        {"verb 6", "verb 6\n"},
    };
    for (const Row& row : rows) {
        std::string sealed, reason;
        ASSERT_TRUE(
            helper::sealOvpnConfigText("client\nnobind\n" + row.line + "\n", folder.reader(), sealed, reason))
            << row.line << ": " << reason;
        EXPECT_EQ(sealed, "client\nnobind\n" + row.sealed) << row.line;
    }
}

TEST(OvpnConfigSeal, RefusesFilesThatFailAndLowLocalPorts) {
    FakeFolder folder{{{"evil.crt", "x\n</ca>\nup /bin/sh\n<ca>\n"},
                       // What follows an early end tag would name a file again, for root to open.
                       {"sneaky.crt", "x\n </ca>\nkey ok.crt\n<ca>\n"},
                       {"evil.key", "x\n</tls-auth>\ntls-auth ok.crt\n<tls-auth>\n"},
                       {"ok.crt", "x\n"}}};
    struct Row {
        std::string config, reasonHas;
    } rows[] = {
        {"nobind\nca missing.crt\n", "ca missing.crt: a symbolic link"},
        {"nobind\nauth-user-pass missing.txt\n", "auth-user-pass missing.txt"},
        {"nobind\nhttp-proxy h 8080 missing.txt\n", "http-proxy missing.txt"},
        {"nobind\nca evil.crt\n", "changes the configuration"},
        {"nobind\nca sneaky.crt\n", "changes the configuration"},
        {"nobind\n<connection>\nremote h 1\ntls-auth missing.key 1\n</connection>\n",
         "tls-auth missing.key: a symbolic link"},
        {"nobind\n<connection>\nremote h 1\ntls-auth evil.key 1\n</connection>\n",
         "changes the configuration"},
        {"nobind\ncapath certs\n", "capath"},
        {"nobind\ncrl-verify ok.crt dir\n", "crl-verify"},
        {"<connection>\nremote h 1\nhttp-proxy h 8080 ok.crt\n</connection>\nnobind\n", "<connection>"},
        // Root binds no privileged port for the user.
        {"proto udp\nlport 389\nbind\n", "389"},
        {"proto udp\nport 53\n", "53"},
        {"proto tcp-client\nlport 22\n", "22"},
        {"proto tcp-client\nlocal 127.0.0.1 631\n", "631"},
        {"nobind\n<connection>\nremote h 1194\nlport 389\n</connection>\n", "389"},
        {"nobind\n<connection>\nremote h 1194\nsetenv opt lport 389\n</connection>\n", "389"},
        {"proto tcp-server\nport 80\n", "tcp-server"},
        {"proto tcp-client\nremote h 443 udp4\nport 80\n", "80"},
        {"proto udp\nlport http\n", "not a number"},
    };
    for (const Row& row : rows) {
        std::string sealed, reason;
        EXPECT_FALSE(helper::sealOvpnConfigText("client\n" + row.config, folder.reader(), sealed, reason))
            << row.config;
        EXPECT_NE(reason.find(row.reasonHas), std::string::npos) << row.config << ": " << reason;
    }
    // What an ordinary client does binds nothing, or an unprivileged port.
    for (const char* ok : {"proto udp\nnobind\nport 443\n", "proto tcp-client\nport 443\n", "proto udp\n",
                           "proto udp\nlport 0\n", "proto udp\nlport 5000\nbind\n",
                           "remote h 443 tcp\nproto tcp\n", "proto tcp6\nport 80\n"}) {
        std::string sealed, reason;
        EXPECT_TRUE(helper::sealOvpnConfigText(std::string("client\n") + ok, folder.reader(), sealed, reason))
            << ok << ": " << reason;
    }
}
