#include "app/shell/AppDelegate.h"

#include "app/account/SBAuth.h"
#include "app/account/UserLoginWindow.h"
#include "app/catalogue/PexXmlParser.h"
#include "app/common/FileUtil.h"
#include "app/common/PreferenceKeys.h"
#include "app/common/SettingUtil.h"
#include "app/connection/ConnectionWindow.h"
#include "app/connection/SystemService.h"
#include "app/service/Constants.h"
#include "app/service/FileDownloader.h"
#include "app/shell/SettingsMenuVC.h"
#include "app/shell/UpdateXmlParser.h"
#include "app/shell/WorkingFolder.h"
#include "app/shell/util.h"
#include "platform/Defaults.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/Task.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/DesktopNotifications.h"
#include "platform/qt/Dispatch.h"
#include "platform/qt/Frames.h"
#include "platform/qt/Images.h"
#include "platform/qt/Workspace.h"
#include "ui_MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <QWindow>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>

#ifndef TAVROVPN_VERSION
#define TAVROVPN_VERSION "0.0.0"
#endif

namespace {

AppDelegate* g_delegate = nullptr;

constexpr int kBannerHeight = 40;
constexpr const char* kStatusDisconnected = "未接続";
constexpr const char* kStatusConnecting = "接続中...";
constexpr const char* kStatusConnected = "接続中";

void setBackground(QWidget* w, int r, int g, int b) {
    w->setAutoFillBackground(true);
    w->setStyleSheet(QString("background-color: rgb(%1, %2, %3); border: none;").arg(r).arg(g).arg(b));
}

void setLinkTitle(QPushButton* b, const QString& color) {
    b->setStyleSheet(
        QString("QPushButton { text-align: left; border: none; background: transparent; color: %1; "
                "text-decoration: underline; }")
            .arg(color));
}

// A title shown as written: a single "&" in a menu item or button would mark a shortcut.
QString literalTitle(QString text) {
    return text.replace('&', QStringLiteral("&&"));
}

// Pages the update file names open only over https: a file:, smb: or script address from the
// service would reach local files or other handlers.
void openServicePage(const std::string& url) {
    const QUrl u(QString::fromStdString(url), QUrl::StrictMode);
    if (!u.isValid() || u.scheme() != QStringLiteral("https") || u.host().isEmpty()) {
        platform::logInfo("update file: a page address that is not https is not opened");
        return;
    }
    workspace::openURL(QString::fromStdString(url));
}

// Lets the borderless window be moved by dragging its title band.
class WindowDragFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* obj, QEvent* ev) override {
        auto* w = qobject_cast<QWidget*>(obj);
        if (!w) return false;
        if (ev->type() == QEvent::MouseButtonPress) {
            auto* me = static_cast<QMouseEvent*>(ev);
            // A Wayland client cannot place its own window: the compositor moves it.
            QWindow* handle = w->window()->windowHandle();
            if (me->button() == Qt::LeftButton && handle &&
                QGuiApplication::platformName().startsWith(QStringLiteral("wayland")) && handle->startSystemMove()) {
                dragging_ = false;
                return true;
            }
            offset_ = me->globalPosition().toPoint() - w->window()->pos();
            dragging_ = true;
            return true;
        }
        if (ev->type() == QEvent::MouseMove && dragging_) {
            auto* me = static_cast<QMouseEvent*>(ev);
            w->window()->move(me->globalPosition().toPoint() - offset_);
            return true;
        }
        if (ev->type() == QEvent::MouseButtonRelease) dragging_ = false;
        return false;
    }

private:
    QPoint offset_;
    bool dragging_ = false;
};

} // namespace

AppDelegate* theApplication() {
    if (dispatch::isMainThread()) return g_delegate;
    AppDelegate* d = nullptr;
    dispatch::mainSync([&] { d = g_delegate; });
    return d;
}

void setTheApplication(AppDelegate* delegate) {
    g_delegate = delegate;
    setConnectionHost(delegate);
    setAccountHost(delegate);
}

QString AppDelegate::shortVersionString() {
    return QStringLiteral(TAVROVPN_VERSION);
}

QString AppDelegate::noticeBody(const QString& text, bool markup) {
    return markup ? text.toHtmlEscaped() : text;
}

AppDelegate::AppDelegate(QObject* parent) : QObject(parent) {
    statusItem = new QSystemTrayIcon(this);
    _appMenu = new QMenu();
    _menuItemConnect = new QAction(this);
    buildMainWindow();
    // The banner views belong to the window from the start and stay hidden until shown.
    updateColorWall = new QWidget(window);
    buttonUpdate = new QPushButton(updateColorWall);
    messageWall = new QWidget(window);
    buttonMessage = new QPushButton(messageWall);
    updateColorWall->hide();
    messageWall->hide();
    connect(buttonUpdate, &QPushButton::clicked, this, [this] { updateButtonTapped(buttonUpdate); });
    connect(buttonMessage, &QPushButton::clicked, this, [this] { messageButtonTapped(buttonMessage); });
    if (!g_delegate) setTheApplication(this);
}

AppDelegate::~AppDelegate() {
    if (g_delegate == this) setTheApplication(nullptr);
    // The parsers' callbacks point at this delegate.
    PexXmlParser::onParseFinished = nullptr;
    UpdateXmlParser::showMessageButton = nullptr;
    UpdateXmlParser::showUpdateButton = nullptr;
    delete loginWindow;
    delete _appMenu;
    delete configMenu;
    delete window; // owns the outlets and the banner views
    delete ui_;
}

// The main interface file: loads the window and connects the outlets and actions.
void AppDelegate::buildMainWindow() {
    window = new QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint);
    ui_ = new Ui::MainWindow;
    ui_->setupUi(window);
    window->setObjectName("mainWindow");
    window->setFixedWidth(340);
    regFlagImage = ui_->regFlagImage;
    region = ui_->region;
    ipaddrText = ui_->ipaddrText;
    connectedTimeText = ui_->connectedTimeText;
    protcolText = ui_->protcolText;
    statusText = ui_->statusText;
    statusTextBackground = ui_->statusTextBackground;
    versionText = ui_->versionText;
    connectButton = ui_->connectButton;
    serverSelButton = ui_->serverSelButton;
    settingsButton = ui_->settingsButton;
    sbMenu = ui_->sbMenu;
    configMenu = new QMenu();

    // The region row sits at the bottom and moves above the banners.
    frames::anchorBottom(serverSelButton);
    frames::anchorBottom(regFlagImage);
    regFlagImage->setAttribute(Qt::WA_TransparentForMouseEvents);
    regFlagImage->setScaledContents(true);
    region->setAttribute(Qt::WA_TransparentForMouseEvents);
    // Region names, the public address and the protocol come from outside: never read as markup.
    for (QLabel* l : {region, ipaddrText, connectedTimeText, protcolText, statusText, versionText})
        l->setTextFormat(Qt::PlainText);

    ui_->titleImage->setPixmap(images::imageNamed("title", QSize(340, 50)));
    ui_->titleImage->installEventFilter(new WindowDragFilter(ui_->titleImage));
    ui_->minButton->setIcon(images::iconNamed("remove_button"));
    ui_->closeButton->setIcon(images::iconNamed("close_button"));
    settingsButton->setIcon(images::iconNamed("settings_button"));
    for (QPushButton* b : {ui_->minButton, ui_->closeButton, settingsButton, sbMenu})
        b->setIconSize(QSize(20, 20));
    connectButton->setIconSize(connectButton->size());
    connectButton->setIcon(QIcon(images::imageNamed("connect_button_gray", connectButton->size())));
    connectButton->setStyleSheet("QPushButton { border: none; background: transparent; }");
    serverSelButton->setStyleSheet(
        "QPushButton { border: none; border-top: 1px solid #e0e0e0; background: #fafafa; }"
        "QPushButton:hover { background: #f0f0f0; }");
    statusText->setStyleSheet("color: white; font-size: 17px; font-weight: bold; background: transparent;");
    QFont small = versionText->font();
    small.setPointSize(9);
    versionText->setFont(small);
    versionText->setStyleSheet("color: #888888;");
    for (QLabel* l : {ui_->protcolCaption, ui_->ipaddrCaption, ui_->connectedTimeCaption})
        l->setStyleSheet("color: #666666;");
    region->setStyleSheet("font-size: 15px; color: black;");
    setBackground(statusTextBackground, 187, 187, 187);

    connect(ui_->closeButton, &QPushButton::clicked, this, [this] { onCloseButton(ui_->closeButton); });
    connect(ui_->minButton, &QPushButton::clicked, this, [this] { onMinimizeButton(ui_->minButton); });
    connect(settingsButton, &QPushButton::clicked, this, [this] { onSettingsButton(settingsButton); });
    connect(sbMenu, &QPushButton::clicked, this, [this] { statusitemaction(sbMenu); });

    connectionWindow = new ConnectionWindow(this, this);
    settingsController = new SettingsMenuViewController(this);
    settingsMenuVC = settingsController;
    settingsController->populateConfigMenu(configMenu);
}

void AppDelegate::applyStatusIcon(const QString& name) {
    const QIcon icon(images::imageNamed(name, QSize(16, 16)));
    statusItem->setIcon(icon);
    sbMenu->setIcon(icon);
}

void AppDelegate::buildStatusMenu() {
    struct Item {
        const char* title;
        MenuAction action;
    };
    const Item items[] = {{"ステータス：未接続", nullptr},
                          {"接続先サーバー", &AppDelegate::server},
                          {"設定", &AppDelegate::config},
                          {"トラブルシューティング（FAQ）", &AppDelegate::faq},
                          {"タブロVPNを終了", &AppDelegate::quit}};
    for (int i = 0; i < 5; ++i) {
        QAction* a = _appMenu->addAction(QString::fromUtf8(items[i].title));
        a->setEnabled(true);
        if (items[i].action) {
            MenuAction act = items[i].action;
            connect(a, &QAction::triggered, this, [this, act] { (this->*act)(this); });
        }
        if (i < 4) _appMenu->addSeparator();
    }
}

void AppDelegate::setMenuItemAction(int index, MenuAction action) {
    const auto actions = _appMenu->actions();
    if (index < 0 || index >= actions.size()) return;
    QAction* a = actions[index];
    disconnect(a, &QAction::triggered, this, nullptr);
    a->setEnabled(action != nullptr);
    if (action) connect(a, &QAction::triggered, this, [this, action] { (this->*action)(this); });
}

void AppDelegate::applicationDidFinishLaunching() {
    // 1. A write to a closed socket fails with EPIPE instead of ending the process.
    std::signal(SIGPIPE, SIG_IGN);

    // 2-3. Borderless white window; fixed light colours.
    window->setWindowFlag(Qt::FramelessWindowHint, true);
    window->setAutoFillBackground(true);
    QPalette pal = window->palette();
    pal.setColor(QPalette::Window, Qt::white);
    pal.setColor(QPalette::WindowText, Qt::black);
    window->setPalette(pal);

    // 4.
    versionText->setText("バージョン：" + shortVersionString());

    // 5-6. Status-bar item and its menu.
    statusItem->setContextMenu(_appMenu);
    connect(statusItem, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Trigger) statusitemaction(statusItem);
    });
    applyStatusIcon("grey-16");
    buildStatusMenu();
    statusItem->setToolTip("タブロVPN");
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        statusItem->show();
    } else {
        // The item is placed only when shown while a tray host runs: show it once one appears.
        trayWatch = new QTimer(this);
        trayWatch->setInterval(kTrayWatchMs);
        connect(trayWatch, &QTimer::timeout, this, [this] {
            if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
            trayWatch->stop();
            statusItem->show();
        });
        trayWatch->start();
    }

    // 7.
    ipaddrText->setText("");
    connectedTimeText->setText("");

    // 8. Helper check.
    bool noAgent = false;
    if (!InstallHelper("com.norvell.tvapphelper", &noAgent)) {
        // Without an authentication agent no password dialog can ever appear: asking the user to
        // restart and enter the password would only repeat at every launch.
        if (noAgent)
            runAlert("タブロVPN",
                     "タブロVPNアプリをご利用いただくには、ヘルパーツールの追加が必要ですが、パスワードを"
                     "入力する認証エージェントが起動していません。デスクトップ環境からアプリを起動するか、"
                     "ターミナルで「man tavrovpn」を開き、「WITHOUT AN AUTHENTICATION AGENT」の手順で"
                     "ヘルパーツールを追加してください。"
                     "タブロVPNを終了します。",
                     {"OK"});
        else
            runAlert("タブロVPN",
                     "タブロVPNアプリをご利用いただくには、ヘルパーツールの追加が必要です。アプリを再起動し、"
                     "「タブロVPNが変更を加えようとしています」の画面でパスワードを入力してください。",
                     {"はい"});
        // A refused authorisation ends the application without the quit question, also when the
        // helper is installed and only this user's approval was declined.
        requestTermination(false);
        return;
    }

    // 9. Initial preferences; existing values are never changed.
    platform::Defaults& defaults = platform::Defaults::standard();
    for (const prefkeys::RegisteredDefault& def : prefkeys::registeredDefaults) {
        if (!defaults.hasObject(def.key)) {
            if (def.type == prefkeys::RegisteredDefault::Type::text)
                defaults.setString(def.key, std::string(def.text));
            else
                defaults.setInteger(def.key, def.integer);
        }
        // The saved account is read between the third and the fourth key.
        if (std::string_view(def.key) == prefkeys::password) {
            authUsername = QString::fromStdString(defaults.string(prefkeys::username));
            authPassword = QString::fromStdString(defaults.string(prefkeys::password));
        }
    }

    namespace fs = std::filesystem;
    const std::string R = Constants::tvrootPath();
    const std::string B = platform::bundlePath();
    const std::string version = shortVersionString().toStdString();
    auto logCreateError = [](const std::error_code& ec) {
        platform::logInfo("Unable to create directory %s", ec.message().c_str());
    };

    // 10. Root folder, Config and the version marker (one unit).
    if (!platform::fileExists(R)) {
        std::error_code ec;
        createWorkingFolder(R, ec);
        if (!ec) fs::copy(B + "/Contents/Resources/Config/", R + "/Config/", fs::copy_options::recursive, ec);
        if (!ec) {
            const std::string marker = R + "/" + version;
            const std::string tmp = marker + ".tmp";
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            out << version;
            out.close();
            if (!out)
                ec = std::make_error_code(std::errc::io_error);
            else
                fs::rename(tmp, marker, ec);
        }
        if (ec) logCreateError(ec);
    }
    tightenWorkingFolder(R);

    // 11. OpenVPN folder.
    if (!platform::fileExists(R + "/OpenVPN")) {
        std::error_code ec;
        fs::copy(B + "/Contents/Resources/OpenVPN/", R + "/OpenVPN/", fs::copy_options::recursive, ec);
        if (ec) logCreateError(ec);
    }

    // 12. openconnect folder and the encrypted library archive (unpacked once per working folder).
    if (!platform::fileExists(R + "/openconnect")) {
        std::error_code ec;
        fs::copy(B + "/Contents/Resources/openconnect/", R + "/openconnect/", fs::copy_options::recursive,
                 ec);
        if (ec) {
            logCreateError(ec);
        } else {
            const std::string D = R + "/openconnect";
            const std::string E = D + "/libs.tar.enc";
            const std::string T = D + "/libs.tar";
            if (!platform::fileExists(E)) {
                platform::logInfo("libs.tar.enc not found at %s", E.c_str());
            } else {
                platform::runProgram("/usr/bin/openssl",
                                     {"enc", "-aes-256-cbc", "-d", "-salt", "-pbkdf2", "-iter", "100000",
                                      "-in", E, "-out", T, "-k", "vebuq527"});
                if (!platform::fileExists(T)) {
                    platform::logInfo("Failed to decrypt libs.tar.enc");
                } else {
                    platform::runProgram("/usr/bin/tar", {"-xf", T, "-C", D});
                    fs::remove(T, ec);
                    platform::logInfo("libs.tar.enc decrypted and extracted successfully");
                }
            }
        }
    }

    // 13. Server list, with its backup restored when the download fails. An answer that is not a server
    // list (a maintenance page, a file cut short) counts as a failed download: saved, it would have
    // replaced the good list, and the next launch its backup too.
    fileOverwrite(R + "/Config/serverlist.xml", R + "/Config/serverlist.xml.tmp");
    const std::string listURL = defaults.stringForKey("TESTSERVERLIST").value_or(Constants::ServerListURL());
    PexXmlParser::onParseFinished = [this] { onXmlParseFinished(); };
    bool terminated = false;
    FileDownloader::loadFileSync(listURL, [&](const std::string& path,
                                              const std::optional<DownloadError>& error) {
        const bool notAList = !error && !PexXmlParser::isServerList(path);
        if (notAList)
            platform::logInfo("server list: the downloaded file is not a server list; the saved one stays");
        if (error || notAList) {
            fileOverwrite(R + "/Config/serverlist.xml.tmp", R + "/Config/serverlist.xml");
            runAlert("タブロVPN",
                     "インターネット未接続です。インターネット接続を行っていただくか、セキュリティソフトで"
                     "通信制限を解除してください。タブロVPNを終了します。",
                     {"OK"});
            terminate();
            terminated = terminationRequested;
        } else {
            fileOverwrite(path, R + "/Config/serverlist.xml");
        }
        if (!terminated) extParser.parseFile(R + "/Config/serverlist.xml");
    });
    if (terminated) return;

    // 14. Login window and the silent login with the saved account. The login window takes its
    // place from the main window's, which needs one by then: centred on its screen, as a new
    // window is, unless it has been placed already.
    if (window && !window->testAttribute(Qt::WA_Moved)) {
        if (const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen()) {
            const QRect avail = screen->availableGeometry();
            window->move(avail.center() - QPoint(window->width() / 2, window->height() / 2));
        }
    }
    delete loginWindow;
    loginWindow = new UserLoginWindow(this);
    (new SBAuth())->doLoginSession(true);

    // 15.
    window->hide();
    window->setPalette(pal);

    // 16. Protocol display; a stored "IKEv2" becomes "L2TP".
    QString choice = QString::fromStdString(defaults.string("ProtcolChoice"));
    protcolText->setText(choice);
    if (choice == "IKEv2") {
        protcolText->setText("L2TP");
        defaults.setString("ProtcolChoice", "L2TP");
    }
    if (isProtcolAuto()) protcolText->setText("自動");

    // 17. System VPN service status.
    readCurrentService();
    attachSystemServiceConnection();

    // 18-20. Update banner, built hidden.
    buildBanners();
    frames::setWindowHeightKeepingOrigin(window, window->height() + updateColorWall->height());
    showUpdateButton(true, false);
    messageWall->hide();
    buttonMessage->hide();

    // 21. Update file; its backup is restored silently.
    fileOverwrite(R + "/Config/app_update.xml", R + "/Config/app_update.xml.tmp");
    UpdateXmlParser& updates = extUpdateXmlParser;
    UpdateXmlParser::setCurrentVersion(version);
    UpdateXmlParser::showMessageButton = [this](bool isHidden, const std::string& message) {
        showMessageButton(isHidden, QString::fromStdString(message));
    };
    UpdateXmlParser::showUpdateButton = [this](bool isHidden, bool showMessage, const std::string& title) {
        buttonUpdate->setText(literalTitle(QString::fromStdString(title)));
        showUpdateButton(isHidden, showMessage);
    };
    FileDownloader::loadFileSync(
        Constants::UpdateFileURL(), [&](const std::string& path, const std::optional<DownloadError>& error) {
            if (error)
                fileOverwrite(R + "/Config/app_update.xml.tmp", R + "/Config/app_update.xml");
            else
                fileOverwrite(path, R + "/Config/app_update.xml");
            updates.parseFile(R + "/Config/app_update.xml");
        });

    // 22. After the window's layout has settled.
    QMetaObject::invokeMethod(
        this, [this] { adjustUIElementsPosition(); }, Qt::QueuedConnection);
}

void AppDelegate::buildBanners() {
    setBackground(updateColorWall, 194, 255, 194);
    frames::anchorBottom(updateColorWall);
    frames::setFrameBL(updateColorWall, QRect(0, 0, 340, kBannerHeight));
    buttonUpdate->setGeometry(20, 0, 320, 40);
    buttonUpdate->setFlat(true);
    buttonUpdate->setFocusPolicy(Qt::NoFocus);
    buttonUpdate->setText("v1.0.1.1001にアップデートしてください");
    setLinkTitle(buttonUpdate, "blue");
    updateColorWall->show();
    buttonUpdate->show();
}

// ---- Status display ---------------------------------------------------------------------------

void AppDelegate::updateStatus(const QString& status) {
    statusText->setText(status);
    const auto actions = _appMenu->actions();
    if (status == kStatusConnected) {
        connectButton->setIcon(QIcon(images::imageNamed("connect_button_green", connectButton->size())));
        setBackground(statusTextBackground, 118, 197, 0);
        _vpnStatus = TAVROVPNStatus::connected;
        if (!actions.isEmpty())
            actions[0]->setText("ステータス：接続中（" + literalTitle(region->text()) + "）");
        applyStatusIcon("green-16");
        setMenuItemAction(2, nullptr);
        setMenuItemAction(4, nullptr);
        if (QWidget* f = connectButton->window()->focusWidget()) f->clearFocus();
        // The notice goes to the desktop's notification server, tray or not; a tray's balloon is
        // the way only where no server runs.
        const QString notice = "接続に成功しました（" + region->text() + "）";
        QPointer<QSystemTrayIcon> tray = statusItem;
        QTimer::singleShot(3000, this, [tray, notice] {
            if (desktopnotify::serverPresent())
                desktopnotify::notify("タブロVPN", noticeBody(notice, desktopnotify::serverReadsMarkup()));
            else if (tray && tray->isVisible())
                tray->showMessage("タブロVPN", noticeBody(notice, false), QSystemTrayIcon::Information);
        });
        return;
    }
    if (status == kStatusConnecting) {
        connectButton->setIcon(QIcon(images::imageNamed("connect_button_orange", connectButton->size())));
        setBackground(statusTextBackground, 255, 155, 0);
        _vpnStatus = TAVROVPNStatus::connecting;
        const int n = Constants::autoConnectCount.load();
        if (n >= 1) statusText->setText(QString("%1%2/3").arg(status).arg(n));
    } else {
        connectButton->setIcon(QIcon(images::imageNamed("connect_button_gray", connectButton->size())));
        setBackground(statusTextBackground, 187, 187, 187);
        _vpnStatus = TAVROVPNStatus::disconnected;
        serverSelButton->setEnabled(true);
    }
    if (!actions.isEmpty()) actions[0]->setText("ステータス：未接続");
    applyStatusIcon("grey-16");
    setMenuItemAction(2, action2);
    setMenuItemAction(4, action4);
}

void AppDelegate::updateRegionDisp(const RegionInfo& reginfo) {
    platform::Defaults& defaults = platform::Defaults::standard();
    defaults.setString("Region", reginfo.Region);
    defaults.setString("regionNumber", reginfo.No);
    const QString name = QString::fromStdString(reginfo.Region);
    region->setText(name);
    regFlagImage->setPixmap(
        images::imageNamed(QString::fromStdString(reginfo.getImage()), regFlagImage->size()));
    region->move(name == "インドネシア" ? 90 : 102, region->y());
}

void AppDelegate::onXmlParseFinished() {
    std::printf("onXmlParseFinished\n");
    std::fflush(stdout);
    const std::string saved = platform::Defaults::standard().string("Region");
    if (auto info = extParser.getRegionInfo(saved)) {
        updateRegionDisp(*info);
        return;
    }
    // The saved region is gone from the new list: fall back to the first region so the window stays usable.
    const auto& regions = PexXmlParser::_regionInfos;
    auto first = regions.find("0");
    if (first != regions.end())
        updateRegionDisp(first->second);
    else if (!regions.empty())
        updateRegionDisp(regions.begin()->second);
}

void AppDelegate::adjustUIElementsPosition() {
    if (!originalFramesSaved) {
        regFlagImageOriginalFrame = frames::frameBL(regFlagImage);
        serverSelButtonOriginalFrame = frames::frameBL(serverSelButton);
        originalFramesSaved = true;
    }
    int totalOffset = 0;
    if (messageWall->isVisibleTo(window)) totalOffset += messageWall->height();
    if (updateColorWall->isVisibleTo(window)) totalOffset += updateColorWall->height();
    frames::setFrameBL(regFlagImage, regFlagImageOriginalFrame.translated(0, totalOffset));
    frames::setFrameBL(serverSelButton, serverSelButtonOriginalFrame.translated(0, totalOffset));
    platform::logInfo("UI要素位置調整: totalOffset=%d, regFlag.y=%d, serverSel.y=%d", totalOffset,
                      frames::frameBL(regFlagImage).y(), frames::frameBL(serverSelButton).y());
}

void AppDelegate::timerUpdate(QTimer*) {
    if (!_connectedDate) return;
    const double elapsed = _connectedDate->msecsTo(QDateTime::currentDateTime()) / 1000.0;
    const int hours = static_cast<int>(elapsed / 3600);
    const int minutes = static_cast<int>(elapsed / 60) - hours * 60;
    const int seconds = static_cast<int>(elapsed) - (hours * 3600 + minutes * 60);
    connectedTimeText->setText(QString::asprintf("%02d:%02d:%02d", hours, minutes, seconds));
}

void AppDelegate::startConnectedTimer() {
    stopConnectedTimer();
    _connectedDate = QDateTime::currentDateTime();
    _updateTimeTimer = new QTimer(this);
    _updateTimeTimer->setInterval(1000);
    connect(_updateTimeTimer, &QTimer::timeout, this, [this] { timerUpdate(_updateTimeTimer); });
    _updateTimeTimer->start();
}

void AppDelegate::stopConnectedTimer() {
    if (!_updateTimeTimer) return;
    _updateTimeTimer->stop();
    _updateTimeTimer->deleteLater();
    _updateTimeTimer = nullptr;
    _connectedDate.reset();
}

// ---- Account hand-over ------------------------------------------------------------------------

void AppDelegate::setAccount(const QString& user, const QString& password) {
    authUsername = user;
    authPassword = password;
}

void AppDelegate::showLoginWindow() {
    if (!loginWindow) return;
    loginWindow->show();
    loginWindow->raise();
    loginWindow->activateWindow();
}

void AppDelegate::logInSucceeded() {
    const bool wasLoggedIn = isLoggin;
    isLoggin = true;
    if (loginWindow) loginWindow->hide();
    if (window) window->show();
    // The connect button toggles: a second success (a double press of the login button) or a
    // login while a tunnel runs must not stop the connection it means to start.
    if (platform::Defaults::standard().integer("ConnectStartAuto") == 1 && connectButton && !wasLoggedIn &&
        _vpnStatus == TAVROVPNStatus::disconnected)
        connectButton->click();
}

// ---- Update and message banners ---------------------------------------------------------------

void AppDelegate::showUpdateButton(bool isHidden, bool ShowMessage) {
    platform::logInfo("showUpdateButton");
    const int h = updateColorWall->height();
    frames::setWindowHeightKeepingOrigin(window, window->height() + (isHidden ? -h : h));
    buttonUpdate->setVisible(!isHidden);
    updateColorWall->setVisible(!isHidden);
    if (!isHidden) {
        frames::anchorBottom(updateColorWall);
        frames::setFrameBL(updateColorWall, QRect(0, ShowMessage ? kBannerHeight : 0, 340, kBannerHeight));
        updateColorWall->show();
        updateColorWall->raise();
    }
    setLinkTitle(buttonUpdate, "blue");
    adjustUIElementsPosition();
}

void AppDelegate::showMessageButton(bool isHidden, const QString& message) {
    platform::logInfo("showMessageButton");
    if (isHidden) {
        if (messageWall->isHidden()) return;
        frames::setWindowHeightKeepingOrigin(window, window->height() - messageWall->height());
        messageWall->hide();
        buttonMessage->hide();
        adjustUIElementsPosition();
        return;
    }
    frames::anchorBottom(messageWall);
    setBackground(messageWall, 253, 173, 0);
    messageWall->resize(340, kBannerHeight);
    // The window grows first so the band's bottom-left frame is placed in the final geometry.
    frames::setWindowHeightKeepingOrigin(window, window->height() + kBannerHeight);
    frames::setFrameBL(messageWall, QRect(0, 0, 340, kBannerHeight));
    messageWall->show();
    messageWall->raise();
    buttonMessage->setGeometry(15, 0, 315, 40);
    buttonMessage->setFlat(true);
    buttonMessage->setFocusPolicy(Qt::NoFocus);
    buttonMessage->setText("お知らせ:" + literalTitle(message));
    setLinkTitle(buttonMessage, "white");
    buttonMessage->show();
    adjustUIElementsPosition();
}

void AppDelegate::updateButtonTapped(QObject*) {
    const int answer = runAlert("タブロブラウザ",
                                "タブロブラウザのアップデートがあります。\r\nダウンロードURLを表示しますか？",
                                {"いいえ", "はい"});
    if (answer == 0) return;
    if (const auto& url = extUpdateXmlParser._downloadUrl) openServicePage(*url);
}

void AppDelegate::messageButtonTapped(QObject*) {
    if (const auto& url = extUpdateXmlParser._messageUrl) openServicePage(*url);
}
