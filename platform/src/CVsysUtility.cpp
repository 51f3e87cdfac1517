#include "CVsysUtility.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

unsigned int CVsysUtility::sleepSeconds(unsigned int seconds) {
    return sleep(seconds);
}

int CVsysUtility::sleepMilliseconds(unsigned int milliseconds) {
    if (milliseconds >= 1000) {
        sleep(milliseconds / 1000);
        milliseconds %= 1000;
    }
    return usleep(milliseconds * 1000);
}

pthread_t CVsysUtility::getCurrentThreadID() {
    return pthread_self();
}

std::string CVsysUtility::getSystemErrorMessage() {
    const int saved = errno;
    std::string result = errorText(saved);
    errno = saved;
    return result;
}

std::string CVsysUtility::errorText(int error) {
    char buffer[1024] = {};
    // GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = strerror_r(error, buffer, sizeof(buffer) - 1);
    return text ? text : "";
}

std::string CVsysUtility::formatTime(time_t time, const char* format) {
    struct tm local;
    if (format == nullptr || localtime_r(&time, &local) == nullptr) {
        return std::string();
    }
    char buffer[80] = {};
    size_t length = strftime(buffer, sizeof(buffer), format, &local);
    return std::string(buffer, length);
}

char* CVsysUtility::trim(char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    size_t length = strlen(text);
    while (length > 0 && isspace(static_cast<unsigned char>(text[length - 1]))) {
        text[--length] = '\0';
    }
    size_t start = 0;
    while (start < length && isspace(static_cast<unsigned char>(text[start]))) {
        ++start;
    }
    if (start > 0) {
        memmove(text, text + start, length - start + 1);
    }
    return text;
}

int CVsysUtility::compareNoCase(const char* a, const char* b) {
    return strcasecmp(a, b);
}

std::string CVsysUtility::uintToString(uint32_t value) {
    return format("%u", value);
}

std::string CVsysUtility::intToString(int32_t value) {
    return format("%d", value);
}

std::string CVsysUtility::format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string result = formatV(format, args);
    va_end(args);
    return result;
}

std::string CVsysUtility::formatV(const char* format, va_list args) {
    if (format == nullptr) {
        return std::string();
    }
    char small[256];
    va_list copy;
    va_copy(copy, args);
    int needed = vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    if (needed < 0) {
        return std::string();
    }
    if (static_cast<size_t>(needed) < sizeof(small)) {
        return std::string(small, static_cast<size_t>(needed));
    }
    std::vector<char> large(static_cast<size_t>(needed) + 1);
    vsnprintf(large.data(), large.size(), format, args);
    return std::string(large.data(), static_cast<size_t>(needed));
}

std::string CVsysUtility::hideUrlCredentials(const std::string& url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) {
        return url;
    }
    const size_t authority = scheme + 3;
    const size_t authorityEnd = std::min(url.find_first_of("/?#", authority), url.size());
    // A password may hold an unencoded '@'; the host follows the last one.
    const size_t at = url.rfind('@', authorityEnd == 0 ? 0 : authorityEnd - 1);
    if (at == std::string::npos || at < authority) {
        return url;
    }
    const std::string user =
        url.substr(authority, std::min(url.find(':', authority), at) - authority);
    return url.substr(0, authority) + user + ":***@" + url.substr(at + 1);
}
