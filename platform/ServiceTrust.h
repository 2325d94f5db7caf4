#pragma once
#include <string>

// The trust store for the service's HTTPS endpoints: the system CA store plus the deployment's CA
// bundle (TAVROVPN_CA_FILE). Empty when no extra bundle is configured (or it cannot be read): the
// transport's built-in system store is then used as it is.
namespace servicetrust {

// systemBundlePath: the transport's built-in CA file (empty: the Debian default).
std::string combinedPem(const std::string& systemBundlePath);

} // namespace servicetrust
