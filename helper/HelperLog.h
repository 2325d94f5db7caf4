#pragma once
#include <string>
#include <string_view>

// Every helper log line goes to the system log at debug priority. Tests may divert the lines to a
// sink of their own to check them; the texts are the same either way.
namespace helper {

void hlog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

using LogSink = void (*)(const char* line);
void setLogSink(LogSink sink); // nullptr: back to syslog

// With $TVAPPHELPER_LOG_FILE set (tests and the demo run the helper so), every line is appended to
// that file instead of the system log.
void logToFileFromEnvironment();

// A text from a peer as it may appear inside a log line: control bytes written as \xHH, so that
// it cannot end the line or forge another.
std::string escapedForLog(std::string_view text);

} // namespace helper
