// Menus, window controls and termination.
#include "app/shell/AppDelegate.h"

#include "app/account/UserLoginWindow.h"
#include "app/connection/ConnectionWindow.h"
#include "app/connection/OpenConnecctMgr.h"
#include "app/service/Constants.h"
#include "app/shell/SettingsMenuVC.h"
#include "app/shell/util.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/LoginManager.h"
#include "platform/qt/RouteMonitor.h"
#include "platform/qt/TerminationSignals.h"
#include "platform/qt/Workspace.h"

#include <QApplication>
#include <QCursor>
#include <QEventLoop>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QSessionManager>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <csignal>

namespace {

constexpr int kShutdownWaitMs = 3000;
constexpr int kStopCheckMs = 50;
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
    // The status item brings a hidden window back; without a tray to show it the window goes to
    // the desktop's window list instead.
    if (QSystemTrayIcon::isSystemTrayAvailable() && statusItem && statusItem->isVisible())
        window->hide();
    else
        window->showMinimized();
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

bool AppDelegate::applicationShouldTerminate(bool ask) {
    if (!platform::fileExists(helperJobFilePath("com.norvell.tvapphelper").toStdString())) return true;
    if (ask) {
        questionOpen_ = true;
        const int answer = runAlert("タブロVPN", "タブロVPNを終了しますか？", {"いいえ", "はい"});
        questionOpen_ = false;
        if (answer == 0 && !forcedTermination_) return false;
    }
    if (_vpnStatus != TAVROVPNStatus::disconnected) {
        // The application is ending: a failure notice of the stop must not hold it open.
        AlertPresenter::setSuppressed(true);
        connectButton->click();
        // Three seconds for the shutdown to take effect. The event loop keeps running meanwhile so the
        // stop path's queued steps (DNS restore, closing the tunnel channel) really happen. When the
        // application is being ended rather than asked, it goes as soon as the tunnel is down.
        QEventLoop wait;
        QTimer::singleShot(kShutdownWaitMs, &wait, &QEventLoop::quit);
        QTimer down;
        if (!ask || forcedTermination_) {
            connect(&down, &QTimer::timeout, &wait, [this, &wait] {
                if (_vpnStatus == TAVROVPNStatus::disconnected) wait.quit();
            });
            down.start(kStopCheckMs);
        }
        wait.exec(QEventLoop::ExcludeUserInputEvents);
    }
    return true;
}

void AppDelegate::applicationWillTerminate() {}

void AppDelegate::terminate() {
    requestTermination(true);
}

void AppDelegate::terminateWithoutQuestion(const char* why) {
    platform::logInfo("terminating: %s", why);
    forcedTermination_ = true;
    if (terminationInProgress) {
        // The question is open: take it down; the round in progress goes on as for "はい".
        if (questionOpen_)
            if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
        return;
    }
    requestTermination(false);
}

void AppDelegate::requestTermination(bool ask) {
    if (terminationInProgress) return;
    terminationInProgress = true;
    if (ask) forcedTermination_ = false;
    const bool now = applicationShouldTerminate(ask && !forcedTermination_);
    terminationInProgress = false;
    if (!now) return;
    AlertPresenter::setSuppressed(true); // nor may one still queued
    terminationRequested = true;
    applicationWillTerminate();
    if (loginManager) loginManager->releaseShutdownDelay();
    if (terminateNowHook) {
        terminateNowHook();
        AlertPresenter::setSuppressed(false);
    } else {
        QCoreApplication::exit(0);
    }
}

void AppDelegate::watchSessionEvents() {
    if (TerminationSignals* watcher = TerminationSignals::install()) {
        connect(watcher, &TerminationSignals::received, this, [this](int signo) {
            terminateWithoutQuestion(signo == SIGHUP ? "SIGHUP" : signo == SIGINT ? "SIGINT" : "SIGTERM");
        });
    }
    connect(qApp, &QGuiApplication::commitDataRequest, this,
            [this](QSessionManager&) { terminateWithoutQuestion("session end"); });

    loginManager = new LoginManager(this);
    connect(loginManager, &LoginManager::prepareForShutdown, this, [this](bool starting) {
        if (starting) terminateWithoutQuestion("system shutdown");
    });
    // Armed on the way into sleep too: a loss noticed before the resume is announced is the
    // reconnect's. The tunnel is asked to reconnect at the resume.
    connect(loginManager, &LoginManager::prepareForSleep, this, [this](bool starting) {
        if (connectionWindow) connectionWindow->noteNetworkChange(!starting);
    });
    routeMonitor = new RouteMonitor(this);
    if (connectionWindow && routeMonitor->isWatching())
        connectionWindow->uplinkPresent = [monitor = QPointer<RouteMonitor>(routeMonitor)] {
            return !monitor || monitor->hasUplink();
        };
    connect(routeMonitor, &RouteMonitor::uplinkChanged, this, [this] {
        if (connectionWindow) connectionWindow->noteNetworkChange();
    });
}

void AppDelegate::cancelBackgroundWork() {
    if (connectionWindow) connectionWindow->cancelStart();
    if (OpenConnectMgr::_OnSarting.load()) OpenConnectMgr::Stop(true);
}
