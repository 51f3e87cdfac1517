// The bulk thread's body: polls the bulk directory, claims each matching bulk file by renaming
// it, turns every line into a message file and records its progress in the bulk status file.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "CVconDelegate.h"

class CVsysEventLogInterface;
class CVcorfiBulkStatus;
class CVcorfiDirectoryWatch;
class CVioFile;
class CVcorfiRegex;
struct CVcorfiBulkSettings;

class CVcorfiBulkFileDispatcher : public CVconDelegate {
public:
    // How the work on one file ended.
    enum class Outcome {
        DONE,          // every line handled; the file carries its done name
        INTERRUPTED,   // a stop came between two lines; name and record stay
        FAILED,        // reading failed; the file carries its failure name
        WRITE_FAILED,  // a message file could not be written; name and record stay
    };
    // Lines longer than this (line feed not counted) are skipped whole.
    static constexpr size_t MAX_LINE_LENGTH = 65536;

    // `log` is not owned. `tempDirectory` holds the bulk status file.
    CVcorfiBulkFileDispatcher(const std::string& name, CVsysEventLogInterface* log,
                              const std::string& tempDirectory);
    ~CVcorfiBulkFileDispatcher() override;

    // `argument` is the CVcorfiBulkSettings record (not owned, read only).
    void run(void* argument) override;
    // Processes a claimed file from the status's line count on, then renames it to its done
    // name (or its failure name after an exception).
    Outcome processFile(const std::string& path, CVcorfiBulkStatus& status);
    // The file the status names, when the record is trustworthy: a work name directly in the
    // bulk directory, a regular file, a valid count. Otherwise the record is logged and emptied.
    Outcome resumeRecorded(CVcorfiBulkStatus& status);

    // path + "_" + seconds + "_M" into `workName`; false for an empty path or a name already
    // marked "_M", "_R" or "_F<number>".
    static bool makeWorkName(const std::string& path, time_t seconds, std::string& workName);

    const std::string& getName() const { return m_name; }

private:
    // Null (and logged) when the status file cannot be set up.
    std::unique_ptr<CVcorfiBulkStatus> openStatus();
    // Claims and processes the listed files; WRITE_FAILED ends the cycle early.
    Outcome runCycle(CVcorfiBulkStatus& status);
    Outcome claimFile(const std::string& path, CVcorfiBulkStatus& status);
    // `file` is opened here when it is not open yet.
    Outcome processLines(const std::string& path, CVioFile& file, CVcorfiBulkStatus& status);
    void watchBulkDirectory();
    // True when the stop came during the rest.
    bool restUntilNextCycle();
    bool isRecordTrusted(const CVcorfiBulkStatus& status) const;
    // False when the line's message file could not be written.
    bool handleLine(const std::string& path, int32_t lineIndex, const std::string& line,
                    bool tooLong, const CVcorfiRegex& recipientExpression,
                    const CVcorfiRegex& messageExpression);
    // The settings stored by run(), else the delegate's argument, so that processFile can be
    // driven without the polling loop.
    const CVcorfiBulkSettings& settings() const;

    std::string m_name;
    CVsysEventLogInterface* m_log;                    // not owned
    const CVcorfiBulkSettings* m_settings = nullptr;  // not owned; set by run()
    std::string m_tempDirectory;
    // Ends the rest when a new bulk file arrives; set by run() when the settings ask for it.
    std::unique_ptr<CVcorfiDirectoryWatch> m_watch;
};
