// The resource table: named, typed configuration parameters filled from the command line, the
// environment and resource files ("name: value" lines), then from their defaults. The first
// source that sets a resource wins. Operations return 1 for success and 0 for failure unless
// said otherwise, and report through the system log with the ident "Corvane".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum CVresourceType { CV_RES_INT = 1, CV_RES_TEXT = 2, CV_RES_BOOL = 3, CV_RES_TIME = 4 };
enum CVresourceKind { CV_RES_OPTIONAL = 0, CV_RES_REQUIRED = 1, CV_RES_HIDDEN = 3 };

struct CVresource {
    const char* name;         // matched case-sensitively
    int type;                 // CVresourceType
    void* value;              // int32_t for INT, BOOL (1/0) and TIME; char[capacity] for TEXT
    size_t capacity;          // TEXT only: buffer size, terminator included; longer values are cut
    const char* deflt;        // default as text, or null
    int kind;                 // CVresourceKind
    const char* description;  // the "-help" line
    bool set;                 // true once any source has set the value
};

int CVresourceSetResource(CVresource* table, int count, CVresource* entry, const char* text);
int CVresourceSetDeflt(CVresource* table, int count, const char* name);
int CVresourceSetDefaults(CVresource* table, int count);
// Reports every required resource that is not set; 1 only when none is missing.
int CVresourceCheckReqRes(CVresource* table, int count);
// "-name value" pairs ("-name" alone for booleans) from index 1. Returns the index where the
// walk stopped, or -1 when a value was rejected (also when a value is missing at the end).
int CVresourceLoadArgs(CVresource* table, int count, int argc, char** argv, bool report);
// Sets each resource from the environment variable prefix + name, when it exists.
int CVresourceLoadEnv(CVresource* table, int count, const char* prefix);
// Loads "name: value" lines; a missing file is skipped. Bad lines are reported and skipped.
int CVresourceLoadResFile(CVresource* table, int count, const char* path, bool report);
void CVresourcePrintHelp(const CVresource* table, int count);
std::string CVresourceResStr(const CVresource* entry);
// Writes every set resource to the event log ("name:\tvalue"; passwords masked).
void CVresourceDump(const CVresource* table, int count);
CVresource* CVresourceFind(CVresource* table, int count, const char* name);
