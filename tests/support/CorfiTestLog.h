// The daemon's event log ("File System Interface"), started in a test's temporary directory.
#pragma once

#include <filesystem>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "CVsysEventLogFileWriter.h"
#include "CVsysEventLogInterface.h"
#include "TestSupport.h"

namespace corfitest {

class CorfiTestLog {
public:
    explicit CorfiTestLog(const testsupport::TempDir& tmp) {
        CVsysEventLogInterface::DestroyAll();
        std::filesystem::create_directories(tmp.file("config"));
        std::filesystem::create_directories(tmp.file("logs"));
        m_log = CVsysEventLogInterface::CreateInstance("File System Interface",
                                                       CVsysEventLogInterface::SINGLE_THREADED,
                                                       tmp.file("config"), "");
        if (m_log == nullptr || !m_log->Start()) {
            ADD_FAILURE() << "cannot start the event log";
            return;
        }
        m_path = dynamic_cast<CVsysEventLogFileWriter&>(*m_log->getWriter()).getFilePath();
    }
    ~CorfiTestLog() { CVsysEventLogInterface::DestroyAll(); }
    CorfiTestLog(const CorfiTestLog&) = delete;
    CorfiTestLog& operator=(const CorfiTestLog&) = delete;

    CVsysEventLogInterface* operator->() const { return m_log; }
    // The entries logged since the last call, as "[LEVEL] text" lines.
    std::string take() const {
        static const std::regex stamp(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d File System Interface )");
        const std::string text = std::regex_replace(testsupport::readFile(m_path), stamp, "");
        testsupport::writeFile(m_path, "");
        return text;
    }

private:
    CVsysEventLogInterface* m_log = nullptr;
    std::string m_path;
};

}  // namespace corfitest
