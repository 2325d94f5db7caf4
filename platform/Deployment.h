#pragma once
#include <string>

// Deployment settings: built-in defaults from the build, overridable by the environment
// (TAVROVPN_WEB_HOST, TAVROVPN_AUTH_HOST, TAVROVPN_FAQ_HOST, TAVROVPN_CA_FILE).
// A host may carry a port ("127.0.0.1:8443").
namespace platform {

std::string webHost();
std::string authHost();
std::string faqHost();
std::string caFile(); // empty: system CA store only

} // namespace platform
