#include "CVcorfiBulkFileDispatcher.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <memory>
#include <vector>

#include "CVException.h"
#include "CVFIbulk.h"
#include "CVFIdaemon.h"
#include "CVcorfiBulkStatus.h"
#include "CVcorfiDirectoryWatch.h"
#include "CVcorfiRegex.h"
#include "CVioDirectory.h"
#include "CVioException.h"
#include "CVioFile.h"
#include "CVioPath.h"
#include "CVsysEventLogInterface.h"
#include "CVsysUtility.h"
#include "createMessageFile.h"
#include "formatString.h"

namespace {

constexpr size_t kNameBufferSize = 1024;

std::string trimmed(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    return text.substr(begin, end - begin);
}

bool isDecimalNumber(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

// Work names end in "_M"; the done and failure names replace that last letter.
std::string doneName(const std::string& workName) {
    return workName.substr(0, workName.size() - 1) + "R";
}

std::string failureName(const std::string& workName, int32_t lineIndex) {
    return workName.substr(0, workName.size() - 1) + "F" + std::to_string(lineIndex);
}

// "<anything>_<digits>_M", the only names a claim produces.
bool isWorkName(const std::string& name) {
    if (name.size() < 4 || name.compare(name.size() - 2, 2, "_M") != 0) {
        return false;
    }
    const size_t end = name.size() - 2;
    size_t begin = end;
    while (begin > 0 && std::isdigit(static_cast<unsigned char>(name[begin - 1]))) {
        --begin;
    }
    return begin < end && begin > 0 && name[begin - 1] == '_';
}

}  // namespace

CVcorfiBulkFileDispatcher::CVcorfiBulkFileDispatcher(const std::string& name,
                                                     CVsysEventLogInterface* log,
                                                     const std::string& tempDirectory)
    : m_name(name), m_log(log), m_tempDirectory(tempDirectory) {}

CVcorfiBulkFileDispatcher::~CVcorfiBulkFileDispatcher() = default;

bool CVcorfiBulkFileDispatcher::makeWorkName(const std::string& path, time_t seconds,
                                             std::string& workName) {
    if (path.empty()) {
        return false;
    }
    const size_t mark = path.rfind('_');
    if (mark != std::string::npos) {
        const std::string tail = path.substr(mark);
        if (tail == "_M" || tail == "_R" ||
            (tail.compare(0, 2, "_F") == 0 && isDecimalNumber(tail.substr(2)))) {
            return false;
        }
    }
    char buffer[kNameBufferSize];
    const int length =
        std::snprintf(buffer, sizeof buffer, "%s_%ld_M", path.c_str(), static_cast<long>(seconds));
    // A cut name would lose its "_M" mark and be claimed again under an ever longer name.
    if (length < 0 || static_cast<size_t>(length) >= sizeof buffer) {
        return false;
    }
    workName = buffer;
    return true;
}

void CVcorfiBulkFileDispatcher::run(void* argument) {
    m_log->trace("Starting to process Bulk Message Files", __LINE__, __FILE__);
    if (argument == nullptr) {
        m_log->error("No configuration data available for Bulk Message Files", __LINE__, __FILE__);
        return;
    }
    m_settings = static_cast<const CVcorfiBulkSettings*>(argument);
    m_log->trace("Start Bulk File Processing...", __LINE__, __FILE__);
    if (m_settings->watch) {
        watchBulkDirectory();
    }

    std::unique_ptr<CVcorfiBulkStatus> status = openStatus();
    if (!status) {
        return;
    }
    Outcome outcome = Outcome::DONE;
    if (status->getFileName().empty()) {
        m_log->info("No previous bulk file resumption", __LINE__, __FILE__);
    } else {
        outcome = resumeRecorded(*status);
    }
    // A file whose message file could not be written is taken up again at the next poll,
    // before anything new is claimed.
    for (;;) {
        if (outcome != Outcome::WRITE_FAILED) {
            outcome = runCycle(*status);
        }
        if (restUntilNextCycle()) {
            return;
        }
        if (outcome == Outcome::WRITE_FAILED) {
            outcome = resumeRecorded(*status);
        }
    }
}

std::unique_ptr<CVcorfiBulkStatus> CVcorfiBulkFileDispatcher::openStatus() {
    try {
        return std::make_unique<CVcorfiBulkStatus>(m_tempDirectory);
    } catch (const std::exception&) {
        const std::string path = CVioPath::join(m_tempDirectory, CVcorfiBulkStatus::FILE_NAME);
        m_log->error(formatString("Unable to Read Status File [%s]", path.c_str()), __LINE__,
                     __FILE__);
        return nullptr;
    }
}

bool CVcorfiBulkFileDispatcher::isRecordTrusted(const CVcorfiBulkStatus& status) const {
    const std::string& name = status.getFileName();
    const std::string base = CVioPath::baseName(name);
    return status.isCountValid() && !base.empty() &&
           CVioPath::join(settings().directory, base) == name && isWorkName(base);
}

CVcorfiBulkFileDispatcher::Outcome CVcorfiBulkFileDispatcher::resumeRecorded(
    CVcorfiBulkStatus& status) {
    const std::string name = status.getFileName();
    CVioFile file(name);
    bool usable = isRecordTrusted(status);
    try {
        if (usable) {
            file.openRegular();
        }
    } catch (const CVioException&) {
        usable = false;
    }
    if (!usable) {
        m_log->error(formatString("Bulk status file [%s] names no usable bulk file; ignored",
                                  status.getStatusPath().c_str()),
                     __LINE__, __FILE__);
        try {
            status.clear();
        } catch (const CVException& e) {
            m_log->error(formatString("Error: %s", e.getMessage().c_str()), __LINE__, __FILE__);
        }
        return Outcome::DONE;
    }
    m_log->info(formatString("Processing previous bulk message file [%s]", name.c_str()), __LINE__,
                __FILE__);
    return processLines(name, file, status);
}

CVcorfiBulkFileDispatcher::Outcome CVcorfiBulkFileDispatcher::runCycle(CVcorfiBulkStatus& status) {
    std::vector<std::unique_ptr<CVioFile>> files;
    try {
        CVioDirectory directory(m_settings->directory);
        directory.listFiles(files, m_settings->filePattern.c_str(), 0, 0);
    } catch (const CVException& e) {
        m_log->error(formatString("Error: %s", e.getMessage().c_str()), __LINE__, __FILE__);
    }
    bool stopSeen = false;
    for (const std::unique_ptr<CVioFile>& file : files) {
        const std::string& path = file->getPath();
        m_log->trace(formatString("Read Bulk Process File [%s]", path.c_str()), __LINE__, __FILE__);
        stopSeen = stopSeen || CVFIstopRequested();
        if (stopSeen) {
            continue;
        }
        try {
            if (claimFile(path, status) == Outcome::WRITE_FAILED) {
                return Outcome::WRITE_FAILED;
            }
        } catch (const CVException& e) {
            m_log->error(formatString("Error: %s", e.getMessage().c_str()), __LINE__, __FILE__);
        }
    }
    return Outcome::DONE;
}

CVcorfiBulkFileDispatcher::Outcome CVcorfiBulkFileDispatcher::claimFile(const std::string& path,
                                                                        CVcorfiBulkStatus& status) {
    std::string workName;
    if (!makeWorkName(path, time(nullptr), workName)) {
        return Outcome::DONE;
    }
    if (std::rename(path.c_str(), workName.c_str()) != 0) {
        m_log->error(formatString("Failed to rename [%s]", path.c_str()), __LINE__, __FILE__);
        return Outcome::DONE;
    }
    m_log->info(formatString("Process Bulk File [%s]", path.c_str()), __LINE__, __FILE__);
    status.setFileName(workName);
    status.setLineCount(0);
    return processFile(workName, status);
}

// Only a file that a cycle would claim ends the rest, not the names this thread renames to.
void CVcorfiBulkFileDispatcher::watchBulkDirectory() {
    const std::string pattern = m_settings->filePattern;
    m_watch =
        std::make_unique<CVcorfiDirectoryWatch>(m_settings->directory, [pattern](const char* name) {
            std::string unused;
            return CVioFile::matchPattern(name, pattern.c_str()) && makeWorkName(name, 0, unused);
        });
    m_watch->warnIfInvalid(m_settings->directory);
}

bool CVcorfiBulkFileDispatcher::restUntilNextCycle() {
    m_log->trace(
        formatString("Bulk File Processing resting for [%d] seconds.", m_settings->checkPeriod),
        __LINE__, __FILE__);
    const int restMs = CVFIsecondsToMilliseconds(m_settings->checkPeriod);
    if (m_watch ? m_watch->wait(restMs) == CVcorfiDirectoryWatch::STOPPED
                : CVFIstopRequested(restMs)) {
        m_log->trace("Shutdown time Arrive, stop processing Bulk Message Files", __LINE__,
                     __FILE__);
        m_log->trace("Finish processing Bulk Message Files", __LINE__, __FILE__);
        return true;
    }
    m_log->trace("Rest time over, start processing Bulk Message Files", __LINE__, __FILE__);
    return false;
}

const CVcorfiBulkSettings& CVcorfiBulkFileDispatcher::settings() const {
    static const CVcorfiBulkSettings none;
    if (m_settings != nullptr) {
        return *m_settings;
    }
    const auto* given = static_cast<const CVcorfiBulkSettings*>(getArgument());
    return given != nullptr ? *given : none;
}

CVcorfiBulkFileDispatcher::Outcome CVcorfiBulkFileDispatcher::processFile(
    const std::string& path, CVcorfiBulkStatus& status) {
    CVioFile file(path);
    return processLines(path, file, status);
}

CVcorfiBulkFileDispatcher::Outcome CVcorfiBulkFileDispatcher::processLines(
    const std::string& path, CVioFile& file, CVcorfiBulkStatus& status) {
    const CVcorfiRegex recipientExpression(settings().recipientPattern);
    const CVcorfiRegex messageExpression(settings().messagePattern);
    int32_t lineIndex = 0;
    // Only library and standard exceptions are caught: a thread ended by pthread_exit unwinds
    // through here and must not be stopped.
    try {
        if (!file.isOpen()) {
            file.openRegular();
        }
        std::string line;
        for (; file.readWholeLine(line, MAX_LINE_LENGTH + 1) > 0; ++lineIndex) {
            if (status.getLineCount() > lineIndex) {
                continue;
            }
            if (!handleLine(path, lineIndex, line, line.size() > MAX_LINE_LENGTH,
                            recipientExpression, messageExpression)) {
                return Outcome::WRITE_FAILED;
            }
            status.incrementLineCount();
            if (CVFIstopRequested()) {
                return Outcome::INTERRUPTED;
            }
        }
        file.close();
        std::rename(path.c_str(), doneName(path).c_str());
        status.clear();
        return Outcome::DONE;
    } catch (const std::exception&) {
        m_log->error(
            formatString("Error occurred Processing Bulk File[%s:%d]", path.c_str(), lineIndex),
            __LINE__, __FILE__);
        std::rename(path.c_str(), failureName(path, lineIndex).c_str());
        return Outcome::FAILED;
    }
}

bool CVcorfiBulkFileDispatcher::handleLine(const std::string& path, int32_t lineIndex,
                                           const std::string& line, bool tooLong,
                                           const CVcorfiRegex& recipientExpression,
                                           const CVcorfiRegex& messageExpression) {
    // A line too long to be a message is never cut into pieces that might look like one.
    const std::string text = tooLong ? std::string() : trimmed(line);
    std::string recipient;
    std::string message;
    if (tooLong || !recipientExpression.extractFirstGroup(text, recipient)) {
        m_log->error(formatString("Bulk File[%s:%d] Failed to Extract Recipient", path.c_str(),
                                  lineIndex + 1),
                     __LINE__, __FILE__);
    }
    if (tooLong || !messageExpression.extractFirstGroup(text, message)) {
        m_log->error(
            formatString("Bulk File[%s:%d] Failed to Extract Message", path.c_str(), lineIndex + 1),
            __LINE__, __FILE__);
    }
    if (recipient.empty() || message.empty()) {
        m_log->error(formatString("Error Creating message File for RCV(%s), MSG(%s)",
                                  recipient.c_str(), message.c_str()),
                     __LINE__, __FILE__);
        return true;
    }
    CVFImessageFields fields;
    fields.message = message;
    fields.name = recipient;
    int error = 0;
    if (!createMessageFile(settings().spoolDirectory, fields, &error)) {
        m_log->error(formatString("Bulk File[%s:%d] Failed to write message file: %s", path.c_str(),
                                  lineIndex, CVsysUtility::errorText(error).c_str()),
                     __LINE__, __FILE__);
        return false;
    }
    m_log->info(
        formatString("Create CorFi Node for RCV(%s), MSG(%s)", recipient.c_str(), message.c_str()),
        __LINE__, __FILE__);
    return true;
}
