// The real tavro-service binary on a loopback port, driven with libcurl the way the client drives it.
#include "LocalService.h"

#include "tools/service/RequestRecorder.h"

#include <curl/curl.h>
#include <expat.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace {

struct Reply {
    CURLcode code{CURLE_OK};
    long status{0};
    std::string body;
    std::string headers;
};

size_t append(char* data, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
}

struct RequestOptions {
    std::string postBody;
    bool post{false};
    std::vector<std::string> headers;
    std::string digestUserPwd;
    long timeoutMs{10000};
};

Reply fetchUrl(const std::string& url, const std::string& caFile, const RequestOptions& o = {}) {
    Reply r;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, o.timeoutMs);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, append);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &r.headers);
    curl_slist* list = nullptr;
    for (const auto& h : o.headers)
        list = curl_slist_append(list, h.c_str());
    if (list) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    if (o.post) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, o.postBody.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(o.postBody.size()));
    }
    if (!o.digestUserPwd.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_DIGEST);
        curl_easy_setopt(curl, CURLOPT_USERPWD, o.digestUserPwd.c_str());
    }
    r.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &r.status);
    curl_slist_free_all(list);
    curl_easy_cleanup(curl);
    return r;
}

Reply fetch(const LocalService& svc, const std::string& path, const RequestOptions& o = {}) {
    return fetchUrl(svc.url(path), svc.caFile, o);
}

constexpr const char* endpointCredential = "tavroapi_user:R3+8%MpT";
constexpr const char* boundary = "----iOSURLSessionBoundary.1a2b3c4d00ff00ff";

std::string loginBody(const std::string& id, const std::string& password) {
    const std::string b = boundary;
    return "--" + b + "\r\nContent-Disposition: form-data; name=\"id\"\r\n\r\n" + id + "\r\n--" + b +
           "\r\nContent-Disposition: form-data; name=\"password\"\r\n\r\n" + password + "\r\n--" + b +
           "--\r\n";
}

// The login request as the client builds it, answered through the Digest exchange.
Reply login(const LocalService& svc, const std::string& id, const std::string& password,
            const std::string& credential = endpointCredential) {
    RequestOptions o;
    o.post = true;
    o.postBody = loginBody(id, password);
    o.headers = {std::string("Content-Type: multipart/form-data; boundary=") + boundary, "Accept: */*",
                 "User-Agent: curl"};
    o.digestUserPwd = credential;
    return fetch(svc, "/tavro_cm/auth", o);
}

int jsonCode(const std::string& body) {
    const auto j = nlohmann::json::parse(body, nullptr, false);
    return j.is_object() && j.contains("code") && j["code"].is_number_integer() ? j["code"].get<int>() : -999;
}

struct XmlSummary {
    bool wellFormed{false};
    std::vector<std::pair<std::string, std::map<std::string, std::string>>> elements;
};

XmlSummary parseXml(const std::string& text) {
    XmlSummary s;
    XML_Parser p = XML_ParserCreate(nullptr);
    XML_SetUserData(p, &s);
    XML_SetStartElementHandler(p, [](void* ud, const XML_Char* name, const XML_Char** atts) {
        std::map<std::string, std::string> attrs;
        for (int i = 0; atts[i]; i += 2)
            attrs[atts[i]] = atts[i + 1];
        static_cast<XmlSummary*>(ud)->elements.emplace_back(name, std::move(attrs));
    });
    s.wellFormed = XML_Parse(p, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(p);
    return s;
}

std::vector<nlohmann::json> readRecord(const std::string& file) {
    std::vector<nlohmann::json> lines;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(nlohmann::json::parse(line));
    return lines;
}

class ServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        // The build directory is also compiled in, for runs without the ctest environment.
        setenv("TAVROVPN_BINARY_DIR", TAVRO_SERVICE_BINARY_DIR, 0);
    }
    void start(std::vector<std::string> args = {}) {
        svc_ = std::make_unique<LocalService>(std::move(args));
        ASSERT_TRUE(svc_->start()) << "tavro-service did not become ready";
    }
    const LocalService& svc() const { return *svc_; }

    std::unique_ptr<LocalService> svc_;
};

} // namespace

TEST_F(ServiceTest, EveryEndpointAnswers) {
    start();
    const Reply list = fetch(svc(), "/support/vpn/tavrovpn/serverlist.xml");
    ASSERT_EQ(list.code, CURLE_OK) << curl_easy_strerror(list.code);
    EXPECT_EQ(list.status, 200);
    const XmlSummary xml = parseXml(list.body);
    EXPECT_TRUE(xml.wellFormed);

    const Reply update = fetch(svc(), "/support/vpn/tavrovpn/app_update.xml");
    EXPECT_EQ(update.status, 200);
    EXPECT_EQ(update.body.find("@BASE_URL@"), std::string::npos);
    EXPECT_NE(update.body.find("https://" + svc().host + "/support/vpn/tavrovpn/download.html"),
              std::string::npos);

    const Reply remote = fetch(svc(), "/support/vpn/cgi-bin/remote.cgi");
    EXPECT_EQ(remote.status, 200);
    const auto first = remote.body.find(':');
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(remote.body.substr(first + 1, remote.body.find(':', first + 1) - first - 1), "127.0.0.1");

    const Reply help = fetch(svc(), "/support/vpn/tavrovpn/forward/01.html");
    EXPECT_EQ(help.status, 200);
    EXPECT_NE(help.body.find("パスワード"), std::string::npos);
    EXPECT_NE(help.headers.find("text/html; charset=utf-8"), std::string::npos);

    const Reply ovpn = fetch(svc(), "/support/vpn/openvpn/file/127_0_10_1.ovpn");
    EXPECT_EQ(ovpn.status, 200);
    EXPECT_NE(ovpn.body.find("remote 127.0.10.1"), std::string::npos);

    EXPECT_EQ(fetch(svc(), "/support/vpn/tavrovpn/nothing.xml").status, 404);
    EXPECT_EQ(fetch(svc(), "/").status, 404);
}

TEST_F(ServiceTest, DemoServerListFollowsTheRegionNumbering) {
    start();
    const XmlSummary xml = parseXml(fetch(svc(), "/support/vpn/tavrovpn/serverlist.xml").body);
    ASSERT_TRUE(xml.wellFormed);
    std::vector<std::string> regions;
    std::map<std::string, int> ovpnPerRegion, ocPerRegion;
    for (const auto& [name, attrs] : xml.elements) {
        if (name == "Region") {
            EXPECT_EQ(attrs.at("No"), std::to_string(regions.size()))
                << "regions are numbered in document order";
            regions.push_back(attrs.at("Region"));
        } else if (name == "Server" || name == "OCServer") {
            for (const char* a : {"Server", "Region", "Port", "Status", "Type"})
                EXPECT_TRUE(attrs.count(a)) << a;
            (name == "Server" ? ovpnPerRegion : ocPerRegion)[attrs.at("Region")]++;
        }
    }
    ASSERT_GE(regions.size(), 8u);
    EXPECT_EQ(regions[0], "日本");
    EXPECT_NE(std::find(regions.begin(), regions.end(), "モンゴル"), regions.end());
    for (std::size_t i = 0; i < regions.size(); ++i) {
        EXPECT_GE(ovpnPerRegion[std::to_string(i)], 1) << regions[i];
        EXPECT_GE(ocPerRegion[std::to_string(i)], 1) << regions[i];
    }
    EXPECT_EQ(ovpnPerRegion.size(), regions.size()) << "no server names a region that does not exist";
}

TEST_F(ServiceTest, UpdateFilesCarryTheCurrentAndANewerVersion) {
    start();
    auto macVersion = [](const std::string& body) {
        for (const auto& [name, attrs] : parseXml(body).elements)
            if (name == "MacOS") return attrs.at("LatestVersion");
        return std::string();
    };
    EXPECT_EQ(macVersion(fetch(svc(), "/support/vpn/tavrovpn/app_update.xml").body), TAVROVPN_VERSION);

    start({"--update-file", "app_update_new.xml"});
    const Reply r = fetch(svc(), "/support/vpn/tavrovpn/app_update.xml");
    EXPECT_NE(macVersion(r.body), TAVROVPN_VERSION);
    EXPECT_NE(r.body.find("<Message text="), std::string::npos);
    EXPECT_NE(r.body.find("https://" + svc().host + "/support/vpn/tavrovpn/news.html"), std::string::npos);
    EXPECT_EQ(fetch(svc(), "/support/vpn/tavrovpn/news.html").status, 200);
}

TEST_F(ServiceTest, LoginNeedsTheEndpointCredentialAndAnswersPerAccount) {
    start({"--account", "tb000009:パスワード:1"});
    Reply ok = login(svc(), "tb000001", "secret1");
    ASSERT_EQ(ok.code, CURLE_OK) << curl_easy_strerror(ok.code);
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(jsonCode(ok.body), 0) << ok.body;
    EXPECT_EQ(jsonCode(login(svc(), "tb000009", "パスワード:1").body), 0);
    EXPECT_EQ(jsonCode(login(svc(), "tb000001", "secret2").body), 1);
    EXPECT_EQ(jsonCode(login(svc(), "nobody", "secret1").body), 1);

    const Reply wrong = login(svc(), "tb000001", "secret1", "tavroapi_user:R3+8%MpX");
    EXPECT_EQ(wrong.status, 401);
    EXPECT_NE(wrong.headers.find("WWW-Authenticate: Digest realm=\"Private Area\""), std::string::npos);
    EXPECT_NE(jsonCode(wrong.body), 0);

    RequestOptions plain;
    plain.post = true;
    plain.postBody = loginBody("tb000001", "secret1");
    plain.headers = {std::string("Content-Type: multipart/form-data; boundary=") + boundary};
    EXPECT_EQ(fetch(svc(), "/tavro_cm/auth", plain).status, 401);
    plain.digestUserPwd = endpointCredential;
    plain.headers = {"Content-Type: text/plain"};
    const Reply notMultipart = fetch(svc(), "/tavro_cm/auth", plain);
    EXPECT_EQ(notMultipart.status, 400);
    EXPECT_EQ(jsonCode(notMultipart.body), 1);

    plain.postBody.assign(2 * 1024 * 1024, 'x');
    EXPECT_EQ(fetch(svc(), "/tavro_cm/auth", plain).status, 413);
    EXPECT_EQ(jsonCode(login(svc(), "tb000001", "secret1").body), 0);
}

TEST_F(ServiceTest, OvpnNamesCannotLeaveTheConfigurationFolder) {
    start();
    for (const char* path :
         {"/support/vpn/openvpn/file/..%2F..%2F..%2Fetc%2Fpasswd",
          "/support/vpn/openvpn/file/..%2Fdata%2Fovpn%2F127_0_10_1.ovpn",
          "/support/vpn/openvpn/file/%2E%2E.ovpn", "/support/vpn/openvpn/file/",
          "/support/vpn/openvpn/file/127_0_10_1.ovpn%00.txt", "/support/vpn/openvpn/file/203_0_113_9.ovpn"})
        EXPECT_EQ(fetch(svc(), path).status, 404) << path;

    char tmpl[] = "/tmp/tavro-svc-ovpn-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    std::ofstream(dir + "/fixture.ovpn") << "remote 10.213.0.2 1194\n";
    start({"--ovpn-dir", dir, "--ovpn-default", dir + "/fixture.ovpn"});
    EXPECT_EQ(fetch(svc(), "/support/vpn/openvpn/file/203_0_113_9.ovpn").body, "remote 10.213.0.2 1194\n");
    EXPECT_EQ(fetch(svc(), "/support/vpn/openvpn/file/..%2Ffixture.ovpn").status, 404);
    EXPECT_EQ(fetch(svc(), "/support/vpn/openvpn/file/a%20b.ovpn").status, 404);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

TEST_F(ServiceTest, HostOptionsSendEveryServerToTheFixtures) {
    start({"--openvpn-host", "10.213.0.2", "--openconnect-host", "10.214.0.2"});
    const XmlSummary xml = parseXml(fetch(svc(), "/support/vpn/tavrovpn/serverlist.xml").body);
    ASSERT_TRUE(xml.wellFormed);
    int servers = 0;
    for (const auto& [name, attrs] : xml.elements) {
        if (name == "Server" || name == "OCServer") {
            EXPECT_EQ(attrs.at("Server"), name == "Server" ? "10.213.0.2" : "10.214.0.2");
            ++servers;
        }
    }
    EXPECT_GT(servers, 10);
}

TEST_F(ServiceTest, RefuseTakesTheListenerDownAndBack) {
    start();
    svc().setFaults("refuse");
    // The first request may still reach the listener before it closes; it gets no answer either way.
    EXPECT_NE(fetch(svc(), "/support/vpn/cgi-bin/remote.cgi").code, CURLE_OK);
    CURLcode code = CURLE_OK;
    for (int i = 0; i < 100 && code != CURLE_COULDNT_CONNECT; ++i) {
        code = fetch(svc(), "/support/vpn/cgi-bin/remote.cgi").code;
        if (code != CURLE_COULDNT_CONNECT) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(code, CURLE_COULDNT_CONNECT);

    svc().setFaults("");
    long status = 0;
    for (int i = 0; i < 100 && status != 200; ++i) {
        status = fetch(svc(), "/support/vpn/cgi-bin/remote.cgi").status;
        if (status != 200) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(status, 200) << "the listener came back on the same port";
}

TEST_F(ServiceTest, RefuseFromTheCommandLineHoldsFromTheStart) {
    start({"--fault", "refuse"});
    EXPECT_EQ(fetch(svc(), "/support/vpn/cgi-bin/remote.cgi").code, CURLE_COULDNT_CONNECT);
}

TEST_F(ServiceTest, PathFaultsHitOnlyTheirPath) {
    start();
    svc().setFaults("refuse@/support/vpn/tavrovpn/serverlist.xml\nstatus=500@/support/vpn/openvpn/file/*\n"
                    "broken-xml@/support/vpn/tavrovpn/app_update.xml\n");
    EXPECT_EQ(fetch(svc(), "/support/vpn/tavrovpn/serverlist.xml").code, CURLE_GOT_NOTHING);
    EXPECT_EQ(fetch(svc(), "/support/vpn/openvpn/file/127_0_10_1.ovpn").status, 500);
    const Reply update = fetch(svc(), "/support/vpn/tavrovpn/app_update.xml");
    EXPECT_EQ(update.status, 200);
    EXPECT_FALSE(parseXml(update.body).wellFormed);
    EXPECT_FALSE(update.body.empty());
    EXPECT_EQ(fetch(svc(), "/support/vpn/cgi-bin/remote.cgi").status, 200);
    EXPECT_EQ(jsonCode(login(svc(), "tb000001", "secret1").body), 0);

    svc().setFaults("broken-xml");
    EXPECT_FALSE(parseXml(fetch(svc(), "/support/vpn/tavrovpn/serverlist.xml").body).wellFormed);
    svc().setFaults("");
    EXPECT_TRUE(parseXml(fetch(svc(), "/support/vpn/tavrovpn/serverlist.xml").body).wellFormed);
}

TEST_F(ServiceTest, DelayHoldsTheAnswerBack) {
    start({"--fault", "delay=1500@/support/vpn/cgi-bin/remote.cgi"});
    RequestOptions impatient;
    impatient.timeoutMs = 300;
    EXPECT_EQ(fetch(svc(), "/support/vpn/cgi-bin/remote.cgi", impatient).code, CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(fetch(svc(), "/support/vpn/tavrovpn/app_update.xml", impatient).status, 200);
    EXPECT_EQ(fetch(svc(), "/support/vpn/cgi-bin/remote.cgi").status, 200);
}

TEST_F(ServiceTest, LoginFaultsChangeOnlyTheAnswer) {
    start();
    svc().setFaults("login-html");
    const Reply html = login(svc(), "tb000001", "secret1");
    EXPECT_EQ(html.status, 200);
    EXPECT_TRUE(nlohmann::json::parse(html.body, nullptr, false).is_discarded());
    EXPECT_NE(html.body.find("<html"), std::string::npos);

    svc().setFaults("login-code=7");
    EXPECT_EQ(jsonCode(login(svc(), "tb000001", "secret1").body), 7);
    svc().setFaults("login-code");
    EXPECT_EQ(jsonCode(login(svc(), "tb000001", "secret1").body), 1);
    // The endpoint credential is still checked while a login fault is on.
    EXPECT_EQ(login(svc(), "tb000001", "secret1", "tavroapi_user:x").status, 401);
}

TEST_F(ServiceTest, RecordHoldsTheExactLoginBytes) {
    char tmpl[] = "/tmp/tavro-svc-rec-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string file = dir + "/requests.jsonl";
    start({"--record", file});
    const std::string body = loginBody("tb000001", "秘密\x01");
    ASSERT_EQ(login(svc(), "tb000001", "秘密\x01").status, 200);

    const auto lines = readRecord(file);
    ASSERT_EQ(lines.size(), 2u) << "the Digest challenge, then the authorised request";
    EXPECT_EQ(lines[0]["status"], 401);
    const auto& last = lines[1];
    EXPECT_EQ(last["status"], 200);
    EXPECT_EQ(last["method"], "POST");
    EXPECT_EQ(last["path"], "/tavro_cm/auth");
    EXPECT_EQ(last["body_base64"], RequestRecorder::base64(body));
    EXPECT_EQ(last["body"], body);
    std::map<std::string, std::string> headers;
    for (const auto& h : last["headers"])
        headers[h[0]] = h[1];
    EXPECT_EQ(headers["Content-Type"], std::string("multipart/form-data; boundary=") + boundary);
    EXPECT_EQ(headers["Content-Length"], std::to_string(body.size()));
    EXPECT_EQ(headers["User-Agent"], "curl");
    EXPECT_EQ(headers.count("X-Tavro-Service-Content-Type"), 0u);
    EXPECT_EQ(headers.count("REMOTE_ADDR"), 0u);
    EXPECT_EQ(headers["Authorization"].rfind("Digest ", 0), 0u);
    svc_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

TEST_F(ServiceTest, ExitsCleanlyOnSigterm) {
    char tmpl[] = "/tmp/tavro-svc-term-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    std::vector<std::string> args{LocalService::binary(), "--listen", "127.0.0.1:0",
                                  "--state-dir",          dir,        "--fault",
                                  "delay=60000@/slow"};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    std::string host;
    for (int i = 0; i < 200 && host.empty(); ++i) {
        std::ifstream ready(dir + "/ready");
        for (std::string line; std::getline(ready, line);)
            if (line.rfind("host=", 0) == 0) host = line.substr(5);
        if (host.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_FALSE(host.empty());
    // A request held by the delay fault must not hold up the exit.
    Reply slow;
    std::thread client([&] { slow = fetchUrl("https://" + host + "/slow", dir + "/ca.pem"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int status = -1;
    pid_t done = 0;
    for (int i = 0; i < 100 && done == 0; ++i) {
        done = waitpid(pid, &status, WNOHANG);
        if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        client.join();
        FAIL() << "tavro-service did not stop on SIGTERM";
    }
    client.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(std::filesystem::exists(dir + "/ready"));
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

TEST_F(ServiceTest, DualStackListenerReportsIPv4CallersInIPv4Form) {
    start({"--listen", "[::]:0"});
    const Reply r = fetchUrl(
        "https://127.0.0.1:" + std::to_string(svc().port) + "/support/vpn/cgi-bin/remote.cgi", svc().caFile);
    ASSERT_EQ(r.code, CURLE_OK) << curl_easy_strerror(r.code);
    EXPECT_EQ(r.body, "REMOTE_ADDR:127.0.0.1:OK");
}

TEST_F(ServiceTest, EndsWhenItsParentEnds) {
    char tmpl[] = "/tmp/tavro-svc-orphan-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string ready = dir + "/ready";
    // An intermediate process starts the service, waits until it is ready and dies without stopping it.
    const pid_t middle = fork();
    ASSERT_GE(middle, 0);
    if (middle == 0) {
        std::string bin = LocalService::binary(), listen = "127.0.0.1:0", state = dir;
        char* argv[] = {bin.data(),    const_cast<char*>("--listen"),
                        listen.data(), const_cast<char*>("--state-dir"),
                        state.data(),  nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) != 0) _exit(2);
        for (int i = 0; i < 200 && access(ready.c_str(), F_OK) != 0; ++i)
            usleep(50000);
        _exit(access(ready.c_str(), F_OK) == 0 ? 0 : 3);
    }
    int status = -1;
    ASSERT_EQ(waitpid(middle, &status, 0), middle);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the service never became ready";

    // Only a clean exit removes the ready file.
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        gone = !std::filesystem::exists(ready);
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(gone) << "the orphaned service kept running";
    if (!gone) {
        std::ifstream in(ready);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("pid=", 0) == 0) kill(std::stoi(line.substr(4)), SIGKILL);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}
