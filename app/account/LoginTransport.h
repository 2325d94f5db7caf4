#pragma once
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

// One POST of the login form to the authentication endpoint over libcurl: HTTPS with certificate
// verification, the endpoint's fixed HTTP Digest credential, no redirects. Blocking; safe to run on
// several worker threads at once (one easy handle per call).
class LoginTransport {
public:
    static constexpr const char* kDigestUser = "tavroapi_user";
    static constexpr const char* kDigestPassword = "R3+8%MpT";
    static constexpr const char* kDigestRealm = "Private Area";

    // The 20-second value is what governs: no connection within it, or no byte for that long, ends the
    // attempt. The 60-second value bounds the whole exchange (both Digest legs) as a ceiling.
    struct Limits {
        std::chrono::milliseconds connectTimeout{20000};
        long idleSeconds = 20;
        std::chrono::milliseconds totalTimeout{60000};
        size_t maxBodyBytes = 64u << 10; // the answer is a small JSON object
    };
    static void setLimits(const Limits& limits);
    static Limits limits();

    struct Result {
        std::optional<std::string> body; // only when the exchange completed
        bool invalidEndpoint = false;    // the URL is not an https URL with a host: nothing was sent
        long httpStatus = 0;
        std::string error;
    };

    static Result post(const std::string& url, const std::string& boundary, const std::string& body);

    // The endpoint URL is usable: it parses, its scheme is https and it names a host.
    static bool isUsableEndpoint(const std::string& url);
};
