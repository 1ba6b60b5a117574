#pragma once
// The name=value pairs of the service's brace lists, and how they are read. Standard headers only:
// the model's headers need these types without the channel's sockets and XML.

#include <string>
#include <utility>
#include <vector>

class TNameValuePair {
public:
    TNameValuePair(std::string name, std::string value)
        : Name(std::move(name)), Value(std::move(value)) {}

    std::string Name;
    std::string Value;

    bool operator==(const TNameValuePair& other) const {
        return Name == other.Name && Value == other.Value;
    }
};

using TNameValueArray = std::vector<TNameValuePair>;
// As returned by GetPartnershipAttributes: sender IDs, receiver IDs, attributes.
using TArrayOfNameValueArrays = std::vector<TNameValueArray>;
using TPartnershipNameArray = std::vector<std::string>;

// Splits text into items: blanks (and CR, LF) before an item are skipped; an item ends at the
// separator, CR, LF or the end, except inside a stretch opened by a single or double quote, which
// runs to the same quote character (or the end) and keeps its quotes. Empty items are dropped.
std::vector<std::string> ScanItems(const std::string& text, char separator, char blank);

// The list that follows the marker, up to its "}", split at ", ", "~" and line breaks into
// name=value pairs. An absent marker of one character starts the list at the beginning; a longer
// one gives no pairs. Never fails.
TNameValueArray ParseNameValues(const std::string& text, const std::string& marker);
