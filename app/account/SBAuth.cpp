#include "app/account/SBAuth.h"

#include "app/account/LoginForm.h"
#include "app/account/LoginResponse.h"
#include "app/account/UserLoginWindow.h"
#include "app/connection/Constants.h"
#include "app/shell/AppDelegate.h"
#include "platform/Defaults.h"
#include "platform/Log.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/Dispatch.h"

#include <QPushButton>
#include <QWidget>
#include <cstdio>
#include <string>

namespace {

SBAuth::CompletionObserver& observer() {
    static SBAuth::CompletionObserver o;
    return o;
}

// Trace line on standard output. Control characters of a hostile answer are not passed to the terminal.
void trace(const std::string& text) {
    std::string line;
    line.reserve(text.size() + 1);
    for (unsigned char ch : text)
        line.push_back((ch < 0x20 && ch != '\t') || ch == 0x7f ? '?' : static_cast<char>(ch));
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void showLoginWindow(AppDelegate* app) {
    if (!app || !app->loginWindow) return;
    app->loginWindow->show();
    app->loginWindow->raise();
    app->loginWindow->activateWindow();
}

} // namespace

void SBAuth::setCompletionObserver(CompletionObserver o) {
    observer() = std::move(o);
}

void SBAuth::doLoginSession(bool IsDidLoading) {
    if (!dispatch::isMainThread()) {
        // The delegate's fields belong to the GUI thread.
        dispatch::mainAsync([this, IsDidLoading] { doLoginSession(IsDidLoading); });
        return;
    }
    IsDidLoading_ = IsDidLoading;
    AppDelegate* app = theApplication();
    if (!app) {
        finish(Outcome::NotSent);
        return;
    }
    if (app->authUsername.isEmpty() || app->authPassword.isEmpty()) {
        showLoginWindow(app);
        finish(Outcome::NotSent);
        return;
    }

    // Read on the GUI thread: the server list may replace the URL.
    const std::string url = Constants::AuthHostURL;
    const std::string user = app->authUsername.toStdString();
    trace(url);
    trace(user);
    trace(platform::kMasked);

    const std::string boundary = loginform::randomBoundary();
    std::string body = loginform::buildBody(boundary, user, app->authPassword.toStdString());
    dispatch::globalAsync([this, url, boundary, body = std::move(body)] {
        LoginTransport::Result result = LoginTransport::post(url, boundary, body);
        dispatch::mainAsync([this, result = std::move(result)] { didComplete(result); });
    });
}

void SBAuth::didComplete(const LoginTransport::Result& result) {
    if (result.invalidEndpoint) {
        // Nothing could be sent; counts like a refused login.
        trace(result.error);
        failed(Outcome::Refused, "認証に失敗しました");
        return;
    }
    if (!result.body) {
        platform::logInfo("auth: no answer: %s", result.error.c_str());
        trace("auth failed.");
        failed(Outcome::NoAnswer, "認証できません");
        return;
    }
    trace(*result.body);
    const LoginResponse response = LoginResponse::classify(result.body);
    switch (response.verdict) {
    case LoginVerdict::NoAnswer: // not reached: a body is present
    case LoginVerdict::NotJson:
        trace(response.parseError);
        failed(Outcome::NotJson, "認証に失敗しました");
        return;
    case LoginVerdict::Refused:
        trace(response.code ? *response.code : response.refusal);
        failed(Outcome::Refused, "認証に失敗しました");
        return;
    case LoginVerdict::Accepted:
        break;
    }
    trace(response.code.value_or("0"));

    AppDelegate* app = theApplication();
    if (app) {
        const bool wasLoggedIn = app->isLoggin;
        app->isLoggin = true;
        if (app->loginWindow) app->loginWindow->hide();
        if (app->window) app->window->show();
        // The connect button toggles: a second success (a double press of the login button) or a
        // login while a tunnel runs must not stop the connection it means to start.
        if (platform::Defaults::standard().integer("ConnectStartAuto") == 1 && app->connectButton &&
            !wasLoggedIn && app->_vpnStatus == TAVROVPNStatus::disconnected)
            app->connectButton->click();
    }
    finish(Outcome::Accepted);
}

void SBAuth::failed(Outcome outcome, const char* information) {
    if (!IsDidLoading_) runAlert("タブロVPN", QString::fromUtf8(information), {"OK"});
    // The delegate is looked up again: the alert's loop may have run other work meanwhile.
    showLoginWindow(theApplication());
    finish(outcome);
}

void SBAuth::finish(Outcome outcome) {
    if (observer()) observer()(outcome);
    delete this;
}
