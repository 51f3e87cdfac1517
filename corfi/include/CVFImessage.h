// A message file: its working record, the parser and the validator.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

enum CVFImessageKind { CVFI_KIND_RECEIVER = 0, CVFI_KIND_GROUP, CVFI_KIND_NAME, CVFI_KIND_QUICK };

struct CVFImessage {
    int kind = CVFI_KIND_RECEIVER;
    std::string receiver;  // RECEIVER: or NAME:
    std::string group;
    std::string pin;
    std::string carrier;
    std::string jobId;
    time_t scheduledTime = 0;  // 0: none
    std::string message;       // cleaned text
    bool hasMessage = false;   // a MESSAGE: line was read
    bool valid = true;
    std::string lastError{};  // the last format error logged for the file
};

// Reads the file from the descriptor's position to its end, or to `maxBytes`, into `record`,
// logging a trace entry per line and an error per format error (the valid flag is then
// cleared). Lines are read whole, however long.
void CVFIparseMessageFile(int fd, CVFImessage& record, size_t maxBytes = SIZE_MAX);
// Parses a whole file's text the same way (the descriptor form reads and calls this).
void CVFIparseMessageText(const std::string& text, CVFImessage& record);
// The kind-specific tests; the first failing one is logged and clears the valid flag.
void CVFIvalidateMessage(CVFImessage& record);

// "MM-DD-YY-HH-MM" to local standard time with the hour minus one; false when out of range.
bool CVFIparseTimeAt(const char* value, time_t* scheduled);
// Drops control and non-ASCII bytes, "~" to "-", other white space but line feeds to blanks,
// then trailing white space.
std::string CVFIcleanMessage(const std::string& text);
