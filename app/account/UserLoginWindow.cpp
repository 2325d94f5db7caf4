#include "app/account/UserLoginWindow.h"

#include "app/account/AccountHost.h"
#include "app/account/SBAuth.h"
#include "app/service/Constants.h"
#include "app/widgets/DraggableImageView.h"
#include "app/widgets/ZelSecureTextField.h"
#include "app/widgets/ZelTextField.h"
#include "platform/Defaults.h"
#include "platform/Log.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/Dispatch.h"
#include "platform/qt/Frames.h"
#include "platform/qt/Images.h"
#include "platform/qt/Workspace.h"

#include <QCheckBox>
#include <QMouseEvent>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTextBoundaryFinder>
#include <QWindow>
#include <algorithm>

namespace {

constexpr int kDefaultWidth = 340;
constexpr int kOffsetAboveMainWindow = 200;

// Fonts are sized in pixels: the design's points are this toolkit's device-independent pixels.
QFont systemFont(int pixels) {
    QFont f;
    f.setPixelSize(pixels);
    return f;
}

// Fixed light colours: the window does not follow a dark desktop theme.
QPalette lightPalette() {
    QPalette pal;
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        pal.setColor(group, QPalette::Window, Qt::white);
        pal.setColor(group, QPalette::Base, Qt::white);
        pal.setColor(group, QPalette::Button, Qt::white);
        pal.setColor(group, QPalette::WindowText, Qt::black);
        pal.setColor(group, QPalette::Text, Qt::black);
        pal.setColor(group, QPalette::ButtonText, Qt::black);
        pal.setColor(group, QPalette::PlaceholderText, QColor(0, 0, 0, 64));
    }
    return pal;
}

QRect frameIn(int x, int y, int w, int h) {
    return frames::fromBottomLeft(QRect(x, y, w, h), UserLoginWindow::kHeight);
}

QPushButton* imageButton(QWidget* parent, const QString& image, const QRect& frame) {
    auto* b = new QPushButton(parent);
    b->setGeometry(frame);
    b->setFlat(true);
    b->setFocusPolicy(Qt::NoFocus);
    b->setStyleSheet("QPushButton { border: none; background: transparent; padding: 0; }");
    b->setIcon(QIcon(images::imageNamed(image, frame.size())));
    b->setIconSize(frame.size());
    return b;
}

QString graphemeAt(const QString& s, QTextBoundaryFinder& finder, qsizetype& start) {
    const qsizetype end = finder.toNextBoundary();
    if (end < 0 || end <= start) return {};
    QString g = s.mid(start, end - start);
    start = end;
    return g;
}

} // namespace

UserLoginWindow::UserLoginWindow(AccountHost* app)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), app_(app) {
    const QWidget* mainWindow = app ? app->mainWindow() : nullptr;
    const int width = mainWindow ? mainWindow->width() : kDefaultWidth;

    // 1. Window and controls.
    setObjectName("loginWindow");
    setWindowTitle("タブロVPN");
    setPalette(lightPalette());
    setAutoFillBackground(true);
    setFixedSize(width, kHeight);
    setMouseTracking(true);
    buildControls(width);
    if (mainWindow) placeNextToMainWindow(mainWindow);

    // 2. An invisible, empty field takes the first focus.
    focusSink_ = new QLineEdit(this);
    focusSink_->setObjectName("focusSink");
    focusSink_->setGeometry(0, 0, 0, 0);
    focusSink_->setFrame(false);
    focusSink_->setFocusPolicy(Qt::NoFocus); // out of the Tab chain; only set programmatically
    focusSink_->setFocus(Qt::OtherFocusReason);

    show();

    // 3. Next turn of the loop: neither visible field keeps the focus; the window comes forward.
    QPointer<UserLoginWindow> self(this);
    dispatch::mainAsync([self] {
        if (!self) return;
        self->_userTextField->clearFocus();
        self->_passwdTextField->clearFocus();
        self->raise();
        self->activateWindow();
    });

    // 4.
    _saveAccountButton->setChecked(platform::Defaults::standard().integer("SaveAccount") != 0);
}

void UserLoginWindow::buildControls(int width) {
    const QString user = app_ ? app_->accountUsername() : QString();
    const QString password = app_ ? app_->accountPassword() : QString();

    _titleImageView = new DraggableImageView(frameIn(0, 240, width, 50), this);
    _titleImageView->setObjectName("titleImageView");
    _titleImageView->setPixmap(images::imageNamed("title", QSize(width, 50)));

    _userTextField = new ZelTextField(frameIn(45, 180, 250, 30), this);
    _userTextField->setObjectName("userTextField");
    _userTextField->setPlaceholderText("ユーザー名");
    _userTextField->setText(user);
    styleTextField(_userTextField);

    _passwdTextField = new ZelSecureTextField(frameIn(45, 137, 250, 30), this);
    _passwdTextField->setObjectName("passwdTextField");
    _passwdTextField->setPlaceholderText("パスワード");
    _passwdTextField->setText(password);
    styleTextField(_passwdTextField);

    _passwdTextFieldPlain = new ZelTextField(frameIn(45, 137, 250, 30), this);
    _passwdTextFieldPlain->setObjectName("passwdTextFieldPlain");
    _passwdTextFieldPlain->setPlaceholderText("パスワード");
    _passwdTextFieldPlain->setText(password);
    styleTextField(_passwdTextFieldPlain);
    _passwdTextFieldPlain->setHidden(true);

    _helpLinkButton = new QPushButton("ユーザー名・パスワードをわすれました", this);
    _helpLinkButton->setObjectName("helpLinkButton");
    _helpLinkButton->setGeometry(frameIn(63, 108, 190, 16));
    _helpLinkButton->setFlat(true);
    _helpLinkButton->setCursor(Qt::PointingHandCursor);
    _helpLinkButton->setIcon(QIcon(images::imageNamed("q", QSize(14, 14))));
    _helpLinkButton->setIconSize(QSize(14, 14));
    _helpLinkButton->setStyleSheet(
        "QPushButton { border: none; background: transparent; padding: 0; color: blue; "
        "text-align: left; text-decoration: underline; font-size: 10px; }");
    QFont linkFont = systemFont(10);
    linkFont.setUnderline(true);
    _helpLinkButton->setFont(linkFont);
    // The design's 190 points hold the text only in the original system font; wider glyphs would cut
    // the last characters, so the link grows to the right instead.
    _helpLinkButton->resize(std::max(_helpLinkButton->width(), _helpLinkButton->sizeHint().width()),
                            _helpLinkButton->height());

    _saveAccountButton = new QCheckBox("ユーザー名・パスワードを保存", this);
    _saveAccountButton->setObjectName("saveAccountButton");
    _saveAccountButton->setGeometry(frameIn(38, 77, 168, 18));
    _saveAccountButton->setFont(systemFont(10));

    _showPasswdButton = new QCheckBox("パスワードを表示", this);
    _showPasswdButton->setObjectName("showPasswdButton");
    _showPasswdButton->setGeometry(frameIn(203, 77, 106, 18));
    _showPasswdButton->setFont(systemFont(10));
    _showPasswdButton->setChecked(false);

    _loginButton = imageButton(this, "login", frameIn(45, 24, 250, 40));
    _loginButton->setObjectName("loginButton");
    _minButton = imageButton(this, "remove_button", frameIn(286, 243, 24, 24));
    _minButton->setObjectName("minButton");
    _closeButton = imageButton(this, "close_button", frameIn(312, 243, 24, 24));
    _closeButton->setObjectName("closeButton");

    connect(_loginButton, &QPushButton::clicked, this, [this] { onLoginButton(_loginButton); });
    connect(_showPasswdButton, &QCheckBox::clicked, this, [this] { onShowPasswdButton(_showPasswdButton); });
    connect(_saveAccountButton, &QCheckBox::clicked, this,
            [this] { onSaveAccountButton(_saveAccountButton); });
    connect(_helpLinkButton, &QPushButton::clicked, this, [this] { onHelpButton(_helpLinkButton); });
    connect(_minButton, &QPushButton::clicked, this, [this] { onMinimizeButton(_minButton); });
    connect(_closeButton, &QPushButton::clicked, this, [this] { onCloseButton(_closeButton); });
}

void UserLoginWindow::styleTextField(ZelTextField* field) {
    field->setFont(systemFont(13));
    QPalette pal = field->palette();
    pal.setColor(QPalette::Text, Qt::black);
    pal.setColor(QPalette::PlaceholderText, QColor(0, 0, 0, 64));
    field->setPalette(pal);
    field->setTextMargins(4, 0, 4, 0);
    WidgetLayer& layer = field->layer();
    layer.backgroundColor = Qt::white;
    layer.borderWidth = 1.8;
    layer.borderColor =
        QColor::fromRgbF(2.0f / 3.0f, 2.0f / 3.0f, 2.0f / 3.0f, 0.5f); // light grey, alpha 0.5
}

// The design puts the window's bottom-left corner 200 points above the main window's, in a screen
// whose y grows upwards. The result is kept on the screen's available area.
void UserLoginWindow::placeNextToMainWindow(const QWidget* mainWindow) {
    QScreen* screen = mainWindow->screen();
    if (!screen) return;
    const QRect sg = screen->geometry();
    const QRect mainBL = frames::toBottomLeft(mainWindow->geometry().translated(-sg.topLeft()), sg.height());
    const QRect bl(mainBL.x(), mainBL.y() + kOffsetAboveMainWindow, width(), kHeight);
    QRect g = frames::fromBottomLeft(bl, sg.height()).translated(sg.topLeft());
    const QRect avail = screen->availableGeometry();
    g.moveLeft(std::clamp(g.left(), avail.left(), std::max(avail.left(), avail.right() + 1 - g.width())));
    g.moveTop(std::clamp(g.top(), avail.top(), std::max(avail.top(), avail.bottom() + 1 - g.height())));
    move(g.topLeft());
}

bool UserLoginWindow::isAcceptableUserName(const QString& name) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, name);
    qsizetype start = 0;
    const QString first = graphemeAt(name, finder, start);
    const QString second = graphemeAt(name, finder, start);
    return first == QLatin1String("t") && second == QLatin1String("b");
}

bool UserLoginWindow::Validate() {
    if (isAcceptableUserName(_userTextField->text())) return true;
    runAlert(
        "タブロVPN",
        "ユーザー名の入力に誤りがあります。\r\nユーザー名はアルファベット2文字と数字の組み合わせになります。"
        "\r\n例）tb123456",
        {"OK"});
    return false;
}

void UserLoginWindow::onLoginButton(QObject*) {
    if (_showPasswdButton->isChecked()) _passwdTextField->setText(_passwdTextFieldPlain->text());
    if (!Validate()) return;
    const QString user = _userTextField->text();
    const QString password = _passwdTextField->text();
    if (app_) app_->setAccount(user, password);
    if (_saveAccountButton->isChecked()) {
        platform::Defaults& defaults = platform::Defaults::standard();
        if (!defaults.setString("username", user.toStdString()) ||
            !defaults.setString("password", password.toStdString()))
            platform::logInfo("login: the account could not be saved");
    }
    (new SBAuth())->doLoginSession(false);
}

void UserLoginWindow::onShowPasswdButton(QObject*) {
    if (_showPasswdButton->isChecked()) {
        _passwdTextFieldPlain->setText(_passwdTextField->text());
        _passwdTextField->setHidden(true);
        _passwdTextFieldPlain->setHidden(false);
    } else {
        _passwdTextField->setText(_passwdTextFieldPlain->text());
        _passwdTextField->setHidden(false);
        _passwdTextFieldPlain->setHidden(true);
    }
}

void UserLoginWindow::onSaveAccountButton(QObject*) {
    platform::Defaults& defaults = platform::Defaults::standard();
    const bool on = _saveAccountButton->isChecked();
    bool ok = defaults.setInteger("SaveAccount", on ? 1 : 0);
    if (_showPasswdButton->isChecked()) _passwdTextField->setText(_passwdTextFieldPlain->text());
    if (on) {
        ok = defaults.setString("username", _userTextField->text().toStdString()) && ok;
        ok = defaults.setString("password", _passwdTextField->text().toStdString()) && ok;
    }
    if (!ok) platform::logInfo("login: the account setting could not be saved");
}

void UserLoginWindow::onHelpButton(QObject*) {
    workspace::openURL(QString::fromStdString(Constants::helpPageURL()));
}

void UserLoginWindow::onMinimizeButton(QObject*) {
    platform::logInfo("onMinimizeButton");
    // The status item brings a hidden window back; without a tray the window list does.
    if (QSystemTrayIcon::isSystemTrayAvailable())
        hide();
    else
        showMinimized();
}

void UserLoginWindow::onCloseButton(QObject*) {
    platform::logInfo("onCloseButton");
    if (app_) app_->terminate();
}

// The window moves by dragging its background; the system move is used where the platform offers it.
void UserLoginWindow::mousePressEvent(QMouseEvent* event) {
    dragOffset_.reset();
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    if (windowHandle() && windowHandle()->startSystemMove()) return event->accept();
    dragOffset_ = event->globalPosition().toPoint() - pos();
    event->accept();
}

void UserLoginWindow::mouseMoveEvent(QMouseEvent* event) {
    if (!dragOffset_ || !(event->buttons() & Qt::LeftButton)) return QWidget::mouseMoveEvent(event);
    move(event->globalPosition().toPoint() - *dragOffset_);
    event->accept();
}
