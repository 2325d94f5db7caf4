#include "tools/service/ServiceEndpoints.h"

#include "tools/service/MultipartForm.h"

#include <nlohmann/json.hpp>
#include <openssl/ssl.h>

#include <chrono>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* authRealm = "Private Area";
constexpr const char* authUser = "tavroapi_user";
constexpr const char* authPassword = "R3+8%MpT";

// Headers httplib adds to the request itself; they were not sent by the client.
bool isSyntheticHeader(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

enum class ReadResult { Ok, Missing, TooLarge };

ReadResult readRegularFile(const std::string& path, std::size_t limit, std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ReadResult::Missing;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return ReadResult::Missing;
    }
    if (static_cast<std::size_t>(st.st_size) > limit) {
        ::close(fd);
        return ReadResult::TooLarge;
    }
    out.clear();
    char buf[16384];
    while (out.size() <= limit) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out.size() > limit ? ReadResult::TooLarge : ReadResult::Ok;
}

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    for (std::size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size())
        text.replace(pos, from.size(), to);
}

// Ends the connection without an answer: the client sees the peer go away mid-request.
void dropConnection(const httplib::Request& req) {
    if (!req.ssl) return;
    const int fd = SSL_get_fd(req.ssl);
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void notFound(httplib::Response& res) {
    res.status = 404;
    res.set_content("404 Not Found\n", "text/plain; charset=utf-8");
}

const char* loginMaintenancePage =
    "<!DOCTYPE html>\n<html lang=\"ja\"><head><meta charset=\"utf-8\"><title>メンテナンス中</title></head>\n"
    "<body><h1>ただいまメンテナンス中です</h1><p>しばらくしてから再度お試しください。</p></body></html>\n";

} // namespace

ServiceEndpoints::ServiceEndpoints(const ServiceOptions& options, FaultControl& faults,
                                   const Accounts& accounts, RequestRecorder& recorder,
                                   const std::atomic<bool>& stopping)
    : options_(options), faults_(faults), accounts_(accounts), recorder_(recorder), stopping_(stopping),
      rewriter_(options.openvpnHost, options.openconnectHost), digest_(authRealm, authUser, authPassword) {}

bool ServiceEndpoints::isValidOvpnName(std::string_view name) {
    constexpr std::string_view suffix = ".ovpn";
    if (name.size() <= suffix.size() || name.size() > 255 || !name.ends_with(suffix) || name.front() == '.')
        return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '_' || c == '.' || c == '-';
        if (!ok) return false;
    }
    return name.find("..") == std::string_view::npos;
}

std::string ServiceEndpoints::truncateDocument(std::string_view text) {
    std::size_t cut = text.size() / 2;
    if (const auto lastEnd = text.rfind("</"); lastEnd != std::string_view::npos && lastEnd < cut)
        cut = lastEnd;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return std::string(text.substr(0, cut));
}

void ServiceEndpoints::sleepMs(long ms) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopping_ && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            std::chrono::milliseconds(20), until - std::chrono::steady_clock::now()));
}

void ServiceEndpoints::record(const httplib::Request& req, int status, const std::string& note) {
    if (!recorder_.isOpen()) return;
    RequestRecorder::Entry e;
    e.remote = req.remote_addr;
    e.method = req.method;
    e.target = req.target;
    e.path = req.path;
    for (const auto& [name, value] : req.headers) {
        if (isSyntheticHeader(name)) continue;
        e.headers.emplace_back(name == stashedContentType ? std::string("Content-Type") : name, value);
    }
    e.body = req.body;
    e.status = status;
    e.note = note;
    recorder_.record(e);
}

httplib::Server::Handler ServiceEndpoints::guarded(Handler handler) {
    return [this, handler = std::move(handler)](const httplib::Request& req, httplib::Response& res) {
        const auto faults = faults_.reload();
        if (faults->refusesAll() || faults->find(FaultKind::Refuse, req.path)) {
            record(req, 0, "fault refuse: connection dropped");
            dropConnection(req);
            res.status = 503;
            return;
        }
        std::string note;
        if (const Fault* f = faults->find(FaultKind::Delay, req.path)) {
            sleepMs(f->value);
            note = "fault delay " + std::to_string(f->value) + " ms; ";
        }
        if (const Fault* f = faults->find(FaultKind::Status, req.path)) {
            res.status = static_cast<int>(f->value);
            res.set_content("HTTP " + std::to_string(f->value) + "\n", "text/plain; charset=utf-8");
            record(req, res.status, note + "fault status");
            return;
        }
        handler(req, res, *faults, note);
        if (res.status < 0) res.status = 200;
        record(req, res.status, note);
    };
}

void ServiceEndpoints::install(httplib::Server& server) {
    server.set_payload_max_length(maxRequestBodyBytes);
    // httplib parses multipart bodies itself and then keeps no raw bytes, but the login request has to be
    // recorded byte for byte and parsed by our own, stricter parser; hiding the Content-Type before the
    // body is read makes httplib keep the body as it came. The Request is not const in the server, only in
    // this callback's signature.
    server.set_pre_routing_handler([](const httplib::Request& creq, httplib::Response&) {
        auto& req = const_cast<httplib::Request&>(creq);
        req.headers.erase(stashedContentType);
        if (const auto it = req.headers.find("Content-Type"); it != req.headers.end()) {
            std::string value = it->second;
            req.headers.erase(it);
            req.headers.emplace(stashedContentType, std::move(value));
            req.headers.emplace("Content-Type", "application/octet-stream");
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    server.Get("/support/vpn/tavrovpn/serverlist.xml",
               guarded([this](const auto& req, auto& res, const FaultSet& faults, std::string& note) {
                   serveDocument(options_.resolveDataFile(options_.serverListFile, "serverlist.xml"), true,
                                 req, res, faults, note);
               }));
    server.Get("/support/vpn/tavrovpn/app_update.xml",
               guarded([this](const auto& req, auto& res, const FaultSet& faults, std::string& note) {
                   serveDocument(options_.resolveDataFile(options_.updateFile, "app_update.xml"), false, req,
                                 res, faults, note);
               }));
    server.Get("/support/vpn/openvpn/file/[^/]*",
               guarded([this](const auto& req, auto& res, const FaultSet&, std::string& note) {
                   serveOvpn(req, res, note);
               }));
    server.Get("/support/vpn/cgi-bin/remote.cgi",
               guarded([this](const auto& req, auto& res, const FaultSet&, std::string&) {
                   // The client shows the second ":"-separated field, so an IPv4 caller on an IPv6 socket is
                   // reported in its IPv4 form; a true IPv6 address cannot be carried by this format.
                   std::string addr =
                       options_.publicAddress.empty() ? req.remote_addr : options_.publicAddress;
                   if (addr.starts_with("::ffff:") && addr.find('.') != std::string::npos) addr.erase(0, 7);
                   res.set_content("REMOTE_ADDR:" + addr + ":OK", "text/plain; charset=utf-8");
               }));
    server.Post("/tavro_cm/auth", guarded([this](const auto& req, auto& res, const FaultSet& faults,
                                                 std::string& note) { serveLogin(req, res, faults, note); }));
    const std::pair<const char*, const char*> pages[] = {
        {"/support/vpn/tavrovpn/forward/01.html", "01.html"},
        {"/support/vpn/tavrovpn/download.html", "download.html"},
        {"/support/vpn/tavrovpn/news.html", "news.html"},
    };
    for (const auto& [path, file] : pages) {
        server.Get(path, guarded([this, name = std::string(file)](const auto&, auto& res, const FaultSet&,
                                                                  std::string& note) {
                       servePage(name, res, note);
                   }));
    }
    auto unknown = guarded([](const auto&, auto& res, const FaultSet&, std::string& note) {
        notFound(res);
        note += "no such endpoint";
    });
    server.Get(".*", unknown);
    server.Post(".*", unknown);
    server.Put(".*", unknown);
    server.Delete(".*", unknown);
}

void ServiceEndpoints::serveDocument(const std::string& file, bool rewriteHosts, const httplib::Request& req,
                                     httplib::Response& res, const FaultSet& faults, std::string& note) {
    std::string text;
    if (readRegularFile(file, maxDocumentBytes, text) != ReadResult::Ok) {
        notFound(res);
        note += "cannot read " + file;
        return;
    }
    if (rewriteHosts && rewriter_.active()) text = rewriter_.rewrite(text);
    if (!rewriteHosts) replaceAll(text, "@BASE_URL@", baseUrl_);
    if (faults.find(FaultKind::BrokenXml, req.path)) {
        text = truncateDocument(text);
        note += "fault broken-xml";
    }
    res.set_content(text, "application/xml");
}

void ServiceEndpoints::serveOvpn(const httplib::Request& req, httplib::Response& res, std::string& note) {
    constexpr std::string_view prefix = "/support/vpn/openvpn/file/";
    const std::string_view name = std::string_view(req.path).substr(prefix.size());
    if (!isValidOvpnName(name)) {
        notFound(res);
        note += "invalid configuration name";
        return;
    }
    const std::string dir = options_.ovpnDir.empty() ? options_.dataDir + "/ovpn" : options_.ovpnDir;
    std::string text;
    ReadResult r = readRegularFile(dir + "/" + std::string(name), maxDocumentBytes, text);
    if (r == ReadResult::Missing && !options_.ovpnDefault.empty()) {
        r = readRegularFile(options_.ovpnDefault, maxDocumentBytes, text);
        note += "default configuration";
    }
    if (r != ReadResult::Ok) {
        notFound(res);
        note += "no configuration " + std::string(name);
        return;
    }
    res.set_content(text, "application/x-openvpn-profile");
}

void ServiceEndpoints::serveLogin(const httplib::Request& req, httplib::Response& res, const FaultSet& faults,
                                  std::string& note) {
    const auto verdict = digest_.verify(req.method, req.target, req.get_header_value("Authorization"));
    if (verdict != DigestAuth::Result::Ok) {
        res.status = 401;
        res.set_header("WWW-Authenticate", digest_.challenge(verdict == DigestAuth::Result::Stale));
        res.set_content("401 Unauthorized\n", "text/plain; charset=utf-8");
        note += std::string("digest: ") + DigestAuth::describe(verdict);
        return;
    }
    if (faults.find(FaultKind::LoginHtml, req.path)) {
        res.set_content(loginMaintenancePage, "text/html; charset=utf-8");
        note += "fault login-html";
        return;
    }
    const auto boundary = MultipartForm::boundaryFrom(req.get_header_value(stashedContentType));
    const auto form = boundary ? MultipartForm::parse(req.body, *boundary) : std::nullopt;
    int code = 1;
    if (!form) {
        res.status = 400;
        note += "body is not multipart/form-data";
    } else {
        const std::string* id = form->field("id");
        const std::string* password = form->field("password");
        code = (id && password && accounts_.accepts(*id, *password)) ? 0 : 1;
        note += "account " + (id ? *id : std::string("(none)")) + (code == 0 ? " accepted" : " refused");
    }
    if (const Fault* f = faults.find(FaultKind::LoginCode, req.path)) {
        code = static_cast<int>(f->value);
        note += "; fault login-code";
    }
    res.set_content(nlohmann::json{{"code", code}}.dump(), "application/json");
}

void ServiceEndpoints::servePage(const std::string& name, httplib::Response& res, std::string& note) {
    std::string text;
    if (readRegularFile(options_.dataDir + "/pages/" + name, maxDocumentBytes, text) != ReadResult::Ok) {
        notFound(res);
        note += "missing page " + name;
        return;
    }
    replaceAll(text, "@BASE_URL@", baseUrl_);
    res.set_content(text, "text/html; charset=utf-8");
}
