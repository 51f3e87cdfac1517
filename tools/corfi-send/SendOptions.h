// Command line of corfi-send.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "createMessageFile.h"

struct SendOptions {
    std::string configDir;          // -c
    std::string spoolDir;           // -s
    CVFImessageFields fields;       // targets, job id and a raw --time-at; no message yet
    std::string at;                 // --at, still to be turned into fields.timeAt
    std::vector<std::string> text;  // TEXT operands; none: standard input is the text
    bool help = false;
};

// A command line corfi-send cannot run with; main reports it and exits with status 2.
class SendUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses argv (argv[0] the program); throws SendUsageError.
SendOptions parseSendOptions(int argc, char** argv);

const char* sendUsageText();
