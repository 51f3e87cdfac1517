// What corfi-status finds out about a daemon from its monitor file, its process and its spool
// directory, and the verdict in the monitoring-plugin convention.
#pragma once

#include <ctime>
#include <optional>
#include <string>

class StatusCheck {
public:
    enum Code { OK = 0, WARNING = 1, CRITICAL = 2, UNKNOWN = 3 };

    // Limits on the age of the last sign of life, in seconds.
    StatusCheck(std::string monitorPath, std::string spoolDir, long warnAfter, long critAfter);

    // Looks at the monitor file, the process it names and the spool directory as of `now`.
    void examine(time_t now);

    Code code() const;
    // "CORFI OK - pid 4711 alive, ... | age=3s;150;300;0 waiting=12;;;0 oldest=41s;;;0
    // retrying=2;;;0 first_failure=95s;;;0" (the last two when the retry state is readable)
    std::string line() const;
    // The same facts as one JSON object; what could not be found out is null.
    std::string json() const;

private:
    void readMonitorFile(time_t now);
    void countWaitingFiles(time_t now);
    void readRetryState(time_t now);
    std::string summary() const;

    std::string m_monitorPath;
    std::string m_spoolDir;
    long m_warnAfter;
    long m_critAfter;

    std::optional<long> m_pid;
    std::optional<bool> m_alive;
    std::optional<long> m_age;           // seconds since the monitor file last changed
    std::optional<long> m_waiting;       // message files in the spool directory
    std::optional<long> m_oldest;        // seconds since the oldest of them changed
    std::optional<long> m_retrying;      // files waiting for another delivery attempt
    std::optional<long> m_firstFailure;  // seconds since the earliest first failure among them
    std::string m_monitorError;
    std::string m_spoolError;
};
