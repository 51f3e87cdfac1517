// What every fuzz target needs before its first input.
#pragma once

#include <string>

namespace fuzzsupport {

// A private scratch directory for the whole run (never removed: libFuzzer may _exit).
const std::string& scratchDirectory();
// Registers the daemon's event log without starting it, so the code under test finds its log
// and every logging call returns at once.
void registerQuietEventLog();

}  // namespace fuzzsupport
