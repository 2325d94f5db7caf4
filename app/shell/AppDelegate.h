#pragma once
#include "app/account/AccountHost.h"
#include "app/connection/ConnectionHost.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>
#include <functional>
#include <optional>

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QSystemTrayIcon;
class QTimer;
class QWidget;
class ConnectionWindow;
class SettingsMenuViewController;
class UserLoginWindow;
struct RegionInfo;

namespace Ui {
class MainWindow;
}

// The application delegate and hub of the user interface: the main window's outlets, the
// status-bar (tray) item and its menu, the login window and the connection state all live here.
// The connection flows and the login reach it through the hosts they own.
class AppDelegate : public QObject, public ConnectionHost, public AccountHost {
    Q_OBJECT
public:
    using MenuAction = void (AppDelegate::*)(QObject*);

    explicit AppDelegate(QObject* parent = nullptr);
    ~AppDelegate() override;

    // Launch sequence; runs once on the GUI thread.
    void applicationDidFinishLaunching();

    // Status display.
    void updateStatus(const QString& status) override;
    void updateRegionDisp(const RegionInfo& reginfo) override;
    void onXmlParseFinished();
    void adjustUIElementsPosition();
    void timerUpdate(QTimer* timer = nullptr);
    // Starts / stops the 1-second connected-time timer (the flows call these on the GUI thread).
    void startConnectedTimer() override;
    void stopConnectedTimer() override; // invalidates the timer and clears _connectedDate when it exists

    // The account and the login's hand-over.
    QString accountUsername() const override { return authUsername; }
    QString accountPassword() const override { return authPassword; }
    void setAccount(const QString& user, const QString& password) override;
    QWidget* mainWindow() const override { return window; }
    void showLoginWindow() override;
    // Logged in: the main window replaces the login window; connects when "ConnectStartAuto" is on.
    void logInSucceeded() override;

    // Update and message banners.
    void showUpdateButton(bool isHidden, bool ShowMessage);
    void showMessageButton(bool isHidden, const QString& message);
    void updateButtonTapped(QObject* sender = nullptr);
    void messageButtonTapped(QObject* sender = nullptr);

    // Menus, window controls and termination.
    void statusitemaction(QObject* sender = nullptr);
    void noexec(QObject* sender = nullptr);
    void server(QObject* sender = nullptr);
    void config(QObject* sender = nullptr);
    void faq(QObject* sender = nullptr);
    void quit(QObject* sender = nullptr);
    void onCloseButton(QObject* sender = nullptr);
    void onMinimizeButton(QObject* sender = nullptr);
    void onSettingsButton(QObject* sender = nullptr);
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
    // true: terminate now, false: cancel. Without the question a running tunnel is stopped as
    // "はい" stops it, and the wait ends as soon as the stop has taken effect.
    bool applicationShouldTerminate(bool ask = true);
    void applicationWillTerminate();
    // Asks the application to terminate (goes through applicationShouldTerminate).
    void terminate() override;
    // The application is being ended, not asked (a termination signal, the session or the system
    // going down): the quit path without the question. During an open question it answers "はい".
    void terminateWithoutQuestion(const char* why);
    // Watches what can end the application or break its tunnel from outside: termination signals,
    // the session manager, logind's shutdown and sleep, and default-route changes.
    void watchSessionEvents();
    // Abandons background work so that the process can end (after the event loop has returned).
    void cancelBackgroundWork();
    // Tests replace how the process ends; production quits the event loop.
    std::function<void()> terminateNowHook;
    bool terminationRequested = false;
    class LoginManager* loginManager = nullptr;
    class RouteMonitor* routeMonitor = nullptr;

    // Enables or disables a status-bar menu item and sets or removes its action.
    void setMenuItemAction(int index, MenuAction action);

    // Fields, in the design's order.
    MenuAction action2 = &AppDelegate::server;
    MenuAction action4 = &AppDelegate::config;
    QPointer<SettingsMenuViewController> settingsMenuVC;
    QSystemTrayIcon* statusItem = nullptr;
    // Looks for a tray host while none has taken the status item (one may start after login).
    QTimer* trayWatch = nullptr;
    static constexpr int kTrayWatchMs = 2000;
    QMenu* _appMenu = nullptr;
    QAction* _menuItemConnect = nullptr;
    QPushButton* sbMenu = nullptr;
    QWidget* updateColorWall = nullptr;
    QPushButton* buttonUpdate = nullptr;
    QWidget* messageWall = nullptr;
    QPushButton* buttonMessage = nullptr;
    QRect regFlagImageOriginalFrame;
    QRect serverSelButtonOriginalFrame;
    bool originalFramesSaved = false;
    bool isLoggin = false;
    UserLoginWindow* loginWindow = nullptr;
    // _updateTimeTimer, _connectedDate, _vpnStatus, _current_protcol, _isAction, authUsername,
    // authPassword, window, connectButton, serverSelButton, ipaddrText and connectedTimeText are
    // the connection host's.
    QLabel* regFlagImage = nullptr;
    QLabel* region = nullptr;
    QLabel* protcolText = nullptr;
    QLabel* statusText = nullptr;
    QLabel* statusTextBackground = nullptr;
    QLabel* versionText = nullptr;
    QMenu* configMenu = nullptr;
    QPushButton* settingsButton = nullptr;

    // Controllers behind the main window (the connect button and the selection list).
    ConnectionWindow* connectionWindow = nullptr;
    SettingsMenuViewController* settingsController = nullptr;

    // The short version string of the bundle ("2.4.0").
    static QString shortVersionString();
    // A text from outside as the connection notice's body: escaped where the notification server
    // reads the body as markup.
    static QString noticeBody(const QString& text, bool markup);

private:
    void buildMainWindow();
    void buildStatusMenu();
    void buildBanners();
    void applyStatusIcon(const QString& name);
    void requestTermination(bool ask);
    bool questionOpen_ = false;
    bool forcedTermination_ = false;
    Ui::MainWindow* ui_ = nullptr;
};

// The application delegate, from any thread (a synchronous hop to the GUI thread from workers).
AppDelegate* theApplication();
// Also makes the delegate the connection and account host.
void setTheApplication(AppDelegate* delegate);
