// Lists a directory and serialises writers of it through a lock file named "lock" inside it.
// An object serves one thread at a time: threads share a directory through objects of their own.
#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "CVconLock.h"
#include "CVioFile.h"
#include "CVobject.h"

class CVioDirectory : public CVobject {
public:
    explicit CVioDirectory(const std::string& path);
    ~CVioDirectory() override;

    // False when the path is not a directory; "r" and "w" check the owner's bits.
    bool isAccessible(const std::string& mode) const;
    // Appends a closed CVioFile for each regular file matching `pattern`, in readdir order.
    // maxCount > 0 limits the count; notAfter > 0 skips files modified after it.
    // Raises "Read Directory Failed".
    void listFiles(std::vector<std::unique_ptr<CVioFile>>& files, const char* pattern, int maxCount,
                   time_t notAfter);
    // Locks the directory's "lock" file ('r' shared, 'w' exclusive), creating it when missing.
    // Returns 0, or the object lock's result when that cannot be taken.
    int lockDirectory(char mode, bool wait);
    int unlockDirectory();

    const std::string& getPath() const { return m_path; }

private:
    void openLockFile(char mode);

    std::string m_path;
    std::unique_ptr<CVioFile> m_lockFile;  // guarded by m_lock; null until lockDirectory
    CVconLock m_lock;
};
