#pragma once
#include "tools/service/Accounts.h"
#include "tools/service/DigestAuth.h"
#include "tools/service/FaultControl.h"
#include "tools/service/RequestRecorder.h"
#include "tools/service/ServerHostRewriter.h"
#include "tools/service/ServiceOptions.h"

#include <httplib.h>

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

// The web endpoints the client relies on, plus a catch-all that answers 404. Every request passes the
// fault switches in force and is recorded (when recording is on) before its answer is sent.
class ServiceEndpoints {
public:
    static constexpr std::size_t maxDocumentBytes = 4 * 1024 * 1024;
    // Larger request bodies are refused by httplib with 413 before any handler runs.
    static constexpr std::size_t maxRequestBodyBytes = 1024 * 1024;
    // The multipart Content-Type is moved here before routing; see install().
    static constexpr const char* stashedContentType = "X-Tavro-Service-Content-Type";

    ServiceEndpoints(const ServiceOptions& options, FaultControl& faults, const Accounts& accounts,
                     RequestRecorder& recorder, const std::atomic<bool>& stopping);

    void install(httplib::Server& server);
    // "https://host:port", put in place of "@BASE_URL@" in the update file.
    void setBaseUrl(std::string url) { baseUrl_ = std::move(url); }

    static bool isValidOvpnName(std::string_view name);
    // The first half of a document (never past its last end tag, never inside a UTF-8 sequence).
    static std::string truncateDocument(std::string_view text);

private:
    using Handler =
        std::function<void(const httplib::Request&, httplib::Response&, const FaultSet&, std::string& note)>;

    httplib::Server::Handler guarded(Handler handler);
    void record(const httplib::Request& req, int status, const std::string& note);
    void sleepMs(long ms) const;

    void serveDocument(const std::string& file, bool rewriteHosts, const httplib::Request& req,
                       httplib::Response& res, const FaultSet& faults, std::string& note);
    void serveOvpn(const httplib::Request& req, httplib::Response& res, std::string& note);
    void serveLogin(const httplib::Request& req, httplib::Response& res, const FaultSet& faults,
                    std::string& note);
    void servePage(const std::string& name, httplib::Response& res, std::string& note);

    const ServiceOptions& options_;
    FaultControl& faults_;
    const Accounts& accounts_;
    RequestRecorder& recorder_;
    const std::atomic<bool>& stopping_;
    ServerHostRewriter rewriter_;
    DigestAuth digest_;
    std::string baseUrl_;
};
