// The spool directory dispatch loop.
#pragma once

#include <string>

// True for names beginning with "corfi" in any case.
bool CVFIisMessageFileName(const char* name);
// Runs cycles until the stop event, a lost primary-server role, or a spool directory that
// cannot be locked, examined or opened.
void CVFIdispatchLoop();
