#pragma once
// Text that goes into a command must keep the command's meaning on the service (a blank or "="
// would start a new setting, a double quote would end a value early, a line break would end the
// command) and must come back unchanged through the service's replies (the brace lists of
// "Partner View" and "Partnership View" end at "}", split at ", " and line breaks, take "~" as a
// separator and quotes as quoted stretches; no reply carries a control character). Text that
// would not is refused before the first command of a save, a load or an import is sent.

#include "channel/namevalue.h"

#include <string>

namespace CommandText {

enum class TKind {
    Name,     // a partner or partnership name: bare in commands, a value in lists; never empty
    Key,      // an attribute name: bare in commands, a key in lists; may be empty
    Value,    // a value between double quotes, given back in a brace list
    Alias,    // a certificate alias: bare, given back as the text of a "cert List" element
    Path,     // a file path between double quotes
    Password, // the rest of the command line
};

// Why the text cannot go into a command as that kind ("a double quote, which the AS2 service
// would misread", "a closing brace "}", which the AS2 service's replies cannot give back", ...),
// naming the first character at fault; the empty string when it can.
std::string Fault(const std::string& text, TKind kind);

// Raises EUnsafeCommandText when the text cannot go into a command as that kind (or is an empty
// name), with the message `<field> "<text>" holds <fault>. Nothing was <outcome>`; a secret
// text is not repeated in it.
enum class TShown { Text, Hidden };
void Check(const std::string& field, const std::string& text, TKind kind, const char* outcome,
           TShown shown = TShown::Text);

// The pairs as the service gives them back: printed as a reply's brace list and read as every
// reply list is read. A value that the lists cannot carry comes back changed here, as it would
// from the service.
TNameValueArray AsGivenBack(const TNameValueArray& pairs);

} // namespace CommandText
