#include "commandtext.h"

#include <cstring>

namespace CommandText {

std::string Fault(const std::string& text, const char* forbidden) {
    for (char c : text) {
        if (c == '\0' || std::strchr(forbidden, c) == nullptr)
            continue;
        switch (c) {
        case ' ':
            return "a blank";
        case '"':
            return "a double quote";
        case '=':
            return "an equals sign";
        default:
            return "a line break";
        }
    }
    return std::string();
}

} // namespace CommandText
