#pragma once
// Text that goes into a command must keep the command's meaning on the service, and what was typed
// or composed must come back unchanged: as XML text, and through the brace lists of the replies
// (ParseNameValues). Text that would not is refused before the first command is sent.

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

// Why the text cannot go into a command as that kind ("a double quote, which the AS2 service would
// misread"), or no reply could carry it (no XML text); empty when it can go.
std::string Fault(const std::string& text, TKind kind);

// Why a text its record does not give back is lost: the first character the lists take apart.
std::string LostFault(const std::string& text);

// In double quotes, a line break shown as \n (\r as \r), so that a message line stays one line.
std::string Quoted(const std::string& value);

// Raises EUnsafeCommandText `<field>: "<text>" holds <fault>. Nothing was <outcome>`, or
// `<field> is empty. ...` when there is no fault.
enum class TShown { Text, Hidden };
[[noreturn]] void Refuse(const std::string& field, const std::string& text,
                         const std::string& fault, const char* outcome,
                         TShown shown = TShown::Text);

// Refuses a text whose conversion to UTF-8 met the lone surrogate `lone` (0: none).
void CheckConverted(const std::string& field, const std::string& text, char16_t lone,
                    const char* outcome);

// Refuses a text with a Fault, or an empty name.
void Check(const std::string& field, const std::string& text, TKind kind, const char* outcome,
           TShown shown = TShown::Text);

// The pairs as the service gives them back: printed as a reply's brace list and read back.
TNameValueArray AsGivenBack(const TNameValueArray& pairs);

// One brace list of a record: its marker ("{", "Sender IDs = {", ...), then its pairs.
struct TList {
    std::string Marker;
    TNameValueArray Pairs;
};

// For each list of a record, the index of its first pair that a reply printing the lists in some
// order would not give back as sent, or npos.
std::vector<std::size_t> FirstLost(const std::vector<TList>& lists);

} // namespace CommandText
