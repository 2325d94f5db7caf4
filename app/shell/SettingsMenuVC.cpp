#include "app/shell/SettingsMenuVC.h"

#include "app/shell/AppDelegate.h"

#include <QMenu>

SettingsMenuViewController::SettingsMenuViewController(AppDelegate* app) : QObject(app), app_(app) {}

void SettingsMenuViewController::populateConfigMenu(QMenu* menu) {
    menu->addAction("設定を開く", this, [this] { config(this); });
    menu->addAction("バージョン情報", this, [this] { version(this); });
    menu->addSeparator();
    menu->addAction("タブロVPNを終了", this, [this] { quit(this); });
}

void SettingsMenuViewController::config(QObject*) {}
void SettingsMenuViewController::version(QObject*) {}
void SettingsMenuViewController::quit(QObject*) { app_->terminate(); }
