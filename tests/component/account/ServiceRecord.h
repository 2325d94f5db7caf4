#pragma once
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// The requests tavro-service wrote to its --record file, one JSON object per line.
namespace servicerecord {

std::vector<nlohmann::json> read(const std::string& file);
// The recorded login requests (path /tavro_cm/auth), oldest first.
std::vector<nlohmann::json> logins(const std::string& file);

// Every recorded value of a header, in order (names compared without case).
std::vector<std::string> headers(const nlohmann::json& entry, const std::string& name);
// The first value, "" when absent.
std::string header(const nlohmann::json& entry, const std::string& name);
// The client's Content-Type. The service shows its form parser a neutral type in place of the client's,
// and the record may list that one as well; it is not what the client sent.
std::string clientContentType(const nlohmann::json& entry);
// The exact body bytes.
std::string body(const nlohmann::json& entry);

} // namespace servicerecord
