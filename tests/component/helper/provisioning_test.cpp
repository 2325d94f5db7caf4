// SET_KEY and the other keychain sub-commands against the real stores, through the real server.
// No NetworkManager is reachable here (see the e2e suite for that), so SET_KEY answers "0" after
// recording the service and its secrets.
#include "HelperHarness.h"

#include "helper/SecKeyChainEntry.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

using namespace harness;
using nlohmann::json;

namespace {

struct SetKey {
    std::string user = "user1", password = "Pa55word!", isL2tp = "TRUE", dns1 = "none", dns2 = "none",
                ccp40 = "0", ccp128 = "1", psk = "SharedSecret859", server = "vpn.example.jp";
    std::string text() const {
        return "SET_KEY,(null),/opt/TavroVPN," + server + "," + user + "," + password + "," + isL2tp + "," +
               dns1 + "," + dns2 + "," + ccp40 + "," + ccp128 + "," + psk;
    }
};

class Provisioning : public ::testing::Test {
protected:
    TempDir dir{"tvprov"};
    std::string state = dir.path + "/state";
    std::string logs;

    // One CMD_SCNETWORK connection carrying sub; the helper's answer ("" for none).
    std::string send(const std::string& sub) {
        ForkedHelper helper(dir.path);
        int fd = connectTo(helper.socketPath());
        if (fd < 0) return "no connection";
        std::string reply = sendText(fd, "CMD_SCNETWORK") ? recvOnce(fd) : "";
        if (reply != "1")
            reply = "no CMD_SCNETWORK reply";
        else if (sendText(fd, sub))
            reply = recvOnce(fd, 10s);
        close(fd);
        helper.waitExit();
        logs += helper.log();
        return reply;
    }
    json file(const char* name) const {
        auto j = json::parse(readFile(state + "/" + name), nullptr, false);
        return j.is_discarded() ? json::object() : j;
    }
    json prefs() const { return file("network-preferences.json"); }
    json services() const { return prefs().value("NetworkServices", json::object()); }
    std::vector<json> items(const std::string& service) const {
        std::vector<json> out;
        for (const auto& i : file("keychain.json").value("genp", json::array()))
            if (i.value("svce", "") == service) out.push_back(i);
        return out;
    }
    std::string onlyServiceId() const {
        auto s = services();
        return s.size() == 1 ? s.begin().key() : std::string();
    }
    std::vector<std::string> order() const {
        auto p = prefs();
        return p["Sets"][p["CurrentSet"].get<std::string>()]["ServiceOrder"].get<std::vector<std::string>>();
    }
};

TEST_F(Provisioning, FirstSetKeyCreatesTheServiceAndBothItems) {
    EXPECT_EQ(send(SetKey{}.text()), "0");
    const std::string id = onlyServiceId();
    ASSERT_FALSE(id.empty()) << readFile(state + "/network-preferences.json");
    const json svc = services()[id];
    EXPECT_EQ(svc["UserDefinedName"], "TavroVPN");
    EXPECT_EQ(svc["Interface"]["SubType"], "L2TP");
    EXPECT_EQ(svc["PPP"], json({{"CommRemoteAddress", "vpn.example.jp"},
                                {"AuthName", "user1"},
                                {"AuthPassword", id},
                                {"AuthPasswordEncryption", "Keychain"},
                                {"CCPEnabled", 0u},
                                {"CCPMPPE40Enabled", 0u},
                                {"CCPMPPE128Enabled", 1u}}));
    EXPECT_TRUE(svc["PPP"]["CCPMPPE128Enabled"].is_number_unsigned());
    EXPECT_EQ(svc["IPv4"]["OverridePrimary"], 1u);
    EXPECT_EQ(svc["DNS"]["ServerAddresses"], json({"", ""}));
    EXPECT_EQ(svc["IPSec"], json({{"AuthenticationMethod", "SharedSecret"},
                                  {"SharedSecret", id + ".SS"},
                                  {"SharedSecretEncryption", "Keychain"}}));
    EXPECT_EQ(order(), std::vector<std::string>{id});

    auto ppp = items(id), ss = items(id + ".SS");
    ASSERT_EQ(ppp.size(), 1u);
    ASSERT_EQ(ss.size(), 1u);
    EXPECT_EQ(ppp[0]["acct"], "user1");
    EXPECT_EQ(ppp[0]["desc"], "PPTP");
    EXPECT_EQ(ppp[0]["labl"], "TavroVPN");
    EXPECT_EQ(ppp[0]["v_Data"], "Pa55word!");
    EXPECT_FALSE(ss[0].contains("acct"));
    EXPECT_EQ(ss[0]["desc"], "L2TP Shared");
    EXPECT_EQ(ss[0]["v_Data"], "SharedSecret859");
    const auto trusted = ppp[0]["access"]["trustedApplications"].get<std::vector<std::string>>();
    ASSERT_GE(trusted.size(), 2u);
    EXPECT_EQ(trusted[1], "/opt/TavroVPN");
    EXPECT_EQ(ppp[0]["access"]["descriptor"], id);

    for (const char* line : {"writePreferences new create service.\n", "writeKeyChaineInfo create new...\n",
                             "writeKeyChaineInfo L2TP\n", "writeKeyChaineInfo end.\n"})
        EXPECT_NE(logs.find(line), std::string::npos) << line;
}

TEST_F(Provisioning, SecondSetKeyUpdatesTheSameServiceAndItemsKeepingTheirAccess) {
    send(SetKey{}.text());
    const std::string id = onlyServiceId();
    const json accessBefore = items(id)[0]["access"], ssAccessBefore = items(id + ".SS")[0]["access"];
    SetKey second;
    second.user = "user2";
    second.password = "NewPass";
    second.psk = "NewPsk";
    second.server = "10.1.2.3";
    second.dns1 = "192.0.2.53";
    send(second.text());
    ASSERT_EQ(onlyServiceId(), id);
    const json svc = services()[id];
    EXPECT_EQ(svc["PPP"]["CommRemoteAddress"], "10.1.2.3");
    EXPECT_EQ(svc["PPP"]["AuthName"], "user2");
    // An updated service takes CCP from the 128-bit value.
    EXPECT_EQ(svc["PPP"]["CCPEnabled"], 1u);
    EXPECT_EQ(svc["DNS"]["ServerAddresses"], json({"192.0.2.53", ""}));
    ASSERT_EQ(items(id).size(), 1u);
    EXPECT_EQ(items(id)[0]["acct"], "user2");
    EXPECT_EQ(items(id)[0]["v_Data"], "NewPass");
    EXPECT_EQ(items(id)[0]["access"], accessBefore);
    EXPECT_EQ(items(id + ".SS")[0]["v_Data"], "NewPsk");
    EXPECT_EQ(items(id + ".SS")[0]["access"], ssAccessBefore);
    EXPECT_NE(logs.find("writeKeyChaineInfo exist update...\n"), std::string::npos);
    EXPECT_NE(logs.find("writeKeyChaineInfo L2TP key updated\n"), std::string::npos);
}

TEST_F(Provisioning, SwitchingBetweenL2tpAndPptp) {
    SetKey pptp;
    pptp.isL2tp = "true"; // lower case means PPTP
    send(pptp.text());
    const std::string id = onlyServiceId();
    EXPECT_EQ(services()[id]["Interface"]["SubType"], "PPTP");
    EXPECT_FALSE(services()[id].contains("IPSec"));
    EXPECT_EQ(items(id).size(), 1u);
    EXPECT_TRUE(items(id + ".SS").empty());

    send(SetKey{}.text());
    EXPECT_EQ(services()[id]["Interface"]["SubType"], "L2TP");
    EXPECT_EQ(services()[id]["IPSec"]["SharedSecret"], id + ".SS");
    EXPECT_EQ(items(id + ".SS").size(), 1u);

    send(pptp.text());
    EXPECT_EQ(onlyServiceId(), id);
    EXPECT_EQ(services()[id]["Interface"]["SubType"], "PPTP");
    EXPECT_FALSE(services()[id].contains("IPSec"));
}

TEST_F(Provisioning, DisabledOrUnorderedServicesAreNotFound) {
    std::filesystem::create_directories(state);
    ::chmod(state.c_str(), 0700);
    writeFile(state + "/network-preferences.json",
              json({{"CurrentSet", "set1"},
                    {"Sets", {{"set1", {{"ServiceOrder", {"disabled-one"}}}}}},
                    {"NetworkServices",
                     {{"disabled-one", {{"UserDefinedName", "TavroVPN"}, {"Enabled", false}}},
                      {"unordered-one", {{"UserDefinedName", "TavroVPN"}, {"Enabled", true}}}}}})
                  .dump(),
              0600);
    send(SetKey{}.text());
    ASSERT_EQ(services().size(), 3u);
    EXPECT_EQ(order().size(), 2u);
    EXPECT_FALSE(services()["disabled-one"].contains("PPP"));
    EXPECT_FALSE(services()["unordered-one"].contains("PPP"));
}

TEST_F(Provisioning, KeychainSubCommands) {
    // A service the helper did not provision is not touched.
    EXPECT_EQ(send("REMOVE_PASSWD,0b1c2d3e-4f50-4617-8293-a4b5c6d7e8f9"), "0");
    send(SetKey{}.text());
    const std::string id = onlyServiceId();
    struct Case {
        std::string message, reply;
    } cases[] = {{"GET_PASSWD_SZ," + id, "Pa55word!"},
                 {"GET_USER_SZ," + id, "user1"},
                 {"GET_PASSWD_SZ," + id + ".SS", "SharedSecret859"},
                 {"GET_USER_SZ," + id + ".SS", ""}, // the shared secret has no account
                 {"REMOVE_PASSWD," + id, "1"},
                 {"GET_PASSWD_SZ," + id, ""},
                 {"GET_USER_SZ," + id, "user1"},
                 {"DELETE_KEY," + id + ".SS", "0"},
                 {"GET_PASSWD_SZ," + id + ".SS", ""},
                 {"REMOVE_PASSWD," + id + ".SS", "1"}}; // a service without items
    for (const Case& k : cases)
        EXPECT_EQ(send(k.message), k.reply) << k.message;
    EXPECT_EQ(items(id).size(), 1u);
    EXPECT_TRUE(items(id + ".SS").empty());
    EXPECT_NE(logs.find("SecItemDelete.\n"), std::string::npos);
}

TEST_F(Provisioning, RemovePrefRemovesTheServiceAndItsItemsWithoutReply) {
    send(SetKey{}.text());
    const std::string id = onlyServiceId();
    EXPECT_EQ(send("REMOVE_PREF," + id), "");
    EXPECT_TRUE(services().empty());
    EXPECT_TRUE(order().empty());
    EXPECT_TRUE(items(id).empty());
    EXPECT_TRUE(items(id + ".SS").empty());
    EXPECT_NE(logs.find("REMOVE_PREF service removed\n"), std::string::npos);
}

TEST_F(Provisioning, SecretsStayOutOfLogsAndOthersCannotReadTheStores) {
    send(SetKey{}.text());
    send("GET_PASSWD_SZ," + onlyServiceId());
    EXPECT_EQ(logs.find("Pa55word!"), std::string::npos) << logs;
    EXPECT_EQ(logs.find("SharedSecret859"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat(state.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);
    for (const auto& e : std::filesystem::directory_iterator(state)) {
        ASSERT_EQ(stat(e.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 077, 0u) << e.path();
        EXPECT_EQ(st.st_uid, geteuid()) << e.path();
    }
}

TEST_F(Provisioning, CorruptStoresAreMovedAsideAndStartedAfresh) {
    std::filesystem::create_directories(state);
    ::chmod(state.c_str(), 0700);
    writeFile(state + "/network-preferences.json", "{\"NetworkServices\": ", 0600);
    writeFile(state + "/keychain.json", "not json", 0600);
    send(SetKey{}.text());
    EXPECT_FALSE(onlyServiceId().empty());
    EXPECT_EQ(items(onlyServiceId()).size(), 1u);
    EXPECT_EQ(readFile(state + "/network-preferences.json.corrupt"), "{\"NetworkServices\": ");
    EXPECT_EQ(readFile(state + "/keychain.json.corrupt"), "not json");
}

// Empty fields cannot cross the protocol, so the keychain call is made directly.
TEST_F(Provisioning, AnUpdateWithAnEmptyPasswordKeepsTheStoredOneButTakesTheAccount) {
    setenv("TVAPPHELPER_STATE_DIR", state.c_str(), 1);
    ASSERT_TRUE(writeKeyChaineInfo("/opt/TavroVPN", "TavroVPN", "svc-1", "user1", "secret", "psk", true));
    ASSERT_TRUE(writeKeyChaineInfo("/opt/TavroVPN", "TavroVPN", "svc-1", "user2", "", "", true));
    unsetenv("TVAPPHELPER_STATE_DIR");
    ASSERT_EQ(items("svc-1").size(), 1u);
    EXPECT_EQ(items("svc-1")[0]["v_Data"], "secret");
    EXPECT_EQ(items("svc-1")[0]["acct"], "user2");
    EXPECT_EQ(items("svc-1.SS")[0]["v_Data"], "psk");
}

} // namespace
