// corfi-logq: reads a log database written by the SQLite log writer.
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "CVDBProcessorFatalException.h"
#include "CVLogSQLiteProcessor.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char* const kLevelNames[] = {"NONE", "TRACE", "DEBUG",    "INFO",
                                   "WARN", "ERROR", "CRITICAL", "FATAL"};

const char kUsage[] =
    "Usage: corfi-logq [options] DATABASE [MODULE]\n"
    "Without MODULE, lists the modules of the log DATABASE, one per line.\n"
    "With MODULE, prints its entries, one per line, as in the text log:\n"
    "  MM/DD/YYYY HH:MM:SS [LEVEL] message\n"
    "Options (with MODULE):\n"
    "  --sub NAME       entries of this sub-module only (repeatable)\n"
    "  --level L        entries of this level only, 0-7 or TRACE..FATAL (repeatable)\n"
    "  --since TIME     entries at or after TIME: seconds since 1970-01-01 UTC,\n"
    "                   or \"MM/DD/YYYY HH:MM:SS\" local time\n"
    "  --message PAT    entries whose message matches PAT\n"
    "  --date PAT       entries whose \"MM/DD/YYYY HH:MM:SS\" local time matches PAT\n"
    "  --newest-first   newest entries first (default: in the order stored)\n"
    "  --limit N        at most N entries\n"
    "  --offset N       skip the first N entries\n"
    "  --pages N        print the number of pages of N entries instead of the entries\n"
    "                   (takes at most one --level and no --sub or --since)\n"
    "  -h, --help       this text\n"
    "In patterns '*' matches any text; as in SQL LIKE, '%' and '_' are wildcards too\n"
    "and letters match in either case.\n"
    "Exit status: 0 success, 1 missing or unreadable database or module, 2 bad usage.\n";

struct UsageError {
    std::string text;
};

struct Options {
    std::string database;
    std::optional<std::string> module;
    CVLogQueryFilter filter;
    std::string messagePattern;
    std::string datePattern;
    std::optional<int32_t> pageSize;
};

long parseNumber(const std::string& option, const std::string& text, long low, long high) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
        throw UsageError{option + " needs a number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not \"" + text + "\""};
    }
    return value;
}

int32_t parseLevel(const std::string& text) {
    for (int32_t level = 0; level < 8; ++level) {
        if (strcasecmp(text.c_str(), kLevelNames[level]) == 0) {
            return level;
        }
    }
    return static_cast<int32_t>(parseNumber("--level", text, 0, 7));
}

int64_t parseTime(const std::string& text) {
    struct tm local {};
    const char* end = strptime(text.c_str(), "%m/%d/%Y %H:%M:%S", &local);
    if (end != nullptr && *end == '\0') {
        local.tm_isdst = -1;
        return mktime(&local);
    }
    return parseNumber("--since", text, 0, INT32_MAX);
}

// User patterns: '*' is the wildcard. The pattern is bound as a value, so quotes are plain.
std::string likePattern(std::string pattern) {
    for (char& c : pattern) {
        if (c == '*') {
            c = '%';
        }
    }
    return pattern;
}

bool isValueOption(const std::string& option) {
    for (const char* known :
         {"--sub", "--level", "--since", "--message", "--date", "--limit", "--offset", "--pages"}) {
        if (option == known) {
            return true;
        }
    }
    return false;
}

void applyOption(Options& o, const std::string& option, const std::string& value) {
    if (option == "--sub") {
        o.filter.modules.push_back(value);
    } else if (option == "--level") {
        o.filter.levels.push_back(parseLevel(value));
    } else if (option == "--since") {
        o.filter.earliestTimestamp = parseTime(value);
    } else if (option == "--message") {
        o.messagePattern = likePattern(value);
    } else if (option == "--date") {
        o.datePattern = likePattern(value);
    } else if (option == "--limit") {
        o.filter.limit = static_cast<int32_t>(parseNumber(option, value, 1, INT32_MAX));
    } else if (option == "--offset") {
        o.filter.offset = static_cast<int32_t>(parseNumber(option, value, 0, INT32_MAX));
    } else {
        o.pageSize = static_cast<int32_t>(parseNumber("--pages", value, 1, INT32_MAX));
    }
}

void checkCombination(const Options& o) {
    const bool filtered = !o.filter.modules.empty() || !o.filter.levels.empty() ||
                          o.filter.earliestTimestamp > 0 || !o.messagePattern.empty() ||
                          !o.datePattern.empty() || o.filter.limit > 0 || o.filter.offset > 0 ||
                          o.filter.orderByTimestampDesc || o.pageSize;
    if (!o.module && filtered) {
        throw UsageError{"the options need a MODULE"};
    }
    if (o.pageSize && (o.filter.levels.size() > 1 || !o.filter.modules.empty() ||
                       o.filter.earliestTimestamp > 0)) {
        throw UsageError{"--pages takes at most one --level and no --sub or --since"};
    }
}

// Returns nullopt when help was asked for.
std::optional<Options> parseArguments(int argc, char** argv) {
    Options o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            return std::nullopt;
        } else if (arg == "--newest-first") {
            o.filter.orderByTimestampDesc = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            if (!isValueOption(arg)) {
                throw UsageError{"unknown option " + arg};
            }
            if (i + 1 >= argc) {
                throw UsageError{arg + " needs a value"};
            }
            applyOption(o, arg, argv[++i]);
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.empty() || positional.size() > 2) {
        throw UsageError{"expected DATABASE and an optional MODULE"};
    }
    o.database = positional[0];
    if (positional.size() == 2) {
        o.module = positional[1];
    }
    checkCombination(o);
    return o;
}

std::string formatLine(const CVLogRecord& record) {
    const time_t time = static_cast<time_t>(record.timestamp);
    struct tm local {};
    char stamp[32] = "";
    if (localtime_r(&time, &local) != nullptr) {
        strftime(stamp, sizeof stamp, "%m/%d/%Y %H:%M:%S", &local);
    }
    std::string line = std::string(stamp) + " ";
    if (record.level >= 1 && record.level <= 7) {
        line += std::string("[") + kLevelNames[record.level] + "]";
    }
    line += " " + record.message;
    if (line.back() != '\n') {
        line += '\n';
    }
    return line;
}

int fail(const std::string& text) {
    std::cerr << "corfi-logq: " << text << "\n";
    return kExitFailure;
}

// Opens without creating anything: the file must exist and already hold the catalogue.
std::optional<std::string> openDatabase(CVLogSQLiteProcessor& db) {
    struct stat info {};
    if (stat(db.getPath().c_str(), &info) != 0) {
        return "cannot open log database " + db.getPath() + ": " + std::strerror(errno);
    }
    if (!db.open() || !db.tableExists("metatable")) {
        const std::string why =
            db.getErrorCode() != 0 ? db.getErrorMessage() : "no module catalogue (metatable)";
        return db.getPath() + " is not a readable log database: " + why;
    }
    if (!db.initialize()) {
        return "cannot read log database " + db.getPath() + ": " + db.getErrorMessage();
    }
    return std::nullopt;
}

int printEntries(CVLogSQLiteProcessor& db, const Options& o) {
    const std::string& module = *o.module;
    if (db.getModules().count(module) == 0) {
        return fail("no module \"" + module + "\" in log database " + db.getPath());
    }
    if (o.pageSize) {
        const uint32_t level = o.filter.levels.empty() ? 0 : o.filter.levels[0];
        std::cout << db.countPages(module, *o.pageSize, level, o.datePattern, o.messagePattern)
                  << "\n";
        return db.getErrorCode() != 0 ? fail(db.getErrorMessage()) : 0;
    }
    CVLogQueryResult entries;
    if (!db.queryEntries(module, entries, o.filter, o.datePattern, 0, o.messagePattern)) {
        return fail("query of module \"" + module + "\" failed: " + db.getErrorMessage());
    }
    for (const CVLogRecord& entry : entries) {
        std::cout << formatLine(entry);
    }
    return 0;
}

int run(const Options& o) {
    CVLogSQLiteProcessor db(o.database, false);
    if (const auto error = openDatabase(db)) {
        return fail(*error);
    }
    int status = 0;
    if (o.module) {
        status = printEntries(db, o);
    } else {
        for (const auto& entry : db.getModules()) {
            std::cout << entry.first << "\n";
        }
    }
    std::cout.flush();
    if (!std::cout) {
        return fail(std::string("cannot write the output: ") + std::strerror(errno));
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<Options> options;
    try {
        options = parseArguments(argc, argv);
    } catch (const UsageError& error) {
        std::cerr << "corfi-logq: " << error.text << "\nTry 'corfi-logq --help'.\n";
        return kExitUsage;
    }
    if (!options) {
        std::cout << kUsage;
        return 0;
    }
    try {
        return run(*options);
    } catch (const CVDBProcessorFatalException& error) {
        return fail(error.getMessage());
    }
}
