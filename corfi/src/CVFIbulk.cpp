#include "CVFIbulk.h"

#include <cstdlib>
#include <exception>
#include <memory>

#include "CVFIdaemon.h"
#include "CVFIresources.h"
#include "CVconThread.h"
#include "CVcorfiBulkFileDispatcher.h"
#include "CVioDirectory.h"
#include "CVsysEventLogInterface.h"
#include "CVsysUtility.h"
#include "formatString.h"

namespace {

constexpr int kStopPolls = 60;
constexpr unsigned int kStopPollMs = 50;

// Start and stop run on the main thread only, so none of this needs a lock. A bulk thread that
// does not stop in time keeps them: the daemon then leaves with _exit, before any destructor.
std::unique_ptr<CVconThread> g_bulkThread;
std::unique_ptr<CVcorfiBulkFileDispatcher> g_bulkDispatcher;

CVcorfiBulkSettings& bulkSettings() {
    static CVcorfiBulkSettings settings;
    return settings;
}

CVsysEventLogInterface* eventLog() {
    return CVsysEventLogInterface::GetInstance(__LINE__, __FILE__);
}

void fillSettings(CVcorfiBulkSettings& settings) {
    settings.enable = g_corfiValues.bulkEnable != 0;
    settings.directory = g_corfiValues.bulkDir;
    settings.filePattern = g_corfiValues.bulkFilePattern;
    settings.recipientPattern = g_corfiValues.bulkRecipientPattern;
    settings.messagePattern = g_corfiValues.bulkMessagePattern;
    settings.checkPeriod = g_corfiValues.bulkCheckPeriod;
    settings.spoolDirectory = g_corfiValues.spoolDir;
    settings.watch = g_corfiValues.spoolWatch != 0;
}

// False (and logged) when the settings do not allow a bulk thread.
bool checkSettings(CVsysEventLogInterface* log, CVcorfiBulkSettings& settings) {
    if (!settings.enable) {
        log->info("Bulk Processing is disabled", __LINE__, __FILE__);
        return false;
    }
    if (settings.directory.empty() || !CVioDirectory(settings.directory).isAccessible("r")) {
        log->error(
            formatString("Bulk processing dir [%s] is not accessible", settings.directory.c_str()),
            __LINE__, __FILE__);
        return false;
    }
    if (settings.filePattern.empty()) {
        log->info("Bulk File Pattern is not set, using default '*'", __LINE__, __FILE__);
        settings.filePattern = "*";
    }
    if (settings.messagePattern.empty()) {
        log->error("Bulk Message Pattern Not Set", __LINE__, __FILE__);
        return false;
    }
    if (settings.recipientPattern.empty()) {
        log->error("Bulk Recipient Pattern Not Set", __LINE__, __FILE__);
        return false;
    }
    return true;
}

void createAndStart(CVsysEventLogInterface* log, CVcorfiBulkSettings& settings) {
    log->trace("Creating Bulk File Pooling Machine", __LINE__, __FILE__);
    g_bulkThread = std::make_unique<CVconThread>();
    g_bulkThread->setDeleteOnExit(false);
    log->trace("Creating Bulk File Processor", __LINE__, __FILE__);
    g_bulkDispatcher =
        std::make_unique<CVcorfiBulkFileDispatcher>("corfidir", log, g_corfiPaths.tempDir);
    log->trace("Setting Configuration", __LINE__, __FILE__);
    g_bulkDispatcher->setArgument(&settings);
    log->trace("Starting Bulk File Pooling Machine", __LINE__, __FILE__);
    g_bulkThread->start(g_bulkDispatcher.get());
}

}  // namespace

void startBulkDispatcher() {
    CVsysEventLogInterface* log = eventLog();
    CVcorfiBulkSettings& settings = bulkSettings();
    if (g_bulkThread == nullptr) {
        fillSettings(settings);
    }
    if (!checkSettings(log, settings)) {
        return;
    }
    if (g_bulkThread != nullptr) {
        log->debug(g_bulkThread->isAlive() ? "Bulk Processing Thread already Running"
                                           : "Bulk Processing Thread created but Not Running",
                   __LINE__, __FILE__);
        return;
    }
    try {
        createAndStart(log, settings);
    } catch (const std::exception&) {
        log->error("Error occurred while starting Bulk File Pooling", __LINE__, __FILE__);
    }
    if (g_bulkThread == nullptr || !g_bulkThread->isAlive()) {
        log->error("Failed to Start Bulk File Pooling Machine", __LINE__, __FILE__);
    }
}

bool stopBulkDispatcher() {
    if (g_bulkThread == nullptr) {
        g_bulkDispatcher.reset();
        return true;
    }
    CVsysEventLogInterface* log = eventLog();
    log->trace("Waiting for Bulk Processing to end.", __LINE__, __FILE__);
    for (int poll = 0; poll < kStopPolls && g_bulkThread->isAlive(); ++poll) {
        CVsysUtility::sleepMilliseconds(kStopPollMs);
    }
    if (g_bulkThread->isAlive()) {
        // Kept: the thread still uses both objects.
        return false;
    }
    g_bulkThread.reset();
    g_bulkDispatcher.reset();
    return true;
}
