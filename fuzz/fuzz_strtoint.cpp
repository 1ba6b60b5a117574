// Integer conversion and the certificate alias counter built on it.
//
// Input: the text, converted as it is and used as the certificate field's text.

#include "check.h"
#include "model/certalias.h"
#include "platform/exceptions.h"
#include "platform/strtoint.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>

namespace {

// The conversion rules worked out with the standard library's digit parsing, as an independent
// reference: leading blanks, a sign, decimal digits or hexadecimal digits behind "$", "x", "X",
// "0x", "0X", and nothing after them; decimal in the signed range, hexadecimal as a 32-bit
// pattern.
bool Reference(const std::string& text, int32_t& value) {
    std::size_t i = text.find_first_not_of(' ');
    if (i == std::string::npos)
        return false;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-')
        negative = text[i++] == '-';
    int base = 10;
    if (text.compare(i, 1, "$") == 0 || text.compare(i, 1, "x") == 0 ||
        text.compare(i, 1, "X") == 0) {
        base = 16;
        i += 1;
    } else if (text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0) {
        base = 16;
        i += 2;
    }
    std::string digits = text.substr(std::min(i, text.size()));
    const char* allowed = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.find_first_not_of(allowed) != std::string::npos)
        return false;
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
    if (digits.size() > (base == 16 ? 8u : 10u))
        return false;
    if (base == 10) {
        int64_t magnitude = 0;
        std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, 10);
        const int64_t signedValue = negative ? -magnitude : magnitude;
        if (signedValue < INT32_MIN || signedValue > INT32_MAX)
            return false;
        value = static_cast<int32_t>(signedValue);
        return true;
    }
    uint32_t pattern = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), pattern, 16);
    if (negative)
        pattern = 0u - pattern;
    const int64_t wide = pattern > static_cast<uint32_t>(INT32_MAX)
                             ? static_cast<int64_t>(pattern) - (INT64_C(1) << 32)
                             : static_cast<int64_t>(pattern);
    value = static_cast<int32_t>(wide);
    return true;
}

int32_t Wrapped(int64_t value) {
    value = ((value % (INT64_C(1) << 32)) + (INT64_C(1) << 32)) % (INT64_C(1) << 32);
    return static_cast<int32_t>(value > INT32_MAX ? value - (INT64_C(1) << 32) : value);
}

void CheckConversion(const std::string& text) {
    constexpr int32_t Untouched = 0x5A5A5A5A;
    int32_t tried = Untouched;
    const bool converts = TryStrToInt(text, tried);
    int32_t expected = Untouched;
    const bool reference = Reference(text, expected);
    FUZZ_CHECK(converts == reference, Escaped(text));
    FUZZ_CHECK(tried == expected, Escaped(text) + " gave " + std::to_string(tried) + ", not " +
                                      std::to_string(expected));

    bool thrown = false;
    try {
        const int32_t value = StrToInt(text);
        FUZZ_CHECK(converts && value == tried, Escaped(text));
    } catch (const EConvertError& error) {
        thrown = true;
        FUZZ_CHECK(error.Message == "'" + text + "' is not a valid integer value",
                   Escaped(error.Message));
    }
    FUZZ_CHECK(thrown == !converts, Escaped(text));

    if (converts) {
        int32_t again = 0;
        FUZZ_CHECK(TryStrToInt(std::to_string(tried), again) && again == tried, Escaped(text));
    }
}

bool IsCanonicalDecimal(const std::string& text) {
    const std::size_t digits = text.compare(0, 1, "-") == 0 ? 1 : 0;
    if (text.size() == digits || text.find_first_not_of("0123456789", digits) != std::string::npos)
        return false;
    return text[digits] != '0' || (digits == 0 && text.size() == 1);
}

void CheckAlias(const std::string& field) {
    const std::size_t colon = field.find(':');
    const std::string base = field.substr(0, colon);
    int32_t counter = -1;
    bool converts = true;
    if (colon != std::string::npos)
        converts = TryStrToInt(field.substr(colon + 1), counter);

    std::string alias;
    try {
        alias = NextCertificateAlias(field);
    } catch (const EConvertError& error) {
        FUZZ_CHECK(!converts, Escaped(field));
        FUZZ_CHECK(error.Message ==
                       "'" + field.substr(colon + 1) + "' is not a valid integer value",
                   Escaped(error.Message));
        return;
    }
    FUZZ_CHECK(converts, Escaped(field) + " gave " + Escaped(alias));
    const int32_t next = Wrapped(static_cast<int64_t>(counter) + 1);
    FUZZ_CHECK(alias == base + ":" + std::to_string(next),
               Escaped(field) + " gave " + Escaped(alias));
    FUZZ_CHECK(IsCanonicalDecimal(alias.substr(base.size() + 1)), Escaped(alias));

    // What the counter writes, it reads again: the next import counts on from there.
    std::string following;
    try {
        following = NextCertificateAlias(alias);
    } catch (const EConvertError& error) {
        FUZZ_CHECK(false, Escaped(alias) + ": " + error.Message);
    }
    FUZZ_CHECK(following == base + ":" + std::to_string(Wrapped(static_cast<int64_t>(next) + 1)),
               Escaped(alias) + " gave " + Escaped(following));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckConversion(text);
    CheckAlias(text);
    return 0;
}
