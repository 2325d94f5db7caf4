#include "SettingsFixture.h"

#include "app/connection/KnownServers.h"
#include "app/shell/LoginItems.h"
#include "app/shell/SettingsMenuVC.h"
#include "app/widgets/ZelSecureTextField.h"
#include "app/widgets/ZelTextField.h"
#include "platform/Paths.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

// Stands in for the helper: serves one CMD_SCNETWORK connection and records both messages.
class FakeHelper {
public:
    explicit FakeHelper(const QString& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray p = path.toLocal8Bit();
        std::memcpy(addr.sun_path, p.constData(), static_cast<size_t>(p.size()));
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 1) != 0)
            return;
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeHelper() {
        finish();
        ::close(fd_);
    }
    void finish() {
        if (thread_.joinable()) thread_.join();
    }
    std::vector<std::string> received;
    std::atomic<int> connections{0}; // read the messages only after finish()

private:
    static std::string readOnce(int fd) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 3000) != 1) return {};
        char buf[512];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    void serve() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 3000) != 1) return;
        const int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        ++connections;
        received.push_back(readOnce(c));
        (void)::send(c, "1", 1, MSG_NOSIGNAL);
        received.push_back(readOnce(c));
        ::close(c); // the helper answers nothing to this sub-command and ends the connection
    }
    int fd_ = -1;
    std::thread thread_;
};

class SettingsWindowTest : public SettingsFixture {
protected:
    SettingsMenuViewController& vc() { return *app->settingsController; }
    QStringList regionTitles() {
        QStringList t;
        for (int i = 0; i < vc().buttonSettingsRegion->count(); ++i)
            t << vc().buttonSettingsRegion->itemText(i);
        return t;
    }
    QList<QLineEdit*> loginFields() {
        UserLoginWindow* w = app->loginWindow;
        return {w->_userTextField, w->_passwdTextField, w->_passwdTextFieldPlain};
    }
    void fillLoginFields() {
        for (QLineEdit* e : loginFields())
            e->setText("secret");
    }
    bool loginFieldsEmpty() {
        for (QLineEdit* e : loginFields())
            if (!e->text().isEmpty()) return false;
        return true;
    }
};

TEST_F(SettingsWindowTest, OpensWithStoredValuesRegionsInRowOrderAtThePointer) {
    setRegions({{"台湾", "9", 3}, {"日本", "0", 1}, {"韓国", "4", 2}});
    prefs().setInteger("AppStartAuto", 1);
    prefs().setInteger("ConnectStartAuto", 0);
    prefs().setInteger("ProtcolSelAuto", 0);
    prefs().setString("ProtcolChoice", "OpenVPN");
    prefs().setString("Region", "韓国");
    QCursor::setPos(120, 90);
    const QPoint pointer = QCursor::pos();
    vc().config();
    ASSERT_TRUE(vc().settingsWindow->isVisible());
    EXPECT_EQ(vc().settingsWindow->pos(), pointer);
    EXPECT_TRUE(vc().ButtonAppStartAuto->isChecked());
    EXPECT_FALSE(vc().ConnectStartAuto->isChecked());
    EXPECT_FALSE(vc().ProtcolSelAuto->isChecked());
    EXPECT_TRUE(vc().ProtocolChoise->isEnabled());
    EXPECT_EQ(vc().ProtocolChoise->currentText(), "OpenVPN");
    EXPECT_EQ(regionTitles(), (QStringList{"日本", "韓国", "台湾"}));
    EXPECT_EQ(vc().buttonSettingsRegion->itemData(2).toInt(), 3);
    EXPECT_EQ(vc().buttonSettingsRegion->currentText(), "韓国");

    // More than ten regions: the order is the Row, not the text order of the keys ("10" < "2").
    vc().settingsWindow->close();
    std::vector<RegionInfo> many;
    for (int i = 11; i >= 0; --i)
        many.push_back({"R" + std::to_string(i), std::to_string(i), i});
    setRegions(many);
    vc().config();
    EXPECT_EQ(regionTitles().mid(8), (QStringList{"R8", "R9", "R10", "R11"}));
}

TEST_F(SettingsWindowTest, AutomaticProtocolDisablesTheListAndShowsAutoAfterClose) {
    prefs().setString("ProtcolChoice", "OpenConnect");
    prefs().setInteger("ProtcolSelAuto", 1);
    vc().config();
    EXPECT_TRUE(vc().ProtcolSelAuto->isChecked());
    EXPECT_FALSE(vc().ProtocolChoise->isEnabled());
    // The check box only switches the list; nothing is stored before close.
    vc().ProtcolSelAuto->click();
    EXPECT_TRUE(vc().ProtocolChoise->isEnabled());
    EXPECT_EQ(prefs().integer("ProtcolSelAuto"), 1);
    vc().ProtocolChoise->setCurrentText("L2TP");
    vc().ProtcolSelAuto->click();
    EXPECT_FALSE(vc().ProtocolChoise->isEnabled());
    vc().closeButton->click();
    EXPECT_FALSE(vc().settingsWindow->isVisible());
    EXPECT_EQ(app->protcolText->text(), "自動");
    EXPECT_EQ(prefs().integer("ProtcolSelAuto"), 1);
    EXPECT_EQ(prefs().string("ProtcolChoice"), "L2TP");

    vc().config();
    vc().ProtcolSelAuto->click();
    vc().closeButton->click();
    EXPECT_EQ(app->protcolText->text(), "L2TP");
    EXPECT_EQ(prefs().integer("ProtcolSelAuto"), 0);
}

TEST_F(SettingsWindowTest, SecondOpeningReloadsNothingAndOtherClosingStoresNothing) {
    setRegions({{"日本", "0", 0}, {"韓国", "1", 1}});
    vc().config();
    vc().buttonSettingsRegion->setCurrentIndex(1);
    vc().ConnectStartAuto->setChecked(true);
    setRegions({{"台湾", "5", 0}});
    prefs().setInteger("ConnectStartAuto", 0);
    vc().config();
    EXPECT_EQ(regionTitles(), (QStringList{"日本", "韓国"}));
    EXPECT_EQ(vc().buttonSettingsRegion->currentIndex(), 1);
    EXPECT_TRUE(vc().ConnectStartAuto->isChecked());
    vc().settingsWindow->close(); // not the close button
    EXPECT_EQ(prefs().integer("ConnectStartAuto"), 0);
    EXPECT_FALSE(prefs().hasObject("Region"));
}

TEST_F(SettingsWindowTest, CloseAppliesRegionAndLoginItem) {
    setRegions({{"日本", "7", 0}, {"アメリカ", "3", 1}});
    vc().config();
    vc().buttonSettingsRegion->setCurrentIndex(1);
    vc().ButtonAppStartAuto->setChecked(true);
    vc().closeButton->click();
    EXPECT_EQ(prefs().string("Region"), "アメリカ");
    EXPECT_EQ(prefs().string("regionNumber"), "3");
    EXPECT_EQ(app->region->text(), "アメリカ");
    EXPECT_EQ(prefs().integer("AppStartAuto"), 1);
    const auto refs = itemReferencesInLoginItems();
    ASSERT_TRUE(refs.existingReference);
    EXPECT_EQ(refs.existingReference->path, autostartDirectory() + "/tavrovpn.desktop");

    vc().config();
    vc().ButtonAppStartAuto->setChecked(false);
    vc().closeButton->click();
    EXPECT_FALSE(itemReferencesInLoginItems().existingReference);

    // With no region list the current region stays as it was.
    setRegions({});
    vc().config();
    vc().closeButton->click();
    EXPECT_EQ(prefs().string("Region"), "アメリカ");
    EXPECT_FALSE(vc().settingsWindow->isVisible());
}

TEST_F(SettingsWindowTest, InitializeWithoutServiceClearsAccountAndSendsNothing) {
    FakeHelper helper(helperSocket());
    prefs().setString("username", "u");
    prefs().setString("password", "p");
    prefs().setString("hostname", "h");
    prefs().setString("Region", "日本");
    app->authUsername = "u";
    app->authPassword = "p";
    app->isLoggin = true;
    app->window->show();
    fillLoginFields();
    std::filesystem::create_directories(std::filesystem::path(KnownServers::path()).parent_path());
    ASSERT_TRUE(KnownServers::record("oc.example.test", "cxCojJmYX+RUo48KEXQ+05wtRBSUOwNxod58AlcZp90="));
    const QString passwordFile = root() + "/data/norvell/tavrovpn/openconnect/password.txt";
    ASSERT_TRUE(QDir().mkpath(QFileInfo(passwordFile).path()));
    ASSERT_TRUE(QFile(passwordFile).open(QIODevice::WriteOnly));
    alerts.answers = {1}; // いいえ: nothing changes
    vc().config();
    vc().initializeButton->click();
    ASSERT_EQ(alerts.shown.size(), 1);
    EXPECT_EQ(alerts.shown[0].informativeText, "設定を初期化します。よろしいですか？");
    EXPECT_EQ(alerts.shown[0].buttons, (QStringList{"はい", "いいえ"}));
    EXPECT_EQ(prefs().string("username"), "u");
    EXPECT_TRUE(app->isLoggin);
    EXPECT_TRUE(std::filesystem::exists(KnownServers::path()));
    EXPECT_TRUE(QFile::exists(passwordFile));

    vc().initializeButton->click();
    for (const char* k : {"username", "password", "hostname"})
        EXPECT_FALSE(prefs().hasObject(k)) << k;
    EXPECT_EQ(prefs().string("Region"), "日本");
    EXPECT_TRUE(app->authUsername.isEmpty());
    EXPECT_TRUE(app->authPassword.isEmpty());
    EXPECT_TRUE(loginFieldsEmpty());
    EXPECT_FALSE(app->window->isVisible());
    EXPECT_TRUE(app->loginWindow->isVisible());
    EXPECT_FALSE(vc().settingsWindow->isVisible());
    EXPECT_FALSE(app->isLoggin);
    EXPECT_EQ(helper.connections.load(), 0);
    // The OpenConnect servers' recorded pins are forgotten too.
    EXPECT_FALSE(std::filesystem::exists(KnownServers::path()));
    EXPECT_FALSE(QFile::exists(passwordFile)) << "the saved password goes, so does its copy";
}

TEST_F(SettingsWindowTest, InitializeWithKnownServiceAsksTheHelperToRemoveIt) {
    FakeHelper helper(helperSocket());
    extThisServiceID = "5a1e0000-0000-4000-8000-00000000cafe";
    attachSystemServiceConnection();
    ASSERT_TRUE(extConnection);
    prefs().setString("username", "u");
    vc().config();
    vc().initializeButton->click();
    helper.finish();
    ASSERT_EQ(helper.received.size(), 2u);
    EXPECT_EQ(helper.received[0], std::string("CMD_SCNETWORK\0", 14));
    EXPECT_EQ(helper.received[1], "REMOVE_PREF,5a1e0000-0000-4000-8000-00000000cafe");
    EXPECT_TRUE(extThisServiceID.empty());
    EXPECT_FALSE(extConnection);
    EXPECT_FALSE(prefs().hasObject("username"));
    EXPECT_FALSE(app->isLoggin);
}

TEST_F(SettingsWindowTest, LogoutKeepsTheAccount) {
    prefs().setString("username", "u");
    prefs().setString("password", "p");
    app->isLoggin = true;
    app->window->show();
    fillLoginFields();
    alerts.answers = {1, 0};
    vc().config();
    vc().logoutButton->click();
    EXPECT_TRUE(app->window->isVisible());
    vc().logoutButton->click();
    ASSERT_EQ(alerts.shown.size(), 2);
    EXPECT_EQ(alerts.shown[1].informativeText, "ログアウトしますか？");
    EXPECT_EQ(prefs().string("username"), "u");
    EXPECT_EQ(prefs().string("password"), "p");
    EXPECT_FALSE(loginFieldsEmpty());
    EXPECT_FALSE(app->window->isVisible());
    EXPECT_TRUE(app->loginWindow->isVisible());
    EXPECT_FALSE(vc().settingsWindow->isVisible());
    EXPECT_FALSE(app->isLoggin);
}

TEST_F(SettingsWindowTest, PopupMenuOpensSettingsVersionAndQuits) {
    const auto actions = app->configMenu->actions();
    ASSERT_EQ(actions.size(), 4);
    EXPECT_TRUE(actions[2]->isSeparator());
    actions[0]->trigger();
    EXPECT_TRUE(vc().settingsWindow->isVisible());
    actions[1]->trigger();
    ASSERT_TRUE(vc().vesionWindow->isVisible());
    const QList<QLabel*> labels = vc().vesionWindow->findChildren<QLabel*>();
    EXPECT_TRUE(std::any_of(labels.begin(), labels.end(),
                            [](QLabel* l) { return l->text().contains(AppDelegate::shortVersionString()); }));
    vc().versionCloseButton->click();
    EXPECT_FALSE(vc().vesionWindow->isVisible());
    actions[3]->trigger(); // no helper job file: ends without a question
    EXPECT_EQ(terminations, 1);
    EXPECT_TRUE(alerts.shown.isEmpty());
}

} // namespace
