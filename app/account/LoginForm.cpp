#include "app/account/LoginForm.h"

#include <cerrno>
#include <cstdio>
#include <random>
#include <sys/random.h>

namespace loginform {
namespace {

// getrandom(2) cannot fail for 8 bytes once the pool is initialised; std::random_device is only a
// fallback for kernels without the call.
void fillRandom(std::uint32_t (&values)[2]) {
    auto* p = reinterpret_cast<unsigned char*>(values);
    size_t got = 0;
    for (int attempt = 0; attempt < 8 && got < sizeof values; ++attempt) {
        const ssize_t n = ::getrandom(p + got, sizeof values - got, 0);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR)
            break;
    }
    if (got == sizeof values) return;
    std::random_device rd;
    values[0] = rd();
    values[1] = rd();
}

} // namespace

std::string makeBoundary(std::uint32_t first, std::uint32_t second) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%08x%08x", static_cast<unsigned>(first), static_cast<unsigned>(second));
    return std::string(kBoundaryPrefix) + hex;
}

std::string randomBoundary() {
    std::uint32_t values[2] = {0, 0};
    fillRandom(values);
    return makeBoundary(values[0], values[1]);
}

std::string buildBody(const std::string& boundary, const std::string& id, const std::string& password) {
    std::string body;
    body.reserve(4 * boundary.size() + id.size() + password.size() + 128);
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"id\"\r\n\r\n";
    body += id + "\r\n";
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"password\"\r\n\r\n";
    body += password + "\r\n";
    body += "--" + boundary + "--\r\n";
    return body;
}

std::vector<std::pair<std::string, std::string>> headers(const std::string& boundary, size_t bodyLength) {
    return {{"Content-Type", "multipart/form-data; boundary=" + boundary},
            {"Accept", "*/*"},
            {"User-Agent", "curl"},
            {"Content-Length", std::to_string(bodyLength)}};
}

} // namespace loginform
