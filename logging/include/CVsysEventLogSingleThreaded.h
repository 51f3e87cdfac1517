// Calls the writer in the caller's thread. The lock file serialises the writers; suits
// programs that log from one thread.
#pragma once

#include "CVsysEventLogInterface.h"

class CVsysEventLogSingleThreaded : public CVsysEventLogInterface {
public:
    CVsysEventLogSingleThreaded();
    ~CVsysEventLogSingleThreaded() override;

    bool write(int32_t level, const std::string& message, int32_t line,
               const char* sourceFile) override;
};
