// Plain descriptor helpers shared by the dispatch cycle, the message parser and the monitor
// file. Every descriptor is close-on-exec, and every record lock is a whole-file
// open-file-description lock: it excludes other processes, other threads and other
// descriptors alike, and is released when the descriptor is closed.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// Opens by fopen-style mode letters ("r", "r+", "w", "w+", "a", "a+"; permissions 0666 less
// the umask). Returns the descriptor, or -1 (also for any other first letter).
int CVfdOpen(const char* path, const char* mode);
// Positions the descriptor at its start and locks the whole file. 0 on success, -1 on failure.
int CVfdLock(int fd, bool exclusive, bool wait);
int CVfdUnlock(int fd);
// Opens by mode, then locks (shared for "r", exclusive otherwise): 2 attempts when waiting,
// 100 when not, 200 microseconds apart. Returns the descriptor even when every attempt failed,
// -1 only when the open failed. `locked` (optional) tells whether the lock was taken.
int CVfdLockedOpen(const char* path, const char* mode, bool wait, bool* locked = nullptr);
// Closing releases the lock. Returns close()'s result.
int CVfdReleaseClose(int fd);
// Reads up to size - 1 bytes, stopping after a line feed (kept); zero-terminates. Returns the
// number of bytes read, 0 at end of file, -1 on error.
ssize_t CVfdReadLine(int fd, char* buffer, size_t size);
