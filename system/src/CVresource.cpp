#include "CVresource.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "CVioStream.h"
#include "CVsysEventLogInterface.h"
#include "CVsysReportError.h"
#include "CVsysUtility.h"
#include "formatString.h"

namespace {

const char* const kIdent = "Corvane";
// Room for 256 characters per read; a longer line arrives in pieces.
constexpr int kLineRoom = 256;

const char* orEmpty(const char* text) {
    return text ? text : "";
}

void setText(CVresource* entry, const char* text) {
    if (entry->capacity == 0) {
        return;
    }
    char* buffer = static_cast<char*>(entry->value);
    const size_t length = strnlen(orEmpty(text), entry->capacity - 1);
    memcpy(buffer, orEmpty(text), length);
    buffer[length] = '\0';
}

// Like atoi, but saturating instead of undefined on overflow.
void setInt(CVresource* entry, const char* text) {
    if (text == nullptr) {
        return;
    }
    long number = strtol(text, nullptr, 10);
    if (number > INT32_MAX) {
        number = INT32_MAX;
    } else if (number < INT32_MIN) {
        number = INT32_MIN;
    }
    *static_cast<int32_t*>(entry->value) = static_cast<int32_t>(number);
}

// "+M" minutes or "+H:M" from now; anything after the numbers is an error.
bool setTime(CVresource* entry, const char* text) {
    const char* source = orEmpty(text);
    std::vector<char> rest(strlen(source) + 1);
    int hours = 0;
    int minutes = 0;
    if (sscanf(source, "+%d%s", &minutes, rest.data()) != 1) {
        if (sscanf(source, "+%d:%d%s", &hours, &minutes, rest.data()) != 2) {
            CVsysReportError("CVresourceSetResource", kIdent, "Bad time format %s != +HH:MM\n",
                             source);
            return false;
        }
    }
    const long long when = static_cast<long long>(time(nullptr)) + hours * 3600LL + minutes * 60LL;
    *static_cast<int32_t*>(entry->value) = static_cast<int32_t>(when);
    return true;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// One piece of a resource file as read by fgets.
void loadResLine(CVresource* table, int count, const char* path, int lineNo, const char* line,
                 bool report) {
    const char* first = line;
    while (isBlank(*first)) {
        ++first;
    }
    if (*first == '\0' || *first == '#') {
        return;
    }
    if (*first == ':' || strchr(line, ':') == nullptr) {
        if (report) {
            CVsysReportError("CVresourceLoadResFile", kIdent, "%s: line %d: syntax error", path,
                             lineNo);
        }
        return;
    }
    const size_t nameLength = strcspn(line, " \t:\r\n");
    if (nameLength == 0) {
        // Indented lines are refused even where syntax errors are otherwise quiet.
        CVsysReportError("CVresourceLoadResFile", kIdent, "%s: line %d: syntax error", path,
                         lineNo);
        return;
    }
    const std::string name(line, nameLength);
    const char* value = line + nameLength + 1;  // the ':' guarantees a terminator follows
    while (isBlank(*value)) {
        ++value;
    }
    const std::string text(value, strcspn(value, "\r\n"));
    CVresource* entry = CVresourceFind(table, count, name.c_str());
    if (entry != nullptr && !CVresourceSetResource(table, count, entry, text.c_str())) {
        CVsysReportError("CVresourceLoadResFile", kIdent, "%s: #%d: bad value\n", path, lineNo);
    }
}

}  // namespace

CVresource* CVresourceFind(CVresource* table, int count, const char* name) {
    if (table == nullptr || name == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < count; ++i) {
        if (table[i].name != nullptr && strcmp(table[i].name, name) == 0) {
            return &table[i];
        }
    }
    return nullptr;
}

int CVresourceSetResource(CVresource* /*table*/, int /*count*/, CVresource* entry,
                          const char* text) {
    if (entry == nullptr) {
        return 0;
    }
    if (entry->set) {
        return 1;
    }
    switch (entry->type) {
        case CV_RES_TEXT:
            setText(entry, text);
            break;
        case CV_RES_INT:
            setInt(entry, text);
            break;
        case CV_RES_BOOL:
            *static_cast<int32_t*>(entry->value) = (text != nullptr && strcmp(text, "TRUE") == 0);
            break;
        case CV_RES_TIME:
            if (!setTime(entry, text)) {
                return 0;
            }
            break;
        default:
            CVsysReportError("CVresourceSetResource", kIdent, "%s has an unknown type (%d)\n",
                             orEmpty(entry->name), entry->type);
            return 0;
    }
    entry->set = true;
    return 1;
}

int CVresourceSetDeflt(CVresource* table, int count, const char* name) {
    CVresource* entry = CVresourceFind(table, count, name);
    if (entry == nullptr) {
        CVsysReportError("CVresourceSetDeflt", kIdent, "Resource %s is not in resource table\n",
                         orEmpty(name));
        return 0;
    }
    if (entry->deflt == nullptr) {
        CVsysReportError("CVresourceSetDeflt", kIdent, "Unknown default value for parameter %s\n",
                         orEmpty(name));
        return 0;
    }
    return CVresourceSetResource(table, count, entry, entry->deflt);
}

int CVresourceSetDefaults(CVresource* table, int count) {
    for (int i = 0; i < count; ++i) {
        CVresource* entry = &table[i];
        if (!entry->set && entry->deflt != nullptr &&
            !CVresourceSetResource(table, count, entry, entry->deflt)) {
            return 0;
        }
    }
    return 1;
}

int CVresourceCheckReqRes(CVresource* table, int count) {
    int result = 1;
    for (int i = 0; i < count; ++i) {
        if (table[i].kind == CV_RES_REQUIRED && !table[i].set) {
            CVsysReportError("CVresourceCheckReqRes", kIdent, "%s is required but not set!",
                             orEmpty(table[i].name));
            result = 0;
        }
    }
    return result;
}

int CVresourceLoadArgs(CVresource* table, int count, int argc, char** argv, bool report) {
    const char* program = (argc > 0 && argv[0] != nullptr) ? argv[0] : "";
    int index = 1;
    while (index < argc) {
        const char* arg = orEmpty(argv[index]);
        if (arg[0] != '-') {
            index += 2;
            continue;
        }
        CVresource* entry = CVresourceFind(table, count, arg + 1);
        if (entry == nullptr) {
            if (report) {
                CVsysReportError("CVresourceLoadArgs", program, "Invalid resource name %s",
                                 arg + 1);
            }
            index += 2;
            continue;
        }
        if (entry->type == CV_RES_BOOL) {
            if (!CVresourceSetResource(table, count, entry, "TRUE")) {
                return -1;
            }
            index += 1;
            continue;
        }
        if (index + 1 >= argc || !CVresourceSetResource(table, count, entry, argv[index + 1])) {
            return -1;
        }
        index += 2;
    }
    return index;
}

int CVresourceLoadEnv(CVresource* table, int count, const char* prefix) {
    for (int i = 0; i < count; ++i) {
        const std::string variable = std::string(orEmpty(prefix)) + orEmpty(table[i].name);
        const char* text = getenv(variable.c_str());
        if (text != nullptr && !CVresourceSetResource(table, count, &table[i], text)) {
            return 0;
        }
    }
    return 1;
}

int CVresourceLoadResFile(CVresource* table, int count, const char* path, bool report) {
    CVioStream file(fopen(orEmpty(path), "re"));
    if (!file) {
        return 1;
    }
    char line[kLineRoom + 1];
    int lineNo = 0;
    while (fgets(line, sizeof line, file.get()) != nullptr) {
        loadResLine(table, count, path, ++lineNo, line, report);
    }
    return 1;
}

void CVresourcePrintHelp(const CVresource* table, int count) {
    for (int i = 0; i < count; ++i) {
        if (table[i].kind != CV_RES_HIDDEN) {
            printf("%-20s\t%s\n", orEmpty(table[i].name), orEmpty(table[i].description));
        }
    }
    fflush(stdout);
}

std::string CVresourceResStr(const CVresource* entry) {
    if (entry == nullptr || !entry->set) {
        return "";
    }
    switch (entry->type) {
        case CV_RES_INT:
        case CV_RES_TIME:
            return std::to_string(*static_cast<const int32_t*>(entry->value));
        case CV_RES_TEXT:
            return static_cast<const char*>(entry->value);
        case CV_RES_BOOL:
            return *static_cast<const int32_t*>(entry->value) ? "TRUE" : "FALSE";
        default:
            CVsysReportError("CVresourceResStr", kIdent, "%s has an unknown type (%d)\n",
                             orEmpty(entry->name), entry->type);
            return "";
    }
}

void CVresourceDump(const CVresource* table, int count) {
    CVsysEventLogInterface* log = nullptr;
    try {
        log = CVsysEventLogInterface::GetInstance(__LINE__, __FILE__);
    } catch (const std::exception&) {
        return;  // no event log yet: GetInstance has reported it
    }
    for (int i = 0; i < count; ++i) {
        const CVresource& entry = table[i];
        if (!entry.set) {
            continue;
        }
        const char* name = orEmpty(entry.name);
        if (strstr(name, "password") != nullptr) {
            log->info(formatString("%s:\t******\n", name));
        } else {
            const std::string value = CVsysUtility::hideUrlCredentials(CVresourceResStr(&entry));
            log->info(formatString("%s:\t%s\n", name, value.c_str()));
        }
    }
}
