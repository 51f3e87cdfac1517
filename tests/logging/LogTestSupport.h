// A writer that records entries in memory, and a log of either dispatch built around it.
#pragma once

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "CVsysEventLogWriterInterface.h"

namespace logtest {

const std::string kStamp = R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)";

struct Entry {
    int32_t level;
    std::string message;
    int32_t line;
    std::string file;
    time_t time;
};

// Records the entries; a test holding `mutex` holds up the writer.
class JournalWriter : public CVsysEventLogWriterInterface {
public:
    explicit JournalWriter(bool ready) : m_ready(ready) {}
    bool setParameter(const std::string&, const std::string&) override { return true; }
    bool write(const std::string&, int32_t level, const std::string& message, int32_t line,
               const char* file, time_t time) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (message == "throw") {
            throw std::runtime_error("disk gone");
        }
        entries.push_back({level, message, line, file ? file : "<null>", time});
        return true;
    }
    bool isReady() override { return m_ready; }
    size_t size() {
        std::lock_guard<std::mutex> lock(mutex);
        return entries.size();
    }

    std::mutex mutex;
    std::vector<Entry> entries;  // guarded by mutex

private:
    const bool m_ready;
};

template <class Dispatch>
class JournalLog : public Dispatch {
public:
    explicit JournalLog(int32_t threshold = 0, bool ready = true) {
        this->m_moduleName = "Journal";
        this->m_writer = std::make_unique<JournalWriter>(ready);
        journal = static_cast<JournalWriter*>(this->m_writer.get());
        this->setLevel(threshold);
    }
    JournalWriter* journal;  // owned by the log
};

}  // namespace logtest
