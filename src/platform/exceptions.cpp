#include "platform/exceptions.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string result(static_cast<size_t>(std::max(size, 0)), '\0');
    // The terminating NUL goes where the string keeps its own.
    if (size > 0)
        std::vsnprintf(result.data(), result.size() + 1, format, args);
    va_end(args);
    return result;
}
