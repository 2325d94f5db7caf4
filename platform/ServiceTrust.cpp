#include "platform/ServiceTrust.h"

#include "platform/Deployment.h"
#include "platform/Log.h"

#include <cstdio>
#include <memory>

namespace servicetrust {
namespace {

constexpr size_t kMaxBundleBytes = 8u << 20;
constexpr const char* kDefaultSystemBundle = "/etc/ssl/certs/ca-certificates.crt";

bool readBounded(const std::string& path, std::string& out) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rbe"), &std::fclose);
    if (!f) return false;
    char buf[16384];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
        if (out.size() + n > kMaxBundleBytes) return false;
        out.append(buf, n);
    }
    return !std::ferror(f.get());
}

} // namespace

// A CA file option would replace the system store; one blob holding both keeps the public CAs
// trusted next to the deployment's private one.
std::string combinedPem(const std::string& systemBundlePath) {
    const std::string extra = platform::caFile();
    if (extra.empty()) return {};
    std::string extraPem;
    if (!readBounded(extra, extraPem)) {
        platform::logInfo("service CA bundle %s cannot be read; using the system store only", extra.c_str());
        return {};
    }
    std::string bundle;
    if (!readBounded(systemBundlePath.empty() ? kDefaultSystemBundle : systemBundlePath, bundle))
        bundle.clear();
    bundle += "\n";
    bundle += extraPem;
    return bundle;
}

} // namespace servicetrust
