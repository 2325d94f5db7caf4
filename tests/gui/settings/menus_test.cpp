#include "SettingsFixture.h"

#include "app/connection/ConnectionWindow.h"
#include "app/service/Constants.h"
#include "app/shell/SettingsMenuVC.h"
#include "app/shell/SettingsScreenshots.h"
#include "app/shell/SingleInstance.h"
#include "platform/qt/TerminationSignals.h"
#include "platform/qt/Workspace.h"

#include <QFileInfo>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <csignal>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

class MenusTest : public SettingsFixture {
protected:
    void installHelperJob() {
        QFile f(jobFile());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    int connectClicks = 0;
    void countConnectClicks() {
        QObject::connect(app->connectButton, &QPushButton::clicked, app.get(), [this] { ++connectClicks; });
    }
};

TEST_F(MenusTest, QuitWithoutHelperJobEndsWithoutQuestion) {
    app->_vpnStatus = TAVROVPNStatus::connected;
    countConnectClicks();
    app->quit();
    EXPECT_TRUE(alerts.shown.isEmpty());
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(connectClicks, 0);
}

TEST_F(MenusTest, QuitWhileDisconnectedAsksAndEndsAtOnce) {
    installHelperJob();
    countConnectClicks();
    bool loopRan = false;
    QTimer::singleShot(0, app.get(), [&] { loopRan = true; });
    app->terminateNowHook = [&] {
        ++terminations;
        EXPECT_FALSE(loopRan) << "no wait before ending while disconnected";
    };
    alerts.answers = {1};
    app->onCloseButton();
    ASSERT_EQ(alerts.shown.size(), 1);
    EXPECT_EQ(alerts.shown[0].messageText, "タブロVPN");
    EXPECT_EQ(alerts.shown[0].informativeText, "タブロVPNを終了しますか？");
    EXPECT_EQ(alerts.shown[0].buttons, (QStringList{"いいえ", "はい"}));
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(connectClicks, 0);
}

TEST_F(MenusTest, QuitWhileConnectedStopsTheTunnelAndKeepsTheLoopRunningForThreeSeconds) {
    installHelperJob();
    app->_vpnStatus = TAVROVPNStatus::connected;
    // "いいえ" keeps the tunnel and the application.
    countConnectClicks();
    alerts.answers = {0};
    app->quit();
    EXPECT_EQ(terminations, 0);
    EXPECT_EQ(connectClicks, 0);

    // "はい": the stop path's queued step (like the DNS restore) runs before the process ends, and a
    // second quit request during the wait starts no second round.
    bool queuedStopStepRan = false;
    QObject::connect(app->connectButton, &QPushButton::clicked, app.get(), [&] {
        QTimer::singleShot(100, app.get(), [&] { queuedStopStepRan = true; });
        QTimer::singleShot(200, app.get(), [&] { app->quit(); });
    });
    app->terminateNowHook = [&] {
        ++terminations;
        EXPECT_TRUE(queuedStopStepRan);
    };
    alerts.answers = {1};
    QElapsedTimer clock;
    clock.start();
    app->quit();
    EXPECT_GE(clock.elapsed(), 2800); // the wait happened (coarse timers may fire slightly early)
    EXPECT_EQ(connectClicks, 1);
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(alerts.shown.size(), 2);
}

TEST_F(MenusTest, EndingWithoutTheQuestionStopsTheTunnelAndGoesOnceItIsDown) {
    installHelperJob();
    struct Case {
        const char* name;
        int stopTakesMs; // -1: the stop never takes effect
        bool endsEarly;
    } cases[] = {{"stop takes effect", 300, true}, {"stop hangs", -1, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        terminations = 0;
        app->_vpnStatus = TAVROVPNStatus::connected;
        QMetaObject::Connection onClick = QObject::connect(app->connectButton, &QPushButton::clicked, app.get(), [&] {
            ++connectClicks;
            // The stop's own failure notice must not hold the ending application open.
            QTimer::singleShot(50, app.get(), [] { runAlert("タブロVPN", "VPN接続に失敗しました。", {"OK"}); });
            if (c.stopTakesMs >= 0)
                QTimer::singleShot(c.stopTakesMs, app.get(), [&] { app->updateStatus("未接続"); });
        });
        connectClicks = 0;
        QElapsedTimer clock;
        clock.start();
        app->terminateWithoutQuestion("test");
        const qint64 took = clock.elapsed();
        QObject::disconnect(onClick);
        EXPECT_TRUE(alerts.shown.isEmpty()) << "no question";
        EXPECT_EQ(connectClicks, 1);
        EXPECT_EQ(terminations, 1);
        if (c.endsEarly)
            EXPECT_LT(took, 2500) << "ends once the tunnel is down";
        else
            EXPECT_GE(took, 2800) << "waits no longer than the designed three seconds";
    }
}

TEST_F(MenusTest, TerminationSignalsAndASignalDuringTheQuestionEndWithoutAnAnswer) {
    installHelperJob();
    app->watchSessionEvents();
    countConnectClicks();
    // The stop takes effect at once here.
    QObject::connect(app->connectButton, &QPushButton::clicked, app.get(), [&] { app->updateStatus("未接続"); });
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signo);
        terminations = 0;
        connectClicks = 0;
        app->_vpnStatus = TAVROVPNStatus::connecting;
        ASSERT_EQ(::raise(signo), 0);
        ASSERT_TRUE(processUntil([&] { return terminations == 1; }, 5000));
        EXPECT_TRUE(alerts.shown.isEmpty());
        EXPECT_EQ(connectClicks, 1);
    }
    // A signal while the question is open counts as "はい", whatever the question's answer.
    terminations = 0;
    connectClicks = 0;
    app->_vpnStatus = TAVROVPNStatus::connected;
    alerts.answers = {0};
    alerts.onShow = [&](const Alert&) { ::raise(SIGTERM); processUntil([] { return false; }, 100); };
    app->quit();
    EXPECT_EQ(alerts.shown.size(), 1);
    EXPECT_EQ(connectClicks, 1);
    EXPECT_EQ(terminations, 1);
    delete TerminationSignals::install(); // back to the default dispositions
}

TEST_F(MenusTest, SettingsAndServerItemsDoNothingWhileConnected) {
    setRegions({{"日本", "0", 0}});
    app->_vpnStatus = TAVROVPNStatus::connected;
    app->config();
    app->server();
    app->onSettingsButton();
    EXPECT_FALSE(app->settingsController->settingsWindow->isVisible());
    EXPECT_TRUE(!app->connectionWindow->selServerWindow ||
                !app->connectionWindow->selServerWindow->isVisible());
    EXPECT_FALSE(app->configMenu->isVisible());

    app->_vpnStatus = TAVROVPNStatus::disconnected;
    app->onSettingsButton();
    EXPECT_TRUE(app->configMenu->isVisible());
    app->configMenu->hide();
    app->config();
    EXPECT_TRUE(app->settingsController->settingsWindow->isVisible());
    app->server();
    ASSERT_TRUE(app->connectionWindow->selServerWindow);
    EXPECT_TRUE(app->connectionWindow->selServerWindow->isVisible());
}

TEST_F(MenusTest, WindowControlsReopenAndFaq) {
    app->window->show();
    app->onMinimizeButton();
    // No tray here: minimised into the window list, not hidden where nothing could bring it back.
    EXPECT_TRUE(app->window->isVisible());
    EXPECT_TRUE(app->window->isMinimized());
    EXPECT_EQ(terminations, 0);
    app->window->hide();

    // Before login the login window comes back, not the hidden main window.
    app->isLoggin = false;
    EXPECT_TRUE(app->applicationShouldHandleReopen(false));
    EXPECT_TRUE(app->loginWindow->isVisible());
    EXPECT_FALSE(app->window->isVisible());
    app->loginWindow->hide();
    app->isLoggin = true;
    EXPECT_TRUE(app->applicationShouldHandleReopen(false));
    EXPECT_TRUE(app->window->isVisible());
    EXPECT_FALSE(app->window->isMinimized());
    EXPECT_FALSE(app->loginWindow->isVisible());

    QString opened;
    workspace::setOpenURLHook([&](const QString& url) {
        opened = url;
        return true;
    });
    app->faq();
    workspace::setOpenURLHook({});
    EXPECT_EQ(opened, QString::fromStdString(Constants::helpPageURL()));
}

TEST_F(MenusTest, SecondLaunchAsksTheFirstToReopen) {
    const QString path = root() + "/instance.sock";
    int reopened = 0;
    SingleInstance first(path);
    ASSERT_FALSE(first.notifyRunningInstance()); // nobody runs yet
    ASSERT_TRUE(first.listen([&] { ++reopened; }));

    SingleInstance second(path);
    EXPECT_TRUE(second.notifyRunningInstance());
    EXPECT_TRUE(processUntil([&] { return reopened == 1; }));
    EXPECT_FALSE(second.listen([] {})); // the first one keeps the socket

    // Anything but the request is ignored; overlong input is cut off.
    for (const std::string& junk : {std::string("reopen"), std::string("close\n"), std::string(4096, 'r')}) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.toLocal8Bit().constData(), static_cast<size_t>(path.size()));
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        (void)::send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
        ::close(fd);
    }
    processUntil([] { return false; }, 300);
    EXPECT_EQ(reopened, 1);
}

TEST_F(MenusTest, StaleSocketIsReplacedAndForeignFilesAreLeftAlone) {
    const QString path = root() + "/stale.sock";
    {
        // A socket file nobody listens on any more, as a crashed instance leaves it.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.toLocal8Bit().constData(), static_cast<size_t>(path.size()));
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    SingleInstance instance(path);
    EXPECT_FALSE(instance.notifyRunningInstance());
    EXPECT_TRUE(instance.listen([] {}));

    const QString plain = root() + "/plain.sock";
    QFile f(plain);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    SingleInstance other(plain);
    EXPECT_FALSE(other.listen([] {}));
    EXPECT_TRUE(QFile::exists(plain));
}

// Without a runtime folder the socket goes into a folder only this user owns: a name in /tmp could
// be taken first by another user. A folder there that is not the user's is refused.
TEST_F(MenusTest, WithoutARuntimeFolderTheSocketIsInAFolderOnlyTheUserOwns) {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    qunsetenv("XDG_RUNTIME_DIR");
    qunsetenv("TAVROVPN_INSTANCE_SOCKET");
    const QString path = SingleInstance::defaultSocketPath();
    ASSERT_TRUE(path.startsWith(root() + "/cache/")) << path.toStdString();
    const QByteArray folder = QFileInfo(path).path().toLocal8Bit();
    struct stat st {};
    ASSERT_EQ(::lstat(folder.constData(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0700);
    EXPECT_TRUE(SingleInstance(path).listen([] {}));
    if (::geteuid() == 0 && ::chown(folder.constData(), 65534, 65534) == 0) {
        EXPECT_TRUE(SingleInstance::defaultSocketPath().isEmpty());
        EXPECT_EQ(::chown(folder.constData(), 0, 0), 0);
    }
    if (!runtime.isNull()) qputenv("XDG_RUNTIME_DIR", runtime);
}

TEST_F(MenusTest, ScreenshotsOfTheSettingsWindows) {
    setRegions({{"日本", "0", 0}, {"アメリカ", "1", 1}, {"ナルニア", "2", 2}});
    const QString dir = qEnvironmentVariable("TAVROVPN_SCREENSHOT_DIR", root() + "/shots");
    EXPECT_EQ(renderSettingsScreenshots(app.get(), dir), 4);
    for (const char* name : {"settings-window", "version-window", "server-selection", "settings-menu"})
        EXPECT_FALSE(QImage(dir + "/" + name + ".png").isNull()) << name;
    EXPECT_FALSE(app->settingsController->settingsWindow->isVisible());
    EXPECT_FALSE(app->connectionWindow->selServerWindow->isVisible());
    EXPECT_FALSE(prefs().hasObject("Region")); // looking changes nothing
}

} // namespace
