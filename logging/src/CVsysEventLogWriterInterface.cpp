#include "CVsysEventLogWriterInterface.h"

#include <cstdio>

CVsysEventLogWriterInterface::CVsysEventLogWriterInterface()
    : m_levelTags{{1, "[TRACE]"}, {2, "[DEBUG]"},    {3, "[INFO]"}, {4, "[WARN]"},
                  {5, "[ERROR]"}, {6, "[CRITICAL]"}, {7, "[FATAL]"}} {}

CVsysEventLogWriterInterface::~CVsysEventLogWriterInterface() = default;

time_t CVsysEventLogWriterInterface::formatTimestamp(time_t time, std::string& out) {
    if (time == 0) {
        time = ::time(nullptr);
    }
    struct tm local {};
    localtime_r(&time, &local);
    char buffer[64];
    int length =
        snprintf(buffer, sizeof buffer, "%02d/%02d/%d %02d:%02d:%02d", local.tm_mon + 1,
                 local.tm_mday, local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    out.assign(buffer, length > 0 ? static_cast<size_t>(length) : 0);
    return time;
}

const std::string& CVsysEventLogWriterInterface::levelTag(int32_t level) const {
    static const std::string kNoTag;
    auto found = m_levelTags.find(level);
    return found == m_levelTags.end() ? kNoTag : found->second;
}

void CVsysEventLogWriterInterface::beginBatch() {}

void CVsysEventLogWriterInterface::endBatch() {}
