#include "tools/service/TestCertificates.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

template <auto Fn> struct Deleter {
    template <class T> void operator()(T* p) const { Fn(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509_free>>;

bool fail(std::string* error, const std::string& what) {
    if (error) *error = what;
    return false;
}

bool addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (!ext) return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

CertPtr makeCertificate(EVP_PKEY* key, const std::string& commonName, X509* issuer, EVP_PKEY* issuerKey,
                        const std::vector<std::pair<int, std::string>>& extensions) {
    CertPtr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1) return nullptr;
    std::unique_ptr<BIGNUM, Deleter<BN_free>> serial(BN_new());
    if (!serial || BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
        !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())))
        return nullptr;
    // An hour of slack keeps a client with a slightly slow clock from rejecting a brand-new certificate.
    if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600) ||
        X509_set_pubkey(cert.get(), key) != 1)
        return nullptr;
    X509_NAME* name = X509_get_subject_name(cert.get());
    if (X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("TavroVPN test"), -1, -1, 0) != 1 ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                                   0) != 1)
        return nullptr;
    X509* signer = issuer ? issuer : cert.get();
    if (X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) != 1) return nullptr;
    for (const auto& [nid, value] : extensions)
        if (!addExtension(cert.get(), signer, nid, value)) return nullptr;
    if (X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) <= 0) return nullptr;
    return cert;
}

bool writePem(const std::string& path, mode_t mode, X509* cert, EVP_PKEY* key) {
    const std::string tmp = path + ".tmp";
    ::unlink(tmp.c_str());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return false;
    FILE* f = ::fdopen(fd, "w");
    if (!f) {
        ::close(fd);
        return false;
    }
    bool ok = cert ? PEM_write_X509(f, cert) == 1
                   : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    ok = (std::fclose(f) == 0) && ok;
    return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

} // namespace

bool TestCertificates::create(const std::string& dir, const std::string& ipAddress, TestCertificates& out,
                              std::string* error) {
    KeyPtr caKey(EVP_EC_gen("P-256"));
    KeyPtr serverKey(EVP_EC_gen("P-256"));
    if (!caKey || !serverKey) return fail(error, "cannot generate EC keys");

    CertPtr ca = makeCertificate(caKey.get(), "TavroVPN test CA", nullptr, nullptr,
                                 {{NID_basic_constraints, "critical,CA:TRUE"},
                                  {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                  {NID_subject_key_identifier, "hash"}});
    if (!ca) return fail(error, "cannot create the CA certificate");

    std::string san = "DNS:localhost";
    if (ipAddress == "0.0.0.0" || ipAddress == "::")
        san += ",IP:127.0.0.1,IP:::1";
    else
        san += ",IP:" + ipAddress;
    CertPtr server = makeCertificate(serverKey.get(), ipAddress, ca.get(), caKey.get(),
                                     {{NID_basic_constraints, "critical,CA:FALSE"},
                                      {NID_key_usage, "critical,digitalSignature"},
                                      {NID_ext_key_usage, "serverAuth"},
                                      {NID_subject_alt_name, san},
                                      {NID_authority_key_identifier, "keyid:always"}});
    if (!server) return fail(error, "cannot create the server certificate");

    out.caFile = dir + "/ca.pem";
    out.certFile = dir + "/server.pem";
    out.keyFile = dir + "/server.key";
    if (!writePem(out.keyFile, 0600, nullptr, serverKey.get()) ||
        !writePem(out.certFile, 0644, server.get(), nullptr) ||
        !writePem(out.caFile, 0644, ca.get(), nullptr))
        return fail(error, "cannot write the certificates in " + dir);
    return true;
}
