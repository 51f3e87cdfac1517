// Appends each entry as one line to a log file, serialising processes (and, through the
// open-file-description lock, threads) with a lock file beside it, and archives the file into
// P.1 ... P.N when it reaches its size limit. Nothing stays open between entries.
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>
#include <string>

#include "CVsysEventLogWriterInterface.h"

class CVsysEventLogFileWriter : public CVsysEventLogWriterInterface {
public:
    CVsysEventLogFileWriter();
    ~CVsysEventLogFileWriter() override;

    // Keys (without case): numFiles (1 to 1,000), bytesPerFiles (1,024 to 2^40), filePath,
    // autoAppend, perProcessFile. A number out of range is refused and leaves the writer unready.
    bool setParameter(const std::string& key, const std::string& value) override;
    // The entry's line is appended whole or not at all; a failure is reported to the system
    // log, at most once a minute.
    bool write(const std::string& moduleName, int32_t level, const std::string& message,
               int32_t line, const char* sourceFile, time_t time) override;
    bool isReady() override;

    // Creates the file when missing and remembers its directory.
    bool setFilePath(const std::string& path);
    // Moves the current file into the numbered series when it has reached bytesPerFiles.
    // The caller holds the lock file.
    void Archive(const std::string& moduleName);

    const std::string& getFilePath() const { return m_filePath; }
    const std::string& getDirectory() const { return m_directory; }

private:
    // The log file of an entry: filePath, or the module's own file beside it.
    std::string entryPath(const std::string& moduleName) const;
    std::string formatLine(const std::string& moduleName, int32_t level, const std::string& message,
                           time_t time) const;
    void archive(const std::string& path, const std::string& moduleName);
    // 0, or the errno of the failing step; a line that could not be written whole is removed
    // again. The caller holds the lock file.
    static int appendWhole(const std::string& path, const std::string& line);
    // To the system log, at most once a minute; the others are counted into the next report.
    void reportFailure(const char* function, const std::string& moduleName,
                       const std::string& text);
    // False (reported) when the archived file cannot take its closing line.
    bool appendArchiveLine(const std::string& path, const std::string& moduleName);

    // The fields are set only while configuring, before the writer is shared.
    std::string m_directory;
    std::string m_filePath;
    bool m_perProcessFile = true;
    bool m_autoAppend = true;
    uint64_t m_bytesPerFiles = 0;
    int32_t m_numFiles = 0;
    bool m_pathValid = false;

    static constexpr int64_t kNeverReported = INT64_MIN;
    static constexpr int64_t kReportIntervalSeconds = 60;
    // Shared by the threads of a single-threaded log, hence atomic.
    std::atomic<int64_t> m_lastReport{kNeverReported};  // steady clock, seconds
    std::atomic<unsigned> m_unreported{0};              // failures since that report
};
