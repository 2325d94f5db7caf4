// The delegate's wiring to logind, through a stand-in logind on a private bus: a resume arms the
// connection's one reconnect, a shutdown ends the application without the question and lets the
// system go on.
#include "FakeLogind.h"
#include "ShellFixture.h"

#include "EventLoopWait.h"
#include "app/connection/ConnectionWindow.h"
#include "platform/qt/LoginManager.h"
#include "platform/qt/TerminationSignals.h"

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

} // namespace
