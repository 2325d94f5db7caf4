#include "app/service/ServerCertificate.h"

#include "platform/Deployment.h"
#include "protocol/HelperProtocol.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <memory>
#include <mutex>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

namespace {

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct StoreDeleter {
    void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct StoreCtxDeleter {
    void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};
struct CertDeleter {
    void operator()(X509* x) const { X509_free(x); }
};
struct ChainDeleter {
    void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};

void ensureCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string unbracketed(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

std::string spkiPin(X509* cert) {
    unsigned char* der = nullptr;
    const int len = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &der);
    if (len <= 0) return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLen = 0;
    const bool hashed =
        EVP_Digest(der, static_cast<size_t>(len), digest, &digestLen, EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    if (!hashed) return {};
    unsigned char b64[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
    const int b64Len = EVP_EncodeBlock(b64, digest, static_cast<int>(digestLen));
    return std::string(reinterpret_cast<const char*>(b64), static_cast<size_t>(b64Len));
}

// The chain the server sent, checked for the host by us: what curl would check, but on the very
// certificate whose pin we take, and with the certificate at hand when it does not verify.
bool verifies(X509* leaf, STACK_OF(X509) * untrusted, const std::string& host, std::string& error) {
    std::unique_ptr<X509_STORE, StoreDeleter> store(X509_STORE_new());
    std::unique_ptr<X509_STORE_CTX, StoreCtxDeleter> ctx(X509_STORE_CTX_new());
    if (!store || !ctx || X509_STORE_set_default_paths(store.get()) != 1) {
        error = "no CA store";
        return false;
    }
    const std::string extra = platform::caFile();
    if (!extra.empty() && X509_STORE_load_file(store.get(), extra.c_str()) != 1)
        error = "deployment CA bundle " + extra + " not loaded; ";
    if (X509_STORE_CTX_init(ctx.get(), store.get(), leaf, untrusted) != 1) {
        error += "verification not started";
        return false;
    }
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
    X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
    const bool named = protocol::isIpLiteral(host) ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1
                                         : X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) == 1;
    if (!named) {
        error += "host name not usable for verification";
        return false;
    }
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (X509_verify_cert(ctx.get()) == 1) {
        error.clear();
        return true;
    }
    error += X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get()));
    return false;
}

} // namespace

ServerCertificate ServerCertificate::query(const std::string& host, unsigned port,
                                           std::chrono::milliseconds timeLimit) {
    ServerCertificate result;
    const std::string name = unbracketed(host);
    const std::string url = "https://" + (name.find(':') != std::string::npos ? "[" + name + "]" : name) +
                            ":" + std::to_string(port) + "/";
    ensureCurl();
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        result.error = "no transfer handle";
        return result;
    }
    CURL* c = curl.get();
    char err[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, err);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(c, CURLOPT_CERTINFO, 1L);
    // openconnect connects directly: a proxy would show another certificate than the one it sees.
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    // The handshake must complete whatever the certificate, so that its pin can be compared.
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeLimit.count()));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeLimit.count()));
    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK) {
        result.error = err[0] ? err : curl_easy_strerror(rc);
        return result;
    }
    // The chain as the server sent it, leaf first.
    curl_certinfo* info = nullptr;
    std::unique_ptr<STACK_OF(X509), ChainDeleter> chain(sk_X509_new_null());
    if (chain && curl_easy_getinfo(c, CURLINFO_CERTINFO, &info) == CURLE_OK && info) {
        for (int i = 0; i < info->num_of_certs; ++i)
            for (curl_slist* field = info->certinfo[i]; field; field = field->next) {
                const std::string text = field->data;
                if (text.rfind("Cert:", 0) != 0) continue;
                std::unique_ptr<BIO, decltype(&BIO_free)> bio(
                    BIO_new_mem_buf(text.data() + 5, static_cast<int>(text.size() - 5)), &BIO_free);
                std::unique_ptr<X509, CertDeleter> cert(
                    bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
                if (cert && sk_X509_push(chain.get(), cert.get()) > 0) cert.release();
            }
    }
    X509* leaf = chain && sk_X509_num(chain.get()) > 0 ? sk_X509_value(chain.get(), 0) : nullptr;
    if (!leaf) {
        result.error = "no server certificate";
        return result;
    }
    result.pin = spkiPin(leaf);
    if (result.pin.empty()) {
        result.error = "server certificate's public key unreadable";
        return result;
    }
    result.reached = true;
    result.caValid = verifies(leaf, chain.get(), name, result.error);
    return result;
}
