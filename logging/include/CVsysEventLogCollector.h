// An event log that keeps its entries in memory instead of writing them anywhere: a program
// that runs the daemon's own checks registers one and shows their texts in its own way.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "CVsysEventLogInterface.h"

class CVsysEventLogCollector : public CVsysEventLogInterface {
public:
    struct Entry {
        int32_t level;
        std::string text;
    };

    // Entries below `level` are dropped, as in any event log.
    CVsysEventLogCollector(const std::string& moduleName, int32_t level);
    ~CVsysEventLogCollector() override;

    // Needs no writer, so it always starts.
    bool Start() override;
    bool write(int32_t level, const std::string& message, int32_t line,
               const char* sourceFile) override;

    // The entries kept since the last call, oldest first.
    std::vector<Entry> take();

private:
    std::mutex m_mutex;
    std::vector<Entry> m_entries;  // guarded by m_mutex
};
