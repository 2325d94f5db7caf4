#pragma once
#include <chrono>
#include <string>

// The certificate an HTTPS server presents, learned in one TLS handshake of our own before any
// credential goes to it: whether it verifies for the host under the system CA store plus the
// deployment CA bundle (TAVROVPN_CA_FILE), and its pin. Safe to call from worker threads.
struct ServerCertificate {
    bool reached = false; // a TLS handshake completed
    bool caValid = false; // chain and host name verify
    // Base64 SHA-256 of the certificate's SubjectPublicKeyInfo: openconnect's "pin-sha256:" digest.
    std::string pin;
    std::string error; // why it was not reached or does not verify, for the log

    // host: a DNS name or an IP literal (an IPv6 one with or without brackets).
    static ServerCertificate query(const std::string& host, unsigned port,
                                   std::chrono::milliseconds timeLimit);
};
