#include "CVFIfailed.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "CVFIspool.h"
#include "CVsysEventLogInterface.h"
#include "CVsysUtility.h"

namespace {

// More would mean the directory is never emptied; the file is then removed as without one.
constexpr int kMaxSuffix = 1000;
constexpr mode_t kFileMode = 0640;

std::string suffixed(const std::string& name, int suffix) {
    return suffix == 0 ? name : name + "." + std::to_string(suffix);
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The spool entry's bytes into a new synced file `target` of the failed directory; false with
// errno set, EEXIST when the name is taken.
bool copyInto(int spoolFd, const std::string& name, const struct stat& read, int failedFd,
              const std::string& target) {
    // Only a regular file can be copied: reading a FIFO or a device could block for good.
    CVioDescriptor source(
        openat(spoolFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info;
    if (!source || fstat(source.get(), &info) != 0 || !sameFile(info, read) ||
        !S_ISREG(info.st_mode)) {
        errno = !source ? errno : S_ISREG(info.st_mode) ? ESTALE : EINVAL;
        return false;
    }
    const std::string part = "." + target + ".part";
    CVioDescriptor copy(openat(failedFd, part.c_str(),
                               O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kFileMode));
    if (!copy) {
        return false;
    }
    char buffer[65536];
    ssize_t n;
    bool ok = true;
    while (ok && (n = ::read(source.get(), buffer, sizeof buffer)) != 0) {
        ok = n > 0 && copy.writeAll(std::string(buffer, static_cast<size_t>(n))) == 0;
    }
    ok = ok && fsync(copy.get()) == 0;
    ok = close(copy.release()) == 0 && ok;
    ok = ok && renameat2(failedFd, part.c_str(), failedFd, target.c_str(), RENAME_NOREPLACE) == 0;
    if (!ok) {
        const int error = errno;
        unlinkat(failedFd, part.c_str(), 0);
        errno = error;
    }
    return ok;
}

// Under the first free name; returns it, or empty with errno set.
std::string moveUnderFreeName(int spoolFd, const std::string& name, const struct stat& read,
                              int failedFd) {
    bool copying = false;
    for (int suffix = 0; suffix < kMaxSuffix; ++suffix) {
        const std::string target = suffixed(name, suffix);
        if (!copying &&
            renameat2(spoolFd, name.c_str(), failedFd, target.c_str(), RENAME_NOREPLACE) == 0) {
            return target;
        }
        if (!copying && errno == EXDEV) {
            copying = true;
        }
        if (copying && copyInto(spoolFd, name, read, failedFd, target)) {
            CVFIremoveSpoolEntry(spoolFd, name.c_str(), read);
            return target;
        }
        if (errno != EEXIST) {
            return std::string();
        }
    }
    errno = EEXIST;
    return std::string();
}

void writeReason(int failedFd, const std::string& target, const std::string& reason) {
    const std::string text =
        CVsysUtility::formatTime(time(nullptr), "%m/%d/%Y %H:%M:%S") + " " + reason + "\n";
    const std::string path = target + ".reason";
    CVioDescriptor fd(openat(failedFd, path.c_str(),
                             O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kFileMode));
    if (!fd || fd.writeAll(text) != 0) {
        CVsysEventLogInterface::GetInstance(__LINE__, __FILE__)
            ->LogEvent(CVsysEventLogInterface::CODE_ERROR, nullptr,
                       "Cannot write [%s] in the failed directory: %s\n", path.c_str(),
                       CVsysUtility::getSystemErrorMessage().c_str());
    }
}

}  // namespace

CVioDescriptor CVFIopenFailedDirectory(const std::string& path) {
    CVioDescriptor fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || faccessat(fd.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
        CVsysEventLogInterface::GetInstance(__LINE__, __FILE__)
            ->LogEvent(CVsysEventLogInterface::CODE_ERROR, nullptr,
                       "Failed directory [%s] is not accessible\n", path.c_str());
        fd.reset();
    }
    return fd;
}

bool CVFImoveToFailedDirectory(int spoolFd, const std::string& name, const struct stat& read,
                               int failedFd, const std::string& reason, std::string& error) {
    struct stat now;
    if (fstatat(spoolFd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(now, read)) {
        error = "the file was replaced or removed";
        return false;
    }
    const std::string target = moveUnderFreeName(spoolFd, name, read, failedFd);
    if (target.empty()) {
        error = CVsysUtility::getSystemErrorMessage();
        return false;
    }
    writeReason(failedFd, target, reason);
    return true;
}
