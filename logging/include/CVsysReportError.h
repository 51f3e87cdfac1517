// Reports a failure to the system log (facility daemon, priority error) and to standard error,
// as one line "<ident>-ERROR <function>: <message>". Used before the event log exists and by
// the event log for its own failures. Texts beyond 65,534 bytes are cut. Returns true.
#pragma once

bool CVsysReportError(const char* function, const char* ident, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
