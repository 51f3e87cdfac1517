#include "CVsysReportError.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <memory>

namespace {
constexpr size_t kBufferSize = 65535;
}

bool CVsysReportError(const char* function, const char* ident, const char* format, ...) {
    std::unique_ptr<char[]> message(new (std::nothrow) char[kBufferSize]);
    if (!message) {
        return false;
    }
    message[0] = '\0';
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        vsnprintf(message.get(), kBufferSize, format, args);  // longer texts are cut
        va_end(args);
    }
    const char* id = ident ? ident : "";
    // LOG_PERROR: someone starting the daemon by hand sees why it refused to start.
    openlog(id, LOG_PID | LOG_PERROR, LOG_DAEMON);
    syslog(LOG_ERR, "%s-ERROR %s: %s", id, function ? function : "", message.get());
    closelog();
    return true;
}
