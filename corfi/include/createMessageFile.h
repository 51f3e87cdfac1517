// Writes one message file into a spool directory for the dispatch cycle to pick up.
#pragma once

#include <string>

// The values of one message file. Each non-empty one but the message gets a line
// "KEYWORD:\tvalue\n" in the order RECEIVER, GROUP, NAME, PIN, CARRIER, JOBID, TIME_AT; the
// line "MESSAGE:\t<message>\n" always comes last. Values are written unchanged.
struct CVFImessageFields {
    std::string message;
    std::string name;
    std::string pin;
    std::string receiver;
    std::string group;
    std::string carrier;
    std::string jobId;
    std::string timeAt;  // the raw TIME_AT value; the daemon's own writers leave it empty
};

// The file text that the fields give.
std::string CVFImessageFileText(const CVFImessageFields& fields);

// Writes the file whole under a hidden name in the directory `dirFd`, then publishes it by a
// rename that never replaces an existing file, to "corfi" + six random characters (a taken
// name is drawn again). No lock, no log. Returns 0 with the final name in `name`, or the errno
// of the step that failed; nothing is left behind then.
int CVFIwriteMessageFile(int dirFd, const CVFImessageFields& fields, std::string& name);

// The daemon's writer: takes the spool directory's lock (waiting for it), writes as above and
// logs the file at DEBUG and any failure at ERROR. True when the file was written whole; else
// `error` (when given) holds the errno of the failing step.
bool createMessageFile(const std::string& spoolDir, const CVFImessageFields& fields,
                       int* error = nullptr);
