#include "app/account/SBAuth.h"

#include "app/account/AccountHost.h"
#include "app/account/LoginForm.h"
#include "app/account/LoginResponse.h"
#include "app/service/Constants.h"
#include "platform/Log.h"
#include "platform/qt/AlertPresenter.h"
#include "platform/qt/Dispatch.h"

#include <QString>
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
    AccountHost* app = accountHost();
    if (!app) {
        finish(Outcome::NotSent);
        return;
    }
    const QString username = app->accountUsername();
    const QString password = app->accountPassword();
    if (username.isEmpty() || password.isEmpty()) {
        app->showLoginWindow();
        finish(Outcome::NotSent);
        return;
    }

    // Read on the GUI thread: the server list may replace the URL.
    const std::string url = Constants::AuthHostURL;
    const std::string user = username.toStdString();
    trace(url);
    trace(user);
    trace(platform::kMasked);

    const std::string boundary = loginform::randomBoundary();
    std::string body = loginform::buildBody(boundary, user, password.toStdString());
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

    if (AccountHost* app = accountHost()) app->logInSucceeded();
    finish(Outcome::Accepted);
}

void SBAuth::failed(Outcome outcome, const char* information) {
    if (!IsDidLoading_) runAlert("タブロVPN", QString::fromUtf8(information), {"OK"});
    // The host is looked up again: the alert's loop may have run other work meanwhile.
    if (AccountHost* app = accountHost()) app->showLoginWindow();
    finish(outcome);
}

void SBAuth::finish(Outcome outcome) {
    if (observer()) observer()(outcome);
    delete this;
}
