#include "createMessageFile.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "CVFIresources.h"
#include "CVioDirectory.h"
#include "CVioException.h"
#include "CVioFile.h"
#include "CVsysEventLogInterface.h"
#include "CVsysUtility.h"
#include "formatString.h"

namespace {

const char* const kUnitTag = "../src/createMessageFile";

void logDebug(int32_t line, const std::string& text) {
    if (CVsysEventLogInterface* log = CVsysEventLogInterface::GetInstance(line, __FILE__)) {
        log->debug(text);
    }
}

void logError(int32_t line, const std::string& text) {
    if (CVsysEventLogInterface* log = CVsysEventLogInterface::GetInstance(line, __FILE__)) {
        log->error(text);
    }
}

// Empty when no name could be made.
std::string makeFinalName(const std::string& spoolDir) {
    std::unique_ptr<char, decltype(&std::free)> name(tempnam(spoolDir.c_str(), "corfi_"),
                                                     &std::free);
    return name ? std::string(name.get()) : std::string();
}

// Beside the final name, but hidden: the dispatch cycle only looks at names beginning "corfi".
std::string hiddenName(const std::string& finalName) {
    const size_t slash = finalName.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    return finalName.substr(0, base) + "." + finalName.substr(base);
}

struct MessageFields {
    const std::string& message;
    const std::string& name;
    const std::string& pin;
    const std::string& receiver;
    const std::string& group;
    const std::string& carrier;
    const std::string& jobId;
};

void logRequest(const std::string& finalName, const MessageFields& m) {
    logDebug(__LINE__, formatString("Creating message file '%s'.", finalName.c_str()));
    logDebug(__LINE__, formatString(">> Receiver: '%s', Group: '%s', Name: '%s'",
                                    m.receiver.c_str(), m.group.c_str(), m.name.c_str()));
    logDebug(__LINE__, formatString(">> Pin: '%s', Carrier: '%s', JobId: '%s'", m.pin.c_str(),
                                    m.carrier.c_str(), m.jobId.c_str()));
    logDebug(__LINE__, formatString(">> Message: '%s'", m.message.c_str()));
}

void writeLines(CVioFile& file, const MessageFields& m) {
    const std::pair<const char*, const std::string*> optional[] = {
        {"RECEIVER:", &m.receiver}, {"GROUP:", &m.group},     {"NAME:", &m.name},
        {"PIN:", &m.pin},           {"CARRIER:", &m.carrier}, {"JOBID:", &m.jobId}};
    for (const auto& [keyword, value] : optional) {
        if (!value->empty()) {
            file.write(std::string(keyword) + "\t" + *value + "\n");
        }
    }
    file.write("MESSAGE:\t" + m.message + "\n");
}

// Never replaces a file that appeared under the final name since tempnam chose it.
void publish(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return;
    }
    // File systems without RENAME_NOREPLACE refuse the flag itself.
    if ((errno == EINVAL || errno == ENOSYS) && std::rename(from.c_str(), to.c_str()) == 0) {
        return;
    }
    throw CVioException(to, kUnitTag, __LINE__, "File Rename Failed",
                        CVsysUtility::getSystemErrorMessage());
}

// True when the file is complete under its final name; `created` tells whether the hidden
// file exists.
bool writeAndPublish(CVioDirectory& directory, CVioFile& file, const std::string& finalName,
                     const MessageFields& m, bool& created) {
    try {
        if (directory.lockDirectory('w', true) != 0) {
            throw CVioException(directory.getPath(), kUnitTag, __LINE__, "Directory Lock Failed");
        }
        file.open("wx");  // "x": never reuse a file someone else left under the hidden name
        created = true;
        file.lock('w', true);
        writeLines(file, m);
        file.flush();
        publish(file.getPath(), finalName);
        created = false;
        return true;
    } catch (const CVioException& e) {
        logError(__LINE__,
                 formatString("Message file operation exception: %s", e.getMessage().c_str()));
        logError(__LINE__, e.toString());
    } catch (...) {
        logError(__LINE__, "Exception occurred while creating a FSI message file.");
    }
    return false;
}

}  // namespace

bool createMessageFile(const std::string& message, const std::string& name, const std::string& pin,
                       const std::string& receiver, const std::string& group,
                       const std::string& carrier, const std::string& jobId) {
    const std::string spoolDir = g_corfiValues.spoolDir;
    const std::string finalName = makeFinalName(spoolDir);
    if (finalName.empty()) {
        logError(__LINE__, "Unable to create file in spool directory.");
        return false;
    }
    const MessageFields fields{message, name, pin, receiver, group, carrier, jobId};
    CVioDirectory directory(spoolDir);
    logRequest(finalName, fields);
    CVioFile file(hiddenName(finalName));
    bool created = false;
    const bool written = writeAndPublish(directory, file, finalName, fields, created);
    file.unlock();
    file.close();
    if (created) {
        CVioFile::remove(file.getPath());
    }
    directory.unlockDirectory();
    return written;
}
