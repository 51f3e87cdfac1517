#include "LockFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "CVconException.h"
#include "CVioRecordLock.h"
#include "CVsysUtility.h"

namespace {

const char* const kTag = "include/LockFile";
const int32_t kLineCreationFailed = 86;

[[noreturn]] void raiseCreationFailed(int savedErrno) {
    errno = savedErrno;
    throw CVconException(static_cast<int32_t>(CVsysUtility::getCurrentThreadID()), kTag,
                         kLineCreationFailed, "LockFile Creation Failed",
                         CVsysUtility::getSystemErrorMessage());
}

}  // namespace

LockFile::LockFile(const std::string& path, int attempts, unsigned pauseMicros) : m_path(path) {
    if (m_path.empty()) {
        raiseCreationFailed(ENOENT);
    }
    // The look for the file is the plain open itself; only when it finds nothing is an
    // exclusive create tried. A file created by another process in between therefore makes
    // just that create fail, and the next attempt opens it.
    int lastErrno = EAGAIN;  // no attempt at all counts as refused
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) {
            usleep(pauseMicros);
        }
        if (tryOnce(false) || (errno == ENOENT && tryOnce(true))) {
            return;
        }
        lastErrno = errno;
    }
    raiseCreationFailed(lastErrno);
}

LockFile::~LockFile() {
    if (m_fd >= 0) {
        ::close(m_fd);  // drops the lock
    }
}

bool LockFile::tryOnce(bool mayCreate) {
    int flags = O_RDWR | O_SYNC | O_CLOEXEC | (mayCreate ? O_CREAT | O_EXCL : 0);
    // Private: anyone who can open the file can hold its lock and so stall every writer.
    int fd = ::open(m_path.c_str(), flags, 0600);
    if (fd < 0) {
        return false;
    }
    struct stat info;
    if (!mayCreate && fstat(fd, &info) == 0 && info.st_uid == geteuid() &&
        (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        fchmod(fd, 0600);  // an existing one of ours is made private too
    }
    if (CVioSetRecordLock(fd, F_WRLCK, false) == -1) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return false;
    }
    m_fd = fd;
    return true;
}
