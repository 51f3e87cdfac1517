// The spool directory dispatch loop.
#pragma once

#include <string>

// True for names beginning with "corfi" in any case.
bool CVFIisMessageFileName(const char* name);
// Opens (or creates with "locker") the spool directory's "lock" file and locks it exclusively.
// Returns the descriptor, or -1. Closing the descriptor releases the lock.
int CVFIlockSpoolDirectory(const std::string& spoolDir);
// Runs cycles until the stop event, a lost primary-server role, or a spool directory that
// cannot be locked, examined or opened.
void CVFIdispatchLoop();
