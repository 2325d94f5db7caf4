#include "app/shell/AppDelegate.h"
#include "app/shell/SingleInstance.h"
#include "platform/qt/Dispatch.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QIcon>
#include <QStyle>
#include <QStyleFactory>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {
constexpr std::chrono::milliseconds kWorkerGrace{2000};
}

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("TavroVPN");
    QApplication::setApplicationVersion(AppDelegate::shortVersionString());
    // The installed menu entry and icon, so that docks and task bars show the application's own.
    QApplication::setDesktopFileName("com.norvell.tavrovpn");
    QApplication::setWindowIcon(QIcon::fromTheme("com.norvell.tavrovpn"));
    // The application lives in the tray when its windows are closed.
    QApplication::setQuitOnLastWindowClosed(false);
    // Fixed light appearance, whatever the desktop theme.
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    QApplication::setPalette(QApplication::style()->standardPalette());
    if (!QFontDatabase::families(QFontDatabase::Japanese).isEmpty()) {
        QFont f = QApplication::font();
        f.setFamilies({"IPAexGothic", f.family()});
        QApplication::setFont(f);
    }

    // A second launch only asks the running application to reopen.
    AppDelegate* running = nullptr;
    if (handOverToRunningInstance(&app, [&running] {
            if (running) running->applicationShouldHandleReopen(true);
        }))
        return 0;

    AppDelegate delegate;
    running = &delegate;
    setTheApplication(&delegate);
    delegate.watchSessionEvents();
    // Delivered from inside the event loop, so a termination requested during launch ends it.
    QTimer::singleShot(0, &delegate, [&delegate] { delegate.applicationDidFinishLaunching(); });
    const int status = app.exec();

    // Background work (a download, a login, an attempt being abandoned) must not run on while the
    // delegate and the process's static objects are destroyed. What does not finish in time is
    // left behind by ending the process without those destructors; everything worth keeping
    // (preferences, the tunnel's stop) is already written or sent.
    delegate.cancelBackgroundWork();
    if (!dispatch::waitForWorkers(kWorkerGrace)) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
