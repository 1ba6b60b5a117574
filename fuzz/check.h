#pragma once
// An invariant that a fuzz target checks: when it fails, the input is a finding, so abort and let
// libFuzzer keep the input as a crash artifact.

#include <cstdio>
#include <cstdlib>
#include <string>

[[noreturn]] inline void FuzzFail(const char* file, int line, const char* condition,
                                  const std::string& detail) {
    std::fprintf(stderr, "%s:%d: invariant failed: %s\n%s\n", file, line, condition,
                 detail.c_str());
    std::abort();
}

#define FUZZ_CHECK(condition, detail)                                                              \
    do {                                                                                           \
        if (!(condition))                                                                          \
            FuzzFail(__FILE__, __LINE__, #condition, (detail));                                    \
    } while (false)

// Bytes shown with C escapes, for messages about text that may hold anything.
inline std::string Escaped(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out + "\"";
}
