// cvlogs.ini as an operator may leave it: checked, completed with defaults where sections are
// missing, and read into a writer. Every path in it is kept inside the scratch directory.
#include <cstring>
#include <filesystem>

#include "CVsysEventLogConfig.h"
#include "CVsysEventLogSingleThreaded.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A path leaving the scratch directory could create files anywhere.
    if (std::memchr(data, '/', size) != nullptr || std::memchr(data, '\\', size) != nullptr) {
        return -1;
    }
    const std::string dir = fuzzsupport::scratchDirectory() + "/cvlogs";
    const char* const module = "Fuzz Module";
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    std::filesystem::create_directory(dir);
    fuzzsupport::writeScratchFile(dir + "/cvlogs.ini", data, size);
    // Relative log and database paths land in the scratch directory; libFuzzer's own relative
    // paths need the working directory back afterwards.
    const std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    if (ensureConfiguration(module, dir, "")) {
        CVsysEventLogSingleThreaded log;
        log.initialize(dir, module);
    }
    std::filesystem::current_path(home);
    return 0;
}
