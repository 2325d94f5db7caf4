#include "app/catalogue/PexXmlParser.h"
#include "app/catalogue/VPNPreferences.h"
#include "app/service/Constants.h"
#include "platform/Defaults.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <iconv.h>
#include <map>
#include <random>
#include <set>

namespace {

std::string doc(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ServerList>\n" + body + "</ServerList>\n";
}

std::string server(const std::string& elem, const std::string& host, const std::string& region,
                   const std::string& status, const std::string& type = "udp") {
    return "<" + elem + " Server=\"" + host + "\" Region=\"" + region + "\" Port=\"1194\" Status=\"" +
           status + "\" Type=\"" + type + "\"/>\n";
}

std::string region(const std::string& name, const std::string& no) {
    return "<Region Region=\"" + name + "\" No=\"" + no + "\"/>\n";
}

class CatalogueTest : public ::testing::Test {
protected:
    void SetUp() override {
        PexXmlParser::clearCatalogue();
        PexXmlParser::preferences = &prefs;
        PexXmlParser::traceOutput = false;
        PexXmlParser::onParseFinished = [this] { ++finished; };
        Constants::AuthHostURL = Constants::defaultAuthHostURL();
    }
    void TearDown() override {
        PexXmlParser::clearCatalogue();
        PexXmlParser::preferences = nullptr;
        PexXmlParser::onParseFinished = nullptr;
        PexXmlParser::traceOutput = true;
        setServerChoiceRandom(nullptr);
    }
    TempDir dir;
    platform::Defaults prefs{dir.file("defaults.json")};
    int finished = 0;
};

TEST_F(CatalogueTest, RegionsAreKeyedByPositionWhateverTheirNumber) {
    ASSERT_TRUE(extParser.parseData(doc(region("日本", "7") + "<AddRegion Region=\"韓国\" No=\"3\"/>" +
                                        region("台湾", "0") + server("Server", "a.example", "1", "0") +
                                        server("AddServer", "b.example", "2", "1"))));
    ASSERT_EQ(PexXmlParser::_regionInfos.size(), 3u);
    const auto& r = PexXmlParser::_regionInfos;
    EXPECT_EQ(r.at("0").Region, "日本");
    EXPECT_EQ(r.at("0").No, "7");
    EXPECT_EQ(r.at("0").Row, 0);
    EXPECT_EQ(r.at("1").Region, "韓国");
    EXPECT_EQ(r.at("1").Row, 1);
    EXPECT_EQ(r.at("2").No, "0");
    // A server's Region is read as a position key when its name is resolved.
    ASSERT_EQ(PexXmlParser::_serverList.size(), 2u);
    EXPECT_EQ(PexXmlParser::_serverList[0].regionName, "韓国");
    EXPECT_EQ(PexXmlParser::_serverList[1].regionName, "台湾");
    EXPECT_EQ(PexXmlParser::_serverList[0].Servername, "");
    EXPECT_EQ(finished, 1);
}

TEST_F(CatalogueTest, ServerElementsFillTheirOwnListsWithAllFields) {
    ASSERT_TRUE(extParser.parseData(
        doc("<Group>" + region("日本", "0") + "</Group>" + server("Server", "1.2.3.4", "0", "2", "udp,tcp") +
            server("OCServer", "oc1.example", "0", "0", "") +
            server("AddOCServer", "oc2.example", "0", "1", "a,") +
            "<server Server=\"x\" Region=\"0\" Port=\"1\" Status=\"0\" Type=\"t\"/>" +
            "<OCSERVER Server=\"y\" Region=\"0\" Port=\"1\" Status=\"0\" Type=\"t\"/>" +
            "<region Region=\"z\" No=\"9\"/>")));
    ASSERT_EQ(PexXmlParser::_serverList.size(), 1u);
    const ServerInfo& s = PexXmlParser::_serverList[0];
    EXPECT_EQ(s.Server, "1.2.3.4");
    EXPECT_EQ(s.port, "1194");
    EXPECT_EQ(s.regionNo, "0");
    EXPECT_EQ(s.regionName, "日本");
    EXPECT_EQ(s.status, "2");
    EXPECT_EQ(s.type, (std::vector<std::string>{"udp", "tcp"}));
    ASSERT_EQ(PexXmlParser::_OCserverList.size(), 2u);
    EXPECT_EQ(PexXmlParser::_OCserverList[0].type, std::vector<std::string>{""});
    EXPECT_EQ(PexXmlParser::_OCserverList[1].type, (std::vector<std::string>{"a", ""}));
    EXPECT_EQ(PexXmlParser::_OCserverList[1].Server, "oc2.example");
    EXPECT_EQ(PexXmlParser::_regionInfos.size(), 1u);
}

TEST_F(CatalogueTest, IncompleteOrUnresolvableEntriesAreSkipped) {
    ASSERT_TRUE(extParser.parseData(doc(
        region("日本", "0") + "<Region Region=\"韓国\"/>" + "<Region No=\"2\"/>" + region("台湾", "3") +
        "<Server Server=\"noport\" Region=\"0\" Status=\"0\" Type=\"t\"/>" + server("Server", "", "0", "0") +
        server("Server", "bad-status", "0", "low") + server("Server", "float", "0", "1.5") +
        server("Server", "overflow", "0", "99999999999999999999") + server("Server", "lost", "9", "0") +
        server("OCServer", "lost-oc", "2", "0") + server("Server", "good", "3", "+1"))));
    // The incomplete regions are not stored, but took their positions: 台湾 is the fourth.
    ASSERT_EQ(PexXmlParser::_regionInfos.size(), 2u);
    EXPECT_EQ(PexXmlParser::_regionInfos.at("3").Region, "台湾");
    ASSERT_EQ(PexXmlParser::_serverList.size(), 1u);
    EXPECT_EQ(PexXmlParser::_serverList[0].Server, "good");
    EXPECT_TRUE(PexXmlParser::_OCserverList.empty());
    // The default server is the first usable one.
    EXPECT_EQ(prefs.string("serverAddress"), "good");
    EXPECT_EQ(prefs.string("regionNumber"), "3");
    EXPECT_EQ(prefs.string("Region"), "台湾");
}

// Every region element, stored or skipped, takes the next position, so the regions after a
// skipped one keep the keys their servers name.
TEST_F(CatalogueTest, SkippedRegionsKeepTheirPositions) {
    struct Case {
        const char* name;
        std::string regions;
        std::map<std::string, std::string> stored; // position key -> region name
        std::string serverRegion;                  // of the one server "s"; "" when it is dropped
    } cases[] = {
        {"none skipped", region("日本", "0") + region("韓国", "1"), {{"0", "日本"}, {"1", "韓国"}}, "韓国"},
        {"without No", "<Region Region=\"日本\"/>" + region("韓国", "1"), {{"1", "韓国"}}, "韓国"},
        {"without Region", region("日本", "0") + "<AddRegion No=\"1\"/>" + region("台湾", "2"),
         {{"0", "日本"}, {"2", "台湾"}}, ""},
        {"empty values", "<Region Region=\"\" No=\"0\"/><Region Region=\"日本\" No=\"\"/>" + region("韓国", "2"),
         {{"2", "韓国"}}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PexXmlParser::clearCatalogue();
        ASSERT_TRUE(extParser.parseData(doc(c.regions + server("Server", "s", "1", "0"))));
        std::map<std::string, std::string> stored;
        for (const auto& [key, info] : PexXmlParser::_regionInfos) {
            stored[key] = info.Region;
            EXPECT_EQ(std::to_string(info.Row), key);
        }
        EXPECT_EQ(stored, c.stored);
        if (c.serverRegion.empty()) {
            EXPECT_TRUE(PexXmlParser::_serverList.empty()) << "position 1 names no region";
        } else {
            ASSERT_EQ(PexXmlParser::_serverList.size(), 1u);
            EXPECT_EQ(PexXmlParser::_serverList[0].regionName, c.serverRegion);
        }
    }
}

TEST_F(CatalogueTest, DefaultServerIsSeededOnlyWhileTheAddressIsEmpty) {
    const std::string list = doc(region("日本", "0") + region("アメリカ", "1") +
                                 server("Server", "us1", "1", "2") + server("Server", "jp1", "0", "0"));
    prefs.setString("serverAddress", "");
    ASSERT_TRUE(extParser.parseData(list));
    EXPECT_EQ(prefs.string("serverAddress"), "us1"); // first server element, not first region
    EXPECT_EQ(prefs.string("regionNumber"), "1");
    EXPECT_EQ(prefs.string("Region"), "アメリカ");

    PexXmlParser::clearCatalogue();
    prefs.setString("serverAddress", "kept");
    prefs.setString("regionNumber", "5");
    prefs.removeObject("Region");
    ASSERT_TRUE(extParser.parseData(list));
    EXPECT_EQ(prefs.string("serverAddress"), "kept");
    EXPECT_EQ(prefs.string("regionNumber"), "5");
    EXPECT_FALSE(prefs.hasObject("Region"));
    EXPECT_EQ(finished, 2);
}

TEST_F(CatalogueTest, ListWithoutUsableServerSeedsNothingButFinishes) {
    ASSERT_TRUE(extParser.parseData(doc(region("日本", "0") + server("OCServer", "oc", "0", "0"))));
    EXPECT_FALSE(prefs.hasObject("serverAddress"));
    EXPECT_FALSE(prefs.hasObject("regionNumber"));
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(PexXmlParser::getServerInfo().Server, "");
}

TEST_F(CatalogueTest, LastAuthServerWinsAndBadHostsAreIgnored) {
    const std::string defaultUrl = Constants::AuthHostURL;
    ASSERT_TRUE(extParser.parseData(doc(region("日本", "0"))));
    EXPECT_EQ(Constants::AuthHostURL, defaultUrl);

    ASSERT_TRUE(extParser.parseData(
        doc("<AuthServer Server=\"a1.example\"/><AuthServer Server=\"127.0.0.1:8443\"/>")));
    EXPECT_EQ(Constants::AuthHostURL, "https://127.0.0.1:8443/tavro_cm/auth");

    ASSERT_TRUE(
        extParser.parseData(doc("<AuthServer Server=\"evil.example/x?\"/><AuthServer Server=\"u@h\"/>"
                                "<AuthServer/><AuthServer Server=\"\"/><authserver Server=\"c.example\"/>")));
    EXPECT_EQ(Constants::AuthHostURL, "https://127.0.0.1:8443/tavro_cm/auth");
}

TEST_F(CatalogueTest, SecondParseAppendsAndContinuesPositionKeys) {
    ASSERT_TRUE(extParser.parseData(doc(region("日本", "0"))));
    ASSERT_TRUE(extParser.parseData(doc(region("韓国", "1") + server("Server", "kr", "1", "0"))));
    EXPECT_EQ(PexXmlParser::_regionInfos.at("1").Region, "韓国");
    EXPECT_EQ(PexXmlParser::_regionInfos.at("1").Row, 1);
    EXPECT_EQ(PexXmlParser::_serverList.at(0).regionName, "韓国");
}

TEST_F(CatalogueTest, MalformedDocumentsKeepEarlierEntriesAndSkipTheEnd) {
    const std::string whole = doc(region("日本", "0") + server("Server", "jp", "0", "0"));
    const std::string truncated = whole.substr(0, whole.rfind("</ServerList>"));
    EXPECT_FALSE(extParser.parseData(truncated));
    EXPECT_FALSE(extParser.parseData(""));
    EXPECT_FALSE(extParser.parseData("<a><b></a>"));
    EXPECT_FALSE(extParser.parseData("<a x='1' x='2'/>"));
    EXPECT_FALSE(extParser.parseData(std::string("<a>\0</a>", 8)));
    EXPECT_FALSE(extParser.parseData("<?xml version=\"1.0\" encoding=\"x-unknown\"?><a/>"));
    EXPECT_EQ(finished, 0);
    EXPECT_FALSE(prefs.hasObject("serverAddress"));
    EXPECT_EQ(PexXmlParser::_regionInfos.size(), 1u);          // read before the error
    EXPECT_EQ(PexXmlParser::_serverList.at(0).regionName, ""); // never resolved
}

// The document re-encoded by iconv, declared in `encoding`.
std::string encoded(const std::string& utf8, const char* encoding) {
    iconv_t cd = iconv_open(encoding, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    std::string out(utf8.size() * 4, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* o = out.data();
    size_t outLeft = out.size();
    const size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1)) return {};
    out.resize(out.size() - outLeft);
    return out;
}

TEST_F(CatalogueTest, ListsInJapaneseEncodingsAreConvertedAndUnusableEncodingsRefused) {
    const std::string body = "<ServerList>\n" + region("日本", "0") + region("ｶﾝｺｸ", "1") +
                             server("Server", "jp.example", "0", "0") + "</ServerList>\n";
    for (const char* encoding : {"Shift_JIS", "EUC-JP", "windows-31j", "CP932", "ISO-8859-15"}) {
        SCOPED_TRACE(encoding);
        PexXmlParser::clearCatalogue();
        const bool latin = std::string(encoding) == "ISO-8859-15";
        const std::string text = latin ? "<ServerList>" + region("Føroyar €", "0") + "</ServerList>" : body;
        const std::string declared = "<?xml version=\"1.0\" encoding=\"" + std::string(encoding) + "\"?>\n";
        const std::string bytes = encoded(declared + text, encoding);
        ASSERT_FALSE(bytes.empty());
        ASSERT_TRUE(extParser.parseData(bytes));
        if (latin) {
            EXPECT_EQ(PexXmlParser::_regionInfos.at("0").Region, "Føroyar €");
            continue;
        }
        EXPECT_EQ(PexXmlParser::_regionInfos.at("0").Region, "日本");
        EXPECT_EQ(PexXmlParser::_regionInfos.at("1").Region, "ｶﾝｺｸ");
        EXPECT_EQ(PexXmlParser::_serverList.at(0).regionName, "日本");
    }

    // Bytes that are no character of the declared encoding, or an encoding that moves ASCII, are
    // still a parse error.
    PexXmlParser::clearCatalogue();
    EXPECT_FALSE(extParser.parseData("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><a b=\"\x81\x20\"/>"));
    EXPECT_FALSE(extParser.parseData("<?xml version=\"1.0\" encoding=\"EUC-JP\"?><a b=\"\xA4\"/>"));
    EXPECT_FALSE(extParser.parseData(encoded("<?xml version=\"1.0\" encoding=\"IBM037\"?><a/>", "IBM037")));
    EXPECT_FALSE(extParser.parseData("<?xml version=\"1.0\" encoding=\"UTF-7\"?><a/>"));
    EXPECT_FALSE(extParser.parseData("<?xml version=\"1.0\" encoding=\"UTF-32\"?><a/>"));
}

TEST_F(CatalogueTest, EntityExpansionIsRefused) {
    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n<!ENTITY lol \"lol\">\n";
    for (int i = 1; i <= 9; ++i)
        laughs += "<!ENTITY lol" + std::to_string(i) + " \"" + [&] {
            std::string s;
            for (int k = 0; k < 10; ++k)
                s += "&lol" + (i == 1 ? std::string() : std::to_string(i - 1)) + ";";
            return s;
        }() + "\">\n";
    laughs += "]>\n<lolz><Region Region=\"&lol9;\" No=\"0\"/></lolz>\n";
    EXPECT_FALSE(extParser.parseData(laughs));
    EXPECT_TRUE(PexXmlParser::_regionInfos.empty());

    // Even a single harmless entity is not accepted, nor an external one.
    EXPECT_FALSE(
        extParser.parseData("<!DOCTYPE a [<!ENTITY e \"x\">]><a><Region Region=\"&e;\" No=\"0\"/></a>"));
    EXPECT_FALSE(extParser.parseData("<!DOCTYPE a [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><a>&e;</a>"));
    EXPECT_TRUE(PexXmlParser::_regionInfos.empty());
    EXPECT_EQ(finished, 0);

    // Predefined and character references are ordinary text.
    ASSERT_TRUE(extParser.parseData(doc("<Region Region=\"A&amp;B&#x65E5;\" No=\"0\"/>")));
    EXPECT_EQ(PexXmlParser::_regionInfos.at("0").Region, "A&B日");
}

TEST_F(CatalogueTest, OversizedInputIsRejectedButLargeAttributesAreFine) {
    const std::string big(1u << 20, 'h');
    ASSERT_TRUE(extParser.parseData(doc(region("日本", "0") + server("Server", big, "0", "0"))));
    EXPECT_EQ(PexXmlParser::_serverList.at(0).Server.size(), big.size());

    auto nested = [](int depth) {
        std::string open, close;
        for (int i = 0; i < depth; ++i)
            open += "<g>", close += "</g>";
        return open + "<Region Region=\"日本\" No=\"0\"/>" + close;
    };
    EXPECT_TRUE(extParser.parseData(nested(400)));
    EXPECT_FALSE(extParser.parseData(nested(100000)));
    EXPECT_EQ(PexXmlParser::_regionInfos.size(), 2u);

    std::string huge = "<a>" + std::string(XmlEventParser::kDefaultMaxInputBytes, ' ') + "</a>";
    EXPECT_FALSE(extParser.parseData(huge));
    writeText(dir.file("huge.xml"), huge);
    EXPECT_FALSE(extParser.parseFile(dir.file("huge.xml")));
    EXPECT_EQ(finished, 2);
}

TEST_F(CatalogueTest, FilesAreParsedAndMissingFilesAreNot) {
    writeText(dir.file("serverlist.xml"), doc(region("日本", "0") + server("Server", "jp", "0", "0")));
    EXPECT_TRUE(extParser.parseFile(dir.file("serverlist.xml")));
    EXPECT_FALSE(extParser.parseFile(dir.file("missing.xml")));
    EXPECT_FALSE(extParser.parseFile(dir.path())); // a folder
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(PexXmlParser::_serverList.size(), 1u);
}

TEST_F(CatalogueTest, TracePrintsFollowTheEvents) {
    PexXmlParser::traceOutput = true;
    testing::internal::CaptureStdout();
    extParser.parseData(
        "<L><Region Region=\"日本\" No=\"0\"/>x<Server Server=\"s\" Region=\"0\" Port=\"443\" "
        "Status=\"0\" Type=\"t\"/></L>");
    extParser.parseData("<L>");
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("開始タグ:L\n"), std::string::npos);
    EXPECT_NE(out.find("開始タグ:Region\n終了タグ:Region\n要素:x\n"), std::string::npos);
    EXPECT_NE(out.find("Server:s\r\nServername:\r\nport:443\r\nregionNo:0\r\nregionName:\r\n\n"),
              std::string::npos);
    EXPECT_NE(out.find("終了タグ:L\nXML解析終了しました\n"), std::string::npos);
    EXPECT_NE(out.find("エラー:no element found"), std::string::npos);
}

TEST_F(CatalogueTest, RegionLookupIgnoresCompositionForm) {
    EXPECT_EQ(extParser.getRegionInfo("日本"), std::nullopt); // empty map
    ASSERT_TRUE(
        extParser.parseData(doc(region("日本", "0") + region("ト\u3099イツ", "1") + region("カナダ", "2"))));
    auto de = extParser.getRegionInfo("ドイツ");
    ASSERT_TRUE(de.has_value());
    EXPECT_EQ(de->No, "1");
    EXPECT_EQ(de->getImage(), "flg_ger");
    auto ca = extParser.getRegionInfo("カナダ");
    ASSERT_TRUE(ca.has_value());
    EXPECT_EQ(ca->Row, 2);
    EXPECT_EQ(extParser.getRegionInfo("韓国"), std::nullopt);
    EXPECT_EQ(extParser.getRegionInfo(""), std::nullopt);
    EXPECT_EQ(extParser.getRegionInfo("\xff"), std::nullopt);
}

TEST(FlagTable, NamesMapToTheirImagesAndOthersToBlank) {
    EXPECT_EQ(flagImageName("日本"), "flg_jpn");
    EXPECT_EQ(flagImageName("カナダ"), "flg_can");
    EXPECT_EQ(flagImageName("ドイツ"), "flg_ger");
    EXPECT_EQ(flagImageName("ト\u3099イツ"), "flg_ger");
    EXPECT_EQ(flagImageName("イギリス"), "flg_eng");
    EXPECT_EQ(flagImageName("アメリカ"), "flg_us");
    EXPECT_EQ(flagImageName("クロアチア"), "flg_hrv");
    EXPECT_EQ(flagImageName("トルコ"), "flg_tur");
    EXPECT_EQ(flagImageName("フ\u309Aラシ\u3099ル"), "flg_blk"); // not a name in the table
    EXPECT_EQ(flagImageName("ブラジル"), "flg_bra");
    EXPECT_EQ(flagImageName("ハ\u309Aナマ"), "flg_blk");
    EXPECT_EQ(flagImageName(""), "flg_blk");
    EXPECT_EQ(flagImageName("日本 "), "flg_blk");
    EXPECT_EQ((RegionInfo{"香港", "9", 0}.getImage()), "flg_hkg");
    EXPECT_EQ((RegionInfo{"Atlantis", "9", 0}.getImage()), "flg_blk");

    const std::vector<std::string> names = {"日本",
                                            "韓国",
                                            "台湾",
                                            "アメリカ",
                                            "ドイツ",
                                            "イギリス",
                                            "フランス",
                                            "ベトナム",
                                            "タイ",
                                            "インドネシア",
                                            "カナダ",
                                            "ブラジル",
                                            "アルゼンチン",
                                            "メキシコ",
                                            "オランダ",
                                            "スウェーデン",
                                            "スイス",
                                            "ベルギー",
                                            "デンマーク",
                                            "ノルウェー",
                                            "ポーランド",
                                            "アイルランド",
                                            "ロシア",
                                            "チェコ",
                                            "イタリア",
                                            "スペイン",
                                            "フィンランド",
                                            "オーストリア",
                                            "スロバキア",
                                            "ブルガリア",
                                            "ハンガリー",
                                            "ルーマニア",
                                            "ポルトガル",
                                            "ルクセンブルグ",
                                            "ウクライナ",
                                            "ギリシャ",
                                            "アイスランド",
                                            "クロアチア",
                                            "オーストラリア",
                                            "シンガポール",
                                            "香港",
                                            "マカオ",
                                            "ニュージーランド",
                                            "フィリピン",
                                            "マレーシア",
                                            "南アフリカ",
                                            "インド",
                                            "アラブ首長国連邦",
                                            "イスラエル",
                                            "トルコ"};
    ASSERT_EQ(names.size(), 50u);
    std::set<std::string> images;
    for (const auto& n : names) {
        const std::string img = flagImageName(n);
        EXPECT_EQ(img.rfind("flg_", 0), 0u) << n;
        EXPECT_NE(img, "flg_blk") << n;
        images.insert(img);
    }
    EXPECT_EQ(images.size(), 50u);
}

TEST(CanonicalText, ComposedAndDecomposedFormsAreEqual) {
    EXPECT_TRUE(canonicallyEqual("ドイツ", "ト\u3099イツ"));
    EXPECT_TRUE(canonicallyEqual("Caf\u00e9", "Cafe\u0301"));
    EXPECT_FALSE(canonicallyEqual("ドイツ", "トイツ"));
    EXPECT_FALSE(canonicallyEqual("ﾄﾞｲﾂ", "ドイツ")); // compatibility forms stay distinct
    EXPECT_EQ(canonicalText("\xff\xfe"), "\xff\xfe");
}

// --- server choice ---

ServerInfo entry(const std::string& host, const std::string& regionNo, const std::string& status) {
    ServerInfo s;
    s.Server = host;
    s.regionNo = regionNo;
    s.status = status;
    return s;
}

// Every server the choice can return, found by steering the draw to each index in turn.
std::vector<std::string> candidates(const std::vector<ServerInfo>& list, const std::string& regionNo) {
    uint32_t bound = 0;
    setServerChoiceRandom([&](uint32_t upper) {
        bound = upper;
        return 0u;
    });
    std::vector<std::string> out;
    std::string first = chooseServerAddr(list, regionNo);
    if (first.empty()) return out;
    out.push_back(first);
    for (uint32_t i = 1; i < bound; ++i) {
        setServerChoiceRandom([i](uint32_t) { return i; });
        out.push_back(chooseServerAddr(list, regionNo));
    }
    setServerChoiceRandom(nullptr);
    return out;
}

using Hosts = std::vector<std::string>;

TEST(ServerChoice, ThresholdRuleMatchesTheWorkedExamples) {
    auto region0 = [](std::vector<std::string> statuses) {
        std::vector<ServerInfo> list;
        for (size_t i = 0; i < statuses.size(); ++i)
            list.push_back(entry("s" + std::to_string(i + 1), "0", statuses[i]));
        return candidates(list, "0");
    };
    EXPECT_EQ(region0({"2", "1", "0", "0"}), (Hosts{"s1", "s2", "s3"}));
    EXPECT_EQ(region0({"0", "0"}), (Hosts{"s1"}));
    EXPECT_EQ(region0({"1", "1", "1"}), (Hosts{"s1", "s2", "s3"}));
    EXPECT_EQ(region0({"3", "5", "2"}), (Hosts{"s1", "s3"}));
    EXPECT_EQ(region0({"3", "3", "3"}), (Hosts{"s1", "s2", "s3"}));
    EXPECT_EQ(region0({"0", "1", "0"}), (Hosts{"s1"}));
    EXPECT_EQ(region0({"4", "9"}), Hosts{});
    EXPECT_EQ(region0({"+2", "-1", "-1", "0"}), (Hosts{"s1", "s2", "s3"}));
    EXPECT_EQ(region0({"x", "", "2"}), (Hosts{"s3"})); // unreadable statuses take no part
    EXPECT_EQ(region0({}), Hosts{});
}

TEST(ServerChoice, OtherRegionsNeverMoveTheThreshold) {
    std::vector<ServerInfo> list = {entry("b0", "1", "0"), entry("a1", "0", "2"),   entry("b1", "1", "0"),
                                    entry("a2", "0", "2"), entry("b2", "10", "-5"), entry("a3", "0", "3")};
    EXPECT_EQ(candidates(list, "0"), (Hosts{"a1", "a2"}));
    EXPECT_EQ(candidates(list, "1"), (Hosts{"b0"}));
    EXPECT_EQ(candidates(list, "10"), (Hosts{"b2"}));
    EXPECT_EQ(candidates(list, "01"), Hosts{}); // numbers compare as text
}

TEST(ServerChoice, DrawIsUniformOverTheCandidates) {
    std::vector<ServerInfo> list = {entry("s1", "0", "2"), entry("s2", "0", "1"), entry("s3", "0", "0"),
                                    entry("s4", "0", "0")};
    std::mt19937 engine(12345);
    setServerChoiceRandom(
        [&](uint32_t upper) { return std::uniform_int_distribution<uint32_t>(0, upper - 1)(engine); });
    std::map<std::string, int> counts;
    for (int i = 0; i < 3000; ++i)
        ++counts[chooseServerAddr(list, "0")];
    setServerChoiceRandom(nullptr);
    EXPECT_EQ(counts.count("s4"), 0u);
    ASSERT_EQ(counts.size(), 3u);
    for (const auto& [host, n] : counts) {
        EXPECT_GT(n, 850) << host;
        EXPECT_LT(n, 1150) << host;
    }
    // An out-of-range draw from a replaced source still lands on a candidate.
    setServerChoiceRandom([](uint32_t) { return 1000u; });
    EXPECT_FALSE(chooseServerAddr(list, "0").empty());
    setServerChoiceRandom(nullptr);
    for (int i = 0; i < 50; ++i)
        EXPECT_NE(chooseServerAddr(list, "0"), "s4");
}

TEST_F(CatalogueTest, OpenVpnAndOpenConnectChoicesStayApart) {
    ASSERT_TRUE(extParser.parseData(doc(
        region("日本", "0") + server("Server", "ovpn-a", "0", "1") + server("OCServer", "oc-a", "0", "0") +
        server("AddServer", "ovpn-b", "0", "1") + server("AddOCServer", "oc-b", "0", "0"))));
    for (int i = 0; i < 40; ++i) {
        const std::string ovpn = getServerAddr("0");
        EXPECT_TRUE(ovpn == "ovpn-a" || ovpn == "ovpn-b") << ovpn;
        EXPECT_EQ(getOCServerAddr("0"), "oc-a");
    }
    EXPECT_EQ(getServerAddr("1"), "");
    EXPECT_EQ(getOCServerAddr("1"), "");
}

TEST(StatusText, OptionalSignThenDigits) {
    EXPECT_EQ(parseStatus("0"), 0);
    EXPECT_EQ(parseStatus("+3"), 3);
    EXPECT_EQ(parseStatus("-2"), -2);
    EXPECT_EQ(parseStatus("007"), 7);
    for (const char* bad :
         {"", "+", "-", "+-1", "--1", " 1", "1 ", "1.0", "0x1", "１", "9223372036854775808"})
        EXPECT_EQ(parseStatus(bad), std::nullopt) << bad;
}

} // namespace
