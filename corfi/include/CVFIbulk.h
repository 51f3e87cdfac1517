// Start and stop of the bulk file dispatcher around the dispatch loop.
#pragma once

#include <cstdint>
#include <string>

// The six bulk resources, read by the bulk thread; filled before the thread starts.
struct CVcorfiBulkSettings {
    bool enable = false;
    std::string directory;
    std::string filePattern;
    std::string recipientPattern;
    std::string messagePattern;
    int32_t checkPeriod = 60;    // seconds
    std::string spoolDirectory;  // where message files are written
    bool watch = false;          // a new bulk file ends the rest at once (spool_watch)
};

// Checks the settings taken from the resource table and starts the bulk thread.
void startBulkDispatcher();
// Waits up to 3 s for the bulk thread and releases it. False when it is still running: its
// objects are then kept, and the caller must leave without running destructors.
bool stopBulkDispatcher();
