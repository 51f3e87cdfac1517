// Process-wide state of the daemon, set up by start-up and read by the dispatch cycle.
#pragma once

#include <cstdint>
#include <string>

#include "CVconEvent.h"

struct CVFIdaemonPaths {
    std::string programName;        // argv[0], at most 255 characters
    std::string configDir;          // config_dir, possibly moved by a root_dir file
    std::string configFile;         // configDir + corfi_config
    std::string primaryServerFile;  // configDir + phs
    std::string tempDir;            // parent of configDir + temp
    std::string commandLine;        // all arguments joined by one space, at most 2,047 characters
};

extern CVFIdaemonPaths g_corfiPaths;

// The manual-reset stop event. Signals never touch it directly: a watcher thread sets it.
CVconEvent& CVFIstopEvent();

// Sets the stop event and makes CVFIstopDescriptor() readable. Not for signal context.
void CVFIrequestStop();
// Readable once a stop was requested, and from then on: for waits that watch descriptors too.
int CVFIstopDescriptor();
// True when a stop was requested, waiting up to `timeoutMs` for one (0: just look). An event
// that cannot be waited on counts as a stop.
bool CVFIstopRequested(int timeoutMs = 0);
// A resource in seconds as a wait in milliseconds; 0 for none or less, capped at INT_MAX.
int CVFIsecondsToMilliseconds(int32_t seconds);

// Blocks SIGINT, SIGQUIT, SIGTERM and SIGABRT in the calling thread (and so in every thread
// it creates later). Call before any thread exists.
void CVFIblockStopSignals();
// Starts the thread that waits for the blocked stop signals and sets the stop event.
bool CVFIstartSignalWatcher();

// The whole program: start-up, the dispatch loop, the orderly stop. Returns the exit status.
int CVFImain(int argc, char** argv);
// Start-up's configuration steps alone, for tools that must find an installation as the
// daemon does: the resources from the command line `-config_dir configDir` (none when empty),
// the MM variables and the resource files, and the directory checks, each failure reported as
// at start-up. Returns 0 with the resource table and g_corfiPaths filled, or the exit status
// start-up would end with.
int CVFIloadConfiguration(const std::string& programName, const std::string& configDir);
