#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

// Server side of HTTP Digest (qop "auth", MD5) for one fixed credential. Nonces are issued here, expire
// after a while and each nonce-count may be used only once, so a captured Authorization header cannot be
// replayed.
class DigestAuth {
public:
    enum class Result {
        Ok,
        Missing,
        Malformed,
        WrongUser,
        UnknownNonce,
        Stale,
        WrongUri,
        WrongResponse,
        Replayed
    };

    static constexpr std::size_t maxNonces = 4096;
    static constexpr std::size_t maxHeaderBytes = 8192;

    DigestAuth(std::string realm, std::string user, std::string password,
               std::chrono::seconds nonceLifetime = std::chrono::seconds(300));

    // Value for a WWW-Authenticate header with a fresh nonce.
    std::string challenge(bool stale = false);
    // Checks an Authorization header for a request with this method and request-target (path and query as
    // sent on the request line).
    Result verify(std::string_view method, std::string_view requestTarget, std::string_view authorization);

    // Parameters of a "Digest k=v, k=\"v\"" header; nullopt when the syntax is broken or a name repeats.
    static std::optional<std::map<std::string, std::string>> parseParams(std::string_view authorization);
    static std::string md5Hex(std::string_view data);
    static std::string expectedResponse(std::string_view user, std::string_view realm,
                                        std::string_view password, std::string_view method,
                                        std::string_view uri, std::string_view nonce, std::string_view nc,
                                        std::string_view cnonce, std::string_view qop);
    static const char* describe(Result r);

private:
    struct NonceState {
        std::chrono::steady_clock::time_point issued;
        std::uint64_t lastCount{0};
    };

    std::string realm_;
    std::string user_;
    std::string password_;
    std::chrono::seconds lifetime_;
    std::mutex mutex_;
    std::unordered_map<std::string, NonceState> nonces_;
    std::deque<std::string> order_;
};
