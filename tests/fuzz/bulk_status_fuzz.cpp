// Bulk status files as anyone able to write the temporary directory may leave them: read, and
// trusted only when they name a work name of the bulk directory.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "CVFIbulk.h"
#include "CVcorfiBulkFileDispatcher.h"
#include "CVcorfiBulkStatus.h"
#include "CVsysEventLogInterface.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::registerQuietEventLog();
    std::filesystem::create_directories(fuzzsupport::scratchDirectory() + "/status/bulk");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string dir = fuzzsupport::scratchDirectory() + "/status";
    fuzzsupport::writeScratchFile(dir + "/" + CVcorfiBulkStatus::FILE_NAME, data, size);
    CVcorfiBulkSettings settings;
    settings.directory = dir + "/bulk";
    settings.spoolDirectory = dir;
    settings.recipientPattern = "TO=(\\d+)";
    settings.messagePattern = "MSG=(.*)$";
    CVcorfiBulkFileDispatcher dispatcher("fuzz", CVsysEventLogInterface::GetInstance(), dir);
    dispatcher.setArgument(&settings);
    CVcorfiBulkStatus status(dir);
    if (!status.getFileName().empty()) {
        dispatcher.resumeRecorded(status);
    }
    return 0;
}
