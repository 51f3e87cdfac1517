// Appends one JSON line per received request to the record file.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "CVioStream.h"
#include "FormParams.h"

namespace stub {

struct RecordedRequest {
    std::string method;
    std::string path;
    FormParams params;
    std::string body;
};

class RequestRecorder {
public:
    // Opens `path` for appending; throws std::runtime_error naming the file and the reason.
    explicit RequestRecorder(const std::string& path);

    // Writes and flushes one line; safe to call from several handler threads. A write error
    // is reported on standard error and the request is still answered.
    void record(const RecordedRequest& request);

    // {"time":...,"method":...,"path":...,"params":[[name,value],...],"body":...}
    static std::string jsonLine(const RecordedRequest& request,
                                std::chrono::system_clock::time_point time);

private:
    const std::string m_path;
    std::mutex m_mutex;
    CVioStream m_file;  // guarded by m_mutex
};

}  // namespace stub
