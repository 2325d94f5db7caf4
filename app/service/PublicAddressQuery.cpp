#include "app/service/PublicAddressQuery.h"

#include "app/service/Constants.h"
#include "app/service/FileDownloader.h"

#include <fstream>

namespace {

// The answer is one short line; a larger body is cut, not read whole.
constexpr size_t kMaxBodyBytes = 4096;
constexpr size_t kMaxShownBytes = 64;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

std::optional<std::string> publicAddressFromBody(std::string_view body) {
    const size_t first = body.find(':');
    if (first == std::string_view::npos) return std::nullopt;
    std::string_view field = body.substr(first + 1);
    field = field.substr(0, field.find(':'));
    while (!field.empty() && isSpace(field.front()))
        field.remove_prefix(1);
    while (!field.empty() && isSpace(field.back()))
        field.remove_suffix(1);
    if (field.size() > kMaxShownBytes) field = field.substr(0, kMaxShownBytes);
    return std::string(field);
}

std::optional<std::string> queryPublicAddress() {
    std::string body;
    FileDownloader::loadFileSync(Constants::remoteAddrURL(),
                                 [&](const std::string& path, const std::optional<DownloadError>& error) {
                                     if (error) return;
                                     std::ifstream in(path, std::ios::binary);
                                     body.resize(kMaxBodyBytes);
                                     in.read(body.data(), static_cast<std::streamsize>(body.size()));
                                     body.resize(static_cast<size_t>(in.gcount()));
                                 });
    return publicAddressFromBody(body);
}
