// Message files as any local user may write them: parsed, validated and turned into a request.
#include "CVFIdelivery.h"
#include "CVFImessage.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::registerQuietEventLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CVFImessage record;
    CVFIparseMessageText(std::string(reinterpret_cast<const char*>(data), size), record);
    CVFIvalidateMessage(record);
    if (record.valid) {
        CVcurlRequest request;
        CVFIbuildRequest(record, "http://127.0.0.1:1/send", request);
    }
    return 0;
}
