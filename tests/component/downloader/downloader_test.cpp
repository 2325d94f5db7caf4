#include "app/service/FileDownloader.h"
#include "app/service/PublicAddressQuery.h"
#include "app/service/ServerCertificate.h"

#include "TempDir.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

struct Result {
    int calls = 0;
    std::string path;
    std::optional<DownloadError> error;
};

Result download(const std::string& url) {
    Result r;
    FileDownloader::loadFileSync(url,
                                 [&](const std::string& path, const std::optional<DownloadError>& error) {
                                     ++r.calls;
                                     r.path = path;
                                     r.error = error;
                                 });
    return r;
}

bool run(const std::string& cmd) {
    return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

// A throwaway CA, a server certificate for 127.0.0.1 signed by it and one it signed for another name.
bool makeCertificates(const std::string& d) {
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    writeText(d + "/ext.cnf", "subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n"
                              "extendedKeyUsage=serverAuth\n");
    writeText(d + "/wrong.cnf", "subjectAltName=DNS:other.example\n");
    return run("openssl req -x509 " + ec + " -keyout " + d + "/ca.key -out " + d +
               "/ca.pem -days 2 -subj /CN=TavroTestCA -addext basicConstraints=critical,CA:TRUE") &&
           run("openssl req -x509 " + ec + " -keyout " + d + "/other.key -out " + d +
               "/other.pem -days 2 -subj /CN=OtherCA -addext basicConstraints=critical,CA:TRUE") &&
           run("openssl req " + ec + " -keyout " + d + "/srv.key -out " + d +
               "/srv.csr -subj /CN=127.0.0.1") &&
           run("openssl x509 -req -in " + d + "/srv.csr -CA " + d + "/ca.pem -CAkey " + d +
               "/ca.key -CAcreateserial -out " + d + "/srv.pem -days 2 -extfile " + d + "/ext.cnf") &&
           run("openssl req " + ec + " -keyout " + d + "/wrong.key -out " + d +
               "/wrong.csr -subj /CN=other.example") &&
           run("openssl x509 -req -in " + d + "/wrong.csr -CA " + d + "/ca.pem -CAkey " + d +
               "/ca.key -CAcreateserial -out " + d + "/wrong.pem -days 2 -extfile " + d + "/wrong.cnf");
}

int unusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd); // nothing listens there now
    return ntohs(a.sin_port);
}

class DownloaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(makeCertificates(certs.path())) << "openssl could not make the test certificates";
        ::setenv("XDG_CACHE_HOME", cache().c_str(), 1);
        ::setenv("TAVROVPN_CA_FILE", certs.file("ca.pem").c_str(), 1);
        FileDownloader::setLimits(
            {std::chrono::milliseconds(5000), std::chrono::milliseconds(5000), 1u << 20});

        server = std::make_unique<httplib::SSLServer>(certs.file("srv.pem").c_str(),
                                                      certs.file("srv.key").c_str());
        ASSERT_TRUE(server->is_valid());
        server->Get(R"(/files/(.+))", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mu);
            auto it = files.find(req.matches[1]);
            if (it == files.end()) {
                res.status = 404;
                res.set_content("not found", "text/plain");
            } else {
                res.set_content(it->second, "application/xml");
            }
        });
        server->Get(R"(/status/(\d+)/(.+))", [](const httplib::Request& req, httplib::Response& res) {
            res.status = std::stoi(req.matches[1]);
            res.set_content("<html>error page</html>", "text/html");
        });
        server->Get(R"(/slow/(.+))", [this](const httplib::Request&, httplib::Response& res) {
            for (int i = 0; i < 200 && !stopping; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
            res.set_content("late", "text/plain");
        });
        server->Get(R"(/big/(.+))", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(2u << 20, 'x'), "application/octet-stream");
        });
        server->Get(R"(/moved/(.+))", [](const httplib::Request& req, httplib::Response& res) {
            res.set_redirect("/files/" + std::string(req.matches[1]));
        });
        port = server->bind_to_any_port("127.0.0.1");
        ASSERT_GT(port, 0);
        thread = std::thread([this] { server->listen_after_bind(); });
        for (int i = 0; i < 200 && !server->is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    void TearDown() override {
        stopping = true;
        if (server) server->stop();
        if (thread.joinable()) thread.join();
        ::unsetenv("TAVROVPN_CA_FILE");
        FileDownloader::setLimits({});
    }

    std::string cache() const { return home.file("cache"); }
    std::string url(const std::string& path) const {
        return "https://127.0.0.1:" + std::to_string(port) + path;
    }
    void publish(const std::string& name, const std::string& body) {
        std::lock_guard lock(mu);
        files[name] = body;
    }

    TempDir certs, home;
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
    std::atomic<bool> stopping{false};
    int port = 0;
    std::mutex mu;
    std::map<std::string, std::string> files;
};

TEST_F(DownloaderTest, SavesIntoTheCachesFolder) {
    publish("serverlist.xml", "<ServerList/>");
    testing::internal::CaptureStdout();
    Result r = download(url("/files/serverlist.xml?lang=ja#top"));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.calls, 1);
    EXPECT_FALSE(r.error.has_value());
    EXPECT_EQ(r.path, cache() + "/serverlist.xml");
    EXPECT_EQ(readText(r.path), "<ServerList/>");
    EXPECT_EQ(out, "file saved [" + r.path + "]\n");
    EXPECT_FALSE(std::filesystem::exists(r.path + ".tmp"));
}

TEST_F(DownloaderTest, SecondDownloadKeepsTheEarlierCopyAsTmp) {
    publish("app_update.xml", "first");
    ASSERT_FALSE(download(url("/files/app_update.xml")).error);
    publish("app_update.xml", "second");
    testing::internal::CaptureStdout();
    Result r = download(url("/moved/app_update.xml"));
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_FALSE(r.error);
    EXPECT_EQ(readText(r.path), "second");
    EXPECT_EQ(readText(r.path + ".tmp"), "first");
    EXPECT_EQ(out, "file already exists [" + r.path + "]\nfile saved [" + r.path + "]\n");

    publish("app_update.xml", "third"); // the older backup is replaced, not accumulated
    ASSERT_FALSE(download(url("/files/app_update.xml")).error);
    EXPECT_EQ(readText(r.path + ".tmp"), "second");
}

TEST_F(DownloaderTest, HttpErrorStatusIsADownloadError) {
    publish("serverlist.xml", "good copy");
    ASSERT_FALSE(download(url("/files/serverlist.xml")).error);
    for (const char* path :
         {"/status/500/serverlist.xml", "/status/404/serverlist.xml", "/files/missing.xml"}) {
        SCOPED_TRACE(path);
        Result r = download(url(path));
        EXPECT_EQ(r.calls, 1);
        ASSERT_TRUE(r.error.has_value());
        EXPECT_EQ(r.error->domain, "Error downloading file");
        EXPECT_EQ(r.error->code, 1002);
    }
    // The error page never replaced the file; the good copy is the backup.
    EXPECT_FALSE(std::filesystem::exists(cache() + "/serverlist.xml"));
    EXPECT_EQ(readText(cache() + "/serverlist.xml.tmp"), "good copy");
}

TEST_F(DownloaderTest, RefusedConnectionIsADownloadError) {
    Result r = download("https://127.0.0.1:" + std::to_string(unusedPort()) + "/serverlist.xml");
    EXPECT_EQ(r.calls, 1);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code, 1002);
    EXPECT_EQ(r.path, cache() + "/serverlist.xml");
}

TEST_F(DownloaderTest, SlowServerIsCutAtTheTimeLimit) {
    FileDownloader::setLimits({std::chrono::milliseconds(2000), std::chrono::milliseconds(400), 1u << 20});
    Result r = download(url("/slow/serverlist.xml"));
    EXPECT_EQ(r.calls, 1);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code, 1002);
}

TEST_F(DownloaderTest, OversizedBodyIsRefused) {
    Result r = download(url("/big/blob.bin"));
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code, 1002);
    EXPECT_FALSE(std::filesystem::exists(cache() + "/blob.bin"));
}

TEST_F(DownloaderTest, UntrustedCertificateIsRejected) {
    publish("serverlist.xml", "x");
    ::unsetenv("TAVROVPN_CA_FILE"); // system store only
    Result r = download(url("/files/serverlist.xml"));
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code, 1002);

    ::setenv("TAVROVPN_CA_FILE", certs.file("other.pem").c_str(), 1);
    r = download(url("/files/serverlist.xml"));
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code, 1002);

    ::setenv("TAVROVPN_CA_FILE", certs.file("missing.pem").c_str(), 1);
    r = download(url("/files/serverlist.xml"));
    ASSERT_TRUE(r.error);

    // The right CA among others in the bundle is enough.
    writeText(certs.file("both.pem"), readText(certs.file("other.pem")) + readText(certs.file("ca.pem")));
    ::setenv("TAVROVPN_CA_FILE", certs.file("both.pem").c_str(), 1);
    EXPECT_FALSE(download(url("/files/serverlist.xml")).error);
}

// The certificate an OpenConnect server presents: its pin always, "CA-valid" only for a chain to a
// trusted CA that names the host.
TEST_F(DownloaderTest, ServerCertificateIsPinnedAndVerifiedForTheHost) {
    httplib::SSLServer other(certs.file("wrong.pem").c_str(), certs.file("wrong.key").c_str());
    const int otherPort = other.bind_to_any_port("127.0.0.1");
    std::thread otherThread([&] { other.listen_after_bind(); });
    enum Pin { None, Ours, Other };
    struct Case {
        const char* name;
        int port;
        const char* caFile;
        bool reached, caValid;
        Pin pin;
    } cases[] = {
        {"signed by the deployment CA", port, "ca.pem", true, true, Ours},
        {"system store only", port, nullptr, true, false, Ours},
        {"another CA", port, "other.pem", true, false, Ours},
        {"signed for another name", otherPort, "ca.pem", true, false, Other},
        {"nothing listens", unusedPort(), "ca.pem", false, false, None},
    };
    std::string pins[3];
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.caFile)
            ::setenv("TAVROVPN_CA_FILE", certs.file(c.caFile).c_str(), 1);
        else
            ::unsetenv("TAVROVPN_CA_FILE");
        const ServerCertificate seen = ServerCertificate::query("127.0.0.1", static_cast<unsigned>(c.port),
                                                                std::chrono::milliseconds(3000));
        EXPECT_EQ(seen.reached, c.reached) << seen.error;
        EXPECT_EQ(seen.caValid, c.caValid) << seen.error;
        EXPECT_EQ(seen.error.empty(), c.caValid);
        if (pins[c.pin].empty()) pins[c.pin] = seen.pin;
        EXPECT_EQ(seen.pin, pins[c.pin]);
    }
    EXPECT_EQ(pins[None], "");
    EXPECT_EQ(pins[Ours].size(), 44u); // base64 of a SHA-256 digest; its value is checked end to end
    EXPECT_NE(pins[Other], pins[Ours]);
    other.stop();
    otherThread.join();
}

TEST_F(DownloaderTest, UrlWithoutFileNameTouchesNothing) {
    std::filesystem::create_directories(cache());
    writeText(cache() + "/keep", "k");
    for (const std::string& bad :
         {url(""), url("/"), url("/.."), url("/a/%2e%2e"), url("/a%2Fb"), url("?x=/y")}) {
        SCOPED_TRACE(bad);
        Result r = download(bad);
        EXPECT_EQ(r.calls, 1);
        ASSERT_TRUE(r.error);
        EXPECT_EQ(r.error->code, 1002);
    }
    EXPECT_EQ(readText(cache() + "/keep"), "k");
    EXPECT_FALSE(std::filesystem::exists(home.file("cache.tmp")));
    EXPECT_FALSE(std::filesystem::exists(home.path() + "/.tmp"));
}

TEST_F(DownloaderTest, FolderAtTheDestinationIsLeftAlone) {
    publish("fontconfig", "data");
    std::filesystem::create_directories(cache() + "/fontconfig/sub");
    Result r = download(url("/files/fontconfig"));
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->domain, "Error saving file");
    EXPECT_EQ(r.error->code, 1001);
    EXPECT_TRUE(std::filesystem::is_directory(cache() + "/fontconfig/sub"));
    EXPECT_FALSE(std::filesystem::exists(cache() + "/fontconfig.tmp"));
    // No stray temporary files are left behind.
    size_t entries = 0;
    for (auto& e : std::filesystem::directory_iterator(cache()))
        entries += e.path().filename() != "fontconfig";
    EXPECT_EQ(entries, 0u);
}

TEST_F(DownloaderTest, RedirectFromHttpsToHttpIsRefused) {
    httplib::Server plain;
    plain.Get(R"(/files/(.+))", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("from the clear", "application/xml");
    });
    const int plainPort = plain.bind_to_any_port("127.0.0.1");
    ASSERT_GT(plainPort, 0);
    std::thread t([&] { plain.listen_after_bind(); });
    server->Get(R"(/downgrade/(.+))", [plainPort](const httplib::Request& req, httplib::Response& res) {
        res.set_redirect("http://127.0.0.1:" + std::to_string(plainPort) + "/files/" + std::string(req.matches[1]));
    });
    const std::string plainUrl = "http://127.0.0.1:" + std::to_string(plainPort) + "/files/serverlist.xml";
    for (int i = 0; i < 200 && !plain.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    Result downgraded = download(url("/downgrade/serverlist.xml"));
    EXPECT_TRUE(downgraded.error.has_value());
    EXPECT_FALSE(std::filesystem::exists(downgraded.path));
    // Plain http asked for as such still works.
    Result clear = download(plainUrl);
    EXPECT_FALSE(clear.error.has_value());
    EXPECT_EQ(readText(clear.path), "from the clear");
    plain.stop();
    t.join();
}

TEST_F(DownloaderTest, WorkerThreadsDownloadSideBySide) {
    publish("a.ovpn", std::string(100000, 'a'));
    publish("b.ovpn", std::string(100000, 'b'));
    Result ra, rb;
    std::thread ta([&] { ra = download(url("/files/a.ovpn")); });
    std::thread tb([&] { rb = download(url("/files/b.ovpn")); });
    ta.join();
    tb.join();
    ASSERT_FALSE(ra.error);
    ASSERT_FALSE(rb.error);
    EXPECT_EQ(readText(ra.path), std::string(100000, 'a'));
    EXPECT_EQ(readText(rb.path), std::string(100000, 'b'));
}

TEST(DestinationName, LastPathComponentOnly) {
    EXPECT_EQ(FileDownloader::destinationName("https://h/support/vpn/tavrovpn/serverlist.xml"),
              "serverlist.xml");
    EXPECT_EQ(FileDownloader::destinationName("https://h:8443/f/1_2_3_4.ovpn?x=1#y"), "1_2_3_4.ovpn");
    EXPECT_EQ(FileDownloader::destinationName("https://h/dir/"), "dir");
    EXPECT_EQ(FileDownloader::destinationName("https://h/a%20b.xml"), "a b.xml");
    EXPECT_EQ(FileDownloader::destinationName("https://h/a%zz"), "a%zz");
    EXPECT_EQ(FileDownloader::destinationName("https://h?q=/a.xml"), "");
    EXPECT_EQ(FileDownloader::destinationName("https://h#/a.xml"), "");
    EXPECT_EQ(FileDownloader::destinationName("https://h"), "");
    EXPECT_EQ(FileDownloader::destinationName("https://h/."), "");
    EXPECT_EQ(FileDownloader::destinationName("https://h/%2E%2E"), "");
    EXPECT_EQ(FileDownloader::destinationName("https://h/x%00y"), "");
    EXPECT_EQ(FileDownloader::destinationName(""), "");
}

TEST(PublicAddressBody, SecondFieldTrimmedOrNothing) {
    EXPECT_EQ(publicAddressFromBody("REMOTE_ADDR:203.0.113.7:OK"), "203.0.113.7");
    EXPECT_EQ(publicAddressFromBody("a:b:c"), "b");
    EXPECT_EQ(publicAddressFromBody("REMOTE_ADDR:203.0.113.7\r\n"), "203.0.113.7");
    EXPECT_EQ(publicAddressFromBody("x:"), "");
    EXPECT_EQ(publicAddressFromBody("no separator"), std::nullopt);
    EXPECT_EQ(publicAddressFromBody(""), std::nullopt);
    EXPECT_LE(publicAddressFromBody("a:" + std::string(100000, 'x'))->size(), 64u);
}

} // namespace
