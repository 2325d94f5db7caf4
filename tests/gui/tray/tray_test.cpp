// Under a real X server with a tray host: the launch puts the status icon into the tray.
#include "ShellFixture.h"

#include <QSystemTrayIcon>
#include <QWidget>

class TrayTest : public ShellFixture {
protected:
    // The application launched against the local service, as at login.
    AppDelegate& launch() {
        EXPECT_TRUE(service.start());
        service.exportEnv();
        AppDelegate& d = makeDelegate();
        d.applicationDidFinishLaunching();
        settle(500);
        return d;
    }
    LocalService service;
};

TEST_F(TrayTest, LaunchShowsTheStatusIconInTheTray) {
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    // The tray host may take a moment to claim the selection.
    for (int i = 0; i < 50 && !QSystemTrayIcon::isSystemTrayAvailable(); ++i) settle(100);
    ASSERT_TRUE(QSystemTrayIcon::isSystemTrayAvailable());
    AppDelegate& d = launch();
    EXPECT_TRUE(d.statusItem->isVisible());
    EXPECT_FALSE(d.statusItem->icon().isNull());
    EXPECT_EQ(d.statusItem->contextMenu(), d._appMenu);
    // Docked in the tray: only then has the item a place on the screen.
    for (int i = 0; i < 50 && d.statusItem->geometry().isEmpty(); ++i) settle(100);
    EXPECT_FALSE(d.statusItem->geometry().isEmpty());
}

// Start at login races the desktop panel: a tray host that comes after the launch still gets the
// status item (run with TRAY_DELAY).
TEST_F(TrayTest, ATrayHostStartedAfterTheLaunchGetsTheStatusIcon) {
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "the tray host must come later";
    AppDelegate& d = launch();
    EXPECT_TRUE(d.statusItem->geometry().isEmpty());
    // No tray yet: the minimise button leaves the window in the window list.
    d.window->show();
    d.onMinimizeButton();
    EXPECT_TRUE(d.window->isVisible());
    EXPECT_TRUE(d.window->isMinimized());
    for (int i = 0; i < 300 && !QSystemTrayIcon::isSystemTrayAvailable(); ++i) settle(100);
    ASSERT_TRUE(QSystemTrayIcon::isSystemTrayAvailable());
    for (int i = 0; i < 100 && d.statusItem->geometry().isEmpty(); ++i) settle(100);
    EXPECT_TRUE(d.statusItem->isVisible());
    EXPECT_FALSE(d.statusItem->geometry().isEmpty());
    EXPECT_EQ(d.statusItem->contextMenu(), d._appMenu);
    // With the status item to bring it back, minimise hides the window.
    d.window->showNormal();
    d.onMinimizeButton();
    EXPECT_FALSE(d.window->isVisible());
}
