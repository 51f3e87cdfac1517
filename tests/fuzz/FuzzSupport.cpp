#include "FuzzSupport.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "CVsysEventLogInterface.h"

namespace fuzzsupport {

const std::string& scratchDirectory() {
    static const std::string path = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/corfi-fuzz-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed for " + pattern);
        }
        return std::string(buffer.data());
    }();
    return path;
}

void registerQuietEventLog() {
    // Without a cvlogs.ini the defaults would create log files in the working directory.
    const std::string dir = scratchDirectory();
    const std::string settings = "\nbytesPerFiles=10000000\nnumFiles=2\nautoAppend=1\n";
    std::ofstream(dir + "/cvlogs.ini")
        << "[main]\nFile System Interface=File System Interface_logger\n\n"
           "[File System Interface_logger]\nwriter=file\nlevel=info\nfilePath="
        << dir << "/corfi.txt" << settings << "\n[common]\nwriter=file\nlevel=info\nfilePath="
        << dir << "/common.txt" << settings;
    if (CVsysEventLogInterface::CreateInstance("File System Interface",
                                               CVsysEventLogInterface::SINGLE_THREADED,
                                               scratchDirectory(), "") == nullptr) {
        throw std::runtime_error("cannot create the event log in " + scratchDirectory());
    }
}

}  // namespace fuzzsupport
