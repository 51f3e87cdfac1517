#include "CVfileDescriptor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "CVioRecordLock.h"

namespace {

constexpr int kWaitingAttempts = 2;
constexpr int kPollingAttempts = 100;
constexpr useconds_t kAttemptPauseMicros = 200;

// fopen accepts the "+" after a "b" as well ("rb+").
bool hasPlus(const char* mode) {
    return mode[0] && std::strchr(mode + 1, '+') != nullptr;
}

int openFlags(const char* mode) {
    const bool plus = hasPlus(mode);
    switch (mode[0]) {
        case 'r':
            return plus ? O_RDWR : O_RDONLY;
        case 'w':
            return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        case 'a':
            return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        default:
            return -1;
    }
}

}  // namespace

int CVfdOpen(const char* path, const char* mode) {
    if (!path || !mode) {
        errno = EINVAL;
        return -1;
    }
    const int flags = openFlags(mode);
    if (flags < 0) {
        errno = EINVAL;
        return -1;
    }
    int fd;
    do {
        fd = open(path, flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int CVfdLock(int fd, bool exclusive, bool wait) {
    if (lseek(fd, 0, SEEK_SET) < 0) {
        return -1;
    }
    return CVioSetRecordLock(fd, exclusive ? F_WRLCK : F_RDLCK, wait) == 0 ? 0 : -1;
}

int CVfdUnlock(int fd) {
    return CVioSetRecordLock(fd, F_UNLCK, false) == 0 ? 0 : -1;
}

int CVfdLockedOpen(const char* path, const char* mode, bool wait, bool* locked) {
    if (locked) {
        *locked = false;
    }
    const int fd = CVfdOpen(path, mode);
    if (fd < 0) {
        return -1;
    }
    // A read-only descriptor can only hold a shared lock, a write-only one only an exclusive.
    const bool exclusive = !(mode[0] == 'r' && !hasPlus(mode));
    const int attempts = wait ? kWaitingAttempts : kPollingAttempts;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) {
            usleep(kAttemptPauseMicros);
        }
        if (CVfdLock(fd, exclusive, wait) == 0) {
            if (locked) {
                *locked = true;
            }
            break;
        }
    }
    return fd;
}

// The descriptors are close-on-exec and the daemon forks only to exec, so closing the last
// descriptor of the open file description is what releases its lock.
int CVfdReleaseClose(int fd) {
    return close(fd);
}

ssize_t CVfdReadLine(int fd, char* buffer, size_t size) {
    if (!buffer || size == 0) {
        errno = EINVAL;
        return -1;
    }
    size_t count = 0;
    while (count + 1 < size) {
        char c;
        const ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && count == 0) {
            buffer[0] = '\0';
            return -1;
        }
        if (n <= 0) {
            break;
        }
        buffer[count++] = c;
        if (c == '\n') {
            break;
        }
    }
    buffer[count] = '\0';
    return static_cast<ssize_t>(count);
}
