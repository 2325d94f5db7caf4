#include "helper/HelperMessage.h"
#include "helper/ShellQuote.h"
#include "helper/socketsrv.h"
#include "protocol/HelperProtocol.h"

#include <gtest/gtest.h>

using namespace helper;
using Fields = std::vector<std::string>;

namespace {
const std::string kPin = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
}

TEST(HelperMessage, SplitsLikeStrtok) {
    EXPECT_EQ(splitFields("CMD_OVPN_START,/a b/c"), (Fields{"CMD_OVPN_START", "/a b/c"}));
    EXPECT_EQ(splitFields(",,GET_VER,,,x,"), (Fields{"GET_VER", "x"}));
    EXPECT_EQ(splitFields(""), Fields{});
    EXPECT_EQ(splitFields(",,,"), Fields{});
    EXPECT_EQ(splitFields("a,b,c,d", 2), (Fields{"a", "b"}));
}

TEST(HelperMessage, CloseTestLooksAtFiveBytesOnly) {
    EXPECT_TRUE(isCloseRequest("close"));
    EXPECT_TRUE(isCloseRequest("closeCMD_SCNETWORK,whatever"));
    EXPECT_FALSE(isCloseRequest("clos"));
    EXPECT_FALSE(isCloseRequest(" close"));
    EXPECT_FALSE(isCloseRequest("CLOSE"));
}

TEST(HelperMessage, CommandWordsAreExact) {
    EXPECT_EQ(commandOf(splitFields("CMD_SCNETWORK")), Command::ScNetwork);
    EXPECT_EQ(commandOf(splitFields("CMD_OVPN_START,/r")), Command::OvpnStart);
    EXPECT_EQ(commandOf(splitFields("CMD_OPENCONNECT_START,/r,u,h,p")), Command::OpenConnectStart);
    EXPECT_EQ(commandOf(splitFields("CMD_SCNETWORKX")), Command::Unknown);
    EXPECT_EQ(commandOf(splitFields("cmd_scnetwork")), Command::Unknown);
    EXPECT_EQ(subCommandOf(splitFields("REMOVE_PREF,/x")), SubCommand::RemovePref);
    EXPECT_EQ(subCommandOf(splitFields("REMOVE_PREFS,/x")), SubCommand::Unknown);
    EXPECT_EQ(subCommandOf(splitFields("GET_VER")), SubCommand::GetVer);
    EXPECT_EQ(subCommandOf(splitFields("GET_USER_SZ,svc")), SubCommand::GetUserSz);
}

TEST(HelperMessage, StartCommandsNeedAllFieldsAndAnAbsoluteRoot) {
    std::string root;
    EXPECT_FALSE(parseOvpnStart(splitFields("CMD_OVPN_START"), root));
    EXPECT_FALSE(parseOvpnStart(splitFields("CMD_OVPN_START,relative/path"), root));
    ASSERT_TRUE(parseOvpnStart(splitFields("CMD_OVPN_START,/Users/u/Library/Application Support/x"), root));
    EXPECT_EQ(root, "/Users/u/Library/Application Support/x");

    // A "," in the root path makes a field too many; a longer path would not fit the lines built from it.
    EXPECT_FALSE(parseOvpnStart(splitFields("CMD_OVPN_START,/home/a,b/x"), root));
    const std::string longest = "CMD_OVPN_START,/" + std::string(kMaxRootPathLength - 1, 'r');
    EXPECT_TRUE(parseOvpnStart(splitFields(longest.c_str()), root));
    EXPECT_FALSE(parseOvpnStart(splitFields((longest + "r").c_str()), root));
    EXPECT_FALSE(parseOvpnStart(splitFields("CMD_OVPN_START,/a\nb"), root));

    OpenConnectStart oc;
    ASSERT_TRUE(parseOpenConnectStart(
        splitFields(("CMD_OPENCONNECT_START,/r,user,https://h:443/," + kPin).c_str()), oc));
    EXPECT_EQ(oc.pin, kPin);
    EXPECT_EQ(oc.url, "https://h:443/");
}

// Every field of every command word against what the application can send: each row is one message
// and the field it must be refused for ("" when it is accepted as it stands).
TEST(HelperMessage, EveryFieldHasTheApplicationsShape) {
    const std::string oc = "CMD_OPENCONNECT_START,/r,";
    const std::string id = "0b1c2d3e-4f50-4617-8293-a4b5c6d7e8f9";
    const std::string setKey = "SET_KEY,(null),/opt/TavroVPN,vpn.example.jp,";
    struct Row {
        std::string message, refusedField;
    } rows[] = {
        {oc + "tb000001,https://vpn.example.jp:443/," + kPin, ""},
        {oc + "u@x.jp,https://10.77.0.2:443/," + kPin, ""},
        {oc + "u,https://[fd00::1]:443/," + kPin, ""},
        {oc + "u,https://a_b.example:443/," + kPin, ""},
        // The URL: exactly https://HOST:443/, never an option or a file.
        {oc + "u,--config=/etc/shadow," + kPin, "server URL"},
        {oc + "u,-ohttps://h:443/," + kPin, "server URL"},
        {oc + "u,https://-h:443/," + kPin, "server URL"},
        {oc + "u,https://h:444/," + kPin, "server URL"},
        {oc + "u,https://h:443/x," + kPin, "server URL"},
        {oc + "u,http://h:443/," + kPin, "server URL"},
        {oc + "u,https://h h:443/," + kPin, "server URL"},
        {oc + "u,https://h\n:443/," + kPin, "server URL"},
        {oc + "u,https://fd00::1:443/," + kPin, "server URL"},
        {oc + "u,https://[h]:443/," + kPin, "server URL"},
        {oc + "u,https://h=1:443/," + kPin, "server URL"},
        {oc + "u,https://" + std::string(254, 'h') + ":443/," + kPin, "server URL"},
        // The user name: no option, no blanks or control characters, UTF-8.
        {oc + "-u,https://h:443/," + kPin, "user name"},
        {oc + "--script=/tmp/x,https://h:443/," + kPin, "user name"},
        {oc + "a b,https://h:443/," + kPin, "user name"},
        {oc + "a\tb,https://h:443/," + kPin, "user name"},
        {oc + "a\nb,https://h:443/," + kPin, "user name"},
        {oc + "a\xff,https://h:443/," + kPin, "user name"},
        {oc + "\xc2\x85,https://h:443/," + kPin, "user name"},
        // The pin: 44 characters of base64 of a SHA-256 digest.
        {oc + "u,https://h:443/,PIN", "certificate pin"},
        {oc + "u,https://h:443/," + kPin + " --script=x", "certificate pin"},
        {oc + "u,https://h:443/," + std::string(43, 'A') + "B=", "certificate pin"},
        {oc + "u,https://h:443/," + std::string(44, 'A'), "certificate pin"},
        {oc + "u,https://h:443/,-" + std::string(42, 'A') + "=", "certificate pin"},
        {oc + "u,https://h:443/," + kPin + ",extra", "fields"},
        {oc + "u,https://h:443/", "fields"},
        {"CMD_OVPN_START,relative", "root path"},
        {"CMD_OVPN_START,/a\x7f"
         "b",
         "root path"},
        {"CMD_SCNETWORK", ""},
        {"CMD_SCNETWORK,x", "fields"},
        // Sub-commands: service identifiers the helper makes, nothing else.
        {"REMOVE_PASSWD," + id, ""},
        {"REMOVE_PASSWD," + id + ".SS", ""},
        {"REMOVE_PASSWD,/Applications/TavroVPN.app", "service identifier"},
        {"DELETE_KEY," + id + ".SSX", "service identifier"},
        {"GET_PASSWD_SZ,../" + id.substr(3), "keychain service name"},
        {"GET_USER_SZ," + id + "," + id, "fields"},
        {"REMOVE_PREF," + id, ""},
        {"REMOVE_PREF," + id + ".SS", "service identifier"},
        {"REMOVE_PREF,-" + id.substr(1), "service identifier"},
        {"GET_VER", ""},
        {"GET_VER,anything", ""},
        // SET_KEY: credentials are UTF-8 without control characters.
        {setKey + "user1,pw,TRUE,none,none,0,1,859", ""},
        {setKey + "ユーザー,パス\\\"'$(x),TRUE,none,none,0,1,859", ""},
        {setKey + "user\n1,pw,TRUE,none,none,0,1,859", "accountName"},
        {setKey + "user1,p\x01"
                  "w,TRUE,none,none,0,1,859",
         "password"},
        {setKey + "user1,pw,TRUE,none,none,0,1,8\xc0"
                  "59",
         "L2TPpassword"},
        {setKey + "user1,pw,TRUE,none,none,0,1,859,extra", "fields"},
        {"SET_KEY,x,/opt/TavroVPN,vpn.example.jp,user1,pw,TRUE,none,none,0,1,859", "service identifier"},
        {"SET_KEY,(null),relative,vpn.example.jp,user1,pw,TRUE,none,none,0,1,859", "appPath"},
        {"SET_KEY,(null),/opt/TavroVPN,-vpn,user1,pw,TRUE,none,none,0,1,859", "serverAddr"},
        {setKey + "user1,pw,TRUE 1,none,none,0,1,859", "IsL2tp"},
    };
    for (const Row& row : rows) {
        const auto fields = splitFields(row.message.c_str());
        std::string refusal;
        const bool ok = commandOf(fields) != Command::Unknown ? checkCommandFields(fields, refusal)
                                                              : checkSubCommandFields(fields, refusal);
        if (row.refusedField.empty()) {
            EXPECT_TRUE(ok) << row.message << ": " << refusal;
            continue;
        }
        EXPECT_FALSE(ok) << row.message;
        EXPECT_EQ(refusal.rfind(fields[0] + " refused: " + row.refusedField, 0), 0u) << refusal;
        // The refusal names the value, escaped: it stays one line; secrets are masked.
        EXPECT_EQ(refusal.find_first_of("\n\r"), std::string::npos) << refusal;
        EXPECT_EQ(refusal.find("p\x01"
                               "w"),
                  std::string::npos)
            << refusal;
    }
}

TEST(HelperMessage, SetKeyFieldsAsTheApplicationSendsThem) {
    SetKeyRequest r;
    std::string problem;
    auto f = splitFields("SET_KEY,(null),/opt/TavroVPN,vpn.example.jp,user1,pw,TRUE,none,none,0,1,859");
    ASSERT_EQ(parseSetKey(f, r, problem), SetKeyParse::Ok) << problem;
    EXPECT_TRUE(r.isL2tp);
    EXPECT_EQ(r.dnsPrim, "none");
    EXPECT_EQ(r.ccp40, 0);
    EXPECT_EQ(r.ccp128, 1);
    EXPECT_EQ(r.l2tpPassword, "859");

    f[6] = "true"; // lower case is PPTP
    ASSERT_EQ(parseSetKey(f, r, problem), SetKeyParse::Ok);
    EXPECT_FALSE(r.isL2tp);
}

TEST(HelperMessage, SetKeyRefusesMissingAndMalformedFields) {
    SetKeyRequest r;
    std::string problem;
    EXPECT_EQ(parseSetKey(splitFields("SET_KEY,(null),/a,h,u,p,TRUE,none,none,0,1"), r, problem),
              SetKeyParse::MissingFields);
    // An empty field vanishes in the split, so the message is one field short.
    EXPECT_EQ(parseSetKey(splitFields("SET_KEY,(null),/a,h,u,,TRUE,none,none,0,1,s"), r, problem),
              SetKeyParse::MissingFields);
    EXPECT_EQ(parseSetKey(splitFields("SET_KEY,(null),/a,h,u,p,TRUE,none,none,0,99999999999,s"), r, problem),
              SetKeyParse::InvalidField);
    EXPECT_EQ(problem, "PPPCCPEnabled128");
    EXPECT_EQ(parseSetKey(splitFields("SET_KEY,(null),/a,h,u,p,TRUE,8.8.8.8;rm,none,0,1,s"), r, problem),
              SetKeyParse::InvalidField);
    EXPECT_EQ(parseSetKey(splitFields("SET_KEY,(null),/a,h $(x),u,p,TRUE,none,none,0,1,s"), r, problem),
              SetKeyParse::InvalidField);
    EXPECT_EQ(parseSetKey(splitFields("SET_KEY,(null),/a,h,u,p,TRUE,10.0.0.1,fd00::1,0,1,s"), r, problem),
              SetKeyParse::Ok);
}

TEST(HelperMessage, LogCopyMasksOnlySetKeySecrets) {
    EXPECT_EQ(maskedForLog("SET_KEY,(null),/a,h,user,secret,TRUE,none,none,0,1,psk"),
              "SET_KEY,(null),/a,h,user,********,TRUE,none,none,0,1,********");
    EXPECT_EQ(maskedForLog(",SET_KEY,,(null),/a,h,user,secret,TRUE,none,none,0,1,psk,extra"),
              ",SET_KEY,,(null),/a,h,user,********,TRUE,none,none,0,1,********,extra");
    EXPECT_EQ(maskedForLog("GET_VER,secret"), "GET_VER,secret");
}

TEST(ShellQuote, OrdinaryValuesStayAsTheyAre) {
    EXPECT_EQ(shellQuoteIfNeeded("tb000001"), "tb000001");
    EXPECT_EQ(shellQuoteIfNeeded("https://10.77.0.2:443/"), "https://10.77.0.2:443/");
    EXPECT_EQ(shellQuoteIfNeeded("abc+/DEF=="), "abc+/DEF==");
    EXPECT_EQ(shellQuoteIfNeeded("u@x%y,z_w-v."), "u@x%y,z_w-v.");
}

TEST(ShellQuote, OtherValuesAreSingleQuoted) {
    EXPECT_EQ(shellQuoteIfNeeded("a;touch /tmp/x"), "'a;touch /tmp/x'");
    EXPECT_EQ(shellQuoteIfNeeded("it's"), "'it'\\''s'");
    EXPECT_EQ(shellQuoteIfNeeded(""), "''");
    EXPECT_EQ(shellQuoteIfNeeded("$(id)"), "'$(id)'");
}

TEST(ShellQuote, PathsAreDoubleQuotedWithSpecialsEscaped) {
    EXPECT_EQ(doubleQuotedPath("/Users/u/Library/Application Support/x"),
              "\"/Users/u/Library/Application Support/x\"");
    EXPECT_EQ(doubleQuotedPath("/a\"$(b)`c`\\"), "\"/a\\\"\\$(b)\\`c\\`\\\\\"");
}

TEST(OpenConnectLine, OrdinaryValuesGiveTheDesignedText) {
    EXPECT_EQ(openConnectCommandLine("a", "U", "P"),
              "./openconnect -u a --passwd-on-stdin --no-dtls --servercert pin-sha256:P U < password.txt "
              "&> status.log & echo $! > childpid");
    EXPECT_EQ(openConnectCommandLine("a b", "U", "P"),
              "./openconnect -u 'a b' --passwd-on-stdin --no-dtls --servercert pin-sha256:P U < password.txt "
              "&> status.log & echo $! > childpid");
}

// The application builds every message with the helper's own shapes: what it sends, the helper
// takes as it stands; what the helper would refuse, the application never sends.
TEST(HelperMessage, TheApplicationsMessagesAreTheOnesTheHelperTakes) {
    const std::string root = "/home/u/.local/share/norvell/tavrovpn";
    const auto taken = [](const std::optional<std::string>& m, bool first) {
        if (!m) return std::string("not built");
        // A first message carries its NUL; the helper reads the text up to it.
        if (first != (!m->empty() && m->back() == '\0')) return std::string("terminator");
        std::string refusal;
        const auto fields = splitFields(m->c_str());
        return (first ? checkCommandFields(fields, refusal) : checkSubCommandFields(fields, refusal))
                   ? std::string("taken")
                   : refusal;
    };
    EXPECT_EQ(taken(protocol::ovpnStartMessage(root), true), "taken");
    EXPECT_EQ(taken(protocol::scNetworkMessage(), true), "taken");
    EXPECT_EQ(taken(protocol::openConnectStartMessage(root, "tb000001", "vpn.example.jp", kPin), true),
              "taken");
    EXPECT_EQ(taken(protocol::openConnectStartMessage(root, "u", "fd00::1", kPin), true), "taken");
    EXPECT_EQ(taken(protocol::setKeyMessage("/opt/TavroVPN", "vpn.example.jp", "user1", "pässword"), false),
              "taken");
    EXPECT_EQ(taken(protocol::removePrefMessage("0b1c2d3e-4f50-4617-8293-a4b5c6d7e8f9"), false), "taken");
    for (const char* host : {"-bad.example", "a..b", "x:y", "h/x", ""})
        EXPECT_EQ(taken(protocol::openConnectStartMessage(root, "u", host, kPin), true), "not built") << host;
    for (const std::string& r : {std::string("/home/a,b"), std::string("relative"), std::string("/a\nb"),
                                 "/" + std::string(kMaxRootPathLength, 'r')})
        EXPECT_EQ(taken(protocol::ovpnStartMessage(r), true), "not built") << r;
    EXPECT_EQ(taken(protocol::openConnectStartMessage(root, "-u", "h", kPin), true), "not built");
    EXPECT_EQ(taken(protocol::openConnectStartMessage(root, "u", "h", "pin"), true), "not built");
    EXPECT_EQ(taken(protocol::setKeyMessage("/opt/TavroVPN", "vpn.example.jp", "user1", "a,b"), false),
              "not built");
    EXPECT_EQ(taken(protocol::setKeyMessage("/opt/TavroVPN", "-vpn", "user1", "pw"), false), "not built");
    EXPECT_EQ(taken(protocol::removePrefMessage("TavroVPN"), false), "not built");
    // No message reaches the helper's 512-byte buffer.
    EXPECT_FALSE(protocol::setKeyMessage("/opt/TavroVPN", "vpn.example.jp", "user1", std::string(470, 'p')));
}
