// The delegate's wiring to the desktop, through stand-ins on private buses: a resume arms the
// connection's reconnect, a shutdown ends the application without the question and lets the system
// go on, and the connection notice reaches the notification server.
#include "FakeLogind.h"
#include "ShellFixture.h"

#include "EventLoopWait.h"
#include "app/connection/ConnectionWindow.h"
#include "platform/qt/LoginManager.h"
#include "platform/qt/TerminationSignals.h"

#include <QLabel>

namespace {

class SessionTest : public ShellFixture {};

using testsupport::processUntil;

TEST_F(SessionTest, ResumeArmsTheReconnectAndShutdownEndsWithoutTheQuestion) {
    FakeLogind logind;
    ASSERT_TRUE(logind.start()) << "dbus-daemon is needed (package dbus-daemon)";
    AppDelegate& d = makeDelegate();
    d.watchSessionEvents();
    ASSERT_NE(d.loginManager, nullptr);
    ASSERT_TRUE(d.loginManager->isWatching());
    ASSERT_TRUE(processUntil([&] { return d.loginManager->holdsShutdownDelay(); }));

    d._vpnStatus = TAVROVPNStatus::connected;
    EXPECT_FALSE(d.connectionWindow->reconnectAfterLoss("OpenVPN")) << "nothing has changed yet";
    ASSERT_TRUE(logind.announce("PrepareForSleep", false));
    bool armed = false;
    processUntil([&] { return armed = armed || d.connectionWindow->reconnectAfterLoss("OpenVPN"); });
    EXPECT_TRUE(armed) << "a resume while connected arms the one reconnect";

    ASSERT_TRUE(logind.announce("PrepareForShutdown", true));
    ASSERT_TRUE(processUntil([&] { return terminations == 1; }));
    EXPECT_TRUE(alerts.shown.isEmpty());
    EXPECT_TRUE(processUntil([&] { return logind.lockReleased(); }));
    delete TerminationSignals::install(); // back to the default dispositions
}

// 3 s after 接続中 the notice goes to the desktop's notification server, whatever the tray, under the
// application's name, icon and desktop entry, escaped for a server that reads markup; once the
// server is gone nothing is sent and nothing fails.
TEST_F(SessionTest, TheConnectionNoticeGoesToTheDesktopsNotificationServer) {
    FakeNotifications server(true);
    ASSERT_TRUE(server.start()) << "dbus-daemon is needed (package dbus-daemon)";
    AppDelegate& d = makeDelegate();
    d.region->setText("日本<b>");
    d.updateStatus("接続中");
    processUntil([] { return false; }, 2500);
    EXPECT_TRUE(server.received.empty()) << "not before the designed 3 s";
    ASSERT_TRUE(processUntil([&] { return !server.received.empty(); }, 3000));
    const FakeNotifications::Notice& n = server.received[0];
    EXPECT_EQ(n.app, "タブロVPN");
    EXPECT_EQ(n.summary, "タブロVPN");
    EXPECT_EQ(n.body, "接続に成功しました（日本&lt;b&gt;）");
    EXPECT_EQ(n.icon, "com.norvell.tavrovpn");
    EXPECT_EQ(n.desktopEntry, "com.norvell.tavrovpn");

    server.stopServing();
    d.updateStatus("未接続");
    d.updateStatus("接続中");
    processUntil([] { return false; }, 3500);
    EXPECT_EQ(server.received.size(), 1u);
    EXPECT_TRUE(alerts.shown.isEmpty());
}

} // namespace
