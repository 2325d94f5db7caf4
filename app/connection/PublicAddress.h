#pragma once
#include <optional>
#include <string>
#include <string_view>

// Fetches the public address from the service and shows it in the main window's ipaddrText.
// The fetch runs on a worker; the text is set on the GUI thread, and only while still connected
// (a late answer must not bring an address back after the tunnel went down). Nothing changes on
// failure or for a body without ":".
void GetAndSetIPAddr();

// The second ":"-separated field of a public-address body, trimmed and bounded; nullopt when the
// body holds no ":".
std::optional<std::string> publicAddressFromBody(std::string_view body);
