// What every fuzz target needs before its first input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzsupport {

// A private scratch directory for the whole run (never removed: libFuzzer may _exit).
const std::string& scratchDirectory();
// Writes `size` bytes to `path`, replacing it; aborts when that fails, since no input could
// then be tried.
void writeScratchFile(const std::string& path, const uint8_t* data, size_t size);
// Registers the daemon's event log without starting it, so the code under test finds its log
// and every logging call returns at once.
void registerQuietEventLog();

}  // namespace fuzzsupport
