#include "RequestRecorder.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace stub {

namespace {

// Bytes from 0x80 up become \u00XX, so the file is plain ASCII whatever the client sent.
void appendJsonString(std::string& out, const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte >= 0x7f) {
            out += "\\u00";
            out += hex[byte >> 4];
            out += hex[byte & 0xf];
        } else {
            out += c;
        }
    }
    out += '"';
}

std::string isoTime(std::chrono::system_clock::time_point time) {
    const auto sinceEpoch = time.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
    const std::time_t whole = static_cast<std::time_t>(seconds.count());
    std::tm parts{};
    gmtime_r(&whole, &parts);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
    return text;
}

}  // namespace

RequestRecorder::RequestRecorder(const std::string& path)
    : m_path(path), m_file(std::fopen(path.c_str(), "a")) {
    if (!m_file) {
        throw std::runtime_error("cannot open record file " + path + ": " + std::strerror(errno));
    }
}

void RequestRecorder::record(const RecordedRequest& request) {
    const std::string line = jsonLine(request, std::chrono::system_clock::now());
    std::lock_guard<std::mutex> lock(m_mutex);
    if (std::fwrite(line.data(), 1, line.size(), m_file.get()) != line.size() ||
        std::fflush(m_file.get()) != 0) {
        std::fprintf(stderr, "corvanexs-stub: cannot write record file %s: %s\n", m_path.c_str(),
                     std::strerror(errno));
    }
}

std::string RequestRecorder::jsonLine(const RecordedRequest& request,
                                      std::chrono::system_clock::time_point time) {
    std::string out = "{\"time\":\"" + isoTime(time) + "\",\"method\":";
    appendJsonString(out, request.method);
    out += ",\"path\":";
    appendJsonString(out, request.path);
    out += ",\"params\":[";
    for (size_t i = 0; i < request.params.size(); ++i) {
        out += i == 0 ? "[" : ",[";
        appendJsonString(out, request.params[i].first);
        out += ',';
        appendJsonString(out, request.params[i].second);
        out += ']';
    }
    out += "],\"body\":";
    appendJsonString(out, request.body);
    out += "}\n";
    return out;
}

}  // namespace stub
