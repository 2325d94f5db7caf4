#include "app/connection/ConnectionWindow.h"

#include "app/shell/AppDelegate.h"

#include <QPushButton>

ConnectionWindow::ConnectionWindow(AppDelegate* app) : QObject(app), app_(app) {
    connect(app->connectButton, &QPushButton::clicked, this, [this] { onConnectionButton(app_->connectButton); });
    connect(app->serverSelButton, &QPushButton::clicked, this, [this] { onServerSelButton(); });
}

void ConnectionWindow::onConnectionButton(QObject*) { app_->_isAction = true; }
void goNext() {}
