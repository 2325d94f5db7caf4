// Status words, connected time, region display and banner geometry on the main window.
#include "ShellFixture.h"

#include "app/account/UserLoginWindow.h"
#include "app/catalogue/ServerListTableView.h"
#include "app/connection/ConnectionWindow.h"
#include "app/service/Constants.h"
#include "platform/qt/Frames.h"
#include "platform/qt/Workspace.h"

#include <QTimer>

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>

class StatusTest : public ShellFixture {
protected:
    void SetUp() override {
        ShellFixture::SetUp();
        makeDelegate();
        Constants::autoConnectCount = -1;
    }
    void TearDown() override {
        Constants::autoConnectCount = -1;
        ShellFixture::TearDown();
    }
    AppDelegate& d() { return *delegate; }
    QList<QAction*> menu() { return d()._appMenu->actions(); }
    void buildMenu() {
        // The status menu is built by the launch; build it the same way without the downloads.
        for (const char* t : {"ステータス：未接続", "接続先サーバー", "設定", "トラブルシューティング（FAQ）",
                              "タブロVPNを終了"}) {
            d()._appMenu->addAction(QString::fromUtf8(t));
            d()._appMenu->addSeparator();
        }
    }
};

TEST_F(StatusTest, EachStatusWordSetsStateColourMenuAndButtons) {
    buildMenu();
    d().region->setText("日本");

    d().updateStatus("接続中");
    EXPECT_EQ(d()._vpnStatus, TAVROVPNStatus::connected);
    EXPECT_EQ(d().statusText->text(), "接続中");
    EXPECT_TRUE(d().statusTextBackground->styleSheet().contains("rgb(118, 197, 0)"));
    EXPECT_EQ(menu()[0]->text(), "ステータス：接続中（日本）");
    EXPECT_FALSE(menu()[2]->isEnabled());
    EXPECT_FALSE(menu()[4]->isEnabled());
    EXPECT_TRUE(menu()[6]->isEnabled());

    Constants::autoConnectCount = 2;
    d().updateStatus("接続中...");
    EXPECT_EQ(d()._vpnStatus, TAVROVPNStatus::connecting);
    EXPECT_EQ(d().statusText->text(), "接続中...2/3");
    EXPECT_TRUE(d().statusTextBackground->styleSheet().contains("rgb(255, 155, 0)"));
    EXPECT_EQ(menu()[0]->text(), "ステータス：未接続");
    EXPECT_TRUE(menu()[2]->isEnabled());
    EXPECT_TRUE(menu()[4]->isEnabled());

    Constants::autoConnectCount = 0;
    d().updateStatus("接続中...");
    EXPECT_EQ(d().statusText->text(), "接続中...");

    d().serverSelButton->setEnabled(false);
    d().updateStatus("未接続");
    EXPECT_EQ(d()._vpnStatus, TAVROVPNStatus::disconnected);
    EXPECT_TRUE(d().serverSelButton->isEnabled());
    EXPECT_TRUE(d().statusTextBackground->styleSheet().contains("rgb(187, 187, 187)"));

    d().updateStatus("接続中");
    d().updateStatus("切断されました");
    EXPECT_EQ(d().statusText->text(), "切断されました") << "an unknown word is shown unchanged";
    EXPECT_EQ(d()._vpnStatus, TAVROVPNStatus::disconnected);
    EXPECT_TRUE(menu()[2]->isEnabled());
}

TEST_F(StatusTest, MenuActionsAreRemovedWhileConnectedAndRestoredAfter) {
    buildMenu();
    d().updateStatus("接続中");
    d()._vpnStatus = TAVROVPNStatus::disconnected; // even if the state were wrong, the item has no action
    int clicks = 0;
    QObject::connect(d().serverSelButton, &QPushButton::clicked, [&] { ++clicks; });
    menu()[2]->trigger();
    EXPECT_EQ(clicks, 0);
    d().updateStatus("未接続");
    menu()[2]->trigger();
    EXPECT_EQ(clicks, 1);
}

TEST_F(StatusTest, RawStatusValuesOutsideTheEnumerationGiveNothing) {
    EXPECT_EQ(makeTAVROVPNStatus(2), TAVROVPNStatus::connected);
    EXPECT_FALSE(makeTAVROVPNStatus(3).has_value());
    EXPECT_FALSE(makeTAVROVPNStatus(-1).has_value());
}

TEST_F(StatusTest, ConnectedTimeIsHoursMinutesSeconds) {
    d()._connectedDate = QDateTime::currentDateTime().addMSecs(-3725900);
    d().timerUpdate();
    EXPECT_EQ(d().connectedTimeText->text(), "01:02:05");
    d()._connectedDate = QDateTime::currentDateTime().addSecs(-(100 * 3600 + 61));
    d().timerUpdate();
    EXPECT_EQ(d().connectedTimeText->text(), "100:01:01");

    d().startConnectedTimer();
    ASSERT_NE(d()._updateTimeTimer, nullptr);
    EXPECT_EQ(d()._updateTimeTimer->interval(), 1000);
    d().stopConnectedTimer();
    EXPECT_EQ(d()._updateTimeTimer, nullptr);
    EXPECT_FALSE(d()._connectedDate.has_value());
}

TEST_F(StatusTest, RegionDisplayStoresThePreferenceAndPlacesTheName) {
    RegionInfo indonesia{"インドネシア", "7", 7};
    d().updateRegionDisp(indonesia);
    EXPECT_EQ(d().region->text(), "インドネシア");
    EXPECT_EQ(d().region->x(), 90);
    EXPECT_EQ(platform::Defaults::standard().string("Region"), "インドネシア");
    EXPECT_EQ(platform::Defaults::standard().string("regionNumber"), "7");

    RegionInfo unknown{"モンゴル", "8", 8};
    d().updateRegionDisp(unknown);
    EXPECT_EQ(d().region->x(), 102);
    EXPECT_FALSE(d().regFlagImage->pixmap().isNull()) << "the blank flag for names outside the table";
}

TEST_F(StatusTest, MissingSavedRegionFallsBackToTheFirstRegion) {
    ASSERT_TRUE(extParser.parseData(R"(<L><Region Region="台湾" No="0"/><Region Region="日本" No="1"/>
        <Server Server="a" Region="0" Port="1" Status="0" Type=""/></L>)"));
    platform::Defaults::standard().setString("Region", "削除された地域");
    d().onXmlParseFinished();
    EXPECT_EQ(d().region->text(), "台湾");
    EXPECT_EQ(platform::Defaults::standard().string("regionNumber"), "0");
}

TEST_F(StatusTest, BannersMoveTheRegionRowUpWithoutAccumulating) {
    d().window->show();
    settle(50);
    d().showUpdateButton(true, false); // built hidden, as the launch leaves it
    d().showUpdateButton(false, false);
    d().showUpdateButton(true, false);
    d().messageWall->hide();
    const int h0 = d().window->height();
    d().adjustUIElementsPosition();
    const QRect flag0 = frames::frameBL(d().regFlagImage);
    const QRect sel0 = frames::frameBL(d().serverSelButton);

    d().showUpdateButton(false, false);
    EXPECT_EQ(d().window->height(), h0 + 40);
    EXPECT_EQ(frames::frameBL(d().updateColorWall), QRect(0, 0, 340, 40));
    EXPECT_EQ(frames::frameBL(d().regFlagImage).y(), flag0.y() + 40);
    EXPECT_EQ(frames::frameBL(d().serverSelButton).y(), sel0.y() + 40);

    d().showMessageButton(false, "お知らせ");
    EXPECT_EQ(d().window->height(), h0 + 80);
    EXPECT_EQ(frames::frameBL(d().regFlagImage).y(), flag0.y() + 80);
    EXPECT_EQ(d().buttonMessage->text(), "お知らせ:お知らせ");

    d().adjustUIElementsPosition();
    d().adjustUIElementsPosition();
    EXPECT_EQ(frames::frameBL(d().serverSelButton).y(), sel0.y() + 80) << "repeated calls never accumulate";

    d().showMessageButton(true, QString());
    d().showMessageButton(true, QString()); // already hidden: nothing more
    EXPECT_EQ(d().window->height(), h0 + 40);
    EXPECT_EQ(frames::frameBL(d().regFlagImage).y(), flag0.y() + 40);
}

TEST_F(StatusTest, UpdateButtonAsksBeforeOpeningTheDownloadPage) {
    QStringList opened;
    workspace::setOpenURLHook([&](const QString& u) {
        opened << u;
        return true;
    });
    extUpdateXmlParser._downloadUrl = "https://example.test/dl";
    alerts.answers = {0};
    d().updateButtonTapped();
    EXPECT_TRUE(opened.isEmpty());
    alerts.answers = {1};
    d().updateButtonTapped();
    EXPECT_EQ(opened, QStringList{"https://example.test/dl"});
    ASSERT_EQ(alerts.shown.size(), 2);
    EXPECT_EQ(alerts.shown[0].messageText, "タブロブラウザ");
    EXPECT_EQ(alerts.shown[0].buttons, (QStringList{"いいえ", "はい"}));
    workspace::setOpenURLHook({});
}

// What the service sends is data: markup in a region name or a notice is shown as written, and the
// pages the update file names open only over https.
TEST_F(StatusTest, ServiceTextsAreShownAsWrittenAndItsPagesOpenOnlyOverHttps) {
    buildMenu();
    const RegionInfo region{"<img src=\"" + home + "/x.png\"><b>日本</b>&Co", "0", 0};
    d().updateRegionDisp(region);
    for (QLabel* label : {d().region, d().ipaddrText, d().protcolText, d().statusText})
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
    d().updateStatus("接続中"); // a single "&" in the menu would mark a shortcut
    EXPECT_EQ(menu()[0]->text().toStdString(),
              "ステータス：接続中（<img src=\"" + home + "/x.png\"><b>日本</b>&&Co）");
    EXPECT_EQ(AppDelegate::noticeBody("<b>A</b>&B", true), "&lt;b&gt;A&lt;/b&gt;&amp;B");
    EXPECT_EQ(AppDelegate::noticeBody("<b>A</b>&B", false), "<b>A</b>&B");
    d().showMessageButton(false, "<u>保守</u>&予定");
    EXPECT_EQ(d().buttonMessage->text().toStdString(), "お知らせ:<u>保守</u>&&予定");

    PexXmlParser::_regionInfos["0"] = region;
    d().connectionWindow->onServerSelButton();
    QWidget* cell = d().connectionWindow->selServerTableView->cellWidget(0, 1);
    QLabel* listed = cell ? cell->findChild<QLabel*>() : nullptr;
    ASSERT_NE(listed, nullptr);
    EXPECT_EQ(listed->textFormat(), Qt::PlainText);

    QStringList opened;
    workspace::setOpenURLHook([&](const QString& u) {
        opened << u;
        return true;
    });
    for (const char* url : {"file:///etc/passwd", "javascript:alert(1)", "http://example.test/n",
                            "https:///n", "https://example.test/n"}) {
        extUpdateXmlParser._messageUrl = url;
        d().messageButtonTapped();
        extUpdateXmlParser._downloadUrl = url;
        alerts.answers = {1};
        d().updateButtonTapped();
    }
    workspace::setOpenURLHook({});
    EXPECT_EQ(opened.join(' ').toStdString(), "https://example.test/n https://example.test/n");
}

// The login's hand-over: the main window replaces the login window, and "ConnectStartAuto" clicks
// the connect button once — never a second time (the button toggles) and never over a running tunnel.
TEST_F(StatusTest, LoginHandOverShowsTheMainWindowAndAutoConnectsOnlyFromIdle) {
    QObject::disconnect(d().connectButton, &QAbstractButton::clicked, nullptr, nullptr);
    struct Case {
        const char* name;
        int autoConnect;
        TAVROVPNStatus status;
        int handOvers;
        int clicks;
    };
    const Case cases[] = {
        {"auto-connect on", 1, TAVROVPNStatus::disconnected, 1, 1},
        {"auto-connect off", 0, TAVROVPNStatus::disconnected, 1, 0},
        {"second success (double press)", 1, TAVROVPNStatus::disconnected, 2, 1},
        {"logged in again while connected", 1, TAVROVPNStatus::connected, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::Defaults::standard().setInteger("ConnectStartAuto", c.autoConnect);
        d().isLoggin = false;
        d()._vpnStatus = c.status;
        d().window->hide();
        delete d().loginWindow;
        d().loginWindow = new UserLoginWindow(&d());
        d().loginWindow->show();
        QSignalSpy clicks(d().connectButton, &QAbstractButton::clicked);
        for (int i = 0; i < c.handOvers; ++i)
            d().logInSucceeded();
        EXPECT_TRUE(d().isLoggin);
        EXPECT_FALSE(d().loginWindow->isVisible());
        EXPECT_TRUE(d().window->isVisible());
        EXPECT_EQ(clicks.count(), c.clicks);
    }
    d()._vpnStatus = TAVROVPNStatus::disconnected;
}
