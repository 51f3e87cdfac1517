#include "CVFImessage.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "CVsysEventLogInterface.h"
#include "formatString.h"

namespace {

enum Keyword {
    KW_RECEIVER = 0,
    KW_NAME,
    KW_GROUP,
    KW_PIN,
    KW_CARRIER,
    KW_JOBID,
    KW_TIME_AT,
    KW_MESSAGE,
    KW_NONE
};

struct KeywordInfo {
    const char* text;
    const char* emptyError;
};

// Tested in this order; the first match decides.
const KeywordInfo kKeywords[KW_NONE] = {
    {"RECEIVER:", "Empty RECEIVER field"}, {"NAME:", "Empty NAME field"},
    {"GROUP:", "Empty GROUP field"},       {"PIN:", "Empty PIN field"},
    {"CARRIER:", "Empty CARRIER field"},   {"JOBID:", "Empty JOBID field"},
    {"TIME_AT:", "Empty TIME_AT field"},   {"MESSAGE:", "Empty MESSAGE field"},
};

// Plain ASCII tests: the daemon's texts must not depend on the locale.
bool isBlank(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isPrintable(unsigned char c) {
    return c >= 0x20 && c < 0x7f;
}

void trimTrailing(std::string& text) {
    while (!text.empty() && isBlank(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
    }
}

void reportError(int line, const std::string& text, CVFImessage& record) {
    CVsysEventLogInterface::GetInstance(line, __FILE__)
        ->LogEvent(CVsysEventLogInterface::CODE_ERROR, nullptr, "%s\n", text.c_str());
    record.valid = false;
    record.lastError = text;
}

Keyword findKeyword(const std::string& line) {
    for (int k = 0; k < KW_NONE; ++k) {
        if (line.rfind(kKeywords[k].text, 0) == 0) {
            return static_cast<Keyword>(k);
        }
    }
    return KW_NONE;
}

// The text after the keyword up to the line's end, without leading blanks and line ends.
std::string extractValue(const std::string& line, Keyword keyword) {
    const size_t begin = line.find_first_not_of(" \t\r\n", std::strlen(kKeywords[keyword].text));
    if (begin == std::string::npos) {
        return std::string();
    }
    const size_t end = line.find_first_of("\r\n", begin);
    std::string value = line.substr(begin, end == std::string::npos ? end : end - begin);
    if (keyword != KW_MESSAGE) {
        trimTrailing(value);
    }
    return value;
}

bool countsAsEmpty(const std::string& value, Keyword keyword) {
    if (value.empty() || value[0] == '#') {
        return true;
    }
    const bool highByteIsEmpty =
        keyword == KW_JOBID || keyword == KW_TIME_AT || keyword == KW_MESSAGE;
    return highByteIsEmpty && static_cast<unsigned char>(value[0]) >= 0x80;
}

class MessageParser {
public:
    explicit MessageParser(CVFImessage& record) : m_record(record) {}

    void line(const std::string& text) {
        std::string shown = text;
        if (!shown.empty() && shown.back() == '\n') {
            shown.pop_back();
        }
        CVsysEventLogInterface::GetInstance(__LINE__, __FILE__)
            ->LogDebug(CVsysEventLogInterface::CODE_TRACE, "read [%s]\n", shown.c_str());
        if (m_inMessage) {
            m_rawMessage += text;
        } else {
            keywordLine(text);
        }
    }

    void finish() {
        if (!m_inMessage) {
            reportError(__LINE__, kKeywords[KW_MESSAGE].emptyError, m_record);
            return;
        }
        m_record.message = CVFIcleanMessage(m_rawMessage);
        if (m_record.message.empty()) {
            reportError(__LINE__, kKeywords[KW_MESSAGE].emptyError, m_record);
        }
    }

private:
    void keywordLine(const std::string& text) {
        const Keyword keyword = findKeyword(text);
        if (keyword == KW_NONE) {
            return;
        }
        std::string value = extractValue(text, keyword);
        const bool empty = countsAsEmpty(value, keyword);
        if (keyword == KW_MESSAGE) {
            m_inMessage = true;
            m_record.hasMessage = true;
            m_rawMessage = empty ? std::string() : value;
            return;
        }
        if (empty) {
            reportError(__LINE__, kKeywords[keyword].emptyError, m_record);
            return;
        }
        store(keyword, std::move(value));
    }

    void store(Keyword keyword, std::string value) {
        switch (keyword) {
            case KW_RECEIVER:
            case KW_NAME:
                m_record.receiver = std::move(value);
                m_record.kind = keyword == KW_NAME ? CVFI_KIND_NAME : CVFI_KIND_RECEIVER;
                break;
            case KW_GROUP:
                m_record.group = std::move(value);
                m_record.kind = CVFI_KIND_GROUP;
                break;
            case KW_PIN:
                m_record.pin = std::move(value);
                m_record.kind = CVFI_KIND_QUICK;
                break;
            case KW_CARRIER:
                m_record.carrier = std::move(value);
                m_record.kind = CVFI_KIND_QUICK;
                break;
            case KW_JOBID:
                m_record.jobId = std::move(value);
                break;
            case KW_TIME_AT:
                storeTime(value);
                break;
            default:
                break;
        }
    }

    void storeTime(const std::string& value) {
        time_t scheduled = 0;
        if (CVFIparseTimeAt(value.c_str(), &scheduled)) {
            m_record.scheduledTime = scheduled;
            return;
        }
        reportError(
            __LINE__,
            formatString("Invalid TIME_AT paramters [%s]. Should be [MM-DD-YY-HH-MM] format",
                         value.c_str()),
            m_record);
    }

    CVFImessage& m_record;
    bool m_inMessage = false;
    std::string m_rawMessage;
};

struct ValidationTest {
    bool passes;
    const char* error;
};

// Only a still valid record is tested, and only its first failure is reported.
void runTests(std::initializer_list<ValidationTest> tests, CVFImessage& record) {
    for (const ValidationTest& test : tests) {
        if (!record.valid) {
            return;
        }
        if (!test.passes) {
            reportError(__LINE__, test.error, record);
        }
    }
}

// The descriptor's file name, for error texts.
std::string descriptorPath(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char path[4096];
    const ssize_t size = readlink(link, path, sizeof path - 1);
    return size > 0 ? std::string(path, static_cast<size_t>(size)) : std::string(link);
}

}  // namespace

void CVFIparseMessageFile(int fd, CVFImessage& record, size_t maxBytes) {
    std::string text;
    char buffer[8192];
    while (text.size() < maxBytes) {
        const ssize_t size = read(fd, buffer, std::min(sizeof buffer, maxBytes - text.size()));
        if (size > 0) {
            text.append(buffer, static_cast<size_t>(size));
        } else if (size == 0) {
            break;
        } else if (errno != EINTR) {
            const int error = errno;
            const std::string path = descriptorPath(fd);
            errno = error;
            CVsysEventLogInterface::GetInstance(__LINE__, __FILE__)
                ->LogSystemErrorAt(nullptr, __LINE__, __FILE__, "Cannot read message file [%s]",
                                   path.c_str());
            break;
        }
    }
    CVFIparseMessageText(text, record);
}

void CVFIparseMessageText(const std::string& text, CVFImessage& record) {
    MessageParser parser(record);
    size_t position = 0;
    while (position < text.size()) {
        const size_t feed = text.find('\n', position);
        const size_t end = feed == std::string::npos ? text.size() : feed + 1;
        std::string line = text.substr(position, end - position);
        position = end;
        // A line is a C text to the daemon: a zero byte ends it.
        line.resize(std::strlen(line.c_str()));
        parser.line(line);
    }
    parser.finish();
}

void CVFIvalidateMessage(CVFImessage& record) {
    const bool noQuick = record.pin.empty() && record.carrier.empty();
    const char* const bothTargets = "RECEIVER and GROUP fields can not be existed together";
    const char* const targetAndQuick =
        "RECEIVER and PIN or CARRIER fields can not be existed together";
    switch (record.kind) {
        case CVFI_KIND_RECEIVER:
            runTests({{!record.receiver.empty(), "Empty Receiver field"},
                      {record.group.empty(), bothTargets},
                      {noQuick, targetAndQuick}},
                     record);
            break;
        case CVFI_KIND_GROUP:
            runTests({{!record.group.empty(), "Empty GROUP field"},
                      {record.receiver.empty(), bothTargets},
                      {noQuick, targetAndQuick}},
                     record);
            break;
        case CVFI_KIND_QUICK:
            runTests({{record.group.empty(), "Can not have GROUP field in Quick message"},
                      {record.receiver.empty(), "Can not have RECEIVER field in Quick message"},
                      {!record.pin.empty(), "Unknow PIN field in Quick message"},
                      {!record.carrier.empty(), "Unknow CARRIER field in Quick message"}},
                     record);
            break;
        default:
            break;
    }
}

bool CVFIparseTimeAt(const char* value, time_t* scheduled) {
    int month = 0;
    int day = 0;
    int year = 0;
    int hour = 0;
    int minute = 0;
    std::sscanf(value, "%2d-%2d-%2d-%2d-%2d", &month, &day, &year, &hour, &minute);
    if (month < 1 || month > 12 || day < 1 || day > 31 || year < 0 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59) {
        return false;
    }
    // One hour before the time written, in standard time: writers of message files rely on it.
    struct tm when {};
    when.tm_year = 100 + year;
    when.tm_mon = month - 1;
    when.tm_mday = day;
    when.tm_hour = hour - 1;
    when.tm_min = minute;
    when.tm_sec = 0;
    when.tm_isdst = 0;
    *scheduled = mktime(&when);
    return true;
}

std::string CVFIcleanMessage(const std::string& text) {
    std::string clean;
    clean.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (!isPrintable(byte) && !isBlank(byte)) {
            continue;
        }
        if (byte == '~') {
            clean += '-';
        } else if (isBlank(byte) && byte != '\n') {
            clean += ' ';
        } else {
            clean += c;
        }
    }
    trimTrailing(clean);
    return clean;
}
