// printf-style formatting into a string that keeps the whole text; empty on a format error.
#pragma once

#include <cstdarg>
#include <string>

std::string formatString(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatStringV(const char* format, va_list args);
