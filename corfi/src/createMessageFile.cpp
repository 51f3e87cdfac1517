#include "createMessageFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include "CVFIspool.h"
#include "CVioDescriptor.h"
#include "CVsysEventLogInterface.h"
#include "CVsysUtility.h"
#include "formatString.h"

namespace {

// Random names collide only by bad luck; a handful of draws settles it.
constexpr int kNameDraws = 8;
// The sender owns the file and the daemon reads it through the spool's group.
constexpr mode_t kMessageFileMode = 0640;

void logDebug(int32_t line, const std::string& text) {
    CVsysEventLogInterface::GetInstance(line, __FILE__)->debug(text);
}

void logError(int32_t line, const std::string& text) {
    CVsysEventLogInterface::GetInstance(line, __FILE__)->error(text);
}

void logRequest(const std::string& path, const CVFImessageFields& m) {
    logDebug(__LINE__, formatString("Creating message file '%s'.", path.c_str()));
    logDebug(__LINE__, formatString(">> Receiver: '%s', Group: '%s', Name: '%s'",
                                    m.receiver.c_str(), m.group.c_str(), m.name.c_str()));
    logDebug(__LINE__, formatString(">> Pin: '%s', Carrier: '%s', JobId: '%s'", m.pin.c_str(),
                                    m.carrier.c_str(), m.jobId.c_str()));
    logDebug(__LINE__, formatString(">> Message: '%s'", m.message.c_str()));
}

// A file under the name from a hidden one, never over an existing file. File systems without
// RENAME_NOREPLACE get the same guarantee from a hard link.
int publish(int dirFd, const std::string& hidden, const std::string& name) {
    if (renameat2(dirFd, hidden.c_str(), dirFd, name.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    if (linkat(dirFd, hidden.c_str(), dirFd, name.c_str(), 0) != 0) {
        return errno;
    }
    unlinkat(dirFd, hidden.c_str(), 0);
    return 0;
}

// The whole text under the hidden name; 0 or the errno of the failing step, which leaves
// nothing behind.
int writeHidden(int dirFd, const std::string& hidden, const std::string& text) {
    CVioDescriptor fd(openat(dirFd, hidden.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                             kMessageFileMode));
    if (!fd) {
        return errno;
    }
    int error = fd.writeAll(text);
    // close() is where a network file system reports a write that did not make it.
    if (close(fd.release()) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        unlinkat(dirFd, hidden.c_str(), 0);  // ours, and incomplete
    }
    return error;
}

}  // namespace

std::string CVFImessageFileText(const CVFImessageFields& m) {
    const std::pair<const char*, const std::string*> optional[] = {
        {"RECEIVER:", &m.receiver}, {"GROUP:", &m.group}, {"NAME:", &m.name},     {"PIN:", &m.pin},
        {"CARRIER:", &m.carrier},   {"JOBID:", &m.jobId}, {"TIME_AT:", &m.timeAt}};
    std::string text;
    for (const auto& [keyword, value] : optional) {
        if (!value->empty()) {
            text += std::string(keyword) + "\t" + *value + "\n";
        }
    }
    return text + "MESSAGE:\t" + m.message + "\n";
}

int CVFIwriteMessageFile(int dirFd, const CVFImessageFields& fields, std::string& name) {
    if (name.empty()) {
        name = CVFIrandomMessageName();
    }
    const std::string text = CVFImessageFileText(fields);
    // The dispatch cycle only looks at names beginning "corfi", so it never meets the hidden one.
    // A hidden name that is taken belongs to someone else: draw another, never remove it.
    std::string hidden = "." + name;
    int error = writeHidden(dirFd, hidden, text);
    for (int draw = 1; error == EEXIST && draw < kNameDraws; ++draw) {
        name = CVFIrandomMessageName();
        hidden = "." + name;
        error = writeHidden(dirFd, hidden, text);
    }
    if (error != 0) {
        return error;
    }
    for (int draw = 1;; ++draw) {
        error = publish(dirFd, hidden, name);
        if (error != EEXIST || draw == kNameDraws) {
            break;
        }
        name = CVFIrandomMessageName();
    }
    if (error != 0) {
        unlinkat(dirFd, hidden.c_str(), 0);
    }
    return error;
}

bool createMessageFile(const std::string& spoolDir, const CVFImessageFields& fields, int* error) {
    std::string name = CVFIrandomMessageName();
    logRequest(spoolDir + "/" + name, fields);
    int failure = 0;
    const char* step = "Cannot open spool directory";
    CVioDescriptor dirFd = CVFIopenSpoolDirectory(spoolDir);
    CVioDescriptor lock;
    if (!dirFd) {
        failure = errno;
    } else if (CVFIlockSpoolDirectory(dirFd.get(), -1, lock) != CVFIlockResult::LOCKED) {
        failure = errno != 0 ? errno : EAGAIN;
        step = "Cannot lock spool directory";
    } else {
        failure = CVFIwriteMessageFile(dirFd.get(), fields, name);
        step = "Cannot write message file in";
    }
    if (error != nullptr) {
        *error = failure;
    }
    if (failure == 0) {
        return true;
    }
    logError(__LINE__, formatString("Message file operation exception: %s [%s]: %s", step,
                                    spoolDir.c_str(), CVsysUtility::errorText(failure).c_str()));
    return false;
}
