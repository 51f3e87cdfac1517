#include "CVioDirectory.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "CVconLockGuard.h"
#include "CVioException.h"
#include "CVioPath.h"
#include "CVsysUtility.h"

namespace {

const char* const kFileTag = "../src/CVioDirectory";
const int kLineReadDirectoryFailed = 245;
const char* const kLockFileName = "lock";
const char* const kLockFileContent = "lock";

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

}  // namespace

CVioDirectory::CVioDirectory(const std::string& path) : m_path(path) {}

CVioDirectory::~CVioDirectory() = default;

bool CVioDirectory::isAccessible(const std::string& mode) const {
    struct stat info;
    if (stat(m_path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return false;
    }
    if (mode.find('r') != std::string::npos && (info.st_mode & S_IRUSR) == 0) {
        return false;
    }
    if (mode.find('w') != std::string::npos) {
        return (info.st_mode & S_IWUSR) != 0;
    }
    return true;
}

void CVioDirectory::listFiles(std::vector<std::unique_ptr<CVioFile>>& files, const char* pattern,
                              int maxCount, time_t notAfter) {
    const std::string directory = m_path.empty() ? "./" : m_path;
    DirHandle dir(opendir(directory.c_str()));
    if (!dir) {
        throw CVioException(m_path, kFileTag, kLineReadDirectoryFailed, "Read Directory Failed",
                            CVsysUtility::getSystemErrorMessage());
    }
    errno = 0;
    struct dirent* entry = readdir(dir.get());
    if (entry == nullptr) {
        throw CVioException(m_path, kFileTag, kLineReadDirectoryFailed, "Read Directory Failed",
                            CVsysUtility::getSystemErrorMessage());
    }
    int count = 0;
    for (; entry != nullptr; entry = readdir(dir.get())) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
            std::strcmp(name, kLockFileName) == 0) {
            continue;
        }
        struct stat info;
        // An entry removed since readdir (a file just dispatched by another process) is gone.
        if (stat((directory + "/" + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        if (notAfter > 0 && notAfter < info.st_mtime) {
            continue;
        }
        if (!CVioFile::matchPattern(name, pattern)) {
            continue;
        }
        files.push_back(std::make_unique<CVioFile>(CVioPath::join(m_path, name)));
        if (maxCount > 0 && ++count >= maxCount) {
            break;
        }
    }
}

int CVioDirectory::lockDirectory(char mode, bool wait) {
    CVconLockGuard<> held(m_lock);
    if (!held.owns()) {
        return CVconLock::FAILED;
    }
    if (!m_lockFile) {
        m_lockFile = std::make_unique<CVioFile>(CVioPath::join(m_path, kLockFileName));
        try {
            openLockFile(mode);
        } catch (...) {
            // A half-prepared lock file would let the next call "lock" a closed file.
            m_lockFile.reset();
            throw;
        }
    }
    m_lockFile->lock(mode, wait);
    return 0;
}

void CVioDirectory::openLockFile(char mode) {
    CVioFile& file = *m_lockFile;
    if (!CVioFile::exists(file.getPath())) {
        file.open("w+");
        // Every user of the directory must be able to open the lock file, whatever our umask.
        chmod(file.getPath().c_str(), 0666);
    } else if (mode == 'w') {
        file.open("a");
    } else if (file.getSize() > 1) {
        file.open("r");
    }
    // A lock file of at most one byte is refilled; for a shared lock it was not opened, which
    // raises here.
    if (file.getSize() <= 1) {
        file.write(kLockFileContent);
    }
}

int CVioDirectory::unlockDirectory() {
    // The lock file's own lock is released before the directory's object lock is taken:
    // lockDirectory takes them in the other order (directory, then file), and holding the file's
    // lock while waiting for the directory's would invert it.
    if (m_lockFile) {
        m_lockFile->unlock();
    }
    CVconLockGuard<> held(m_lock);
    if (!held.owns()) {
        return CVconLock::FAILED;
    }
    m_lockFile.reset();
    return held.release();
}
