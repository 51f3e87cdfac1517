// Makes the writer a module's section names with its `writer` key.
#pragma once

#include <memory>
#include <string>

#include "CVsysEventLogWriterInterface.h"

class CVsysEventLogWriterFactory {
public:
    enum Kind { NO_WRITER = -1, FILE_WRITER = 0, QTDEBUG_WRITER = 1, SQLITE_WRITER = 5 };

    // "file" 0, "qtdebug" 1, "sqlite" 5 (without case); NO_WRITER otherwise.
    static int kindOf(const std::string& text);
    // Null for kinds without a writer in this system.
    static std::unique_ptr<CVsysEventLogWriterInterface> create(int kind);
};
