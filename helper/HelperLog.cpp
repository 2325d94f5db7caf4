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

} // namespace helper
