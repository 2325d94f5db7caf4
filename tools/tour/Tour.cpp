#include "Tour.h"

#include "app/account/UserLoginWindow.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/SettingsMenuVC.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDBusConnection>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <algorithm>
#include <cstdio>

namespace {

constexpr int kLaunchMs = 30000;
constexpr int kConnectMs = 60000;
constexpr int kL2tpMs = 90000; // NetworkManager gives the plugin's activation a long time
constexpr int kDisconnectMs = 20000;
constexpr int kWindowMs = 5000;

// NetworkManager's VPN states and the reasons it gives for an ended activation.
constexpr uint kVpnActivated = 5;
constexpr uint kVpnFailed = 6;
const char* const kVpnReasons[] = {"unknown",
                                   "none",
                                   "user disconnected",
                                   "device disconnected",
                                   "service stopped",
                                   "IP config invalid",
                                   "connect timeout",
                                   "service start timeout",
                                   "service start failed",
                                   "no secrets",
                                   "login failed",
                                   "connection removed"};

const QString kDisconnected = QStringLiteral("未接続");
const QString kConnected = QStringLiteral("接続中");

// Columns a terminal gives a character: East Asian wide and full-width forms take two.
int displayWidth(const QString& s) {
    int w = 0;
    for (const char32_t c : s.toUcs4()) {
        const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
                          (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                          (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                          (c >= 0xFFE0 && c <= 0xFFE6);
        w += wide ? 2 : 1;
    }
    return w;
}

QString padded(const QString& s, int width) {
    return s + QString(std::max(0, width - displayWidth(s)), ' ');
}

QString slug(const QString& protocol) {
    return protocol.toLower();
}

QAction* menuItem(QMenu* menu, const QString& title) {
    if (!menu) return nullptr;
    for (QAction* a : menu->actions())
        if (a->text() == title) return a;
    return nullptr;
}

} // namespace

Tour::Tour(AppDelegate& app, QString outputDir) : app_(app), dir_(std::move(outputDir)) {
    QDir().mkpath(dir_);
    for (const QString& old : QDir(dir_).entryList({"*.png"}, QDir::Files))
        QFile::remove(dir_ + "/" + old);
    // Alerts are modal: the watcher runs inside their event loop and answers them.
    alertWatch_ = new QTimer(this);
    alertWatch_->setInterval(100);
    connect(alertWatch_, &QTimer::timeout, this, [this] { watchAlerts(); });
    alertWatch_->start();
}

Tour::~Tour() = default;

void Tour::run() {
    step("launch", "logged in as tb000001: the main window, not the login window",
         [&](QString& seen, QWidget*& shot) {
             app_.applicationDidFinishLaunching();
             const bool in = waitUntil([&] { return app_.isLoggin && app_.window->isVisible(); }, kLaunchMs);
             shot = app_.window;
             if (in) {
                 seen = "logged in as " + app_.authUsername;
             } else {
                 const bool login = app_.loginWindow && app_.loginWindow->isVisible();
                 seen = login ? QString("the login window") : QString("no main window");
                 if (!alerts_.isEmpty()) seen += " (" + lastAlertLine() + ")";
                 if (login) shot = app_.loginWindow;
             }
             return in;
         });
    if (!steps_.last().ok) {
        QCoreApplication::exit(1);
        return;
    }

    step("main-window", "未接続, region 日本 with its flag, protocol OpenVPN",
         [&](QString& seen, QWidget*& shot) {
             settle(300);
             shot = app_.window;
             const bool flag = !app_.regFlagImage->pixmap().isNull();
             const bool tray = app_.statusItem->isVisible();
             seen = QString("%1, %2%3, %4, %5")
                        .arg(statusWord(), app_.region->text(), flag ? " with its flag" : " without a flag",
                             app_.protcolText->text(),
                             tray ? "tray icon shown"
                                  : (QSystemTrayIcon::isSystemTrayAvailable() ? "tray icon missing"
                                                                              : "no tray here"));
             return statusWord() == kDisconnected && app_.region->text() == "日本" && flag &&
                    app_.protcolText->text() == "OpenVPN" &&
                    (tray || !QSystemTrayIcon::isSystemTrayAvailable());
         });

    connectWith("OpenVPN");
    disconnectFrom("OpenVPN");

    step("openconnect-chosen", "settings window: OpenConnect chosen",
         [&](QString& seen, QWidget*& shot) { return chooseProtocol("OpenConnect", seen, shot); });
    connectWith("OpenConnect");
    disconnectFrom("OpenConnect");

    step("l2tp-chosen", "settings window: L2TP chosen",
         [&](QString& seen, QWidget*& shot) { return chooseProtocol("L2TP", seen, shot); });
    step("l2tp", "接続中 where the kernel has PPP and L2TP, else 未接続 with the reason",
         [&](QString& seen, QWidget*& shot) {
             const int before = static_cast<int>(alerts_.size());
             vpnEnd_.clear();
             QDBusConnection::systemBus().connect(QString(), QString(),
                                                  "org.freedesktop.NetworkManager.VPN.Connection",
                                                  "VpnStateChanged", this, SLOT(vpnStateChanged(uint, uint)));
             app_.connectButton->click();
             const bool ended = waitUntil(
                 [&] {
                     return !QApplication::activeModalWidget() &&
                            (statusWord() == kConnected || statusWord() == kDisconnected);
                 },
                 kL2tpMs);
             shot = app_.window;
             connected_ = statusWord() == kConnected;
             if (connected_) return connectedView(seen);
             settle(1000); // an alert may follow the status
             QStringList reason;
             if (!vpnEnd_.isEmpty()) reason << "NetworkManager: " + vpnEnd_;
             if (!QFile::exists("/dev/ppp")) reason << "no PPP in this kernel (/dev/ppp)";
             if (alerts_.size() > before) reason << lastAlertLine();
             if (!ended) {
                 seen = statusWord() + " after " + QString::number(kL2tpMs / 1000) + " s";
                 app_.connectButton->click();
                 waitUntil([&] { return statusWord() == kDisconnected; }, kDisconnectMs);
                 return false;
             }
             seen =
                 statusWord() + (reason.isEmpty() ? QString(", no reason given") : ": " + reason.join("; "));
             return !reason.isEmpty();
         });
    if (connected_) disconnectFrom("L2TP");

    step("settings-window", "the settings window with the account's choices",
         [&](QString& seen, QWidget*& shot) {
             QAction* item = menuItem(app_._appMenu, "設定");
             if (item) item->trigger();
             SettingsMenuViewController* s = app_.settingsController;
             const bool shown = s && waitUntil([&] { return s->settingsWindow->isVisible(); }, kWindowMs);
             if (!shown) {
                 seen = "no settings window";
                 return false;
             }
             settle(300);
             save(s->settingsWindow, file_);
             shot = nullptr;
             seen = QString("region %1, protocol %2, automatic %3")
                        .arg(s->buttonSettingsRegion->currentText(), s->ProtocolChoise->currentText(),
                             s->ProtcolSelAuto->isChecked() ? "on" : "off");
             s->closeButton->click();
             return !s->buttonSettingsRegion->currentText().isEmpty();
         });

    step("quit", "asks 「タブロVPNを終了しますか？」, then the application ends",
         [&](QString& seen, QWidget*& shot) {
             shot = nullptr;
             const int before = static_cast<int>(alerts_.size());
             alertAnswer_ = "はい";
             alertShot_ = file_;
             if (QAction* item = menuItem(app_._appMenu, "タブロVPNを終了")) item->trigger();
             const bool asked = alerts_.size() > before && alerts_.last().contains("タブロVPNを終了しますか");
             seen = QString(asked ? "asked" : "not asked") +
                    (app_.terminationRequested ? ", ended" : ", still running");
             return asked && app_.terminationRequested;
         });
    if (!app_.terminationRequested) QCoreApplication::exit(1);
}

void Tour::connectWith(const QString& protocol) {
    step(slug(protocol) + "-connected", "接続中 with the public address and the running time",
         [&](QString& seen, QWidget*& shot) {
             const int before = static_cast<int>(alerts_.size());
             app_.connectButton->click();
             // Up, or given up: back to 未接続 once the failure has been told.
             waitUntil(
                 [&] {
                     return statusWord() == kConnected ||
                            (statusWord() == kDisconnected && alerts_.size() > before &&
                             !QApplication::activeModalWidget());
                 },
                 kConnectMs);
             connected_ = statusWord() == kConnected;
             shot = app_.window;
             if (!connected_) {
                 seen = statusWord();
                 if (alerts_.size() > before) seen += ": " + lastAlertLine();
                 // Leave it stopped for the next steps.
                 if (statusWord() != kDisconnected) {
                     app_.connectButton->click();
                     waitUntil([&] { return statusWord() == kDisconnected; }, kDisconnectMs);
                 }
                 return false;
             }
             return connectedView(seen);
         });
}

bool Tour::connectedView(QString& seen) {
    // The address comes from the public-address query; the running time ticks every second.
    waitUntil([&] { return !app_.ipaddrText->text().isEmpty(); }, kWindowMs);
    const bool ticking =
        waitUntil([&] { return app_.connectedTimeText->text() >= QLatin1String("00:00:02"); }, kWindowMs);
    const QString address = app_.ipaddrText->text();
    const QString time = app_.connectedTimeText->text();
    seen = QString("%1, address %2, running %3")
               .arg(statusWord(), address.isEmpty() ? "none" : address, time.isEmpty() ? "--" : time);
    return !address.isEmpty() && ticking;
}

void Tour::disconnectFrom(const QString& protocol) {
    if (!connected_) return;
    step(slug(protocol) + "-disconnected", "未接続, the running time stopped",
         [&](QString& seen, QWidget*& shot) {
             app_.connectButton->click();
             const bool down = waitUntil([&] { return statusWord() == kDisconnected; }, kDisconnectMs);
             const QString stoppedAt = app_.connectedTimeText->text();
             settle(1500);
             shot = app_.window;
             const bool stopped = !app_._connectedDate && app_.connectedTimeText->text() == stoppedAt;
             seen = QString("%1, %2").arg(statusWord(), stopped ? "time stopped" : "time still running");
             connected_ = !down;
             return down && stopped;
         });
}

bool Tour::chooseProtocol(const QString& protocol, QString& seen, QWidget*& shot) {
    shot = nullptr;
    QAction* item = menuItem(app_._appMenu, "設定");
    if (!item || !item->isEnabled()) {
        seen = "the 設定 menu item is not available";
        return false;
    }
    item->trigger();
    SettingsMenuViewController* s = app_.settingsController;
    if (!s || !waitUntil([&] { return s->settingsWindow->isVisible(); }, kWindowMs)) {
        seen = "no settings window";
        return false;
    }
    s->ProtcolSelAuto->setChecked(false);
    s->ProtocolChoise->setEnabled(true);
    const int index = s->ProtocolChoise->findText(protocol);
    if (index >= 0) s->ProtocolChoise->setCurrentIndex(index);
    settle(300);
    save(s->settingsWindow, file_);
    s->closeButton->click();
    settle(200);
    seen = "protocol shown: " + app_.protcolText->text();
    return index >= 0 && app_.protcolText->text() == protocol;
}

void Tour::vpnStateChanged(uint state, uint reason) {
    if (state == kVpnActivated) vpnEnd_.clear();
    if (state != kVpnFailed) return;
    const size_t n = sizeof kVpnReasons / sizeof kVpnReasons[0];
    vpnEnd_ = QString("VPN failed (%1)")
                  .arg(reason < n ? kVpnReasons[reason] : "reason " + QString::number(reason));
}

void Tour::step(const QString& name, const QString& expected, const Body& body) {
    Step s;
    s.name = QString("%1-%2").arg(steps_.size() + 1, 2, 10, QChar('0')).arg(name);
    s.expected = expected;
    file_ = dir_ + "/" + s.name + ".png";
    std::printf("tour: %s ...\n", qPrintable(s.name));
    std::fflush(stdout);
    QElapsedTimer t;
    t.start();
    QWidget* shot = nullptr;
    s.ok = body(s.seen, shot);
    s.seconds = t.elapsed() / 1000.0;
    if (shot) save(shot, file_);
    std::printf("tour: %s %s: %s\n", qPrintable(s.name), s.ok ? "seen" : "NOT SEEN", qPrintable(s.seen));
    std::fflush(stdout);
    steps_ << s;
}

void Tour::save(QWidget* window, const QString& file) {
    if (!window || !window->grab().save(file)) std::printf("tour: could not save %s\n", qPrintable(file));
}

bool Tour::waitUntil(const std::function<bool()>& pred, int ms) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        // Once the application ends, every event loop returns at once: nothing more will change.
        if (t.elapsed() >= ms || app_.terminationRequested) return pred();
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void Tour::settle(int ms) {
    waitUntil([] { return false; }, ms);
}

void Tour::watchAlerts() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || box == answered_) return;
    answered_ = box;
    const QString informative = box->informativeText().section('\n', 0, 0).trimmed();
    alerts_ << (informative.isEmpty() ? box->text() : box->text() + ": " + informative);
    std::printf("tour:   alert %s\n", qPrintable(alerts_.last()));
    std::fflush(stdout);
    if (!alertShot_.isEmpty()) save(box, alertShot_);
    alertShot_.clear();
    QAbstractButton* press = box->defaultButton();
    for (QAbstractButton* b : box->buttons())
        if (!alertAnswer_.isEmpty() && b->text() == alertAnswer_) press = b;
    alertAnswer_.clear();
    if (!press && !box->buttons().isEmpty()) press = box->buttons().first();
    if (press) press->click();
}

QString Tour::statusWord() const {
    return app_.statusText->text();
}

QString Tour::lastAlertLine() const {
    return alerts_.isEmpty() ? QString() : alerts_.last();
}

bool Tour::report() const {
    const QStringList head{"step", "expected", "seen", "time", ""};
    QList<QStringList> rows;
    bool all = !steps_.isEmpty();
    for (const Step& s : steps_) {
        rows << QStringList{s.name, s.expected, s.seen, QString::number(s.seconds, 'f', 1) + " s",
                            s.ok ? "ok" : "NOT SEEN"};
        all = all && s.ok;
    }
    QList<int> widths;
    for (int c = 0; c < head.size(); ++c) {
        int w = displayWidth(head[c]);
        for (const QStringList& r : rows)
            w = std::max(w, displayWidth(r[c]));
        widths << w;
    }
    auto line = [&](const QStringList& cells) {
        QString out = "|";
        for (int c = 0; c < cells.size(); ++c)
            out += " " + padded(cells[c], widths[c]) + " |";
        std::printf("%s\n", qPrintable(out));
    };
    std::printf("\n");
    line(head);
    QStringList rule;
    for (int w : widths)
        rule << QString(w, '-');
    line(rule);
    for (const QStringList& r : rows)
        line(r);
    std::printf("\ntour: %s; pictures in %s\n",
                all ? "every step seen" : "a step did not show what it should", qPrintable(dir_));
    std::fflush(stdout);
    return all;
}
