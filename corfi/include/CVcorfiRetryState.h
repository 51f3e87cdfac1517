// Which message files wait for another delivery attempt, kept across restarts in a small state
// file in the temporary directory (rewritten under a temporary name and renamed). A file is
// known by its name and its identity (device and inode): a file renamed over a waiting name is
// a new file. Used by the main thread alone, and read by corfi-status.
#pragma once

#include <sys/stat.h>

#include <ctime>
#include <map>
#include <set>
#include <string>

class CVcorfiRetryState {
public:
    static constexpr const char* FILE_NAME = ".ACorFi_RetryState";
    static constexpr int FIRST_DELAY = 5;  // seconds; doubled after every failure
    static constexpr int MAX_DELAY = 300;

    struct Entry {
        dev_t device = 0;
        ino_t inode = 0;
        int attempts = 0;  // failed attempts so far
        time_t firstFailure = 0;
        time_t nextAttempt = 0;
    };

    // What a failure leads to: another attempt `delay` seconds on, or the file's final fate.
    struct Decision {
        bool retry = false;
        int attempt = 0;  // the failed attempt's number, from 1
        int delay = 0;
    };

    // Reads the state file of `directory` when there is one; an unreadable line is dropped.
    explicit CVcorfiRetryState(const std::string& directory);

    // True when the file may be delivered now. False while a known file waits for its next
    // attempt (`nextAttempt` then holds it). A file with another identity than the one waiting
    // under its name starts afresh.
    bool due(const std::string& name, const struct stat& file, time_t now, time_t* nextAttempt);
    // Records a failed attempt at `now`; gives up (and forgets the file) when the next attempt
    // would start more than `period` seconds after the first failure.
    Decision failed(const std::string& name, const struct stat& file, time_t now, int period);
    // The file has its final outcome, or is gone.
    void forget(const std::string& name);
    // Drops every entry whose name is not in `present` (the names a whole walk saw).
    void keepOnly(const std::set<std::string>& present);

    const std::map<std::string, Entry>& entries() const { return m_entries; }
    const std::string& path() const { return m_path; }
    // False when the last change could not be written (the state then lives in memory only).
    bool saved() const { return m_saved; }

private:
    void load();
    void save();

    std::string m_path;
    std::map<std::string, Entry> m_entries;
    bool m_saved = true;
};
