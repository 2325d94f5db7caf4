#pragma once
// An account host without the application: the account, a main window and a login window to swap,
// and counters for the hand-overs the login makes.
#include "app/account/AccountHost.h"

#include <QWidget>

class FakeAccountHost : public AccountHost {
public:
    FakeAccountHost() : window(new QWidget) { setAccountHost(this); }
    ~FakeAccountHost() override {
        delete loginWindow;
        delete window;
    }

    QString accountUsername() const override { return authUsername; }
    QString accountPassword() const override { return authPassword; }
    void setAccount(const QString& user, const QString& password) override {
        authUsername = user;
        authPassword = password;
    }
    QWidget* mainWindow() const override { return window; }
    void showLoginWindow() override {
        ++loginWindowShown;
        if (loginWindow) loginWindow->show();
    }
    void logInSucceeded() override {
        ++logIns;
        isLoggin = true;
        if (loginWindow) loginWindow->hide();
        window->show();
    }
    void terminate() override { ++terminations; }

    QString authUsername;
    QString authPassword;
    QWidget* window;
    QWidget* loginWindow = nullptr;
    bool isLoggin = false;
    int logIns = 0;
    int loginWindowShown = 0;
    int terminations = 0;
};
