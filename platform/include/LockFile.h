// Exclusive lock on a lock file beside a shared file (a log file), held for the lifetime of the
// object and released by closing the descriptor.
//
// The lock is an open-file-description lock, so it excludes other processes, other threads and
// other descriptors of this process alike. The file is created (mode 0600) on first use and
// never removed.
#pragma once

#include <string>

class LockFile {
public:
    static constexpr int DEFAULT_ATTEMPTS = 2000;
    static constexpr unsigned DEFAULT_PAUSE_US = 30000;

    // Tries without blocking up to `attempts` times, `pauseMicros` apart; then raises
    // CVconException "LockFile Creation Failed". An empty path fails at once.
    explicit LockFile(const std::string& path, int attempts = DEFAULT_ATTEMPTS,
                      unsigned pauseMicros = DEFAULT_PAUSE_US);
    ~LockFile();
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;

private:
    bool tryOnce(bool mayCreate);

    std::string m_path;
    int m_fd = -1;
};
