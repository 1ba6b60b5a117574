#include "channel/namevalue.h"

std::vector<std::string> ScanItems(const std::string& text, char separator, char blank) {
    std::vector<std::string> items;
    // Each round ends past the character that ended its item (or past the end).
    for (std::size_t i = 0; i < text.size(); ++i) {
        while (i < text.size() && (text[i] == blank || text[i] == '\r' || text[i] == '\n'))
            ++i;
        const std::size_t start = i;
        for (char quote = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (quote != 0)
                quote = c == quote ? 0 : quote;
            else if (c == '\'' || c == '"')
                quote = c;
            else if (c == separator || c == '\r' || c == '\n')
                break;
        }
        if (i > start)
            items.push_back(text.substr(start, i - start));
    }
    return items;
}

TNameValueArray ParseNameValues(const std::string& text, const std::string& marker) {
    const std::size_t at = text.find(marker);
    if (at == std::string::npos && marker.size() != 1)
        return {};
    const std::size_t begin = at == std::string::npos ? 0 : at + marker.size();
    const std::size_t close = text.find('}', begin);
    if (close == std::string::npos)
        return {};
    std::string separated;
    separated.reserve(close - begin);
    for (std::size_t i = begin; i < close; ++i) {
        const bool comma = text[i] == ',' && text[i + 1] == ' ';
        separated += comma ? '~' : text[i];
        if (comma)
            ++i; // past the blank
    }

    TNameValueArray pairs;
    for (const std::string& item : ScanItems(separated, '~', ' ')) {
        const std::size_t equals = item.find('=');
        if (equals == std::string::npos)
            pairs.emplace_back(std::string(), item);
        else
            pairs.emplace_back(item.substr(0, equals), item.substr(equals + 1));
    }
    return pairs;
}
