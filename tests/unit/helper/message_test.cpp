#include "helper/HelperMessage.h"
#include "helper/ShellQuote.h"
#include "helper/socketsrv.h"

#include <gtest/gtest.h>

using namespace helper;
using Fields = std::vector<std::string>;

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
    EXPECT_FALSE(parseOpenConnectStart(splitFields("CMD_OPENCONNECT_START,/r,user,https://h"), oc));
    EXPECT_FALSE(parseOpenConnectStart(splitFields("CMD_OPENCONNECT_START,/r,x,user,https://h,PIN"), oc));
    ASSERT_TRUE(parseOpenConnectStart(splitFields("CMD_OPENCONNECT_START,/r,user,https://h,PIN="), oc));
    EXPECT_EQ(oc.pin, "PIN=");
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
