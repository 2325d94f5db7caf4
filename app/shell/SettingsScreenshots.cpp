#include "app/shell/SettingsScreenshots.h"

#include "app/catalogue/ServerListTableView.h"
#include "app/connection/ConnectionWindow.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/SettingsMenuVC.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMenu>
#include <QWidget>
#include <cstdio>

namespace {

void settle(int ms = 150) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

int save(QWidget* w, const QString& dir, const QString& name) {
    settle();
    const QString path = dir + "/" + name + ".png";
    const bool ok = w->grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok ? 1 : 0;
}

} // namespace

int renderSettingsScreenshots(AppDelegate* app, const QString& dir) {
    QDir().mkpath(dir);
    int written = 0;
    SettingsMenuViewController* settings = app->settingsController;
    if (settings) {
        settings->config(app);
        written += save(settings->settingsWindow, dir, "settings-window");
        settings->settingsWindow->close();
        settings->version(app);
        written += save(settings->vesionWindow, dir, "version-window");
        settings->versionWindowCloseButton(app);
    }
    if (ConnectionWindow* cw = app->connectionWindow) {
        cw->onServerSelButton();
        if (cw->selServerTableView && cw->selServerTableView->rowCount() > 1)
            cw->selServerTableView->selectRow(1);
        written += save(cw->selServerWindow, dir, "server-selection");
        if (cw->selServerTableView) cw->selServerTableView->clearSelection();
        cw->selServerWindow->close();
    }
    if (app->configMenu) {
        app->configMenu->popup(QPoint(0, 0));
        written += save(app->configMenu, dir, "settings-menu");
        app->configMenu->hide();
    }
    return written;
}
