// Bulk input as any program may leave it, through the daemon's dispatcher. fuzz_bulk_lines reads
// the input as a bulk file, line by line, writing a message file for each line with a recipient
// and a message. fuzz_bulk_status (BULK_STATUS) reads it as the status file of an interrupted
// bulk file, which is trusted only when it names a work name of the bulk directory.
#include <filesystem>

#include "CVFIbulk.h"
#include "CVcorfiBulkFileDispatcher.h"
#include "CVcorfiBulkStatus.h"
#include "CVsysEventLogInterface.h"
#include "FuzzSupport.h"

namespace {

std::string directory(const char* name) {
    return fuzzsupport::scratchDirectory() + "/bulk/" + name;
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
    CVcorfiBulkSettings settings;
    settings.directory = directory("bulk");
    settings.spoolDirectory = directory("spool");
    settings.recipientPattern = "TO=(\\d+)";
    settings.messagePattern = "MSG=(.*)$";
    CVcorfiBulkFileDispatcher dispatcher("fuzz", CVsysEventLogInterface::GetInstance(),
                                         directory("temp"));
    dispatcher.setArgument(&settings);
#ifdef BULK_STATUS
    const std::string record = directory("temp") + "/" + CVcorfiBulkStatus::FILE_NAME;
    fuzzsupport::writeScratchFile(record, data, size);
    CVcorfiBulkStatus status(directory("temp"));
    if (!status.getFileName().empty()) {
        dispatcher.resumeRecorded(status);
    }
#else
    const std::string work = directory("bulk") + "/list_1_M";
    fuzzsupport::writeScratchFile(work, data, size);
    CVcorfiBulkStatus status(directory("temp"));
    status.setFileName(work);
    status.setLineCount(0);
    dispatcher.processFile(work, status);
#endif
    return 0;
}
