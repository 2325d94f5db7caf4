// The pieces of tavro-service that decide what a request gets: Digest checks, multipart parsing, fault
// rules, the server-list rewrite, name validation, the command line and the test certificates.
#include "tools/service/Accounts.h"
#include "tools/service/DigestAuth.h"
#include "tools/service/FaultSet.h"
#include "tools/service/MultipartForm.h"
#include "tools/service/RequestRecorder.h"
#include "tools/service/ServerHostRewriter.h"
#include "tools/service/ServiceEndpoints.h"
#include "tools/service/ServiceOptions.h"
#include "tools/service/TestCertificates.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string nonceOf(const std::string& challenge) {
    const auto start = challenge.find("nonce=\"") + 7;
    return challenge.substr(start, challenge.find('"', start) - start);
}

std::string authorization(const std::string& nonce, const std::string& nc,
                          const std::string& uri = "/tavro_cm/auth", const std::string& password = "R3+8%MpT",
                          const std::string& user = "tavroapi_user") {
    const std::string response = DigestAuth::expectedResponse(user, "Private Area", password, "POST", uri,
                                                              nonce, nc, "0a4f113b", "auth");
    return "Digest username=\"" + user + "\", realm=\"Private Area\", nonce=\"" + nonce + "\", uri=\"" + uri +
           "\", algorithm=MD5, response=\"" + response + "\", qop=auth, nc=" + nc + ", cnonce=\"0a4f113b\"";
}

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/tavro-svc-parts-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

} // namespace

TEST(DigestAuth, MatchesTheRfc2617Example) {
    EXPECT_EQ(DigestAuth::expectedResponse("Mufasa", "testrealm@host.com", "Circle Of Life", "GET",
                                           "/dir/index.html", "dcd98b7102dd2f0e8b11d0f600bfb0c093",
                                           "00000001", "0a4f113b", "auth"),
              "6629fae49393a05397450978507c4ef1");
}

TEST(DigestAuth, AcceptsOnlyTheEndpointCredentialOnAnIssuedNonce) {
    DigestAuth auth("Private Area", "tavroapi_user", "R3+8%MpT");
    const std::string challenge = auth.challenge();
    EXPECT_NE(challenge.find("realm=\"Private Area\""), std::string::npos);
    EXPECT_NE(challenge.find("qop=\"auth\""), std::string::npos);
    const std::string nonce = nonceOf(challenge);
    ASSERT_EQ(nonce.size(), 32u);

    using R = DigestAuth::Result;
    EXPECT_EQ(
        auth.verify("POST", "/tavro_cm/auth", authorization(nonce, "00000001", "/tavro_cm/auth", "R3+8%MpU")),
        R::WrongResponse);
    EXPECT_EQ(auth.verify("POST", "/tavro_cm/auth",
                          authorization(nonce, "00000001", "/tavro_cm/auth", "R3+8%MpT", "someone")),
              R::WrongUser);
    EXPECT_EQ(auth.verify("POST", "/tavro_cm/auth", authorization(nonce, "00000001", "/other")), R::WrongUri);
    EXPECT_EQ(
        auth.verify("POST", "/tavro_cm/auth", authorization("0123456789abcdef0123456789abcdef", "00000001")),
        R::UnknownNonce);
    // The same credentials for another method do not fit: HA2 covers the method.
    EXPECT_EQ(auth.verify("GET", "/tavro_cm/auth", authorization(nonce, "00000001")), R::WrongResponse);

    EXPECT_EQ(auth.verify("POST", "/tavro_cm/auth", authorization(nonce, "00000001")), R::Ok);
    EXPECT_EQ(auth.verify("POST", "/tavro_cm/auth", authorization(nonce, "00000001")), R::Replayed);
    EXPECT_EQ(auth.verify("POST", "/tavro_cm/auth", authorization(nonce, "00000002")), R::Ok);
    EXPECT_EQ(auth.verify("POST", "/tavro_cm/auth", ""), R::Missing);
}

TEST(DigestAuth, ExpiredNonceIsStaleAndOldNoncesAreForgotten) {
    DigestAuth expiring("Private Area", "tavroapi_user", "R3+8%MpT", std::chrono::seconds(-1));
    const std::string nonce = nonceOf(expiring.challenge());
    EXPECT_EQ(expiring.verify("POST", "/tavro_cm/auth", authorization(nonce, "00000001")),
              DigestAuth::Result::Stale);
    EXPECT_NE(expiring.challenge(true).find("stale=true"), std::string::npos);

    DigestAuth auth("Private Area", "tavroapi_user", "R3+8%MpT");
    const std::string first = nonceOf(auth.challenge());
    for (std::size_t i = 0; i < DigestAuth::maxNonces; ++i)
        auth.challenge();
    EXPECT_EQ(auth.verify("POST", "/tavro_cm/auth", authorization(first, "00000001")),
              DigestAuth::Result::UnknownNonce);
}

TEST(DigestAuth, RefusesMalformedHeaders) {
    DigestAuth auth("Private Area", "tavroapi_user", "R3+8%MpT");
    const std::string nonce = nonceOf(auth.challenge());
    const std::string good = authorization(nonce, "00000001");
    using R = DigestAuth::Result;
    EXPECT_EQ(auth.verify("POST", "/tavro_cm/auth", "Basic dGF2cm9hcGlfdXNlcjpSMys4JU1wVA=="), R::Malformed);
    EXPECT_EQ(auth.verify("POST", "/tavro_cm/auth", "Digest username=\"tavroapi_user"), R::Malformed);
    EXPECT_EQ(auth.verify("POST", "/tavro_cm/auth", good + ", nonce=\"" + nonce + "\""), R::Malformed);
    EXPECT_EQ(auth.verify("POST", "/tavro_cm/auth", "Digest " + std::string(9000, 'a') + "=b"), R::Malformed);
    std::string sha = good;
    sha.replace(sha.find("algorithm=MD5"), 13, "algorithm=SHA-256");
    EXPECT_EQ(auth.verify("POST", "/tavro_cm/auth", sha), R::Malformed);
    std::string noQop = good;
    noQop.replace(noQop.find("qop=auth"), 8, "qop=auth-int");
    EXPECT_EQ(auth.verify("POST", "/tavro_cm/auth", noQop), R::Malformed);
    std::string badNc = good;
    badNc.replace(badNc.find("nc=00000001"), 11, "nc=0000001g");
    EXPECT_EQ(auth.verify("POST", "/tavro_cm/auth", badNc), R::Malformed);
    // None of the refused attempts used up the nonce count.
    EXPECT_EQ(auth.verify("POST", "/tavro_cm/auth", good), R::Ok);
}

TEST(DigestAuth, ParsesQuotedAndTokenParameters) {
    const auto p =
        DigestAuth::parseParams("digest  Username=\"a\\\"b\" ,realm=\"x,y\",nc=00000001,,  qop=auth");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->at("username"), "a\"b");
    EXPECT_EQ(p->at("realm"), "x,y");
    EXPECT_EQ(p->at("nc"), "00000001");
    EXPECT_EQ(p->at("qop"), "auth");
    EXPECT_FALSE(DigestAuth::parseParams("Digest a=b c=d"));
    EXPECT_FALSE(DigestAuth::parseParams("Digest =b"));
    EXPECT_FALSE(DigestAuth::parseParams("Digest a=\"b\\"));
}

TEST(MultipartForm, ReadsTheLoginBodyTheClientSends) {
    const std::string boundary = "----iOSURLSessionBoundary.0123abcd89abcdef";
    const std::string body =
        "--" + boundary + "\r\nContent-Disposition: form-data; name=\"id\"\r\n\r\ntb000001\r\n--" + boundary +
        "\r\nContent-Disposition: form-data; name=\"password\"\r\n\r\nse\r\n-cret\r\n--" + boundary +
        "--\r\n";
    const auto b = MultipartForm::boundaryFrom("multipart/form-data; boundary=" + boundary);
    ASSERT_TRUE(b);
    EXPECT_EQ(*b, boundary);
    const auto form = MultipartForm::parse(body, *b);
    ASSERT_TRUE(form);
    ASSERT_EQ(form->parts().size(), 2u);
    EXPECT_EQ(*form->field("id"), "tb000001");
    EXPECT_EQ(*form->field("password"), "se\r\n-cret");
    EXPECT_EQ(form->field("other"), nullptr);

    // Cut anywhere before the closing delimiter, the body is refused rather than half-read.
    for (std::size_t cut : {std::size_t{0}, std::size_t{10}, body.size() / 2, body.size() - 5})
        EXPECT_FALSE(MultipartForm::parse(body.substr(0, cut), boundary)) << cut;
    EXPECT_FALSE(MultipartForm::parse(body, "----iOSURLSessionBoundary.0000000000000000"));
}

TEST(MultipartForm, FindsTheBoundaryInContentType) {
    EXPECT_EQ(
        MultipartForm::boundaryFrom("Multipart/Form-Data; charset=utf-8; BOUNDARY=\"a b:c\"").value_or(""),
        "a b:c");
    EXPECT_FALSE(MultipartForm::boundaryFrom("multipart/form-data"));
    EXPECT_FALSE(MultipartForm::boundaryFrom("multipart/mixed; boundary=abc"));
    EXPECT_FALSE(MultipartForm::boundaryFrom("text/plain; boundary=abc"));
    EXPECT_FALSE(MultipartForm::boundaryFrom("multipart/form-data; boundary=" + std::string(71, 'x')));
    EXPECT_FALSE(MultipartForm::boundaryFrom("multipart/form-data; boundary=a\"b"));
    EXPECT_FALSE(MultipartForm::boundaryFrom("multipart/form-data; boundary=\"abc"));
}

TEST(MultipartForm, HandlesPreambleNamelessPartsAndTooManyParts) {
    const auto form = MultipartForm::parse(
        "preamble\r\n--xx\r\nX-Other: 1\r\n\r\ndata\r\n--xx\r\n\r\nbare\r\n--xx--", "xx");
    ASSERT_TRUE(form);
    ASSERT_EQ(form->parts().size(), 2u);
    EXPECT_EQ(form->parts()[0].name, "");
    EXPECT_EQ(form->parts()[0].headers.at("x-other"), "1");
    EXPECT_EQ(form->parts()[1].data, "bare");

    std::string many;
    for (std::size_t i = 0; i <= MultipartForm::maxParts; ++i)
        many += "--b\r\n\r\nx\r\n";
    EXPECT_FALSE(MultipartForm::parse(many + "--b--", "b"));
    EXPECT_FALSE(MultipartForm::parse("--b\r\nno colon here\r\n\r\nx\r\n--b--", "b"));
}

TEST(FaultSet, ParsesSpecsAndRefusesNonsense) {
    const auto delay = FaultSet::parseRule(" delay=250@/support/vpn/* ");
    ASSERT_TRUE(delay);
    EXPECT_EQ(delay->kind, FaultKind::Delay);
    EXPECT_EQ(delay->value, 250);
    EXPECT_TRUE(delay->appliesTo("/support/vpn/tavrovpn/serverlist.xml"));
    EXPECT_FALSE(delay->appliesTo("/tavro_cm/auth"));
    EXPECT_EQ(FaultSet::parseRule("login-code")->value, 1);
    EXPECT_EQ(FaultSet::parseRule("login-code=-3")->value, -3);
    const auto exact = FaultSet::parseRule("status=500@/a");
    EXPECT_TRUE(exact->appliesTo("/a"));
    EXPECT_FALSE(exact->appliesTo("/ab"));

    for (const char* bad :
         {"", "delay", "delay=-1", "delay=600001", "delay=12ms", "status=200", "status=600", "refuse=1",
          "broken-xml=2", "Refuse", "slow", "status=500@relative", "refuse@/a b"}) {
        std::string why;
        EXPECT_FALSE(FaultSet::parseRule(bad, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
}

TEST(FaultSet, ControlTextLastMatchWinsAndSkipsBadLines) {
    std::vector<std::string> errors;
    const auto set = FaultSet::parseText(
        "# faults\nstatus=500\n\nstatus=503@/x  # only here\nbogus\r\nrefuse@/y\n", &errors);
    ASSERT_EQ(set.faults().size(), 3u);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("line 5"), std::string::npos);
    EXPECT_EQ(set.find(FaultKind::Status, "/x")->value, 503);
    EXPECT_EQ(set.find(FaultKind::Status, "/z")->value, 500);
    EXPECT_EQ(set.find(FaultKind::Delay, "/x"), nullptr);
    EXPECT_FALSE(set.refusesAll());
    EXPECT_TRUE(FaultSet::parseText("refuse").refusesAll());
    EXPECT_EQ(FaultSet::parseText(set.toText()).toText(), set.toText());
}

TEST(ServerHostRewriter, ReplacesOnlyServerAttributesOfServerElements) {
    const std::string xml =
        "<L><!-- <Server Server=\"keep\"/> -->\n<Region Region=\"日本\" No=\"0\"/>"
        "<Server Region=\"0\" Server=\"1.2.3.4\" Port=\"1194\" Status=\"0\" Type=\"a>b\"/>"
        "<AddServer Server='5.6.7.8' Region=\"0\"/><OCServer\n Server = \"9.9.9.9\" Region=\"0\"/>"
        "<ServerX Server=\"x\"/><AuthServer Server=\"auth\"/></L>";
    const std::string out = ServerHostRewriter("10.213.0.2", "10.214.0.2").rewrite(xml);
    EXPECT_EQ(
        out, "<L><!-- <Server Server=\"keep\"/> -->\n<Region Region=\"日本\" No=\"0\"/>"
             "<Server Region=\"0\" Server=\"10.213.0.2\" Port=\"1194\" Status=\"0\" Type=\"a>b\"/>"
             "<AddServer Server='10.213.0.2' Region=\"0\"/><OCServer\n Server = \"10.214.0.2\" Region=\"0\"/>"
             "<ServerX Server=\"x\"/><AuthServer Server=\"auth\"/></L>");
    EXPECT_EQ(ServerHostRewriter("", "h").rewrite("<Server Server=\"a\"/>"), "<Server Server=\"a\"/>");
    // Broken input is passed through, never read past its end.
    for (const char* broken : {"<Server Server=\"a", "<Server Server=", "<Server", "<!-- <Server", "<"})
        EXPECT_EQ(ServerHostRewriter("h", "h").rewrite(broken), broken);

    EXPECT_TRUE(ServerHostRewriter::isValidHost("vpn-1.example.jp"));
    EXPECT_TRUE(ServerHostRewriter::isValidHost("[::1]"));
    for (const char* bad : {"", "a\"b", "a b", "a<b", "a&b", "a/b"})
        EXPECT_FALSE(ServerHostRewriter::isValidHost(bad));
}

TEST(ServiceEndpoints, OvpnNamesAreStrict) {
    for (const char* good : {"203_0_113_5.ovpn", "a.b-c.ovpn", "X.ovpn"})
        EXPECT_TRUE(ServiceEndpoints::isValidOvpnName(good));
    for (const char* bad : {".ovpn", "..ovpn", "a..ovpn", ".hidden.ovpn", "../x.ovpn", "a/b.ovpn", "a b.ovpn",
                            "x.ovpn.txt", "x.OVPN", "x.ovpn\n", "%2e%2e.ovpn"})
        EXPECT_FALSE(ServiceEndpoints::isValidOvpnName(bad)) << bad;
    EXPECT_TRUE(ServiceEndpoints::isValidOvpnName(std::string(250, 'a') + ".ovpn"));
    EXPECT_FALSE(ServiceEndpoints::isValidOvpnName(std::string(251, 'a') + ".ovpn"));
}

TEST(ServiceEndpoints, TruncatedDocumentStopsBeforeTheLastEndTagOnACharacterBoundary) {
    const std::string doc = "<?xml version=\"1.0\"?><a><Region Region=\"日本日本日本日本日本\"/></a>";
    for (std::size_t n = 0; n <= doc.size(); ++n) {
        const std::string cut = ServiceEndpoints::truncateDocument(doc.substr(0, n));
        EXPECT_EQ(doc.compare(0, cut.size(), cut), 0);
        EXPECT_LE(cut.size(), n / 2);
        if (!cut.empty()) {
            EXPECT_NE(static_cast<unsigned char>(doc[cut.size()]) & 0xC0, 0x80);
        }
    }
}

TEST(ServiceOptions, ParsesTheCommandLine) {
    std::string error;
    const char* argv[] = {"tavro-service", "--listen",           "[::1]:0",      "--state-dir",   "/s",
                          "--update-file", "app_update_new.xml", "--serverlist", "/tmp/list.xml", "--fault",
                          "delay=5",       "--account",          "u:p:q"};
    const auto o = ServiceOptions::parse(13, argv, "/data", &error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->listenHost, "::1");
    EXPECT_EQ(o->listenPort, 0);
    EXPECT_EQ(o->authority(8443), "[::1]:8443");
    EXPECT_EQ(o->resolveDataFile(o->updateFile, "app_update.xml"), "/data/app_update_new.xml");
    EXPECT_EQ(o->resolveDataFile(o->serverListFile, "serverlist.xml"), "/tmp/list.xml");
    EXPECT_EQ(o->resolveDataFile("", "serverlist.xml"), "/data/serverlist.xml");
    ASSERT_EQ(o->faults.size(), 1u);

    auto fails = [](std::vector<const char*> args) {
        args.insert(args.begin(), "tavro-service");
        std::string why;
        const bool failed = !ServiceOptions::parse(static_cast<int>(args.size()), args.data(), "/data", &why);
        return failed && !why.empty();
    };
    EXPECT_TRUE(fails({"--listen", "127.0.0.1:0"}));
    EXPECT_TRUE(fails({"--state-dir", "/s", "--listen", "localhost:80"}));
    EXPECT_TRUE(fails({"--state-dir", "/s", "--listen", "127.0.0.1:65536"}));
    EXPECT_TRUE(fails({"--state-dir", "/s", "--listen", "127.0.0.1"}));
    EXPECT_TRUE(fails({"--state-dir", "/s", "--fault", "slow"}));
    EXPECT_TRUE(fails({"--state-dir", "/s", "--openvpn-host", "a;rm -rf"}));
    EXPECT_TRUE(fails({"--state-dir", "/s", "--account", "nocolon"}));
    EXPECT_TRUE(fails({"--state-dir", "/s", "--bogus", "x"}));
    EXPECT_TRUE(fails({"--state-dir"}));
}

TEST(Accounts, ReadsUserPasswordLines) {
    TempDir dir;
    const std::string file = dir.path + "/accounts.txt";
    std::ofstream(file) << "# comment\r\ntb000001:secret1\r\n\nbad line\ntb000002:p@ss:word\n:nouser\n";
    Accounts a;
    ASSERT_TRUE(a.loadFile(file));
    EXPECT_EQ(a.size(), 2u);
    EXPECT_TRUE(a.accepts("tb000001", "secret1"));
    EXPECT_TRUE(a.accepts("tb000002", "p@ss:word"));
    EXPECT_FALSE(a.accepts("tb000001", "secret1\r"));
    EXPECT_FALSE(a.accepts("tb000001", ""));
    EXPECT_FALSE(a.accepts("", ""));
    EXPECT_FALSE(a.loadFile(dir.path + "/missing"));
}

TEST(RequestRecorder, WritesOneJsonLinePerRequestWithExactBody) {
    EXPECT_EQ(RequestRecorder::base64(""), "");
    EXPECT_EQ(RequestRecorder::base64("f"), "Zg==");
    EXPECT_EQ(RequestRecorder::base64("foobar"), "Zm9vYmFy");

    TempDir dir;
    const std::string file = dir.path + "/rec.jsonl";
    {
        RequestRecorder rec;
        ASSERT_TRUE(rec.open(file));
        RequestRecorder::Entry e;
        e.method = "POST";
        e.path = "/tavro_cm/auth";
        e.headers = {{"Content-Type", "multipart/form-data; boundary=x"}, {"X-Bad", "\xff"}};
        e.body = std::string("id=\xe6\x97\xa5\r\n\xff\x00", 11);
        e.status = 200;
        rec.record(e);
        rec.record(e);
    }
    std::ifstream in(file);
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        const auto j = nlohmann::json::parse(line);
        EXPECT_EQ(j["seq"], ++lines);
        EXPECT_EQ(j["body_base64"], RequestRecorder::base64(std::string("id=\xe6\x97\xa5\r\n\xff\x00", 11)));
        EXPECT_EQ(j["headers"][0][1], "multipart/form-data; boundary=x");
        EXPECT_EQ(j["status"], 200);
    }
    EXPECT_EQ(lines, 2);
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
}

TEST(TestCertificates, ServerCertificateChainsToTheCaAndNamesTheAddress) {
    TempDir dir;
    TestCertificates certs;
    std::string error;
    ASSERT_TRUE(TestCertificates::create(dir.path, "127.0.0.1", certs, &error)) << error;
    struct stat st {};
    ASSERT_EQ(stat(certs.keyFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);

    auto load = [](const std::string& path) {
        FILE* f = std::fopen(path.c_str(), "r");
        X509* x = f ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
        if (f) std::fclose(f);
        return x;
    };
    X509* ca = load(certs.caFile);
    X509* server = load(certs.certFile);
    ASSERT_TRUE(ca && server);
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, ca);
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    X509_STORE_CTX_init(ctx, store, server, nullptr);
    EXPECT_EQ(X509_verify_cert(ctx), 1) << X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx));
    EXPECT_EQ(X509_check_ip_asc(server, "127.0.0.1", 0), 1);
    EXPECT_EQ(X509_check_host(server, "localhost", 0, 0, nullptr), 1);
    EXPECT_NE(X509_check_ip_asc(server, "127.0.0.2", 0), 1);
    EXPECT_EQ(X509_check_ca(server), 0);
    X509_STORE_CTX_free(ctx);
    X509_STORE_free(store);
    X509_free(ca);
    X509_free(server);
    EXPECT_FALSE(std::filesystem::exists(dir.path + "/ca.key"));
}
