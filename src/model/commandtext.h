#pragma once
// Text that goes into a command line unquoted or between double quotes must not change the
// line's meaning on the service: a blank or "=" would start a new setting, a double quote would
// end a value early, a line break would end the command.

#include <string>

namespace CommandText {

constexpr const char* BareName = " \"=\r\n";  // partner, partnership and attribute names
constexpr const char* QuotedValue = "\"\r\n"; // values written between double quotes
constexpr const char* Alias = " \"\r\n";      // a certificate alias, which stands bare
constexpr const char* Path = "\"\r\n";        // a file path, written between double quotes
constexpr const char* Password = "\r\n";      // a password, the rest of the line

// A description of the first character of `text` that `forbidden` holds ("a blank",
// "a double quote", "an equals sign", "a line break"), or the empty string when there is none.
std::string Fault(const std::string& text, const char* forbidden);

// Raises EUnsafeCommandText when `text` holds a character of `forbidden`, with the message
// `<field> "<text>" holds <fault>, which the AS2 service would misread. Nothing was <outcome>`;
// a secret text is not repeated in it.
enum class TShown { Text, Hidden };
void Check(const std::string& field, const std::string& text, const char* forbidden,
           const char* outcome, TShown shown = TShown::Text);

} // namespace CommandText
