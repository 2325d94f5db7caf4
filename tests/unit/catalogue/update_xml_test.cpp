#include "app/shell/UpdateXmlParser.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

struct Band {
    std::string kind;
    bool isHidden;
    bool showMessage;
    std::string text;
};

class UpdateXmlTest : public ::testing::Test {
protected:
    void SetUp() override {
        UpdateXmlParser::traceOutput = false;
        UpdateXmlParser::setCurrentVersion("1.0.1");
        UpdateXmlParser::showMessageButton = [this](bool hidden, const std::string& message) {
            bands.push_back({"message", hidden, false, message});
        };
        UpdateXmlParser::showUpdateButton = [this](bool hidden, bool showMessage, const std::string& title) {
            bands.push_back({"update", hidden, showMessage, title});
        };
    }
    void TearDown() override {
        UpdateXmlParser::showMessageButton = nullptr;
        UpdateXmlParser::showUpdateButton = nullptr;
        UpdateXmlParser::traceOutput = true;
        UpdateXmlParser::setCurrentVersion("2.4.0");
    }
    std::vector<Band> bands;
    UpdateXmlParser parser;
};

std::string updateDoc(const std::string& latest, bool withMessage) {
    std::string d =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Update>\n"
        "<Windows LatestVersion=\"9.9.9\"><Download url=\"https://example.invalid/win\"/></Windows>\n"
        "<MacOS LatestVersion=\"" +
        latest + "\">\n  <Download url=\"https://example.invalid/mac\"/>\n</MacOS>\n";
    if (withMessage)
        d += "<Message text=\"メンテナンスのお知らせ\"/>\n<MessageURL "
             "url=\"https://example.invalid/news\"/>\n";
    return d + "</Update>\n";
}

TEST(VersionValue, SlotsAndWeights) {
    EXPECT_DOUBLE_EQ(UpdateXmlParser::versionValue("1.0.1"), 101.0001);
    EXPECT_DOUBLE_EQ(UpdateXmlParser::versionValue("1.0.2"), 102.0001);
    EXPECT_DOUBLE_EQ(UpdateXmlParser::versionValue("1.0.1.1001"), 101.1001);
    EXPECT_DOUBLE_EQ(UpdateXmlParser::versionValue("1.0.1.1"), 101.0001);
    EXPECT_DOUBLE_EQ(UpdateXmlParser::versionValue("1.10.0"), 200.0001);
    EXPECT_DOUBLE_EQ(UpdateXmlParser::versionValue("1.10.0"), UpdateXmlParser::versionValue("2.0.0"));
    EXPECT_DOUBLE_EQ(UpdateXmlParser::versionValue("2"), 200.0001);
    EXPECT_DOUBLE_EQ(UpdateXmlParser::versionValue("2.4"), 240.0001);
    EXPECT_DOUBLE_EQ(UpdateXmlParser::versionValue("2.4.0"), 240.0001);
    // Parts read like atof: a leading number counts, anything else is 0.
    EXPECT_DOUBLE_EQ(UpdateXmlParser::versionValue("1b.x.3rc"), 103.0001);
    EXPECT_DOUBLE_EQ(UpdateXmlParser::versionValue(""), 0.0001);
    EXPECT_DOUBLE_EQ(UpdateXmlParser::versionValue("..."), 0.0);
    EXPECT_DOUBLE_EQ(UpdateXmlParser::versionValue("1,5.0.0"), 100.0001); // no locale decimal comma
    // Parts after the fourth are ignored.
    EXPECT_DOUBLE_EQ(UpdateXmlParser::versionValue("1.2.3.4.5.6"), UpdateXmlParser::versionValue("1.2.3.4"));
    std::string many;
    for (int i = 0; i < 10000; ++i)
        many += "9.";
    EXPECT_TRUE(std::isfinite(UpdateXmlParser::versionValue(many)));
}

TEST(VersionValue, VersionsCompareOnePartAtATime) {
    struct Case {
        const char* running;
        const char* latest;
        int want; // sign of compareVersions(running, latest)
    } cases[] = {
        {"1.0.1", "1.0.2", -1},
        {"2.4.0", "1.15.0", 1},   // no downgrade offered
        {"2.12.0", "3.0.1", -1},  // the update is not missed
        {"1.10.0", "2.0.0", -1},
        {"1.9.9", "1.10.0", -1},
        {"1.0.10", "1.1.0", -1},
        {"2.4", "2.4.0", 0},
        {"2", "2.0.0.1", 0},        // a missing fourth part counts as 1
        {"1.0.1", "1.0.1.1001", -1}, // the fourth part decides last
        {"1.0.1.20000", "1.0.2", -1},
        {"1.0.1.1001", "1.0.1.999", 1},
        {"1b.x.3rc", "1.0.3", 0},   // parts read like atof
        {"1,5.0.0", "1.0.0", 0},    // no locale decimal comma
        {"1.2.3.4.5", "1.2.3.4", 0}, // parts after the fourth are ignored
        {"", "0.0.0", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.running) + " vs " + c.latest);
        const int got = UpdateXmlParser::compareVersions(c.running, c.latest);
        EXPECT_EQ((got > 0) - (got < 0), c.want);
        const int back = UpdateXmlParser::compareVersions(c.latest, c.running);
        EXPECT_EQ((back > 0) - (back < 0), -c.want);
    }
}

TEST(VersionValue, BannerTitleUsesTheFirstThreeParts) {
    EXPECT_EQ(UpdateXmlParser::updateTitle("1.0.2"), "v1.0.2にアップデートしてください");
    EXPECT_EQ(UpdateXmlParser::updateTitle("1.0.1.1001"), "v1.0.1にアップデートしてください");
    EXPECT_EQ(UpdateXmlParser::updateTitle("3"), "v3.0.0にアップデートしてください");
    EXPECT_EQ(UpdateXmlParser::updateTitle("3.1"), "v3.1.0にアップデートしてください");
    EXPECT_EQ(UpdateXmlParser::updateTitle("1.10.0"), "v1.10.0にアップデートしてください");
}

TEST_F(UpdateXmlTest, NewerVersionWithNoticeShowsBothBands) {
    ASSERT_TRUE(parser.parseData(updateDoc("1.0.2", true)));
    EXPECT_EQ(parser._LatestVersion, "1.0.2");
    EXPECT_EQ(parser._downloadUrl, "https://example.invalid/mac");
    EXPECT_EQ(parser._messageText, "メンテナンスのお知らせ");
    EXPECT_EQ(parser._messageUrl, "https://example.invalid/news");
    EXPECT_FALSE(parser._isMacOSTag);
    ASSERT_EQ(bands.size(), 2u);
    EXPECT_EQ(bands[0].kind, "message");
    EXPECT_FALSE(bands[0].isHidden);
    EXPECT_EQ(bands[0].text, "メンテナンスのお知らせ");
    EXPECT_EQ(bands[1].kind, "update");
    EXPECT_FALSE(bands[1].isHidden);
    EXPECT_TRUE(bands[1].showMessage);
    EXPECT_EQ(bands[1].text, "v1.0.2にアップデートしてください");
}

TEST_F(UpdateXmlTest, UpdateBandAloneDoesNotReserveTheNoticeRow) {
    ASSERT_TRUE(parser.parseData(updateDoc("1.0.1.1001", false)));
    ASSERT_EQ(bands.size(), 1u);
    EXPECT_EQ(bands[0].kind, "update");
    EXPECT_FALSE(bands[0].showMessage);
    EXPECT_EQ(bands[0].text, "v1.0.1にアップデートしてください");
}

TEST_F(UpdateXmlTest, SameOrOlderVersionShowsNoUpdate) {
    for (const char* latest : {"1.0.1.1", "1.0.1", "1.0.0", "0.9", "", "0.15.0", "0.9.99"}) {
        SCOPED_TRACE(latest);
        UpdateXmlParser fresh;
        bands.clear();
        ASSERT_TRUE(fresh.parseData(updateDoc(latest, false)));
        EXPECT_TRUE(bands.empty());
    }
}

TEST_F(UpdateXmlTest, DownloadCountsOnlyInsideMacOS) {
    ASSERT_TRUE(parser.parseData("<U><Download url=\"https://x/top\"/><MacOS LatestVersion=\"5.0.0\"/>"
                                 "<Windows><Download url=\"https://x/win\"/></Windows></U>"));
    EXPECT_EQ(parser._LatestVersion, "5.0.0");
    EXPECT_EQ(parser._downloadUrl, std::nullopt);
    EXPECT_TRUE(bands.empty());
}

TEST_F(UpdateXmlTest, LastOccurrenceWinsAndMissingAttributesChangeNothing) {
    ASSERT_TRUE(parser.parseData(
        "<U><MacOS LatestVersion=\"1.0.5\"><Download url=\"a\"/><Download url=\"b\"/></MacOS>"
        "<MacOS LatestVersion=\"1.0.3\"><Download/></MacOS><MacOS/>"
        "<Message text=\"one\"/><Message text=\"two\"/><Message/><MessageURL/>"
        "<message text=\"lower\"/><MACOS LatestVersion=\"9.9.9\"/></U>"));
    EXPECT_EQ(parser._LatestVersion, "1.0.3");
    EXPECT_EQ(parser._downloadUrl, "b");
    EXPECT_EQ(parser._messageText, "two");
    EXPECT_EQ(parser._messageUrl, std::nullopt);
    ASSERT_EQ(bands.size(), 2u);
    EXPECT_EQ(bands[1].text, "v1.0.3にアップデートしてください");
}

TEST_F(UpdateXmlTest, BrokenFilesShowNothing) {
    EXPECT_FALSE(
        parser.parseData("<U><Message text=\"early\"/><MacOS LatestVersion=\"9\"><Download url=\"u\"/>"));
    EXPECT_EQ(parser._messageText, "early"); // read before the error
    EXPECT_FALSE(parser.parseData("<!DOCTYPE U [<!ENTITY e \"x\">]><U><Message text=\"&e;\"/></U>"));
    EXPECT_FALSE(parser.parseData(std::string(2u << 20, ' ')));
    EXPECT_FALSE(parser.parseFile("/nonexistent/app_update.xml"));
    EXPECT_TRUE(bands.empty());
}

TEST_F(UpdateXmlTest, FileParseAndTracePrints) {
    TempDir dir;
    writeText(dir.file("app_update.xml"), updateDoc("3.0.0", false));
    UpdateXmlParser::traceOutput = true;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(parser.parseFile(dir.file("app_update.xml")));
    EXPECT_FALSE(UpdateXmlParser().parseData("<U>"));
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("開始タグ:MacOS\n"), std::string::npos);
    EXPECT_NE(out.find("終了タグ:MacOS\n"), std::string::npos);
    EXPECT_NE(out.find("要素:"), std::string::npos);
    EXPECT_NE(out.find("XML解析終了しました\n"), std::string::npos);
    EXPECT_NE(out.find("エラー:"), std::string::npos);
    ASSERT_EQ(bands.size(), 1u);
}

TEST_F(UpdateXmlTest, ProjectVersionIsTheDefault) {
    UpdateXmlParser::setCurrentVersion("2.4.0");
    ASSERT_TRUE(parser.parseData(updateDoc("2.4.0", false)));
    EXPECT_TRUE(bands.empty());
    UpdateXmlParser newer;
    ASSERT_TRUE(newer.parseData(updateDoc("2.4.1", false)));
    EXPECT_EQ(bands.size(), 1u);
}

} // namespace
