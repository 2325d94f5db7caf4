// Menus, window controls and termination.
#include "app/shell/AppDelegate.h"

#include "app/account/UserLoginWindow.h"
#include "app/service/Constants.h"
#include "app/shell/SettingsMenuVC.h"
#include "app/shell/util.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/Workspace.h"

#include <QApplication>
#include <QCursor>
#include <QEventLoop>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

namespace {

constexpr int kShutdownWaitMs = 3000;
// Set while a termination request is being decided; the event loop runs during the alert and the
// shutdown wait, and a second request (another quit item, a signal) must not start a second round.
bool terminationInProgress = false;

} // namespace

void AppDelegate::statusitemaction(QObject*) {
    // Below the tray icon when the tray host tells where it is, else at the pointer.
    const QRect icon = statusItem ? statusItem->geometry() : QRect();
    _appMenu->popup(icon.isValid() ? icon.bottomLeft() : QCursor::pos());
}

void AppDelegate::noexec(QObject*) {}

void AppDelegate::server(QObject*) {
    if (_vpnStatus == TAVROVPNStatus::connected) return;
    serverSelButton->click();
}

void AppDelegate::config(QObject* sender) {
    if (_vpnStatus == TAVROVPNStatus::connected) return;
    if (settingsMenuVC) settingsMenuVC->config(sender);
}

void AppDelegate::faq(QObject*) {
    workspace::openURL(QString::fromStdString(Constants::helpPageURL()));
}

void AppDelegate::quit(QObject*) {
    platform::logInfo("onCloseButton");
    terminate();
}

void AppDelegate::onCloseButton(QObject*) {
    platform::logInfo("onCloseButton");
    terminate();
}

void AppDelegate::onMinimizeButton(QObject*) {
    platform::logInfo("onMinimizeButton");
    window->hide();
}

void AppDelegate::onSettingsButton(QObject*) {
    platform::logInfo("onSettingsButton");
    if (_vpnStatus == TAVROVPNStatus::connected) return;
    if (configMenu->actions().isEmpty()) return;
    configMenu->popup(QCursor::pos(), configMenu->actions().first());
}

bool AppDelegate::applicationShouldHandleReopen(bool) {
    if (!isLoggin) {
        if (loginWindow) {
            loginWindow->show();
            loginWindow->raise();
            loginWindow->activateWindow();
        }
    } else {
        window->showNormal();
        window->raise();
        window->activateWindow();
    }
    return true;
}

bool AppDelegate::applicationShouldTerminate() {
    if (!platform::fileExists(helperJobFilePath("com.norvell.tvapphelper").toStdString())) return true;
    const int answer = runAlert("タブロVPN", "タブロVPNを終了しますか？", {"いいえ", "はい"});
    if (answer == 0) return false;
    if (_vpnStatus != TAVROVPNStatus::disconnected) {
        connectButton->click();
        // Three seconds for the shutdown to take effect. The event loop keeps running meanwhile so the
        // stop path's queued steps (DNS restore, closing the tunnel channel) really happen.
        QEventLoop wait;
        QTimer::singleShot(kShutdownWaitMs, &wait, &QEventLoop::quit);
        wait.exec(QEventLoop::ExcludeUserInputEvents);
    }
    return true;
}

void AppDelegate::applicationWillTerminate() {}

void AppDelegate::terminate() {
    if (terminationInProgress) return;
    terminationInProgress = true;
    const bool now = applicationShouldTerminate();
    terminationInProgress = false;
    if (!now) return;
    terminationRequested = true;
    applicationWillTerminate();
    if (terminateNowHook)
        terminateNowHook();
    else
        QCoreApplication::exit(0);
}
