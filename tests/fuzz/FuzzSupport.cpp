#include "FuzzSupport.h"

#include <cstdlib>
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
    if (CVsysEventLogInterface::CreateInstance("File System Interface",
                                               CVsysEventLogInterface::SINGLE_THREADED,
                                               scratchDirectory(), "") == nullptr) {
        throw std::runtime_error("cannot create the event log in " + scratchDirectory());
    }
}

}  // namespace fuzzsupport
