// Renders the application's windows to PNG files: the main window in each status, with the banners,
// the login window and the tray menu. Runs the real launch sequence against the service named by
// the environment (TAVROVPN_WEB_HOST, TAVROVPN_AUTH_HOST, TAVROVPN_CA_FILE).
#include "app/account/UserLoginWindow.h"
#include "app/service/Constants.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/SettingsScreenshots.h"
#include "platform/qt/AlertPresenter.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>
#include <QTimer>
#include <cstdio>

namespace {

void settle(int ms = 150) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool save(QWidget* w, const QString& dir, const QString& name) {
    settle();
    const QString path = dir + "/" + name + ".png";
    const bool ok = w->grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: tavrovpn-screenshots OUTPUT_DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    QApplication::setPalette(QApplication::style()->standardPalette());
    if (QFontDatabase::families(QFontDatabase::Japanese).isEmpty())
        std::fprintf(stderr,
                     "warning: no Japanese font installed (fonts-ipaexfont-gothic); text shows as boxes\n");
    QFont f = QApplication::font();
    f.setFamilies({"IPAexGothic", f.family()});
    QApplication::setFont(f);

    ScriptedAlertPresenter alerts;
    AlertPresenter::setCurrent(&alerts);
    AppDelegate d;
    setTheApplication(&d);
    d.terminateNowHook = [] {};
    d.applicationDidFinishLaunching();
    settle(1500); // the silent login and the deferred layout step

    bool ok = true;
    if (d.loginWindow) {
        d.loginWindow->show();
        ok &= save(d.loginWindow, dir, "login");
        d.loginWindow->hide();
    }

    d.window->show();
    d.updateStatus("未接続");
    ok &= save(d.window, dir, "main-disconnected");

    Constants::autoConnectCount = 2;
    d.updateStatus("接続中...");
    ok &= save(d.window, dir, "main-connecting");
    Constants::autoConnectCount = -1;

    d.updateStatus("接続中");
    d.ipaddrText->setText("203.0.113.45");
    d._connectedDate = QDateTime::currentDateTime().addSecs(-3725);
    d.timerUpdate();
    ok &= save(d.window, dir, "main-connected");

    d.updateStatus("未接続");
    d.ipaddrText->setText("");
    d.connectedTimeText->setText("");
    d._connectedDate.reset();
    d.showMessageButton(false, "メンテナンスのお知らせ（12月10日 2:00〜4:00）");
    d.buttonUpdate->setText("v2.5.0にアップデートしてください");
    d.showUpdateButton(false, true);
    ok &= save(d.window, dir, "main-banners");

    d._appMenu->popup(d.window->geometry().topRight());
    ok &= save(d._appMenu, dir, "tray-menu");
    d._appMenu->hide();

    d.window->show();
    ok &= renderSettingsScreenshots(&d, dir) == 4;
    return ok ? 0 : 1;
}
