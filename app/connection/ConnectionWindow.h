#pragma once
#include <QObject>

class AppDelegate;
class QTimer;
class QWidget;
class ServerListTableView;

// Controller behind the main window's connect button and region selection list.
// (Placeholder: the connection flows are being built.)
class ConnectionWindow : public QObject {
    Q_OBJECT
public:
    explicit ConnectionWindow(AppDelegate* app);
    void onConnectionButton(QObject* sender);
    void onServerSelButton();
    void onServerSelCloseButton();

    QWidget* selServerWindow = nullptr;
    ServerListTableView* selServerTableView = nullptr;

private:
    AppDelegate* app_;
};

void goNext();
