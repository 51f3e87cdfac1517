#include "CVsysEventLogWriterFactory.h"

#include "CVsysEventLogFileWriter.h"
#include "CVsysEventLogSQLiteWriter.h"
#include "CVsysUtility.h"

namespace {

struct KindName {
    const char* text;
    CVsysEventLogWriterFactory::Kind kind;
};

const KindName kKinds[] = {
    {"file", CVsysEventLogWriterFactory::FILE_WRITER},
    {"qtdebug", CVsysEventLogWriterFactory::QTDEBUG_WRITER},
    {"sqlite", CVsysEventLogWriterFactory::SQLITE_WRITER},
};

}  // namespace

int CVsysEventLogWriterFactory::kindOf(const std::string& text) {
    for (const KindName& entry : kKinds) {
        if (CVsysUtility::compareNoCase(text.c_str(), entry.text) == 0) {
            return entry.kind;
        }
    }
    return NO_WRITER;
}

std::unique_ptr<CVsysEventLogWriterInterface> CVsysEventLogWriterFactory::create(int kind) {
    switch (kind) {
        case FILE_WRITER:
            return std::make_unique<CVsysEventLogFileWriter>();
        case SQLITE_WRITER:
            return std::make_unique<CVsysEventLogSQLiteWriter>();
        default:
            // Kinds without a writer in this build.
            return nullptr;
    }
}
