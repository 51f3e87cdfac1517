#include "formatString.h"

#include "CVsysUtility.h"

std::string formatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = CVsysUtility::formatV(format, args);
    va_end(args);
    return text;
}

std::string formatStringV(const char* format, va_list args) {
    return CVsysUtility::formatV(format, args);
}
