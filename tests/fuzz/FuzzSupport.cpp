#include "FuzzSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "CVsysEventLogInterface.h"

namespace fuzzsupport {

const std::string& scratchDirectory() {
    static const std::string path = [] {
        const char* base = std::getenv("TMPDIR");
        std::string dir = std::string(base && *base ? base : "/tmp") + "/corfi-fuzz-XXXXXX";
        if (mkdtemp(dir.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed for " + dir);
        }
        return dir;
    }();
    return path;
}

void writeScratchFile(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.flush()) {
        std::abort();
    }
}

void registerQuietEventLog() {
    // A configuration directory named "config" puts the default log files beside it, in
    // "logs", rather than in the working directory.
    const std::string config = scratchDirectory() + "/config";
    std::filesystem::create_directories(config);
    std::filesystem::create_directories(scratchDirectory() + "/logs");
    if (CVsysEventLogInterface::CreateInstance("File System Interface",
                                               CVsysEventLogInterface::SINGLE_THREADED, config,
                                               "") == nullptr) {
        throw std::runtime_error("cannot create the event log in " + scratchDirectory());
    }
}

}  // namespace fuzzsupport
