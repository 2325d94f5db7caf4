#include "helper/HelperLog.h"

#include "platform/Log.h"

#include <cstdarg>
#include <cstdio>

namespace helper {
namespace {
LogSink g_sink = nullptr;
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
