#include "tools/service/RequestRecorder.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

RequestRecorder::~RequestRecorder() {
    if (fd_ >= 0) ::close(fd_);
}

bool RequestRecorder::open(const std::string& path, std::string* error) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0 && error) *error = path + ": " + std::strerror(errno);
    return fd_ >= 0;
}

std::string RequestRecorder::base64(std::string_view data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

void RequestRecorder::record(const Entry& entry) {
    if (fd_ < 0) return;
    char stamp[32] = "";
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    if (gmtime_r(&now, &tm)) std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);

    nlohmann::json headers = nlohmann::json::array();
    for (const auto& [name, value] : entry.headers)
        headers.push_back({name, value});

    std::lock_guard lock(mutex_);
    nlohmann::json line = {{"seq", ++seq_},
                           {"time", stamp},
                           {"remote", entry.remote},
                           {"method", entry.method},
                           {"target", entry.target},
                           {"path", entry.path},
                           {"headers", std::move(headers)},
                           {"body", entry.body},
                           {"body_base64", base64(entry.body)},
                           {"status", entry.status},
                           {"note", entry.note}};
    // Request fields are whatever the client sent; invalid UTF-8 must not stop the record.
    std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::size_t off = 0;
    for (int attempt = 0; off < text.size() && attempt < 100; ++attempt) {
        const ssize_t n = ::write(fd_, text.data() + off, text.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        off += static_cast<std::size_t>(n);
    }
}
