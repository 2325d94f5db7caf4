#include "app/account/UserLoginWindow.h"

#include "app/shell/AppDelegate.h"

UserLoginWindow::UserLoginWindow(AppDelegate*) : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint) {
    resize(340, 290);
}
