// The failed directory: where a message file that ended FAILED is kept, with the reason beside
// it, instead of being removed.
#pragma once

#include <sys/stat.h>

#include <string>

#include "CVioDescriptor.h"

// Opens `path` for the daemon's life. Holds no descriptor (and logs "Failed directory [%s] is
// not accessible") when it is missing, no directory or not writable.
CVioDescriptor CVFIopenFailedDirectory(const std::string& path);

// Moves the spool entry `name`, only while it still is the file that was read (`read`), into
// the directory `failedFd` under its own name, or with ".1", ".2", ... when that is taken, and
// writes "<that name>.reason" holding the time and `reason`. A rename when both directories are
// on one file system, else a copy that is synced before the spool entry is removed. False, with
// the error text in `error`, when the file could not be moved; the spool entry then remains.
bool CVFImoveToFailedDirectory(int spoolFd, const std::string& name, const struct stat& read,
                               int failedFd, const std::string& reason, std::string& error);
