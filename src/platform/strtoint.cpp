#include "platform/strtoint.h"

#include "platform/exceptions.h"

namespace {

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Two's complement reading of a 32-bit pattern without relying on implementation-defined casts.
int32_t FromPattern(uint32_t pattern) {
    if (pattern <= static_cast<uint32_t>(INT32_MAX))
        return static_cast<int32_t>(pattern);
    return -static_cast<int32_t>(~pattern) - 1;
}

} // namespace

bool TryStrToInt(const std::string& text, int32_t& value) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }

    bool hex = false;
    if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        hex = true;
        i += 1;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i == n)
        return false; // nothing, blanks alone, a sign alone or a prefix alone

    // The accumulator stops growing past the limit, so any number of digits is safe.
    const uint64_t limit = hex ? UINT64_C(0xFFFFFFFF) : UINT64_C(2147483648);
    uint64_t magnitude = 0;
    for (; i < n; ++i) {
        const int digit =
            hex ? HexDigitValue(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
        if (digit < 0)
            return false;
        magnitude = magnitude * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
        if (magnitude > limit)
            return false;
    }

    uint32_t pattern = static_cast<uint32_t>(magnitude);
    if (!hex && !negative && magnitude > static_cast<uint64_t>(INT32_MAX))
        return false;
    if (negative)
        pattern = 0u - pattern; // wraps; "-$80000000" stays the lowest value
    value = FromPattern(pattern);
    return true;
}

int32_t StrToInt(const std::string& text) {
    int32_t value = 0;
    if (!TryStrToInt(text, value))
        throw EConvertError("'" + text + "' is not a valid integer value");
    return value;
}
