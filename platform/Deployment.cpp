#include "platform/Deployment.h"

#include <cstdlib>

#ifndef TAVROVPN_DEFAULT_WEB_HOST
#define TAVROVPN_DEFAULT_WEB_HOST "www.tavrovpn.jp"
#endif
#ifndef TAVROVPN_DEFAULT_AUTH_HOST
#define TAVROVPN_DEFAULT_AUTH_HOST "auth.tavrovpn.jp"
#endif
#ifndef TAVROVPN_DEFAULT_FAQ_HOST
#define TAVROVPN_DEFAULT_FAQ_HOST "www.tavrovpn.jp"
#endif
#ifndef TAVROVPN_DEFAULT_CA_FILE
#define TAVROVPN_DEFAULT_CA_FILE ""
#endif

namespace platform {
namespace {
std::string setting(const char* env, const char* fallback) {
    const char* v = std::getenv(env);
    return (v && v[0]) ? std::string(v) : std::string(fallback);
}
} // namespace

std::string webHost() { return setting("TAVROVPN_WEB_HOST", TAVROVPN_DEFAULT_WEB_HOST); }
std::string authHost() { return setting("TAVROVPN_AUTH_HOST", TAVROVPN_DEFAULT_AUTH_HOST); }
std::string faqHost() { return setting("TAVROVPN_FAQ_HOST", TAVROVPN_DEFAULT_FAQ_HOST); }
std::string caFile() { return setting("TAVROVPN_CA_FILE", TAVROVPN_DEFAULT_CA_FILE); }

} // namespace platform
