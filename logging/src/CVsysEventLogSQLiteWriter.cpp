#include "CVsysEventLogSQLiteWriter.h"

#include <cstdlib>
#include <exception>

#include "CVDBProcessorFatalException.h"
#include "CVLogSQLiteProcessor.h"
#include "CVsysReportError.h"
#include "CVsysUtility.h"

namespace {

const char* const kSetDbFunction = "CVsysEventLogSQLiteWriter::setDbFileName";
const char* const kTruncateFunction = "CVsysEventLogSQLiteWriter::setMakeDbTruncateFlag";
const char* const kWriteFunction = "CVsysEventLogSQLiteWriter::operator()";

bool sameKey(const std::string& key, const char* name) {
    return CVsysUtility::compareNoCase(key.c_str(), name) == 0;
}

// Runs `body`; a processor failure is reported under `function` and makes the result false.
template <class Body>
bool reported(const char* function, const char* unknown, Body body) {
    try {
        return body();
    } catch (const CVDBProcessorFatalException& e) {
        CVsysReportError(function, "", "%s", e.getMessage().c_str());
    } catch (...) {
        CVsysReportError(function, "", "%s", unknown);
    }
    return false;
}

}  // namespace

CVsysEventLogSQLiteWriter::CVsysEventLogSQLiteWriter() = default;

CVsysEventLogSQLiteWriter::~CVsysEventLogSQLiteWriter() = default;

bool CVsysEventLogSQLiteWriter::setParameter(const std::string& key, const std::string& value) {
    if (sameKey(key, "dbfilename") || sameKey(key, "filename")) {
        return setDbFileName(value);
    }
    if (sameKey(key, "truncate")) {
        return setMakeDbTruncateFlag(std::strtol(value.c_str(), nullptr, 10) != 0);
    }
    return true;
}

bool CVsysEventLogSQLiteWriter::setDbFileName(const std::string& name) {
    // The old database is closed first, so a failure leaves the writer without one.
    m_processor.reset();
    m_ready = false;
    m_dbFileName = name;
    return reported(kSetDbFunction, "Unable to initialize sqlite writer. Unknown error.", [&] {
        m_processor = std::make_unique<CVLogSQLiteProcessor>(m_dbFileName, true);
        m_ready = m_processor->isInitialized();
        return true;
    });
}

bool CVsysEventLogSQLiteWriter::setMakeDbTruncateFlag(bool flag) {
    m_truncate = flag;
    if (!flag || !m_processor) {
        return false;
    }
    return reported(kTruncateFunction,
                    "Unable to truncate sqlite writer module's tables. Unknown error.",
                    [&] { return m_processor->clearAll(); });
}

bool CVsysEventLogSQLiteWriter::isReady() {
    return m_ready;
}

void CVsysEventLogSQLiteWriter::beginBatch() {
    m_batchEntries = 0;
    // Without the transaction every entry still commits on its own.
    if (m_ready) {
        m_processor->beginBatch();
    }
}

void CVsysEventLogSQLiteWriter::endBatch() {
    if (m_ready && m_processor->inBatch() && !m_processor->commitBatch()) {
        CVsysReportError(kWriteFunction, "", "Unable to commit %zu log entries: %s", m_batchEntries,
                         m_processor->getErrorMessage().c_str());
    }
}

bool CVsysEventLogSQLiteWriter::write(const std::string& moduleName, int32_t level,
                                      const std::string& message, int32_t line,
                                      const char* sourceFile, time_t time) {
    if (!m_ready) {
        return false;
    }
    std::string module = moduleName;
    std::string subModule;
    const size_t point = module.find('.');
    if (point != std::string::npos) {
        subModule = module.substr(point + 1);
        module.erase(point);
    }
    std::string unused;
    const int64_t when = time != 0 ? time : formatTimestamp(0, unused);
    const int32_t stored = level >= 1 && level <= 7 ? level : 0;
    ++m_batchEntries;
    return reported(kWriteFunction, "Unable to write log entry. Unknown error.", [&] {
        return m_processor->insertEntry(module, subModule, when, stored, message, line,
                                        sourceFile ? sourceFile : "");
    });
}
