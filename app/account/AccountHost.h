#pragma once
#include <QString>

class QWidget;

// What the login needs from the application: the account the tunnels use and the hand-over of the
// windows. The application delegate implements it; the login calls it on the GUI thread only.
class AccountHost {
public:
    virtual ~AccountHost();

    virtual QString accountUsername() const = 0;
    virtual QString accountPassword() const = 0;
    virtual void setAccount(const QString& user, const QString& password) = 0;
    // The main window, for placing the login window beside it; may be null.
    virtual QWidget* mainWindow() const = 0;
    // No saved account, or a failed login: the login window comes to the front.
    virtual void showLoginWindow() = 0;
    // A login succeeded: the main window replaces the login window (and may connect at once).
    virtual void logInSucceeded() = 0;
    // The login window's close button: the application is asked to quit.
    virtual void terminate() = 0;
};

// The host of the running application (null before it is set up). The pointer may be read from any
// thread; the host itself is used on the GUI thread only.
AccountHost* accountHost();
void setAccountHost(AccountHost* host);
