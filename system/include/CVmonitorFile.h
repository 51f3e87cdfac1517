// The monitor file: a 2,416-byte record naming the process, whose modification time an
// outside watchdog checks; and the primary-server check run before every dispatch cycle.
#pragma once

#include <cstddef>

constexpr size_t CV_MONITOR_RECORD_SIZE = 2416;
// Offsets inside the record (host byte order).
constexpr size_t CV_MONITOR_UPDATE_OFFSET = 4;
constexpr size_t CV_MONITOR_TAG_OFFSET = 12;
constexpr size_t CV_MONITOR_PID_OFFSET = 76;
constexpr size_t CV_MONITOR_ARGS_OFFSET = 108;
constexpr size_t CV_MONITOR_EXTRA_OFFSET = 2156;
constexpr size_t CV_MONITOR_START_OFFSET = 2412;

// Writes (or rewrites, keeping bytes 0-3 and 8-11) the record. `record` is the caller's
// CV_MONITOR_RECORD_SIZE bytes, zero-filled before the first call. Errors go to the event log.
bool CVmonitorFileCreate(const char* path, const char* tag, unsigned char* record,
                         const char* extra, int argc, const char* const* argv);
// Sets the in-memory update time and the file's access and modification times to now.
void CVmonitorFileTouch(const char* path, unsigned char* record);
// True when this host holds the address named by the first line of the primary-server file,
// or when that file is missing, unreadable or empty.
bool CVisPrimaryServer(const char* path);
// grep's test of the address against one local address: a substring match in which every
// "." of the address matches any character.
bool CVaddressMatches(const char* address, const char* localAddress);
