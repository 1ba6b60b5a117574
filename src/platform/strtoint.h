#pragma once
// Text to signed 32-bit integer, with the rules the system's counters and ports rely on: leading
// blanks, an optional sign, then decimal digits or hexadecimal digits behind "$", "x", "X", "0x" or
// "0X"; nothing may follow the digits.

#include <cstdint>
#include <string>

// True and the value when the whole text is an integer; false, value untouched, otherwise.
bool TryStrToInt(const std::string& text, int32_t& value);

// The value of the text; raises EConvertError "'<text>' is not a valid integer value" otherwise.
int32_t StrToInt(const std::string& text);
