#pragma once
#include <optional>
#include <string>
#include <string_view>

// The public-address query of the service: the body's second ":"-separated field, trimmed and
// bounded; nullopt when the body holds no ":".
std::optional<std::string> publicAddressFromBody(std::string_view body);

// Fetches the query synchronously (call it off the GUI thread); nullopt when nothing usable came.
std::optional<std::string> queryPublicAddress();
