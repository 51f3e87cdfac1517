// Bulk files as any program may drop them: read line by line, each line's recipient and message
// extracted, and a message file written for each line that has both.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "CVFIbulk.h"
#include "CVcorfiBulkFileDispatcher.h"
#include "CVcorfiBulkStatus.h"
#include "CVsysEventLogInterface.h"
#include "FuzzSupport.h"

namespace {

std::string directory(const char* name) {
    return fuzzsupport::scratchDirectory() + "/lines/" + name;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::registerQuietEventLog();
    for (const char* name : {"bulk", "spool", "temp"}) {
        std::filesystem::create_directories(directory(name));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::error_code ignored;
    for (const char* name : {"bulk", "spool"}) {
        for (const auto& entry : std::filesystem::directory_iterator(directory(name), ignored)) {
            std::filesystem::remove(entry.path(), ignored);
        }
    }
    const std::string work = directory("bulk") + "/list_1_M";
    fuzzsupport::writeScratchFile(work, data, size);
    CVcorfiBulkSettings settings;
    settings.directory = directory("bulk");
    settings.spoolDirectory = directory("spool");
    settings.recipientPattern = "TO=(\\d+)";
    settings.messagePattern = "MSG=(.*)$";
    CVcorfiBulkFileDispatcher dispatcher("fuzz", CVsysEventLogInterface::GetInstance(),
                                         directory("temp"));
    dispatcher.setArgument(&settings);
    CVcorfiBulkStatus status(directory("temp"));
    status.setFileName(work);
    status.setLineCount(0);
    dispatcher.processFile(work, status);
    return 0;
}
