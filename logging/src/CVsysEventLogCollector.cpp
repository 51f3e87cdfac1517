#include "CVsysEventLogCollector.h"

#include <utility>

CVsysEventLogCollector::CVsysEventLogCollector(const std::string& moduleName, int32_t level)
    : CVsysEventLogInterface(moduleName, nullptr, level) {}

CVsysEventLogCollector::~CVsysEventLogCollector() = default;

bool CVsysEventLogCollector::Start() {
    m_started = true;
    return true;
}

bool CVsysEventLogCollector::write(int32_t level, const std::string& message, int32_t /*line*/,
                                   const char* /*sourceFile*/) {
    const std::lock_guard<std::mutex> guard(m_mutex);
    m_entries.push_back({level, message});
    return true;
}

std::vector<CVsysEventLogCollector::Entry> CVsysEventLogCollector::take() {
    const std::lock_guard<std::mutex> guard(m_mutex);
    return std::exchange(m_entries, {});
}
