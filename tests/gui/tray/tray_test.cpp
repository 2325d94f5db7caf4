// Under a real X server with a tray host: the launch puts the status icon into the tray.
#include "ShellFixture.h"

#include <QSystemTrayIcon>

class TrayTest : public ShellFixture {};

TEST_F(TrayTest, LaunchShowsTheStatusIconInTheTray) {
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    // The tray host may take a moment to claim the selection.
    for (int i = 0; i < 50 && !QSystemTrayIcon::isSystemTrayAvailable(); ++i) settle(100);
    ASSERT_TRUE(QSystemTrayIcon::isSystemTrayAvailable());
    LocalService service;
    ASSERT_TRUE(service.start());
    service.exportEnv();
    AppDelegate& d = makeDelegate();
    d.applicationDidFinishLaunching();
    settle(500);
    EXPECT_TRUE(d.statusItem->isVisible());
    EXPECT_FALSE(d.statusItem->icon().isNull());
    EXPECT_EQ(d.statusItem->contextMenu(), d._appMenu);
}
