#include "CVsysEventLogSingleThreaded.h"

CVsysEventLogSingleThreaded::CVsysEventLogSingleThreaded() = default;

CVsysEventLogSingleThreaded::~CVsysEventLogSingleThreaded() = default;

bool CVsysEventLogSingleThreaded::write(int32_t level, const std::string& message, int32_t line,
                                        const char* sourceFile) {
    // Time 0: the writer stamps the entry when it writes it, which is now.
    return m_writer && m_writer->write(m_moduleName, level, message, line, sourceFile, 0);
}
