// TIME_AT values, whatever a message file holds after the keyword.
#include "CVFImessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string value(reinterpret_cast<const char*>(data), size);
    time_t scheduled = 0;
    CVFIparseTimeAt(value.c_str(), &scheduled);
    return 0;
}
