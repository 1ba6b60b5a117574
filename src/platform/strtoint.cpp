#include "platform/strtoint.h"

#include "platform/exceptions.h"

#include <charconv>

bool TryStrToInt(const std::string& text, int32_t& value) {
    const char* at = text.data();
    const char* const end = at + text.size();
    while (at != end && *at == ' ')
        ++at;
    const bool negative = at != end && *at == '-';
    if (at != end && (*at == '+' || *at == '-'))
        ++at;
    int base = 10;
    if (at != end && (*at == '$' || *at == 'x' || *at == 'X')) {
        base = 16;
        at += 1;
    } else if (end - at >= 2 && at[0] == '0' && (at[1] == 'x' || at[1] == 'X')) {
        base = 16;
        at += 2;
    }

    // Digits alone to the end: hexadecimal a 32-bit pattern, decimal a signed value's magnitude.
    uint64_t magnitude = 0;
    const auto [stop, error] = std::from_chars(at, end, magnitude, base);
    const uint64_t limit = base == 16 ? UINT64_C(0xFFFFFFFF)
                           : negative ? UINT64_C(2147483648)
                                      : UINT64_C(2147483647);
    if (error != std::errc() || stop != end || magnitude > limit)
        return false;
    auto pattern = static_cast<uint32_t>(magnitude);
    if (negative)
        pattern = 0u - pattern; // wraps; "-$80000000" stays the lowest value
    // Two's complement without relying on an implementation-defined cast.
    value = pattern <= static_cast<uint32_t>(INT32_MAX) ? static_cast<int32_t>(pattern)
                                                        : -static_cast<int32_t>(~pattern) - 1;
    return true;
}

int32_t StrToInt(const std::string& text) {
    int32_t value = 0;
    if (!TryStrToInt(text, value))
        throw EConvertError("'" + text + "' is not a valid integer value");
    return value;
}
