#pragma once
#include <QObject>

class AppDelegate;
class QCheckBox;
class QComboBox;
class QMenu;
class QPushButton;
class QWidget;

namespace Ui {
class SettingsWindow;
class VersionWindow;
} // namespace Ui

// The settings pop-up menu of the main window, the settings window and the version window.
// Changes in the settings window take effect only through its close button.
class SettingsMenuViewController : public QObject {
    Q_OBJECT
public:
    explicit SettingsMenuViewController(AppDelegate* app);
    ~SettingsMenuViewController() override;

    // Fills the settings pop-up menu: open the settings, version, quit.
    void populateConfigMenu(QMenu* menu);

    void config(QObject* sender = nullptr);  // open the settings window
    void version(QObject* sender = nullptr); // open the version window
    void quit(QObject* sender = nullptr);    // termination flow of the application
    void onProtcolSelAuto(QObject* sender = nullptr);
    void onProtocolChoise(QObject* sender = nullptr);
    void onCloseButton(QObject* sender = nullptr); // store and apply
    void onInitializeButton(QObject* sender = nullptr);
    void onLogoutButton(QObject* sender = nullptr);
    void versionWindowCloseButton(QObject* sender = nullptr);

    // Outlets.
    QWidget* settingsWindow = nullptr;
    QWidget* vesionWindow = nullptr;
    QCheckBox* ButtonAppStartAuto = nullptr;
    QCheckBox* ConnectStartAuto = nullptr;
    QComboBox* buttonSettingsRegion = nullptr;
    QCheckBox* ProtcolSelAuto = nullptr;
    QComboBox* ProtocolChoise = nullptr;
    QPushButton* initializeButton = nullptr;
    QPushButton* logoutButton = nullptr;
    QPushButton* closeButton = nullptr;
    QPushButton* versionCloseButton = nullptr;

private:
    void buildSettingsWindow();
    void buildVersionWindow();
    void showLoginInsteadOfMain();

    AppDelegate* app_;
    Ui::SettingsWindow* settingsUi_ = nullptr;
    Ui::VersionWindow* versionUi_ = nullptr;
};

// Moves a top-level window so that its top-left corner is at the mouse pointer, kept on the screen.
void placeWindowAtPointer(QWidget* window);
