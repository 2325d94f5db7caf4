// Login against the real local service: what goes over the wire, how each kind of answer changes the
// windows, and which alerts appear when the login is not silent.
#include "FakeAccountHost.h"
#include "LocalService.h"
#include "ServiceRecord.h"
#include "TestHome.h"

#include "app/account/LoginForm.h"
#include "app/account/LoginResponse.h"
#include "app/account/LoginTransport.h"
#include "app/account/SBAuth.h"
#include "app/account/UserLoginWindow.h"
#include "app/service/Constants.h"
#include "platform/Defaults.h"
#include "platform/qt/AlertPresenter.h"

#include <QCoreApplication>
#include <QThread>
#include <QWidget>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <regex>
#include <set>

namespace {

TestHome testHome; // before anything reads the XDG folders

const char* kUser = "tb000001";
const char* kPassword = "secret1";

bool isBoundary(const std::string& b) {
    static const std::regex re("^----iOSURLSessionBoundary\\.[0-9a-f]{16}$");
    return std::regex_match(b, re);
}

std::string expectedBody(const std::string& b, const std::string& id, const std::string& password) {
    return "--" + b + "\r\nContent-Disposition: form-data; name=\"id\"\r\n\r\n" + id + "\r\n--" + b +
           "\r\nContent-Disposition: form-data; name=\"password\"\r\n\r\n" + password + "\r\n--" + b +
           "--\r\n";
}

// ---- the form and the answer, without a server ------------------------------------------------------

TEST(LoginForm, BoundaryHasTheFixedPrefixAndTwoZeroPaddedLowerCaseValues) {
    EXPECT_EQ(loginform::makeBoundary(0, 0xDEADBEEF), "----iOSURLSessionBoundary.00000000deadbeef");
    EXPECT_EQ(loginform::makeBoundary(0xFFFFFFFF, 1), "----iOSURLSessionBoundary.ffffffff00000001");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string b = loginform::randomBoundary();
        ASSERT_EQ(b.size(), loginform::kBoundaryLength);
        ASSERT_TRUE(isBoundary(b)) << b;
        seen.insert(b);
    }
    EXPECT_EQ(seen.size(), 200u) << "fresh random values for every request";
}

TEST(LoginForm, BodyAndHeadersAreByteExact) {
    const std::string b = loginform::makeBoundary(1, 2);
    const std::string body = loginform::buildBody(b, "tb123", "p\"w d");
    EXPECT_EQ(body, expectedBody(b, "tb123", "p\"w d"));
    EXPECT_EQ(body.find('\\'), std::string::npos);
    EXPECT_TRUE(body.ends_with("\r\n--" + b + "--\r\n"));
    // Non-ASCII travels as UTF-8 and the length counts bytes.
    const std::string jp = loginform::buildBody(b, "tbユーザー", "パス");
    const auto h = loginform::headers(b, jp.size());
    ASSERT_EQ(h.size(), 4u);
    EXPECT_EQ(h[0],
              (std::pair<std::string, std::string>{"Content-Type", "multipart/form-data; boundary=" + b}));
    EXPECT_EQ(h[1].second, "*/*");
    EXPECT_EQ(h[2].second, "curl");
    EXPECT_EQ(h[3].second, std::to_string(jp.size()));
}

TEST(LoginResponse, OnlyANumericZeroCodeInAnObjectIsAccepted) {
    struct Case {
        std::optional<std::string> body;
        LoginVerdict verdict;
    };
    const Case cases[] = {
        {std::nullopt, LoginVerdict::NoAnswer},
        {std::string(R"({"code":0})"), LoginVerdict::Accepted},
        {std::string(R"( {"code":0.0,"extra":[1,2]} )"), LoginVerdict::Accepted},
        {std::string(R"({"code":1})"), LoginVerdict::Refused},
        {std::string(R"({"code":-1})"), LoginVerdict::Refused},
        {std::string(R"({"code":0.5})"), LoginVerdict::Refused},
        {std::string(R"({"code":18446744073709551615})"), LoginVerdict::Refused},
        {std::string(R"({"code":"0"})"), LoginVerdict::Refused},
        {std::string(R"({"code":false})"), LoginVerdict::Refused},
        {std::string(R"({"code":null})"), LoginVerdict::Refused},
        {std::string(R"({"status":0})"), LoginVerdict::Refused},
        {std::string(R"([{"code":0}])"), LoginVerdict::Refused},
        {std::string("0"), LoginVerdict::Refused},
        {std::string(""), LoginVerdict::NotJson},
        {std::string("<html><body>maintenance</body></html>"), LoginVerdict::NotJson},
        {std::string(R"({"code":0)"), LoginVerdict::NotJson},
        {std::string("{\"code\":0,\"x\":\"\xff\xfe\"}"), LoginVerdict::NotJson},
    };
    for (const auto& c : cases) {
        const LoginResponse r = LoginResponse::classify(c.body);
        EXPECT_EQ(r.verdict, c.verdict) << (c.body ? *c.body : "(no body)");
        if (r.verdict == LoginVerdict::NotJson) {
            EXPECT_FALSE(r.parseError.empty());
        }
    }
    EXPECT_EQ(LoginResponse::classify(std::string(R"({"code":7})")).code, "7");
    // Deep nesting is refused, not a crash.
    EXPECT_EQ(LoginResponse::classify(std::string(20000, '[') + std::string(20000, ']')).verdict,
              LoginVerdict::Refused);
}

TEST(LoginTransport, OnlyHttpsUrlsWithAHostAreUsable) {
    EXPECT_TRUE(LoginTransport::isUsableEndpoint("https://127.0.0.1:8443/tavro_cm/auth"));
    EXPECT_TRUE(LoginTransport::isUsableEndpoint("https://auth.example/tavro_cm/auth"));
    EXPECT_FALSE(LoginTransport::isUsableEndpoint("http://auth.example/tavro_cm/auth"));
    EXPECT_FALSE(LoginTransport::isUsableEndpoint("https://"));
    EXPECT_FALSE(LoginTransport::isUsableEndpoint("https://:443/tavro_cm/auth"));
    EXPECT_FALSE(LoginTransport::isUsableEndpoint("file:///etc/passwd"));
    EXPECT_FALSE(LoginTransport::isUsableEndpoint("not a url"));
    EXPECT_FALSE(LoginTransport::isUsableEndpoint(""));
}

// ---- against the service -----------------------------------------------------------------------------

class SBAuthService : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        recordFile = testHome.dir() + "/requests.jsonl";
        service = new LocalService({"--record", recordFile});
        serviceStarted = service->start();
    }
    static void TearDownTestSuite() {
        delete service;
        service = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(serviceStarted) << "tavro-service did not start: " << LocalService::binary();
        service->setFaults("");
        ::setenv("TAVROVPN_CA_FILE", service->caFile.c_str(), 1);
        Constants::AuthHostURL = Constants::authURLForHost(service->host);
        LoginTransport::setLimits({});
        platform::Defaults::standard().removeObject("ConnectStartAuto");
        AlertPresenter::setCurrent(&alerts);
        host = std::make_unique<FakeAccountHost>();
        host->loginWindow = new UserLoginWindow(host.get());
        host->loginWindow->hide();
        SBAuth::setCompletionObserver([this](SBAuth::Outcome o) { outcomes.push_back(o); });
    }

    void TearDown() override {
        SBAuth::setCompletionObserver({});
        AlertPresenter::setCurrent(nullptr);
        host.reset();
        LoginTransport::setLimits({});
    }

    bool waitForOutcomes(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (outcomes.size() < count && std::chrono::steady_clock::now() < deadline) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(2);
        }
        return outcomes.size() >= count;
    }

    // One attempt with the given account; the outcome once it has completed.
    SBAuth::Outcome login(const QString& user, const QString& password, bool silent) {
        host->authUsername = user;
        host->authPassword = password;
        const size_t before = outcomes.size();
        (new SBAuth())->doLoginSession(silent);
        if (!waitForOutcomes(before + 1)) {
            ADD_FAILURE() << "the attempt did not complete";
            return SBAuth::Outcome::NotSent;
        }
        return outcomes.back();
    }

    void expectAlert(const char* information) {
        ASSERT_EQ(alerts.shown.size(), 1);
        EXPECT_EQ(alerts.shown[0].messageText, "タブロVPN");
        EXPECT_EQ(alerts.shown[0].informativeText, QString::fromUtf8(information));
        EXPECT_EQ(alerts.shown[0].buttons, QStringList{"OK"});
    }

    void expectLoginWindowShown() {
        EXPECT_TRUE(host->loginWindow->isVisible());
        EXPECT_FALSE(host->isLoggin);
        EXPECT_FALSE(host->window->isVisible());
    }

    static std::vector<nlohmann::json> recordedLogins() { return servicerecord::logins(recordFile); }
    static size_t recordedCount() { return servicerecord::read(recordFile).size(); }

    static inline LocalService* service = nullptr;
    static inline bool serviceStarted = false;
    static inline std::string recordFile;
    ScriptedAlertPresenter alerts;
    std::unique_ptr<FakeAccountHost> host;
    std::vector<SBAuth::Outcome> outcomes;
};

// What the application does after the hand-over (auto-connect) is the shell's: LoginHandOver.
TEST_F(SBAuthService, AcceptedAccountHandsOverOnce) {
    host->loginWindow->show();
    EXPECT_EQ(login(kUser, kPassword, true), SBAuth::Outcome::Accepted);
    EXPECT_EQ(host->logIns, 1);
    EXPECT_TRUE(host->isLoggin);
    EXPECT_FALSE(host->loginWindow->isVisible());
    EXPECT_TRUE(host->window->isVisible());
    EXPECT_TRUE(alerts.shown.isEmpty());

    EXPECT_EQ(login(kUser, kPassword, false), SBAuth::Outcome::Accepted);
    EXPECT_EQ(host->logIns, 2);
    EXPECT_TRUE(alerts.shown.isEmpty());
}

TEST_F(SBAuthService, RequestIsTheExactMultipartFormBehindDigest) {
    const size_t before = recordedLogins().size();
    ASSERT_EQ(login(kUser, kPassword, true), SBAuth::Outcome::Accepted);
    const auto logins = recordedLogins();
    ASSERT_GT(logins.size(), before);
    const auto& req = logins.back();
    EXPECT_EQ(req.value("status", 0), 200);
    EXPECT_EQ(req.value("method", ""), "POST");

    const std::string contentType = servicerecord::clientContentType(req);
    const std::string prefix = "multipart/form-data; boundary=";
    ASSERT_TRUE(contentType.starts_with(prefix)) << contentType;
    const std::string b = contentType.substr(prefix.size());
    EXPECT_TRUE(isBoundary(b)) << b;
    EXPECT_EQ(b.size(), 26u + 16u);

    const std::string body = servicerecord::body(req);
    EXPECT_EQ(body, expectedBody(b, kUser, kPassword));
    EXPECT_TRUE(body.ends_with("--" + b + "--\r\n"));
    EXPECT_EQ(servicerecord::header(req, "Content-Length"), std::to_string(body.size()));
    EXPECT_EQ(servicerecord::header(req, "Accept"), "*/*");
    EXPECT_EQ(servicerecord::header(req, "User-Agent"), "curl");
    EXPECT_EQ(servicerecord::header(req, "Expect"), "");

    const std::string auth = servicerecord::header(req, "Authorization");
    EXPECT_TRUE(auth.starts_with("Digest ")) << auth;
    EXPECT_NE(auth.find("username=\"tavroapi_user\""), std::string::npos) << auth;
    EXPECT_NE(auth.find("realm=\"Private Area\""), std::string::npos) << auth;
    EXPECT_EQ(auth.find("R3+8%MpT"), std::string::npos) << "the endpoint password never travels in clear";
}

TEST_F(SBAuthService, TwoRequestsNeverShareABoundary) {
    ASSERT_EQ(login(kUser, kPassword, true), SBAuth::Outcome::Accepted);
    ASSERT_EQ(login(kUser, kPassword, true), SBAuth::Outcome::Accepted);
    std::vector<std::string> boundaries;
    for (const auto& req : recordedLogins())
        if (req.value("status", 0) == 200) boundaries.push_back(servicerecord::clientContentType(req));
    ASSERT_GE(boundaries.size(), 2u);
    const std::string& last = boundaries[boundaries.size() - 1];
    const std::string& previous = boundaries[boundaries.size() - 2];
    EXPECT_TRUE(last.starts_with("multipart/form-data; boundary=----iOSURLSessionBoundary.")) << last;
    EXPECT_NE(last, previous);
}

TEST_F(SBAuthService, TraceShowsUrlAndUserButMasksThePassword) {
    testing::internal::CaptureStdout();
    const auto outcome = login(kUser, kPassword, true);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(outcome, SBAuth::Outcome::Accepted);
    EXPECT_NE(out.find(Constants::AuthHostURL + "\n" + kUser + "\n********\n"), std::string::npos) << out;
    EXPECT_EQ(out.find(kPassword), std::string::npos) << out;
    EXPECT_NE(out.find("{\"code\":0}"), std::string::npos) << out;
}

TEST_F(SBAuthService, RefusedAccountAlertsOnlyWhenNotSilent) {
    EXPECT_EQ(login(kUser, "wrong", true), SBAuth::Outcome::Refused);
    EXPECT_TRUE(alerts.shown.isEmpty());
    expectLoginWindowShown();

    host->loginWindow->hide();
    EXPECT_EQ(login(kUser, "wrong", false), SBAuth::Outcome::Refused);
    expectAlert("認証に失敗しました");
    expectLoginWindowShown();
}

TEST_F(SBAuthService, ServiceCodeOtherThanZeroIsRefused) {
    service->setFaults("login-code=2");
    EXPECT_EQ(login(kUser, kPassword, false), SBAuth::Outcome::Refused);
    expectAlert("認証に失敗しました");
    expectLoginWindowShown();
}

TEST_F(SBAuthService, HtmlAnswerCountsAsFailedLogin) {
    service->setFaults("login-html");
    EXPECT_EQ(login(kUser, kPassword, true), SBAuth::Outcome::NotJson);
    EXPECT_TRUE(alerts.shown.isEmpty());
    expectLoginWindowShown();

    EXPECT_EQ(login(kUser, kPassword, false), SBAuth::Outcome::NotJson);
    expectAlert("認証に失敗しました");
}

TEST_F(SBAuthService, DroppedConnectionIsNoAnswer) {
    service->setFaults("refuse@/tavro_cm/auth");
    EXPECT_EQ(login(kUser, kPassword, false), SBAuth::Outcome::NoAnswer);
    expectAlert("認証できません");
    expectLoginWindowShown();
}

TEST_F(SBAuthService, SlowServiceTimesOut) {
    LoginTransport::Limits limits;
    limits.totalTimeout = std::chrono::milliseconds(1500);
    LoginTransport::setLimits(limits);
    service->setFaults("delay=8000@/tavro_cm/auth");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(login(kUser, kPassword, true), SBAuth::Outcome::NoAnswer);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_TRUE(alerts.shown.isEmpty());
    expectLoginWindowShown();
}

TEST_F(SBAuthService, StoppedServiceIsNoAnswer) {
    LocalService gone;
    ASSERT_TRUE(gone.start());
    const std::string host = gone.host;
    gone.stop();
    Constants::AuthHostURL = Constants::authURLForHost(host);

    EXPECT_EQ(login(kUser, kPassword, true), SBAuth::Outcome::NoAnswer);
    EXPECT_TRUE(alerts.shown.isEmpty());
    expectLoginWindowShown();

    EXPECT_EQ(login(kUser, kPassword, false), SBAuth::Outcome::NoAnswer);
    expectAlert("認証できません");
}

TEST_F(SBAuthService, UntrustedCertificateIsNotAccepted) {
    ::unsetenv("TAVROVPN_CA_FILE");
    const size_t before = recordedLogins().size();
    EXPECT_EQ(login(kUser, kPassword, true), SBAuth::Outcome::NoAnswer);
    EXPECT_EQ(recordedLogins().size(), before) << "no request after a failed handshake";
}

TEST_F(SBAuthService, EmptyUserOrPasswordSendsNothing) {
    const size_t before = recordedCount();
    EXPECT_EQ(login("", kPassword, false), SBAuth::Outcome::NotSent);
    expectLoginWindowShown();
    host->loginWindow->hide();
    EXPECT_EQ(login(kUser, "", false), SBAuth::Outcome::NotSent);
    expectLoginWindowShown();
    EXPECT_TRUE(alerts.shown.isEmpty());
    EXPECT_EQ(recordedCount(), before);
}

TEST_F(SBAuthService, UnusableEndpointCountsAsRefused) {
    Constants::AuthHostURL = "http://" + service->host + "/tavro_cm/auth";
    const size_t before = recordedCount();
    EXPECT_EQ(login(kUser, kPassword, false), SBAuth::Outcome::Refused);
    expectAlert("認証に失敗しました");
    expectLoginWindowShown();
    EXPECT_EQ(recordedCount(), before);
}

TEST_F(SBAuthService, ConcurrentAttemptsEachCompleteAndHandOverOnce) {
    service->setFaults("delay=300@/tavro_cm/auth");
    host->authUsername = kUser;
    host->authPassword = kPassword;
    for (int i = 0; i < 3; ++i)
        (new SBAuth())->doLoginSession(false);
    ASSERT_TRUE(waitForOutcomes(3));
    // A moment more: a duplicate completion would show here.
    const auto settle = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < settle)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(outcomes, std::vector<SBAuth::Outcome>(3, SBAuth::Outcome::Accepted));
    EXPECT_EQ(host->logIns, 3);
    EXPECT_TRUE(host->isLoggin);
    EXPECT_FALSE(host->loginWindow->isVisible());
}

} // namespace
