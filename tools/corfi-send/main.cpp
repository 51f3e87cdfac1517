// corfi-send: checks one message with the daemon's own parser and validator and writes it into
// the spool directory the way the daemon's writer does (see --help).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "CVFIdaemon.h"
#include "CVFImessage.h"
#include "CVFIresources.h"
#include "CVFIspool.h"
#include "CVFItimeAt.h"
#include "CVfileDescriptor.h"
#include "CVioPath.h"
#include "CVsysEventLogCollector.h"
#include "CVsysUtility.h"
#include "SendOptions.h"
#include "createMessageFile.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitInvalid = 2;
const char* const kDefaultSpool = "/var/spool/corfi";

int complain(int status, const std::string& text) {
    std::cerr << "corfi-send: " << text << "\n";
    return status;
}

// The arguments joined by blanks, or standard input. The parser drops the line end of the
// MESSAGE: line itself, so a text of several lines starts on the line after it.
std::string messageText(const std::vector<std::string>& words) {
    std::string text;
    if (words.empty()) {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    }
    for (const std::string& word : words) {
        text += (&word == &words.front() ? "" : " ") + word;
    }
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text.find('\n') == std::string::npos ? text : "\n" + text;
}

// The daemon's own reading of the file these fields make, with its error texts.
std::vector<std::string> daemonErrors(const CVFImessageFields& fields) {
    auto owned =
        std::make_unique<CVsysEventLogCollector>("corfi-send", CVsysEventLogInterface::ERROR);
    CVsysEventLogCollector* log = owned.get();
    if (CVsysEventLogInterface::Register(std::move(owned)) == nullptr || !log->Start()) {
        return {"cannot collect the daemon's error texts"};
    }
    CVFImessage record;
    CVFIparseMessageText(CVFImessageFileText(fields), record);
    CVFIvalidateMessage(record);
    std::vector<std::string> errors;
    for (CVsysEventLogCollector::Entry& entry : log->take()) {
        while (!entry.text.empty() && entry.text.back() == '\n') {
            entry.text.pop_back();
        }
        errors.push_back(entry.text);
    }
    if (errors.empty() && !record.valid) {
        errors.push_back("the daemon would refuse this message");
    }
    return errors;
}

// -s, else spool_dir as the daemon reads it from -c or MMconfig_dir, else the package's spool.
int findSpool(const SendOptions& options, std::string& spool) {
    if (!options.spoolDir.empty()) {
        spool = options.spoolDir;
        return 0;
    }
    const char* fromEnvironment = getenv("MMconfig_dir");
    if (options.configDir.empty() && (fromEnvironment == nullptr || *fromEnvironment == '\0')) {
        struct stat info;
        if (stat(kDefaultSpool, &info) != 0 || !S_ISDIR(info.st_mode)) {
            return complain(kExitFailure, std::string("no spool directory: ") + kDefaultSpool +
                                              " is missing; give -s or -c");
        }
        spool = kDefaultSpool;
        return 0;
    }
    // Start-up's checks have reported on standard error why they failed.
    if (CVFIloadConfiguration("corfi-send", options.configDir) != 0) {
        return complain(kExitFailure, "cannot read the configuration");
    }
    spool = g_corfiValues.spoolDir;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    SendOptions options;
    try {
        options = parseSendOptions(argc, argv);
    } catch (const SendUsageError& error) {
        return complain(kExitInvalid, std::string(error.what()) + " (see --help)");
    }
    if (options.help) {
        std::cout << sendUsageText();
        return 0;
    }
    std::string error;
    if (!options.at.empty() && !CVFItimeAtFromWallClock(options.at, options.fields.timeAt, error)) {
        return complain(kExitInvalid, "--at: " + error);
    }
    options.fields.message = messageText(options.text);
    if (CVFImessageFileText(options.fields).size() > static_cast<size_t>(CVFI_MAX_MESSAGE_FILE)) {
        return complain(kExitInvalid, "the message is larger than the daemon reads");
    }
    const std::vector<std::string> errors = daemonErrors(options.fields);
    for (const std::string& text : errors) {
        complain(kExitInvalid, text);
    }
    if (!errors.empty()) {
        return kExitInvalid;
    }

    std::string spool;
    if (const int status = findSpool(options, spool)) {
        return status;
    }
    // The daemon reads the file through the spool's group.
    umask(027);
    CVioDescriptor directory = CVFIopenSpoolDirectory(spool);
    if (!directory) {
        return complain(kExitFailure,
                        "cannot open " + spool + ": " + CVsysUtility::errorText(errno));
    }
    std::string name;
    if (const int failure = CVFIwriteMessageFile(directory.get(), options.fields, name)) {
        return complain(kExitFailure,
                        "cannot write into " + spool + ": " + CVsysUtility::errorText(failure));
    }
    std::cout << CVioPath::joinSlashed(spool, name) << "\n";
    return 0;
}
