#pragma once

// System log (syslog(3), collected by journald). Debug priority is what the helper uses throughout.
namespace platform {

void logDebug(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void logInfo(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void logText(const char* text); // logs text as data, never as a format

// Secrets in log lines and trace prints keep the line's format but not their value.
inline constexpr const char* kMasked = "********";

} // namespace platform
