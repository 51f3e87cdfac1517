// cvlogs.ini as an operator may leave it: checked, completed with defaults where sections are
// missing, and read into a writer. Every path in it is kept inside the scratch directory.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "CVsysEventLogConfig.h"
#include "CVsysEventLogSingleThreaded.h"
#include "FuzzSupport.h"

namespace {

const char* const kModule = "Fuzz Module";

std::string configDirectory() {
    static const std::string dir = fuzzsupport::scratchDirectory() + "/cvlogs";
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::filesystem::create_directories(configDirectory());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A path leaving the scratch directory could create files anywhere.
    if (std::memchr(data, '/', size) != nullptr || std::memchr(data, '\\', size) != nullptr) {
        return -1;
    }
    const std::string dir = configDirectory();
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
        std::filesystem::remove_all(entry.path(), ignored);
    }
    fuzzsupport::writeScratchFile(dir + "/cvlogs.ini", data, size);
    // Relative log and database paths land in the scratch directory; libFuzzer's own relative
    // paths need the working directory back afterwards.
    const std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    if (ensureConfiguration(kModule, dir, "")) {
        CVsysEventLogSingleThreaded log;
        log.initialize(dir, kModule);
    }
    std::filesystem::current_path(home);
    return 0;
}
