#include "CVFIspool.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "CVioRecordLock.h"
#include "formatString.h"

namespace {

const char kLockName[] = "lock";
const char kLockContent[] = "locker";
constexpr int kEntryLockWaitMs = 2000;

using Clock = std::chrono::steady_clock;

// The lock file may be the target of another user's game: only our own regular file with one
// link is ever used, and a fresh one is made beside nothing else.
bool isOwnLockFile(int fd) {
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
           info.st_nlink == 1;
}

CVioDescriptor createLockFile(int dirFd) {
    CVioDescriptor fd(
        openat(dirFd, kLockName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        return fd;
    }
    const ssize_t length = static_cast<ssize_t>(sizeof kLockContent - 1);
    if (write(fd.get(), kLockContent, sizeof kLockContent - 1) != length) {
        fd.reset();
    }
    return fd;
}

// Our lock file, opened read-write; a missing or unusable one is replaced. Another process
// replacing it at the same time makes the exclusive create fail once; the second round then
// opens theirs.
CVioDescriptor openLockFile(int dirFd) {
    for (int round = 0; round < 2; ++round) {
        CVioDescriptor fd(openat(dirFd, kLockName, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd && isOwnLockFile(fd.get())) {
            return fd;
        }
        if (fd || errno != ENOENT) {
            fd.reset();
            if (unlinkat(dirFd, kLockName, 0) != 0 && errno != ENOENT) {
                return CVioDescriptor();
            }
        }
        fd = createLockFile(dirFd);
        if (fd || errno != EEXIST) {
            return fd;
        }
    }
    return CVioDescriptor();
}

bool wouldBlock(int error) {
    return error == EAGAIN || error == EACCES;
}

// Polls a non-blocking lock with growing pauses; true when granted before `deadline`.
bool lockBefore(int fd, short type, Clock::time_point deadline) {
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (CVioSetRecordLock(fd, type, false) == 0) {
            return true;
        }
        if (!wouldBlock(errno) || Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The verdict on an open entry, from its descriptor's status.
CVFIentryVerdict judge(const struct stat& info, const struct stat& lockInfo) {
    if (!S_ISREG(info.st_mode)) {
        return CVFIentryVerdict::NOT_REGULAR;
    }
    if (info.st_nlink != 1) {
        return CVFIentryVerdict::LINKS;
    }
    if (sameFile(info, lockInfo)) {
        return CVFIentryVerdict::LOCK_FILE;
    }
    if (info.st_size > CVFI_MAX_MESSAGE_FILE) {
        return CVFIentryVerdict::TOO_LARGE;
    }
    return CVFIentryVerdict::ACCEPTED;
}

}  // namespace

CVioDescriptor CVFIopenSpoolDirectory(const std::string& path) {
    return CVioDescriptor(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

CVFIlockResult CVFIlockSpoolDirectory(int dirFd, int waitMs, CVioDescriptor& lock) {
    CVioDescriptor fd = openLockFile(dirFd);
    if (!fd) {
        return CVFIlockResult::FAILED;
    }
    if (waitMs < 0) {
        if (CVioSetRecordLock(fd.get(), F_WRLCK, true) != 0) {
            return CVFIlockResult::FAILED;
        }
    } else if (!lockBefore(fd.get(), F_WRLCK, Clock::now() + std::chrono::milliseconds(waitMs))) {
        return wouldBlock(errno) ? CVFIlockResult::BUSY : CVFIlockResult::FAILED;
    }
    lock = std::move(fd);
    return CVFIlockResult::LOCKED;
}

CVFIspoolEntry CVFIopenSpoolEntry(int dirFd, const char* name, const struct stat* seen,
                                  const struct stat& lockInfo) {
    CVFIspoolEntry entry;
    // Opening a device or a FIFO may block or act on it: such entries are judged unopened.
    if (seen != nullptr && !S_ISREG(seen->st_mode)) {
        entry.info = *seen;
        entry.verdict = CVFIentryVerdict::NOT_REGULAR;
        return entry;
    }
    entry.fd.reset(openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!entry.fd) {
        const int error = errno;
        // A symbolic link (ELOOP) or a socket (ENXIO) that replaced the entry since the walk.
        if (fstatat(dirFd, name, &entry.info, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISREG(entry.info.st_mode)) {
            entry.verdict = CVFIentryVerdict::NOT_REGULAR;
        }
        errno = error;
        return entry;
    }
    if (fstat(entry.fd.get(), &entry.info) != 0) {
        entry.fd.reset();
        return entry;
    }
    entry.verdict = judge(entry.info, lockInfo);
    if (entry.verdict != CVFIentryVerdict::ACCEPTED) {
        entry.fd.reset();
    }
    return entry;
}

std::string CVFIrefusalText(const CVFIspoolEntry& entry, const char* name) {
    switch (entry.verdict) {
        case CVFIentryVerdict::NOT_REGULAR:
            return formatString("Refused spool entry [%s]: not a regular file", name);
        case CVFIentryVerdict::LINKS:
            return formatString("Refused spool entry [%s]: %d links", name,
                                static_cast<int>(entry.info.st_nlink));
        case CVFIentryVerdict::LOCK_FILE:
            return formatString("Refused spool entry [%s]: the spool directory's lock file", name);
        case CVFIentryVerdict::TOO_LARGE:
            return formatString("Refused spool entry [%s]: larger than %ld bytes", name,
                                static_cast<long>(CVFI_MAX_MESSAGE_FILE));
        default:
            return std::string();
    }
}

bool CVFIlockSpoolEntry(int fd) {
    return lockBefore(fd, F_RDLCK, Clock::now() + std::chrono::milliseconds(kEntryLockWaitMs));
}

bool CVFIremoveSpoolEntry(int dirFd, const char* name, const struct stat& read) {
    struct stat now;
    if (fstatat(dirFd, name, &now, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(now, read)) {
        return false;
    }
    return unlinkat(dirFd, name, 0) == 0;
}

std::string CVFIrandomMessageName() {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[6];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        // Only uniqueness matters, and the no-replace rename guards it anyway.
        const auto ticks = static_cast<unsigned long long>(Clock::now().time_since_epoch().count());
        for (size_t i = 0; i < sizeof bytes; ++i) {
            bytes[i] = static_cast<unsigned char>(ticks >> (8 * i));
        }
    }
    std::string name = "corfi";
    for (const unsigned char byte : bytes) {
        name += kAlphabet[byte % (sizeof kAlphabet - 1)];
    }
    return name;
}
