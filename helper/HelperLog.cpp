#include "helper/HelperLog.h"

#include "platform/Log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace helper {
namespace {
LogSink g_sink = nullptr;
int g_logFile = -1;

void appendToLogFile(const char* line) {
    std::string text = line;
    if (text.empty() || text.back() != '\n') text += '\n';
    // One write per line: instances writing at once do not interleave within a line.
    ssize_t n = ::write(g_logFile, text.data(), text.size());
    (void)n;
}
} // namespace

void logToFileFromEnvironment() {
    const char* path = std::getenv("TVAPPHELPER_LOG_FILE");
    if (!path || path[0] != '/') return;
    g_logFile = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (g_logFile >= 0) g_sink = appendToLogFile;
}

void setLogSink(LogSink sink) {
    g_sink = sink;
}

void hlog(const char* fmt, ...) {
    char line[2048];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (g_sink)
        g_sink(line);
    else
        platform::logText(line);
}

std::string escapedForLog(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace helper
