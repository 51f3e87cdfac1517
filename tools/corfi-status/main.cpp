// corfi-status: tells a monitoring system whether the daemon lives (see --help).
#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>

#include "CVFIdaemon.h"
#include "CVFIresources.h"
#include "CVfileDescriptor.h"
#include "CVioPath.h"
#include "StatusCheck.h"

namespace {

const char* const kDefaultConfigDir = "/var/lib/corfi/config";

const char kUsage[] =
    "Usage: corfi-status [-c CONFIG_DIR] [--warn SECONDS] [--crit SECONDS] [--json]\n"
    "Checks corfi's monitor file (temp/.ACFI beside CONFIG_DIR), the process it names and\n"
    "the spool directory, and prints one line for a monitoring system.\n"
    "  -c CONFIG_DIR    the daemon's configuration directory (else the one MMconfig_dir\n"
    "                   names, else /var/lib/corfi/config)\n"
    "  --warn SECONDS   WARNING when the last sign of life is older (default 2 x rest + 30)\n"
    "  --crit SECONDS   CRITICAL when it is older (default 4 x rest + 60)\n"
    "  --json           print the same facts as one JSON object\n"
    "  -h, --help       this text\n"
    "Exit status: 0 OK, 1 WARNING, 2 CRITICAL (also when the process is gone), 3 UNKNOWN\n"
    "(no readable monitor file, configuration or spool directory; bad usage).\n";

struct Options {
    std::string configDir;
    long warn = -1;  // -1: from rest
    long crit = -1;
    bool json = false;
};

bool parseSeconds(const char* text, long& seconds) {
    errno = 0;
    char* end = nullptr;
    seconds = std::strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && errno == 0 && seconds >= 0;
}

// Usage errors end the process with UNKNOWN, as monitoring plugins do.
int usage(const std::string& text) {
    std::cout << "CORFI UNKNOWN - " << text << " (see --help)\n";
    return StatusCheck::UNKNOWN;
}

}  // namespace

int main(int argc, char** argv) {
    enum { OPT_WARN = 1000, OPT_CRIT, OPT_JSON };
    const struct option longOptions[] = {
        {"warn", required_argument, nullptr, OPT_WARN},
        {"crit", required_argument, nullptr, OPT_CRIT},
        {"json", no_argument, nullptr, OPT_JSON},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    Options options;
    opterr = 0;
    for (int option; (option = getopt_long(argc, argv, ":c:h", longOptions, nullptr)) != -1;) {
        switch (option) {
            case 'c':
                options.configDir = optarg;
                break;
            case OPT_WARN:
            case OPT_CRIT:
                if (!parseSeconds(optarg, option == OPT_WARN ? options.warn : options.crit)) {
                    return usage(std::string(option == OPT_WARN ? "--warn" : "--crit") +
                                 " needs whole seconds");
                }
                break;
            case OPT_JSON:
                options.json = true;
                break;
            case 'h':
                std::cout << kUsage;
                return StatusCheck::OK;
            default:
                return usage(std::string("bad option ") + argv[optind - 1]);
        }
    }
    if (optind < argc) {
        return usage(std::string("unexpected argument ") + argv[optind]);
    }

    const char* fromEnvironment = getenv("MMconfig_dir");
    if (options.configDir.empty() && (fromEnvironment == nullptr || *fromEnvironment == '\0')) {
        options.configDir = kDefaultConfigDir;
    }
    // Start-up's checks report on standard error why they failed.
    if (const int status = CVFIloadConfiguration("corfi-status", options.configDir)) {
        std::cout << "CORFI UNKNOWN - cannot use the configuration "
                  << (options.configDir.empty() ? fromEnvironment : options.configDir)
                  << " (the daemon would exit with " << status << ")\n";
        return StatusCheck::UNKNOWN;
    }
    const long rest = std::max<long>(0, g_corfiValues.rest);
    StatusCheck check(CVioPath::joinSlashed(g_corfiPaths.tempDir, ".ACFI"), g_corfiValues.spoolDir,
                      options.warn >= 0 ? options.warn : 2 * rest + 30,
                      options.crit >= 0 ? options.crit : 4 * rest + 60);
    check.examine(time(nullptr));
    std::cout << (options.json ? check.json() : check.line()) << "\n";
    return check.code();
}
