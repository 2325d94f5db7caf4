#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The login request's multipart form: boundary, body and headers, byte for byte.
namespace loginform {

inline constexpr const char* kBoundaryPrefix = "----iOSURLSessionBoundary.";
inline constexpr size_t kBoundaryLength = 26 + 16;

// "----iOSURLSessionBoundary." + both values as 8 lower-case hex digits each.
std::string makeBoundary(std::uint32_t first, std::uint32_t second);
// A boundary from fresh values of the kernel's random source.
std::string randomBoundary();

// The form with the fields "id" and "password", CR LF line ends, closing delimiter last.
std::string buildBody(const std::string& boundary, const std::string& id, const std::string& password);

// Header lines (name, value) the request carries besides what the transport adds (Host, Authorization).
std::vector<std::pair<std::string, std::string>> headers(const std::string& boundary, size_t bodyLength);

} // namespace loginform
