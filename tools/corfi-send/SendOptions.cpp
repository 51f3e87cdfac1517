#include "SendOptions.h"

#include <getopt.h>

namespace {

enum LongOnly { OPT_AT = 1000, OPT_TIME_AT };

const struct option kLongOptions[] = {
    {"at", required_argument, nullptr, OPT_AT},
    {"time-at", required_argument, nullptr, OPT_TIME_AT},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

std::string optionName(int option) {
    for (const struct option& entry : kLongOptions) {
        if (entry.name != nullptr && entry.val == option) {
            return std::string("--") + entry.name;
        }
    }
    return std::string("-") + static_cast<char>(option);
}

// The options that fill one keyword line of the message file.
struct FieldOption {
    int option;
    const char* keyword;
    std::string CVFImessageFields::*member;
};

const FieldOption kFieldOptions[] = {
    {'r', "RECEIVER", &CVFImessageFields::receiver},
    {'g', "GROUP", &CVFImessageFields::group},
    {'n', "NAME", &CVFImessageFields::name},
    {'p', "PIN", &CVFImessageFields::pin},
    {'C', "CARRIER", &CVFImessageFields::carrier},
    {'j', "JOBID", &CVFImessageFields::jobId},
    {OPT_TIME_AT, "TIME_AT", &CVFImessageFields::timeAt},
};

const FieldOption* fieldOption(int option) {
    for (const FieldOption& field : kFieldOptions) {
        if (field.option == option) {
            return &field;
        }
    }
    return nullptr;
}

void checkCombination(const SendOptions& o) {
    if (!o.configDir.empty() && !o.spoolDir.empty()) {
        throw SendUsageError("-c and -s exclude each other");
    }
    if (!o.at.empty() && !o.fields.timeAt.empty()) {
        throw SendUsageError("--at and --time-at exclude each other");
    }
    const CVFImessageFields& f = o.fields;
    const int targets = !f.receiver.empty() + !f.group.empty() + !f.name.empty() +
                        (!f.pin.empty() || !f.carrier.empty());
    if (targets != 1) {
        throw SendUsageError(targets == 0 ? "no target: give -r, -g, -n, or -p and -C"
                                          : "more than one target: give one of -r, -g, -n, -p");
    }
}

}  // namespace

SendOptions parseSendOptions(int argc, char** argv) {
    SendOptions options;
    CVFImessageFields& f = options.fields;
    // "+": options end at the first operand, so a text may follow that begins with a dash
    // only after "--". ":": missing values are reported here rather than by getopt.
    opterr = 0;
    optind = 0;
    for (int option;
         (option = getopt_long(argc, argv, "+:c:s:r:g:n:p:C:j:h", kLongOptions, nullptr)) != -1;) {
        const std::string value = optarg ? optarg : "";
        if (const FieldOption* field = fieldOption(option)) {
            // The writer leaves out an empty value, which would then go unnoticed.
            if (value.empty()) {
                throw SendUsageError(optionName(option) + " needs a value");
            }
            // A line break would end the keyword's line and start one of the sender's choosing.
            if (value.find_first_of("\r\n") != std::string::npos) {
                throw SendUsageError(std::string(field->keyword) + " must not hold a line break");
            }
            f.*field->member = value;
            continue;
        }
        switch (option) {
            case 'c':
                options.configDir = value;
                break;
            case 's':
                options.spoolDir = value;
                break;
            case OPT_AT:
                options.at = value;
                break;
            case 'h':
                options.help = true;
                return options;
            case ':':
                throw SendUsageError(optionName(optopt) + " needs a value");
            default:
                throw SendUsageError("unknown option " +
                                     (optopt != 0 ? optionName(optopt) : argv[optind - 1]));
        }
    }
    options.text.assign(argv + optind, argv + argc);
    checkCombination(options);
    return options;
}

const char* sendUsageText() {
    return R"USAGE(Usage: corfi-send [-c CONFIG_DIR | -s SPOOL_DIR] TARGET [-j JOBID]
                  [--at 'YYYY-MM-DD HH:MM' | --time-at MM-DD-YY-HH-MM] [--] [TEXT...]
Writes one message file into corfi's spool directory and prints its path.

TARGET is one of:
  -r RECEIVER          a receiver id
  -g GROUP             a group
  -n NAME              a receiver by name
  -p PIN -C CARRIER    a pager number on a carrier
Options:
  -c CONFIG_DIR        read spool_dir from this configuration directory (else from the
                       one MMconfig_dir names)
  -s SPOOL_DIR         write into this spool directory
                       (neither: /var/spool/corfi)
  -j JOBID             a job id
  --at 'YYYY-MM-DD HH:MM'  send at this local time (the zone must be the daemon's)
  --time-at VALUE      the raw TIME_AT field
  -h, --help           this text
TEXT is the arguments joined by blanks; without TEXT, standard input is the text.

Exit status: 0 written, 1 no spool directory or a write failure, 2 bad usage or a
message the daemon would refuse (nothing is written).
)USAGE";
}
