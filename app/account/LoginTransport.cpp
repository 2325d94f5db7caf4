#include "app/account/LoginTransport.h"

#include "app/account/LoginForm.h"
#include "platform/ServiceTrust.h"

#include <memory>
#include <mutex>

#include <curl/curl.h>

namespace {

std::mutex limitsMu;
LoginTransport::Limits currentLimits;

void ensureCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Sink {
    std::string data;
    size_t max = 0;
    bool tooLarge = false;
};

size_t onBody(char* ptr, size_t size, size_t nmemb, void* ud) {
    auto* sink = static_cast<Sink*>(ud);
    const size_t n = size * nmemb;
    if (sink->data.size() + n > sink->max) {
        sink->tooLarge = true;
        return 0; // aborts the transfer
    }
    sink->data.append(ptr, n);
    return n;
}

struct EasyDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct CurlString {
    char* p = nullptr;
    ~CurlString() { curl_free(p); }
};

} // namespace

void LoginTransport::setLimits(const Limits& limits) {
    std::lock_guard lock(limitsMu);
    currentLimits = limits;
}

LoginTransport::Limits LoginTransport::limits() {
    std::lock_guard lock(limitsMu);
    return currentLimits;
}

bool LoginTransport::isUsableEndpoint(const std::string& url) {
    ensureCurl();
    std::unique_ptr<CURLU, UrlDeleter> u(curl_url());
    if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return false;
    CurlString scheme, host;
    if (curl_url_get(u.get(), CURLUPART_SCHEME, &scheme.p, 0) != CURLUE_OK || !scheme.p) return false;
    if (curl_url_get(u.get(), CURLUPART_HOST, &host.p, 0) != CURLUE_OK || !host.p || !*host.p) return false;
    return std::string(scheme.p) == "https";
}

LoginTransport::Result LoginTransport::post(const std::string& url, const std::string& boundary,
                                            const std::string& body) {
    Result result;
    if (!isUsableEndpoint(url)) {
        result.invalidEndpoint = true;
        result.error = "the endpoint is not an https URL with a host";
        return result;
    }
    const Limits lim = limits();
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) {
        result.error = "cannot create a transfer";
        return result;
    }
    CURL* c = easy.get();

    curl_slist* rawHeaders = nullptr;
    bool headersOk = true;
    auto appendHeader = [&](const std::string& line) {
        curl_slist* next = headersOk ? curl_slist_append(rawHeaders, line.c_str()) : nullptr;
        if (next)
            rawHeaders = next;
        else
            headersOk = false;
    };
    for (const auto& [name, value] : loginform::headers(boundary, body.size())) {
        // User-Agent and Content-Length come from their own options; Content-Length must also fit the
        // body-less first leg of the Digest exchange, which only the transport knows.
        if (name == "User-Agent" || name == "Content-Length") continue;
        appendHeader(name + ": " + value);
    }
    // No "Expect: 100-continue" round: the form is sent as it is.
    appendHeader("Expect:");
    std::unique_ptr<curl_slist, SlistDeleter> headerList(rawHeaders);
    if (!headersOk) {
        result.error = "out of memory";
        return result;
    }

    Sink sink;
    sink.max = lim.maxBodyBytes;
    char err[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, err);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(c, CURLOPT_USERAGENT, "curl");
    curl_easy_setopt(c, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_DIGEST));
    curl_easy_setopt(c, CURLOPT_USERNAME, kDigestUser);
    curl_easy_setopt(c, CURLOPT_PASSWORD, kDigestPassword);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(lim.connectTimeout.count()));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(lim.totalTimeout.count()));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, lim.idleSeconds);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    // Ephemeral: no cookie engine, no connection reuse beyond this attempt.
    curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);

    std::string systemBundle;
    char* builtIn = nullptr;
    if (curl_easy_getinfo(c, CURLINFO_CAINFO, &builtIn) == CURLE_OK && builtIn) systemBundle = builtIn;
    const std::string pem = servicetrust::combinedPem(systemBundle);
    if (!pem.empty()) {
        curl_blob blob{const_cast<char*>(pem.data()), pem.size(), CURL_BLOB_COPY};
        curl_easy_setopt(c, CURLOPT_CAINFO_BLOB, &blob);
    }

    const CURLcode rc = curl_easy_perform(c);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &result.httpStatus);
    if (rc != CURLE_OK) {
        result.error =
            sink.tooLarge ? std::string("answer too large") : (err[0] ? err : curl_easy_strerror(rc));
        return result;
    }
    result.body = std::move(sink.data);
    return result;
}
