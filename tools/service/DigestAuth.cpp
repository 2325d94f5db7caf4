#include "tools/service/DigestAuth.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace {

constexpr char hexDigits[] = "0123456789abcdef";

std::string toHex(const unsigned char* data, std::size_t n) {
    std::string out;
    out.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        out += hexDigits[data[i] >> 4];
        out += hexDigits[data[i] & 0x0f];
    }
    return out;
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool isTokenChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

void skipSpace(std::string_view s, std::size_t& i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
        ++i;
}

// Compares without an early exit so the time taken does not tell how much of a guess was right.
bool constantTimeEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(lower(a[i]) ^ lower(b[i]));
    return diff == 0;
}

bool parseNonceCount(std::string_view nc, std::uint64_t& out) {
    if (nc.size() != 8) return false;
    out = 0;
    for (char c : nc) {
        const auto pos = std::string_view(hexDigits).find(lower(c));
        if (pos == std::string_view::npos) return false;
        out = out * 16 + pos;
    }
    return true;
}

} // namespace

DigestAuth::DigestAuth(std::string realm, std::string user, std::string password,
                       std::chrono::seconds nonceLifetime)
    : realm_(std::move(realm)), user_(std::move(user)), password_(std::move(password)),
      lifetime_(nonceLifetime) {}

std::string DigestAuth::md5Hex(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &len, EVP_md5(), nullptr) != 1)
        throw std::runtime_error("MD5 digest unavailable");
    return toHex(digest, len);
}

std::string DigestAuth::expectedResponse(std::string_view user, std::string_view realm,
                                         std::string_view password, std::string_view method,
                                         std::string_view uri, std::string_view nonce, std::string_view nc,
                                         std::string_view cnonce, std::string_view qop) {
    auto join = [](std::initializer_list<std::string_view> parts) {
        std::string s;
        bool first = true;
        for (auto p : parts) {
            if (!first) s += ':';
            s += p;
            first = false;
        }
        return s;
    };
    const std::string ha1 = md5Hex(join({user, realm, password}));
    const std::string ha2 = md5Hex(join({method, uri}));
    return md5Hex(join({ha1, nonce, nc, cnonce, qop, ha2}));
}

std::string DigestAuth::challenge(bool stale) {
    unsigned char raw[16];
    if (RAND_bytes(raw, sizeof raw) != 1) throw std::runtime_error("no randomness for a nonce");
    std::string nonce = toHex(raw, sizeof raw);
    {
        std::lock_guard lock(mutex_);
        while (order_.size() >= maxNonces) {
            nonces_.erase(order_.front());
            order_.pop_front();
        }
        nonces_[nonce] = NonceState{std::chrono::steady_clock::now(), 0};
        order_.push_back(nonce);
    }
    std::string value =
        "Digest realm=\"" + realm_ + "\", qop=\"auth\", algorithm=MD5, nonce=\"" + nonce + "\"";
    if (stale) value += ", stale=true";
    return value;
}

std::optional<std::map<std::string, std::string>> DigestAuth::parseParams(std::string_view header) {
    if (header.size() > maxHeaderBytes) return std::nullopt;
    std::size_t i = 0;
    skipSpace(header, i);
    if (header.size() - i < 7 || !equalsIgnoreCase(header.substr(i, 6), "Digest") ||
        (header[i + 6] != ' ' && header[i + 6] != '\t'))
        return std::nullopt;
    i += 7;
    std::map<std::string, std::string> params;
    while (true) {
        skipSpace(header, i);
        while (i < header.size() && header[i] == ',') {
            ++i;
            skipSpace(header, i);
        }
        if (i >= header.size()) break;
        const std::size_t nameStart = i;
        while (i < header.size() && isTokenChar(header[i]))
            ++i;
        if (i == nameStart) return std::nullopt;
        std::string name(header.substr(nameStart, i - nameStart));
        for (auto& c : name)
            c = lower(c);
        skipSpace(header, i);
        if (i >= header.size() || header[i] != '=') return std::nullopt;
        ++i;
        skipSpace(header, i);
        std::string value;
        if (i < header.size() && header[i] == '"') {
            ++i;
            bool closed = false;
            while (i < header.size()) {
                char c = header[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\') {
                    if (i >= header.size()) return std::nullopt;
                    c = header[i++];
                }
                value += c;
            }
            if (!closed) return std::nullopt;
        } else {
            const std::size_t valueStart = i;
            while (i < header.size() && isTokenChar(header[i]))
                ++i;
            if (i == valueStart) return std::nullopt;
            value = std::string(header.substr(valueStart, i - valueStart));
        }
        if (!params.emplace(std::move(name), std::move(value)).second) return std::nullopt;
        skipSpace(header, i);
        if (i < header.size() && header[i] != ',') return std::nullopt;
    }
    return params;
}

DigestAuth::Result DigestAuth::verify(std::string_view method, std::string_view requestTarget,
                                      std::string_view authorization) {
    if (authorization.empty()) return Result::Missing;
    const auto params = parseParams(authorization);
    if (!params) return Result::Malformed;
    auto get = [&](const char* key) -> const std::string* {
        const auto it = params->find(key);
        return it == params->end() ? nullptr : &it->second;
    };
    const auto *user = get("username"), *realm = get("realm"), *nonce = get("nonce"), *uri = get("uri"),
               *response = get("response"), *qop = get("qop"), *nc = get("nc"), *cnonce = get("cnonce");
    if (!user || !realm || !nonce || !uri || !response || !qop || !nc || !cnonce) return Result::Malformed;
    if (const auto* algorithm = get("algorithm"); algorithm && !equalsIgnoreCase(*algorithm, "MD5"))
        return Result::Malformed;
    std::uint64_t count = 0;
    if (*qop != "auth" || !parseNonceCount(*nc, count) || response->size() != 32 || cnonce->empty())
        return Result::Malformed;
    if (*user != user_ || *realm != realm_) return Result::WrongUser;
    if (*uri != requestTarget) return Result::WrongUri;

    const std::string expected =
        expectedResponse(user_, realm_, password_, method, *uri, *nonce, *nc, *cnonce, *qop);
    const bool responseOk = constantTimeEquals(expected, *response);

    std::lock_guard lock(mutex_);
    const auto it = nonces_.find(*nonce);
    if (it == nonces_.end()) return Result::UnknownNonce;
    if (!responseOk) return Result::WrongResponse;
    if (std::chrono::steady_clock::now() - it->second.issued > lifetime_) return Result::Stale;
    if (count <= it->second.lastCount) return Result::Replayed;
    it->second.lastCount = count;
    return Result::Ok;
}

const char* DigestAuth::describe(Result r) {
    switch (r) {
    case Result::Ok:
        return "ok";
    case Result::Missing:
        return "no credentials";
    case Result::Malformed:
        return "malformed credentials";
    case Result::WrongUser:
        return "wrong user or realm";
    case Result::UnknownNonce:
        return "unknown nonce";
    case Result::Stale:
        return "stale nonce";
    case Result::WrongUri:
        return "uri does not match the request";
    case Result::WrongResponse:
        return "wrong response";
    case Result::Replayed:
        return "nonce count reused";
    }
    return "?";
}
