#pragma once
#include <QObject>

class AppDelegate;
class QMenu;

// Settings pop-up menu, settings window and version window. (Placeholder: being built.)
class SettingsMenuViewController : public QObject {
    Q_OBJECT
public:
    explicit SettingsMenuViewController(AppDelegate* app);
    void populateConfigMenu(QMenu* menu);
    void config(QObject* sender);
    void version(QObject* sender);
    void quit(QObject* sender);

private:
    AppDelegate* app_;
};
