// Resource files ("name: value" lines) read into a table of every resource type.
#include "CVresource.h"
#include "FuzzSupport.h"

namespace {

struct Values {
    char text[16];
    int32_t number;
    int32_t flag;
    int32_t when;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::registerQuietEventLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Values values{};
    CVresource table[] = {
        {"text", CV_RES_TEXT, values.text, sizeof values.text, nullptr, CV_RES_REQUIRED, "", false},
        {"number", CV_RES_INT, &values.number, 0, "60", CV_RES_REQUIRED, "", false},
        {"flag", CV_RES_BOOL, &values.flag, 0, "FALSE", CV_RES_OPTIONAL, "", false},
        {"when", CV_RES_TIME, &values.when, 0, nullptr, CV_RES_HIDDEN, "", false},
    };
    const int count = static_cast<int>(sizeof table / sizeof table[0]);
    const std::string path = fuzzsupport::scratchDirectory() + "/corfi_config";
    fuzzsupport::writeScratchFile(path, data, size);
    CVresourceLoadResFile(table, count, path.c_str(), false);
    CVresourceSetDefaults(table, count);
    for (const CVresource& entry : table) {
        CVresourceResStr(&entry);
    }
    return 0;
}
