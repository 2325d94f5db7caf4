#include "app/shell/SettingsMenuVC.h"

#include "app/account/UserLoginWindow.h"
#include "app/catalogue/PexXmlParser.h"
#include "app/common/PreferenceKeys.h"
#include "app/connection/KnownServers.h"
#include "app/connection/SystemService.h"
#include "app/service/Constants.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/LoginItems.h"
#include "app/shell/WorkingFolder.h"
#include "app/widgets/ZelSecureTextField.h"
#include "app/widgets/ZelTextField.h"
#include "platform/Defaults.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/Images.h"
#include "ui_SettingsWindow.h"
#include "ui_VersionWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Enough to clear every entry of a list the user edited by hand, never unbounded.
constexpr int kMaxLoginItemRemovals = 64;

void makeWhite(QWidget* w) {
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, Qt::white);
    pal.setColor(QPalette::WindowText, Qt::black);
    w->setPalette(pal);
    w->setAutoFillBackground(true);
}

bool isOn(const QCheckBox* box) {
    return box->checkState() == Qt::Checked;
}

} // namespace

void placeWindowAtPointer(QWidget* window) {
    const QPoint pointer = QCursor::pos();
    QPoint topLeft = pointer;
    // A window opened near the screen's right or bottom edge would be partly unreachable.
    if (QScreen* screen = QGuiApplication::screenAt(pointer)) {
        const QRect avail = screen->availableGeometry();
        const QSize size = window->frameSize().isValid() ? window->frameSize() : window->size();
        topLeft.setX(std::max(avail.left(), std::min(topLeft.x(), avail.right() + 1 - size.width())));
        topLeft.setY(std::max(avail.top(), std::min(topLeft.y(), avail.bottom() + 1 - size.height())));
    }
    window->move(topLeft);
}

SettingsMenuViewController::SettingsMenuViewController(AppDelegate* app) : QObject(app), app_(app) {
    buildSettingsWindow();
    buildVersionWindow();
}

SettingsMenuViewController::~SettingsMenuViewController() {
    delete settingsWindow;
    delete vesionWindow;
    delete settingsUi_;
    delete versionUi_;
}

void SettingsMenuViewController::buildSettingsWindow() {
    settingsWindow = new QWidget(nullptr, Qt::Window | Qt::WindowCloseButtonHint);
    settingsUi_ = new Ui::SettingsWindow;
    settingsUi_->setupUi(settingsWindow);
    settingsWindow->setObjectName("settingsWindow");
    makeWhite(settingsWindow);
    QFont titleFont = settingsUi_->titleLabel->font();
    titleFont.setBold(true);
    titleFont.setPointSize(titleFont.pointSize() + 2);
    settingsUi_->titleLabel->setFont(titleFont);

    ButtonAppStartAuto = settingsUi_->ButtonAppStartAuto;
    ConnectStartAuto = settingsUi_->ConnectStartAuto;
    buttonSettingsRegion = settingsUi_->buttonSettingsRegion;
    ProtcolSelAuto = settingsUi_->ProtcolSelAuto;
    ProtocolChoise = settingsUi_->ProtocolChoise;
    initializeButton = settingsUi_->initializeButton;
    logoutButton = settingsUi_->logoutButton;
    closeButton = settingsUi_->closeButton;

    connect(ProtcolSelAuto, &QCheckBox::toggled, this, [this] { onProtcolSelAuto(ProtcolSelAuto); });
    connect(ProtocolChoise, &QComboBox::activated, this, [this] { onProtocolChoise(ProtocolChoise); });
    connect(closeButton, &QPushButton::clicked, this, [this] { onCloseButton(closeButton); });
    connect(initializeButton, &QPushButton::clicked, this, [this] { onInitializeButton(initializeButton); });
    connect(logoutButton, &QPushButton::clicked, this, [this] { onLogoutButton(logoutButton); });
}

void SettingsMenuViewController::buildVersionWindow() {
    vesionWindow = new QWidget(nullptr, Qt::Window | Qt::WindowCloseButtonHint);
    versionUi_ = new Ui::VersionWindow;
    versionUi_->setupUi(vesionWindow);
    vesionWindow->setObjectName("vesionWindow");
    makeWhite(vesionWindow);
    versionUi_->logoImage->setPixmap(images::imageNamed("title", versionUi_->logoImage->size()));
    versionUi_->logoImage->setScaledContents(true);
    versionUi_->versionText->setText("バージョン " + AppDelegate::shortVersionString());
    QFont nameFont = versionUi_->appNameText->font();
    nameFont.setBold(true);
    nameFont.setPointSize(nameFont.pointSize() + 3);
    versionUi_->appNameText->setFont(nameFont);
    versionUi_->copyrightText->setStyleSheet("color: #888888;");
    versionCloseButton = versionUi_->closeButton;
    connect(versionCloseButton, &QPushButton::clicked, this,
            [this] { versionWindowCloseButton(versionCloseButton); });
}

void SettingsMenuViewController::populateConfigMenu(QMenu* menu) {
    menu->addAction("設定を開く", this, [this] { config(this); });
    menu->addAction("バージョン情報", this, [this] { version(this); });
    menu->addSeparator();
    menu->addAction("タブロVPNを終了", this, [this] { quit(this); });
}

void SettingsMenuViewController::config(QObject*) {
    if (settingsWindow->isVisible()) return;
    platform::Defaults& defaults = platform::Defaults::standard();
    ButtonAppStartAuto->setChecked(defaults.integer(prefkeys::AppStartAuto) == 1);
    ConnectStartAuto->setChecked(defaults.integer(prefkeys::ConnectStartAuto) == 1);
    ProtcolSelAuto->setChecked(defaults.integer(prefkeys::ProtcolSelAuto) == 1);
    ProtocolChoise->setEnabled(true);
    if (isOn(ProtcolSelAuto)) ProtocolChoise->setEnabled(false);

    settingsWindow->adjustSize();
    placeWindowAtPointer(settingsWindow);
    settingsWindow->show();
    settingsWindow->raise();
    settingsWindow->activateWindow();

    // Rebuilt on every opening from the current region table, in the order of the server list.
    buttonSettingsRegion->clear();
    std::vector<std::pair<std::string, const RegionInfo*>> entries;
    for (const auto& [key, info] : PexXmlParser::_regionInfos)
        entries.emplace_back(key, &info);
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.second->Row < b.second->Row; });
    for (const auto& [key, info] : entries) {
        bool ok = false;
        const int tag = QString::fromStdString(key).toInt(&ok, 10);
        if (!ok) continue; // keys are positions; anything else cannot be looked up again
        buttonSettingsRegion->addItem(QString::fromStdString(info->Region), tag);
    }
    const int regionIndex = buttonSettingsRegion->findText(
        QString::fromStdString(defaults.string(prefkeys::Region)), Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (regionIndex >= 0) buttonSettingsRegion->setCurrentIndex(regionIndex);
    const int protocolIndex =
        ProtocolChoise->findText(QString::fromStdString(defaults.string(prefkeys::ProtcolChoice)),
                                 Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (protocolIndex >= 0) ProtocolChoise->setCurrentIndex(protocolIndex);
}

void SettingsMenuViewController::version(QObject*) {
    if (vesionWindow->isVisible()) return;
    placeWindowAtPointer(vesionWindow);
    vesionWindow->show();
    vesionWindow->raise();
    vesionWindow->activateWindow();
}

void SettingsMenuViewController::quit(QObject*) {
    app_->terminate();
}

void SettingsMenuViewController::onProtcolSelAuto(QObject*) {
    ProtocolChoise->setEnabled(!isOn(ProtcolSelAuto));
}

void SettingsMenuViewController::onProtocolChoise(QObject*) {}

void SettingsMenuViewController::onCloseButton(QObject*) {
    platform::Defaults& defaults = platform::Defaults::standard();
    defaults.setInteger(prefkeys::AppStartAuto, isOn(ButtonAppStartAuto) ? 1 : 0);
    defaults.setInteger(prefkeys::ConnectStartAuto, isOn(ConnectStartAuto) ? 1 : 0);
    defaults.setInteger(prefkeys::ProtcolSelAuto, isOn(ProtcolSelAuto) ? 1 : 0);

    // A region list left empty (no server list) or an entry gone from the table selects nothing:
    // the current region stays as it is.
    const RegionInfo* selected = nullptr;
    const QVariant tag = buttonSettingsRegion->currentData();
    if (tag.isValid()) {
        const auto it = PexXmlParser::_regionInfos.find(std::to_string(tag.toInt()));
        if (it != PexXmlParser::_regionInfos.end()) selected = &it->second;
    }

    const QString protocol = ProtocolChoise->currentText();
    if (!protocol.isEmpty()) defaults.setString(prefkeys::ProtcolChoice, protocol.toStdString());
    app_->protcolText->setText(isOn(ProtcolSelAuto) ? QString("自動") : protocol);

    if (selected) app_->updateRegionDisp(RegionInfo(*selected));

    if (isOn(ButtonAppStartAuto)) {
        enableLoginItem();
    } else {
        // Every entry that starts the application goes, so it really no longer starts at login.
        for (int i = 0; i < kMaxLoginItemRemovals; ++i) {
            const auto refs = itemReferencesInLoginItems();
            if (!refs.existingReference || !removeLoginItem(*refs.existingReference)) break;
        }
    }
    settingsWindow->close();
}

void SettingsMenuViewController::showLoginInsteadOfMain() {
    app_->window->hide();
    if (app_->loginWindow) {
        app_->loginWindow->show();
        app_->loginWindow->raise();
        app_->loginWindow->activateWindow();
    }
    settingsWindow->close();
    app_->isLoggin = false;
}

void SettingsMenuViewController::onInitializeButton(QObject*) {
    std::printf("onInitializeButton\n");
    std::fflush(stdout);
    if (runAlert("タブロVPN", "設定を初期化します。よろしいですか？", {"はい", "いいえ"}) == 1) return;

    removeSystemService();

    platform::Defaults& defaults = platform::Defaults::standard();
    defaults.removeObject(prefkeys::hostname);
    defaults.removeObject(prefkeys::username);
    defaults.removeObject(prefkeys::password);
    // What the failure alert offers when a server's certificate changed for good.
    KnownServers::forgetAll();
    removeOpenConnectPassword(Constants::tvrootPath());
    app_->authUsername.clear();
    app_->authPassword.clear();
    if (UserLoginWindow* login = app_->loginWindow) {
        for (QLineEdit* field : {static_cast<QLineEdit*>(login->_userTextField),
                                 static_cast<QLineEdit*>(login->_passwdTextField),
                                 static_cast<QLineEdit*>(login->_passwdTextFieldPlain)})
            if (field) field->clear();
    }
    showLoginInsteadOfMain();
}

void SettingsMenuViewController::onLogoutButton(QObject*) {
    if (runAlert("タブロVPN", "ログアウトしますか？", {"はい", "いいえ"}) == 1) return;
    showLoginInsteadOfMain();
}

void SettingsMenuViewController::versionWindowCloseButton(QObject*) {
    vesionWindow->close();
}
