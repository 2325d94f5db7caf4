#pragma once
#include <QWidget>
#include <optional>

class AccountHost;
class DraggableImageView;
class QCheckBox;
class QLineEdit;
class QPushButton;
class ZelSecureTextField;
class ZelTextField;

// The login window: user name and password (masked, or in clear), the help link, the save-account
// and show-password check boxes, the login button and the window's own minimise and close buttons.
// Built once at start-up; shown and hidden by the login, never destroyed while the application runs.
class UserLoginWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int kHeight = 290;

    explicit UserLoginWindow(AccountHost* app);

    // Actions.
    void onLoginButton(QObject* sender = nullptr);
    void onShowPasswdButton(QObject* sender = nullptr);
    void onSaveAccountButton(QObject* sender = nullptr);
    void onHelpButton(QObject* sender = nullptr);
    void onMinimizeButton(QObject* sender = nullptr);
    void onCloseButton(QObject* sender = nullptr);
    // True when the user name has an acceptable form; shows the alert otherwise.
    bool Validate();

    // At least two characters, the first "t" and the second "b", compared as whole characters.
    static bool isAcceptableUserName(const QString& name);

    // Controls, in the design's order.
    DraggableImageView* _titleImageView = nullptr;
    QPushButton* _loginButton = nullptr;
    ZelTextField* _userTextField = nullptr;
    ZelSecureTextField* _passwdTextField = nullptr;
    ZelTextField* _passwdTextFieldPlain = nullptr;
    QPushButton* _minButton = nullptr;
    QPushButton* _closeButton = nullptr;
    QPushButton* _helpLinkButton = nullptr;
    QCheckBox* _saveAccountButton = nullptr;
    QCheckBox* _showPasswdButton = nullptr;

    // The invisible field that holds the focus at first, so neither visible field starts edited.
    QLineEdit* focusSink() const { return focusSink_; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void buildControls(int width);
    void styleTextField(ZelTextField* field);
    void placeNextToMainWindow(const QWidget* mainWindow);
    AccountHost* app_; // outlives the window
    QLineEdit* focusSink_ = nullptr;
    std::optional<QPoint> dragOffset_;
};
