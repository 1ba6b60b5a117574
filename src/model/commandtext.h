#pragma once
// Text that goes into a command must keep the command's meaning on the service (a blank or "="
// would start a new setting in a name, a double quote would end a value early, a line break would
// end the command), and what the operator typed or the dialog composed must come back from the
// service unchanged: as XML text in its replies, and through the brace lists of "Partner View" and
// "Partnership View", which end at "}", split at ", " and line breaks, take "~" as a separator and
// quotes as quoted stretches. Text that would not is refused before the first command of a save, a
// load or an import is sent.

#include "channel/namevalue.h"

#include <cstddef>
#include <string>
#include <vector>

namespace CommandText {

enum class TKind {
    Name,     // a partner or partnership name: bare in commands, a value in lists; never empty
    Key,      // an attribute name: bare in commands, a key in lists; may be empty
    Value,    // a value between double quotes, given back in a brace list
    Alias,    // a certificate alias: bare, given back as the text of a "cert List" element
    Path,     // a file path between double quotes
    Password, // the rest of the command line
};

// Why the text cannot go into a command as that kind: it would change the command's meaning ("a
// double quote, which the AS2 service would misread"), or it is no XML text, which no reply could
// carry back (a control character other than the tab, U+FFFE, U+FFFF, bytes that are no UTF-8).
// Names the first character at fault; the empty string when the text can go.
std::string Fault(const std::string& text, TKind kind);

// Why a value or key that its record does not give back unchanged is lost there: the first
// character the reply lists take apart ("a closing brace "}", which the AS2 service's replies
// cannot give back"), or the text as a whole.
std::string LostFault(const std::string& text);

// A value as a message quotes it: in double quotes, a line break shown as \n (\r as \r), so
// that one line of a message stays one line.
std::string Quoted(const std::string& value);

// Raises EUnsafeCommandText with the message `<field>: "<text>" holds <fault>. Nothing was
// <outcome>`; a secret text is not repeated in it.
enum class TShown { Text, Hidden };
[[noreturn]] void Refuse(const std::string& field, const std::string& text,
                         const std::string& fault, const char* outcome,
                         TShown shown = TShown::Text);

// Refuses a text in which the conversion to UTF-8 met the lone surrogate `lone` (0: none).
void CheckConverted(const std::string& field, const std::string& text, char16_t lone,
                    const char* outcome);

// Refuses the text when it cannot go into a command as that kind (Fault), or is an empty name.
void Check(const std::string& field, const std::string& text, TKind kind, const char* outcome,
           TShown shown = TShown::Text);

// The pairs as the service gives them back: printed as a reply's brace list and read as every
// reply list is read. A value that the lists cannot carry comes back changed here, as it would
// from the service.
TNameValueArray AsGivenBack(const TNameValueArray& pairs);

// One brace list of a record as a reply prints it: the marker that opens it ("{", "Sender IDs =
// {", ...), then its pairs.
struct TList {
    std::string Marker;
    TNameValueArray Pairs;
};

// A record printed whole, its lists in every order (a reply may print them in any), and read
// back list by list: for each list, the index of its first pair that some order does not give
// back as sent, or npos when all come back.
std::vector<std::size_t> FirstLost(const std::vector<TList>& lists);

} // namespace CommandText
