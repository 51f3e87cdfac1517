// The daemon's resource table (in help-text order) and the storage of its values.
#pragma once

#include <cstdint>

#include "CVresource.h"

struct CVFIresourceValues {
    char configDir[512];
    char spoolDir[512];
    char logDir[512];
    char logFile[512];
    int32_t logfileSize;
    int32_t logfileHistory;
    char corvanexsUrl[1024];
    int32_t rest;
    int32_t debug;
    char serviceVersion[512];
    int32_t bulkEnable;
    char bulkDir[256];
    char bulkFilePattern[256];
    char bulkRecipientPattern[256];
    char bulkMessagePattern[256];
    int32_t bulkCheckPeriod;
    int32_t tlsVerify;
    int32_t spoolWatch;
    int32_t maxParallel;
    int32_t foreground;
    int32_t retryPeriod;
    char failedDir[512];
};

constexpr int CVFI_RESOURCE_COUNT = 22;

// Filled once by the main thread at start-up; read-only once other threads run.
extern CVFIresourceValues g_corfiValues;
extern CVresource g_corfiResources[CVFI_RESOURCE_COUNT];

// Clears every value and "set" mark (start-up does this once; tests before each case).
void CVFIresetResources();
