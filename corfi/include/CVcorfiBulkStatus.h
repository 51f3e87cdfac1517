// The bulk status file ".ACorFi_BulkStatus": which bulk file is in progress and how many of its
// lines are done, rewritten after every line so an interrupted file resumes after a restart.
// Used by the bulk thread alone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "CVioFile.h"

class CVcorfiBulkStatus {
public:
    static constexpr const char* FILE_NAME = ".ACorFi_BulkStatus";

    // Opens (or creates) the status file in `directory` and reads its record. Raises
    // CVioException "The Directory doesn't exists" when the directory is not readable and
    // writable by its owner.
    explicit CVcorfiBulkStatus(const std::string& directory);
    ~CVcorfiBulkStatus();
    CVcorfiBulkStatus(const CVcorfiBulkStatus&) = delete;
    CVcorfiBulkStatus& operator=(const CVcorfiBulkStatus&) = delete;

    const std::string& getFileName() const { return m_fileName; }
    int32_t getLineCount() const { return m_lineCount; }
    // False when the record read at construction held anything but a decimal count from 0 to
    // 2,147,483,647 (the count then reads 0).
    bool isCountValid() const { return m_countValid; }
    const std::string& getStatusPath() const { return m_statusPath; }

    // Each stores its value and rewrites the record; false when the rewrite failed.
    bool setFileName(const std::string& name);
    bool setLineCount(int32_t count);
    bool incrementLineCount();
    // Back to idle: empty name, count 0, file truncated. Raises CVioException on failure.
    void clear();

private:
    bool readRecord();
    bool writeRecord();

    int32_t m_lineCount = 0;
    bool m_countValid = true;
    std::string m_fileName;
    std::unique_ptr<CVioFile> m_statusFile;
    std::string m_directory;
    std::string m_statusPath;
};
