#include "model/commandtext.h"

#include "platform/exceptions.h"

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

void Check(const std::string& field, const std::string& text, const char* forbidden,
           const char* outcome, TShown shown) {
    const std::string fault = Fault(text, forbidden);
    if (fault.empty())
        return;
    // A label ends in a colon, which only makes sense before the text.
    const std::string named = shown == TShown::Text || field.empty() || field.back() != ':'
                                  ? field
                                  : field.substr(0, field.size() - 1);
    const std::string quoted = shown == TShown::Text ? " \"" + text + "\"" : std::string();
    throw EUnsafeCommandText(named + quoted + " holds " + fault +
                             ", which the AS2 service would misread. Nothing was " + outcome);
}

} // namespace CommandText
