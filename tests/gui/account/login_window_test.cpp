// The login window: layout, the saved account, validation, the show-password and save-account check
// boxes, and what the login button hands to the login.
#include "../../component/account/TestHome.h"
#include "FakeAccountHost.h"

#include "app/account/SBAuth.h"
#include "app/account/UserLoginWindow.h"
#include "app/service/Constants.h"
#include "app/widgets/DraggableImageView.h"
#include "app/widgets/ZelSecureTextField.h"
#include "app/widgets/ZelTextField.h"
#include "platform/Defaults.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/Workspace.h"

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

TestHome testHome; // before anything reads the XDG folders

const QString kUserAlert =
    "ユーザー名の入力に誤りがあります。\r\nユーザー名はアルファベット2文字と数字の組み合わせになります。"
    "\r\n例）tb123456";

// A loopback port with nothing listening: a login sent there fails at once and stays on this machine.
std::string closedLoopbackURL() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 9;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) ::close(fd);
    return Constants::authURLForHost("127.0.0.1:" + std::to_string(port));
}

class LoginWindow : public ::testing::Test {
protected:
    void SetUp() override {
        auto& d = platform::Defaults::standard();
        for (const char* key : {"username", "password", "SaveAccount", "ConnectStartAuto"})
            d.removeObject(key);
        Constants::AuthHostURL = closedLoopbackURL();
        AlertPresenter::setCurrent(&alerts);
        workspace::setOpenURLHook([this](const QString& url) {
            opened << url;
            return true;
        });
        SBAuth::setCompletionObserver([this](SBAuth::Outcome o) { outcomes.push_back(o); });
        host = std::make_unique<FakeAccountHost>();
        host->window->setFixedWidth(340);
    }

    void TearDown() override {
        // Attempts still running finish against a missing host; wait so none outlives the test.
        waitFor([&] { return pending == outcomes.size(); });
        SBAuth::setCompletionObserver({});
        workspace::setOpenURLHook({});
        AlertPresenter::setCurrent(nullptr);
        host.reset();
    }

    UserLoginWindow* build(const QString& user = {}, const QString& password = {}) {
        host->authUsername = user;
        host->authPassword = password;
        auto* w = new UserLoginWindow(host.get());
        host->loginWindow = w;
        return w;
    }

    template <class Pred>
    bool waitFor(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!pred() && std::chrono::steady_clock::now() < deadline) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(2);
        }
        return pred();
    }

    // Presses the login button and waits for the attempt it starts (if any).
    void pressLogin(UserLoginWindow* w, bool expectAttempt) {
        const size_t before = outcomes.size();
        w->_loginButton->click();
        if (expectAttempt) {
            ++pending;
            EXPECT_TRUE(waitFor([&] { return outcomes.size() > before; }));
        } else {
            QCoreApplication::processEvents();
            EXPECT_EQ(outcomes.size(), before);
        }
    }

    ScriptedAlertPresenter alerts;
    QStringList opened;
    std::vector<SBAuth::Outcome> outcomes;
    size_t pending = 0;
    std::unique_ptr<FakeAccountHost> host;
};

TEST_F(LoginWindow, LayoutFollowsTheDesignInA290HighWindowOfTheMainWindowsWidth) {
    UserLoginWindow* w = build("tb000001", "secret1");
    const int W = host->window->width();
    EXPECT_EQ(w->size(), QSize(W, 290));
    EXPECT_TRUE(w->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(w->isVisible());
    // Bottom-left design frames, converted once: y_top = 290 - y - height.
    EXPECT_EQ(w->_titleImageView->geometry(), QRect(0, 0, W, 50));
    EXPECT_EQ(w->_userTextField->geometry(), QRect(45, 80, 250, 30));
    EXPECT_EQ(w->_passwdTextField->geometry(), QRect(45, 123, 250, 30));
    EXPECT_EQ(w->_passwdTextFieldPlain->geometry(), QRect(45, 123, 250, 30));
    // The link may grow to the right so that its whole text shows.
    EXPECT_EQ(w->_helpLinkButton->geometry().topLeft(), QPoint(63, 166));
    EXPECT_EQ(w->_helpLinkButton->height(), 16);
    EXPECT_GE(w->_helpLinkButton->width(), 190);
    EXPECT_GE(w->_helpLinkButton->width(), w->_helpLinkButton->sizeHint().width());
    EXPECT_EQ(w->_saveAccountButton->geometry(), QRect(38, 195, 168, 18));
    EXPECT_EQ(w->_showPasswdButton->geometry(), QRect(203, 195, 106, 18));
    EXPECT_EQ(w->_loginButton->geometry(), QRect(45, 226, 250, 40));
    EXPECT_EQ(w->_minButton->geometry(), QRect(286, 23, 24, 24));
    EXPECT_EQ(w->_closeButton->geometry(), QRect(312, 23, 24, 24));

    EXPECT_EQ(w->_userTextField->text(), "tb000001");
    EXPECT_EQ(w->_passwdTextField->text(), "secret1");
    EXPECT_EQ(w->_passwdTextFieldPlain->text(), "secret1");
    EXPECT_EQ(w->_passwdTextField->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(w->_passwdTextField->isVisible());
    EXPECT_FALSE(w->_passwdTextFieldPlain->isVisible());
    EXPECT_EQ(w->_userTextField->placeholderText(), "ユーザー名");
    EXPECT_EQ(w->_passwdTextField->placeholderText(), "パスワード");
    EXPECT_EQ(w->_helpLinkButton->text(), "ユーザー名・パスワードをわすれました");
    EXPECT_TRUE(w->_helpLinkButton->font().underline());
    EXPECT_EQ(w->_saveAccountButton->text(), "ユーザー名・パスワードを保存");
    EXPECT_EQ(w->_showPasswdButton->text(), "パスワードを表示");
    EXPECT_FALSE(w->_showPasswdButton->isChecked());
    for (ZelTextField* f : {w->_userTextField, static_cast<ZelTextField*>(w->_passwdTextField)}) {
        EXPECT_DOUBLE_EQ(f->layer().borderWidth, 1.8);
        EXPECT_EQ(f->layer().backgroundColor, QColor(Qt::white));
        EXPECT_EQ(f->font().pixelSize(), 13);
    }
    // Colours are fixed, whatever the desktop theme.
    EXPECT_EQ(w->palette().color(QPalette::Window), QColor(Qt::white));
}

TEST_F(LoginWindow, NeitherVisibleFieldStartsFocusedOrFilled) {
    UserLoginWindow* w = build("tb000001", "secret1");
    QCoreApplication::processEvents();
    EXPECT_EQ(w->focusWidget(), w->focusSink());
    EXPECT_EQ(w->focusSink()->size(), QSize(0, 0));
    EXPECT_TRUE(w->focusSink()->text().isEmpty());
    EXPECT_FALSE(w->_userTextField->backgroundLayer());
    EXPECT_FALSE(w->_passwdTextField->backgroundLayer());
}

TEST_F(LoginWindow, SitsTwoHundredPointsAboveTheMainWindowsBottomEdgeOnScreen) {
    const QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
    host->window->setGeometry(avail.x() + 100, avail.y() + 250, host->window->width(), 300);
    UserLoginWindow* w = build();
    // Bottom edges: the login window's is 200 higher; the left edges line up.
    EXPECT_EQ(w->geometry().bottom(), host->window->geometry().bottom() - 200);
    EXPECT_EQ(w->x(), host->window->x());

    // Near the top of the screen it is kept on the screen.
    delete host->loginWindow;
    host->window->setGeometry(avail.x(), avail.y(), host->window->width(), 300);
    w = build();
    EXPECT_EQ(w->y(), avail.y());
}

TEST_F(LoginWindow, SaveCheckBoxTakesTheStoredState) {
    platform::Defaults::standard().setInteger("SaveAccount", 0);
    EXPECT_FALSE(build()->_saveAccountButton->isChecked());
    delete host->loginWindow;
    platform::Defaults::standard().setInteger("SaveAccount", 1);
    EXPECT_TRUE(build()->_saveAccountButton->isChecked());
}

TEST_F(LoginWindow, UserNameNeedsLowerCaseTbAsItsFirstTwoCharacters) {
    struct Case {
        QString name;
        bool ok;
    };
    const Case cases[] = {
        {"", false},
        {"t", false},
        {"tb", true},
        {"tb123456", true},
        {"tbx", true},
        {"TB123456", false},
        {"Tb123456", false},
        {"bt123456", false},
        {" tb123456", false},
        {"ｔｂ123456", false}, // full-width letters
        {QString::fromUtf8("tb\xCC\x88"
                           "1"),
         false}, // b with a combining diaeresis is not "b"
        {QString::fromUtf8("\xF0\x9F\x98\x80tb"), false},
    };
    UserLoginWindow* w = build();
    for (const auto& c : cases) {
        alerts.shown.clear();
        w->_userTextField->setText(c.name);
        EXPECT_EQ(w->Validate(), c.ok) << c.name.toStdString();
        if (c.ok) {
            EXPECT_TRUE(alerts.shown.isEmpty());
        } else {
            ASSERT_EQ(alerts.shown.size(), 1);
            EXPECT_EQ(alerts.shown[0].messageText, "タブロVPN");
            EXPECT_EQ(alerts.shown[0].informativeText, kUserAlert);
            EXPECT_EQ(alerts.shown[0].buttons, QStringList{"OK"});
        }
    }
}

TEST_F(LoginWindow, RejectedUserNameStoresAndSendsNothing) {
    platform::Defaults::standard().setInteger("SaveAccount", 1);
    UserLoginWindow* w = build();
    w->_userTextField->setText("x1");
    w->_passwdTextField->setText("pw");
    pressLogin(w, false);
    EXPECT_EQ(alerts.shown.size(), 1);
    EXPECT_TRUE(host->authUsername.isEmpty());
    EXPECT_FALSE(platform::Defaults::standard().hasObject("username"));
}

TEST_F(LoginWindow, ShowPasswordRoundTripsKeepTheLastTypedText) {
    UserLoginWindow* w = build("tb1", "first");
    w->_showPasswdButton->click();
    EXPECT_TRUE(w->_showPasswdButton->isChecked());
    EXPECT_EQ(w->_passwdTextFieldPlain->text(), "first");
    EXPECT_FALSE(w->_passwdTextField->isVisible());
    EXPECT_TRUE(w->_passwdTextFieldPlain->isVisible());

    w->_passwdTextFieldPlain->setText("second");
    w->_showPasswdButton->click();
    EXPECT_EQ(w->_passwdTextField->text(), "second");
    EXPECT_TRUE(w->_passwdTextField->isVisible());
    EXPECT_FALSE(w->_passwdTextFieldPlain->isVisible());

    w->_passwdTextField->setText("third");
    w->_showPasswdButton->click();
    EXPECT_EQ(w->_passwdTextFieldPlain->text(), "third");
    w->_showPasswdButton->click();
    EXPECT_EQ(w->_passwdTextField->text(), "third");
}

TEST_F(LoginWindow, LoginWithTheClearPasswordShownSendsTheEditedText) {
    platform::Defaults::standard().setInteger("SaveAccount", 1);
    UserLoginWindow* w = build("tb1", "old");
    w->_showPasswdButton->click();
    w->_passwdTextFieldPlain->setText("edited");
    pressLogin(w, true);
    EXPECT_EQ(host->authUsername, "tb1");
    EXPECT_EQ(host->authPassword, "edited");
    EXPECT_EQ(w->_passwdTextField->text(), "edited");
    EXPECT_EQ(platform::Defaults::standard().string("username"), "tb1");
    EXPECT_EQ(platform::Defaults::standard().string("password"), "edited");
    // The test endpoint does not answer: the login window stays, with the alert of a missing answer.
    EXPECT_EQ(outcomes.back(), SBAuth::Outcome::NoAnswer);
    ASSERT_EQ(alerts.shown.size(), 1);
    EXPECT_EQ(alerts.shown[0].informativeText, "認証できません");
    EXPECT_TRUE(w->isVisible());
}

TEST_F(LoginWindow, LoginWithSaveOffOnACleanStoreKeepsTheStoreEmpty) {
    UserLoginWindow* w = build();
    EXPECT_FALSE(w->_saveAccountButton->isChecked());
    w->_userTextField->setText("tb000009");
    w->_passwdTextField->setText("pw");
    pressLogin(w, true);
    EXPECT_EQ(host->authUsername, "tb000009");
    EXPECT_EQ(host->authPassword, "pw");
    auto& d = platform::Defaults::standard();
    d.reload();
    EXPECT_FALSE(d.hasObject("username"));
    EXPECT_FALSE(d.hasObject("password"));
    EXPECT_FALSE(d.hasObject("SaveAccount"));
}

TEST_F(LoginWindow, SaveCheckBoxWritesAtOnceAndTurningItOffKeepsTheAccount) {
    UserLoginWindow* w = build();
    w->_userTextField->setText("tb42");
    w->_passwdTextField->setText("pw42");
    w->_saveAccountButton->click(); // on
    auto& d = platform::Defaults::standard();
    d.reload();
    EXPECT_EQ(d.integerForKey("SaveAccount"), 1);
    EXPECT_EQ(d.stringForKey("username"), "tb42");
    EXPECT_EQ(d.stringForKey("password"), "pw42");

    // With the clear field shown its text is what gets saved.
    w->_showPasswdButton->click();
    w->_passwdTextFieldPlain->setText("clear");
    w->_saveAccountButton->click(); // off
    w->_userTextField->setText("tb99");
    d.reload();
    EXPECT_EQ(d.integerForKey("SaveAccount"), 0);
    EXPECT_EQ(d.stringForKey("username"), "tb42") << "turning it off removes nothing";
    w->_saveAccountButton->click(); // on again
    d.reload();
    EXPECT_EQ(d.stringForKey("username"), "tb99");
    EXPECT_EQ(d.stringForKey("password"), "clear");
}

TEST_F(LoginWindow, HelpMinimiseAndClose) {
    UserLoginWindow* w = build();
    w->_helpLinkButton->click();
    EXPECT_EQ(opened, QStringList{QString::fromStdString(Constants::helpPageURL())});

    w->show();
    w->_minButton->click();
    // No tray here: minimised into the window list, not hidden.
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w->isMinimized());
    EXPECT_EQ(host->terminations, 0);

    w->_closeButton->click();
    EXPECT_EQ(host->terminations, 1);
}

} // namespace
