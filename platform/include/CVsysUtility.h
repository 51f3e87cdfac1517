// Small stateless helpers shared by the library and the daemon.
#pragma once

#include <pthread.h>

#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <string>

class CVsysUtility {
public:
    CVsysUtility() = delete;

    static unsigned int sleepSeconds(unsigned int seconds);
    // Whole seconds with sleep(), the rest with usleep(); returns usleep()'s result.
    static int sleepMilliseconds(unsigned int milliseconds);
    static pthread_t getCurrentThreadID();
    // Text of the current errno (thread-safe; errno is left unchanged).
    static std::string getSystemErrorMessage();
    // Text of the given errno value (thread-safe).
    static std::string errorText(int error);
    // Local time through strftime; at most 79 characters.
    static std::string formatTime(time_t time, const char* format);
    // The URL with a user-info part shown as "user:***@", so it may be logged.
    static std::string hideUrlCredentials(const std::string& url);
    // Removes white space at both ends in place; returns `text`. Null stays null.
    static char* trim(char* text);
    static int compareNoCase(const char* a, const char* b);
    static std::string uintToString(uint32_t value);
    static std::string intToString(int32_t value);
    // printf-style formatting that keeps the whole text, however long.
    static std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static std::string formatV(const char* format, va_list args);
};
