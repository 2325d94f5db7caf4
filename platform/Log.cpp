#include "platform/Log.h"

#include <cstdarg>
#include <syslog.h>

namespace platform {

void logDebug(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsyslog(LOG_DEBUG, fmt, ap);
    va_end(ap);
}

void logInfo(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsyslog(LOG_INFO, fmt, ap);
    va_end(ap);
}

void logText(const char* text) { syslog(LOG_DEBUG, "%s", text ? text : ""); }

} // namespace platform
