// The spool directory as the daemon and its writers meet it: one descriptor of the directory
// per cycle, every entry reached relative to it and never through a symbolic link, so that no
// entry name is resolved twice and other users' links cannot steer the daemon.
#pragma once

#include <sys/stat.h>

#include <string>

#include "CVioDescriptor.h"

// A message file larger than this is refused unread.
constexpr off_t CVFI_MAX_MESSAGE_FILE = 1048576;

// Opens the directory itself (the configured path may be a symbolic link). Holds no
// descriptor, with errno set, when that fails.
CVioDescriptor CVFIopenSpoolDirectory(const std::string& path);

enum class CVFIlockResult { LOCKED, BUSY, FAILED };

// Takes the exclusive record lock on the directory's "lock" file into `lock`. The file is
// opened without following links; an entry "lock" that is not a regular file of this user with
// exactly one link is removed and created afresh (mode 0600, content "locker"). `waitMs` < 0
// waits until the lock is granted, otherwise BUSY once `waitMs` have passed. FAILED when no
// usable lock file can be had.
CVFIlockResult CVFIlockSpoolDirectory(int dirFd, int waitMs, CVioDescriptor& lock);

enum class CVFIentryVerdict { ACCEPTED, CANNOT_OPEN, NOT_REGULAR, LINKS, LOCK_FILE, TOO_LARGE };

struct CVFIspoolEntry {
    CVFIentryVerdict verdict = CVFIentryVerdict::CANNOT_OPEN;
    CVioDescriptor fd;    // open (read-only, non-blocking) when ACCEPTED
    struct stat info {};  // of the open file, or of the entry itself when refused unopened
};

// Opens a message file for reading and decides whether it may be read at all: a regular file
// with one link that is not the lock file (`lockInfo`) and holds at most
// CVFI_MAX_MESSAGE_FILE bytes. `seen` is the entry's own status from the walk, when known; an
// entry that is no regular file there is refused without being opened.
CVFIspoolEntry CVFIopenSpoolEntry(int dirFd, const char* name, const struct stat* seen,
                                  const struct stat& lockInfo);
// "Refused spool entry [%s]: ..." for a refused verdict; empty for ACCEPTED and CANNOT_OPEN.
std::string CVFIrefusalText(const CVFIspoolEntry& entry, const char* name);

// A shared record lock on an open message file, retried for at most 2 seconds.
bool CVFIlockSpoolEntry(int fd);

// Removes `name` only while it still names the file that was read (`read`): a file renamed
// over it since stays for the next scan.
bool CVFIremoveSpoolEntry(int dirFd, const char* name, const struct stat& read);

// "corfi" followed by six random characters of [A-Za-z0-9].
std::string CVFIrandomMessageName();
