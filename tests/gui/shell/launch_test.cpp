// The launch sequence against the local service: working folder, archive, preferences, downloads.
#include "ShellFixture.h"

#include "app/account/UserLoginWindow.h"
#include "app/service/Constants.h"
#include "platform/qt/Frames.h"

#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
std::string readFile(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
} // namespace

class LaunchTest : public ShellFixture {};

TEST_F(LaunchTest, FirstStartBuildsTheWorkingFolderAndShowsTheSavedRegion) {
    LocalService service;
    ASSERT_TRUE(service.start());
    service.exportEnv();
    AppDelegate& d = makeDelegate();
    d.applicationDidFinishLaunching();
    settle(300);

    EXPECT_TRUE(alerts.shown.isEmpty());
    EXPECT_EQ(terminations, 0);
    const std::string R = root();
    EXPECT_EQ(readFile(R + "/2.4.0"), "2.4.0");
    EXPECT_TRUE(fs::exists(R + "/Config/serverlist.xml"));
    EXPECT_TRUE(fs::exists(R + "/Config/app_update.xml"));
    EXPECT_TRUE(fs::exists(R + "/OpenVPN/openvpn"));
    // The archive is unpacked next to it, the clear tar removed, the archive kept.
    EXPECT_TRUE(fs::exists(R + "/openconnect/vpnc-script-wrapper"));
    EXPECT_TRUE(fs::exists(R + "/openconnect/libs.tar.enc"));
    EXPECT_FALSE(fs::exists(R + "/openconnect/libs.tar"));
    struct stat st {};
    ASSERT_EQ(stat((R + "/OpenVPN/openvpn").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR) << "the launcher keeps its mode when copied";
    ASSERT_EQ(stat(R.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u) << "the working folder is the user's alone";

    platform::Defaults& prefs = platform::Defaults::standard();
    EXPECT_EQ(prefs.stringForKey("username"), std::optional<std::string>(""));
    EXPECT_EQ(prefs.integerForKey("SaveAccount"), std::optional<long long>(1));
    EXPECT_EQ(prefs.integerForKey("ProtcolSelAuto"), std::optional<long long>(1));
    EXPECT_EQ(prefs.stringForKey("ProtcolChoice"), std::optional<std::string>("L2TP"));
    EXPECT_FALSE(prefs.hasObject("SuccessProtcol"));
    // Seeded from the first server of the list; shown with its flag.
    EXPECT_EQ(prefs.string("serverAddress"), "127.0.10.1");
    EXPECT_EQ(d.region->text(), "日本");
    EXPECT_FALSE(d.regFlagImage->pixmap().isNull());
    EXPECT_EQ(d.protcolText->text(), "自動");
    EXPECT_EQ(d.versionText->text(), "バージョン：2.4.0");
    EXPECT_FALSE(d.window->isVisible()) << "only the login result shows the main window";
    // The main window has its place before the login window takes its own from it: centred, and
    // the login window's bottom-left corner 200 above the main window's.
    const QRect avail = d.window->screen()->availableGeometry();
    EXPECT_LE(std::abs(d.window->geometry().center().x() - avail.center().x()), 1);
    EXPECT_EQ(d.loginWindow->x(), d.window->x());
    EXPECT_EQ(d.loginWindow->geometry().bottom(), std::max(avail.top() + d.loginWindow->height() - 1,
                                                           d.window->geometry().bottom() - 200));

    // The status menu: five items with separators between them, all enabled.
    const auto actions = d._appMenu->actions();
    ASSERT_EQ(actions.size(), 9);
    EXPECT_EQ(actions[0]->text(), "ステータス：未接続");
    EXPECT_EQ(actions[2]->text(), "接続先サーバー");
    EXPECT_EQ(actions[4]->text(), "設定");
    EXPECT_EQ(actions[6]->text(), "トラブルシューティング（FAQ）");
    EXPECT_EQ(actions[8]->text(), "タブロVPNを終了");
    for (int i : {1, 3, 5, 7})
        EXPECT_TRUE(actions[i]->isSeparator());
}

TEST_F(LaunchTest, LaterStartKeepsPreferencesAndDoesNotUnpackAgain) {
    LocalService service;
    ASSERT_TRUE(service.start());
    service.exportEnv();
    makeDelegate().applicationDidFinishLaunching();
    settle(200);
    delegate.reset();

    platform::Defaults& prefs = platform::Defaults::standard();
    prefs.setString("Region", "韓国");
    prefs.setString("regionNumber", "2");
    prefs.setString("ProtcolChoice", "IKEv2");
    prefs.setInteger("ProtcolSelAuto", 0);
    fs::remove(root() + "/openconnect/vpnc-script-wrapper");
    ASSERT_EQ(chmod(root().c_str(), 0755), 0); // as earlier versions made it
    PexXmlParser::clearCatalogue();

    AppDelegate& d = makeDelegate();
    d.applicationDidFinishLaunching();
    settle(200);
    struct stat st {};
    ASSERT_EQ(stat(root().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u) << "closed to others at launch";
    EXPECT_EQ(prefs.string("Region"), "韓国");
    EXPECT_EQ(d.region->text(), "韓国");
    EXPECT_FALSE(fs::exists(root() + "/openconnect/vpnc-script-wrapper")) << "unpacked only once per folder";
    // A stored IKEv2 choice is migrated, on screen and in the preference.
    EXPECT_EQ(d.protcolText->text(), "L2TP");
    EXPECT_EQ(prefs.string("ProtcolChoice"), "L2TP");
}

TEST_F(LaunchTest, OfflineFirstStartRestoresTheBundledListWarnsAndAsksToQuit) {
    LocalService service;
    ASSERT_TRUE(service.start());
    service.exportEnv();
    service.stop(); // nothing listens on that port any more
    AppDelegate& d = makeDelegate();
    d.applicationDidFinishLaunching();

    ASSERT_EQ(alerts.shown.size(), 1);
    EXPECT_EQ(alerts.shown[0].messageText, "タブロVPN");
    EXPECT_EQ(alerts.shown[0].informativeText,
              "インターネット未接続です。インターネット接続を行っていただくか、セキュリティソフトで通信制限を"
              "解除してください。タブロVPNを終了します。");
    EXPECT_EQ(terminations, 1) << "no job file: termination without confirmation";
    // The list copied from the bundle is back in place after the failed download.
    const std::string bundled =
        readFile(std::string(getenv("TAVROVPN_BUNDLE")) + "/Contents/Resources/Config/serverlist.xml");
    EXPECT_EQ(readFile(root() + "/Config/serverlist.xml"), bundled);
    EXPECT_EQ(d.loginWindow, nullptr) << "the launch stops at the termination";
}

// The real user and group of the test for a while (the effective ones stay root's): a user the
// installed helper does not serve yet.
class RealUser {
public:
    RealUser(uid_t uid, gid_t gid) {
        ok = setresgid(gid, static_cast<gid_t>(-1), static_cast<gid_t>(-1)) == 0 &&
             setresuid(uid, static_cast<uid_t>(-1), static_cast<uid_t>(-1)) == 0;
    }
    ~RealUser() {
        (void)!setresuid(0, static_cast<uid_t>(-1), static_cast<uid_t>(-1));
        (void)!setresgid(0, static_cast<gid_t>(-1), static_cast<gid_t>(-1));
    }
    bool ok = false;
};

TEST_F(LaunchTest, HelperThatCannotBeInstalledEndsTheLaunchWithTheMatchingExplanation) {
    struct Case {
        const char* name;
        const char* pkexec;
        const char* says;
        bool installed = false; // the package's helper, this user's approval declined
    } cases[] = {
        {"no agent",
         "echo 'Error executing command as another user: No authentication agent found.' >&2; exit 127",
         "man tavrovpn"},
        {"dismissed", "exit 126", "パスワードを入力してください。"},
        {"not authorised", "echo 'Error executing command as another user: Not authorized' >&2; exit 127",
         "パスワードを入力してください。"},
        {"installed, approval dismissed", "exit 126", "パスワードを入力してください。", true},
        {"installed, approval not authorised", "exit 127", "パスワードを入力してください。", true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string fake = home + "/pkexec-" + std::to_string(++n);
        std::ofstream(fake) << "#!/bin/sh\n" << c.pkexec << "\n";
        fs::permissions(fake, fs::perms::owner_all);
        setenv("TAVROVPN_PKEXEC", fake.c_str(), 1);
        const std::string job = home + (c.installed ? "/job-file" : "/no-job-file");
        if (c.installed) std::ofstream(job) << "[Socket]\n";
        setenv("TAVROVPN_HELPER_JOB_FILE", job.c_str(), 1);
        setenv("TVAPPHELPER_ALLOW_FILE", (home + "/no-allow-file").c_str(), 1);
        alerts.shown.clear();
        terminations = 0;
        {
            std::optional<RealUser> user;
            if (c.installed) {
                // pkexec is looked up with the real user and group.
                fs::permissions(home, fs::perms::others_exec, fs::perm_options::add);
                fs::permissions(fake, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
                user.emplace(65534, 65534);
                ASSERT_TRUE(user->ok);
            }
            makeDelegate().applicationDidFinishLaunching();
        }
        // No quit question: the explanation is the only alert.
        ASSERT_EQ(alerts.shown.size(), 1);
        EXPECT_NE(alerts.shown[0].informativeText.indexOf(QString::fromUtf8(c.says)), -1)
            << alerts.shown[0].informativeText.toStdString();
        EXPECT_EQ(terminations, 1);
    }
}

// An answer that is not a server list counts as a failed download, launch after launch: the last
// good list and its backup stay until the service sends a list again.
TEST_F(LaunchTest, AnswerThatIsNotAServerListLeavesTheLastGoodListInPlace) {
    const std::string served = home + "/served.xml", list = root() + "/Config/serverlist.xml";
    const std::string good = R"(<L><Region Region="日本" No="0"/>
<Server Server="127.0.10.1" Region="0" Port="1194" Status="0" Type="OpenVPN"/></L>)";
    std::ofstream(served) << good;
    LocalService service({"--serverlist", served});
    ASSERT_TRUE(service.start());
    service.exportEnv();
    const std::string cutShort = "broken-xml@/support/vpn/tavrovpn/serverlist.xml";
    const std::pair<std::string, std::string> answers[] = {
        // faults, list served
        {"", good},
        {"status=503@/support/vpn/tavrovpn/serverlist.xml", good},
        {cutShort, good},
        {"", "<html><body><p>メンテナンス中<br></body></html>"},
        {"", "<html><body><p>メンテナンス中</p></body></html>"},
        {cutShort, good},
        {"", good + "<!-- the service is back -->"}};
    for (const auto& [faults, text] : answers) {
        SCOPED_TRACE(faults + " " + text);
        service.setFaults(faults);
        std::ofstream(served, std::ios::trunc) << text;
        const bool aList = faults.empty() && text.rfind(good, 0) == 0;
        alerts.shown.clear();
        terminations = 0;
        PexXmlParser::clearCatalogue();
        makeDelegate().applicationDidFinishLaunching();
        EXPECT_EQ(alerts.shown.size(), aList ? 0 : 1);
        EXPECT_EQ(terminations, aList ? 0 : 1);
        EXPECT_EQ(readFile(list), aList ? text : good);
        if (!aList) {
            EXPECT_EQ(readFile(list + ".tmp"), good);
        }
        delegate.reset();
    }
}

TEST_F(LaunchTest, TestServerListPreferenceReplacesTheListAddress) {
    LocalService service;
    ASSERT_TRUE(service.start());
    service.exportEnv();
    platform::Defaults::standard().setString("TESTSERVERLIST", service.url("/no/such/list.xml"));
    makeDelegate().applicationDidFinishLaunching();
    EXPECT_EQ(alerts.shown.size(), 1) << "the list was fetched from the test address (which has none)";
}

TEST_F(LaunchTest, NewerVersionAndNoticeShowBothBanners) {
    LocalService service({"--update-file", "app_update_new.xml"});
    ASSERT_TRUE(service.start());
    service.exportEnv();
    AppDelegate& d = makeDelegate();
    const int baseHeight = d.window->height();
    const QRect flag0 = frames::frameBL(d.regFlagImage);
    d.applicationDidFinishLaunching();
    settle(300);

    EXPECT_TRUE(d.updateColorWall->isVisibleTo(d.window));
    EXPECT_TRUE(d.messageWall->isVisibleTo(d.window));
    EXPECT_EQ(d.buttonUpdate->text(), "v2.5.1にアップデートしてください");
    EXPECT_TRUE(d.buttonMessage->text().startsWith("お知らせ:"));
    EXPECT_EQ(d.window->height(), baseHeight + 80);
    EXPECT_EQ(frames::frameBL(d.messageWall).y(), 0);
    EXPECT_EQ(frames::frameBL(d.updateColorWall).y(), 40);
    EXPECT_EQ(frames::frameBL(d.regFlagImage).y(), flag0.y() + 80);
}

TEST_F(LaunchTest, CurrentVersionShowsNoBannerAndKeepsTheWindowHeight) {
    LocalService service;
    ASSERT_TRUE(service.start());
    service.exportEnv();
    AppDelegate& d = makeDelegate();
    const int baseHeight = d.window->height();
    d.applicationDidFinishLaunching();
    settle(200);
    EXPECT_FALSE(d.updateColorWall->isVisibleTo(d.window));
    EXPECT_FALSE(d.messageWall->isVisibleTo(d.window));
    EXPECT_EQ(d.window->height(), baseHeight) << "grown by 40 and shrunk by 40 during the launch";
}
