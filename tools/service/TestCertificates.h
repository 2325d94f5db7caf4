#pragma once
#include <string>

// A throw-away certificate authority and a server certificate it signed, made at every start so that no
// key outlives the service. The CA's key is never written: nothing else may be signed with it.
struct TestCertificates {
    std::string caFile;   // CA certificate (PEM): what clients trust (TAVROVPN_CA_FILE)
    std::string certFile; // server certificate (PEM)
    std::string keyFile;  // server private key (PEM, mode 0600)

    // Creates the three files in dir. The server certificate names ipAddress (an IPv4 or IPv6 literal)
    // and "localhost" in its subjectAltName; for a wildcard address 127.0.0.1 and ::1 are named instead.
    static bool create(const std::string& dir, const std::string& ipAddress, TestCertificates& out,
                       std::string* error);
};
