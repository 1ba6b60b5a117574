#include "channel/namevalue.h"

std::vector<std::string> ScanItems(const std::string& text, char separator, char blank) {
    std::vector<std::string> items;
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        while (i < size && (text[i] == blank || text[i] == '\r' || text[i] == '\n'))
            ++i;
        const std::size_t start = i;
        char quote = 0;
        for (; i < size; ++i) {
            const char c = text[i];
            if (quote != 0) {
                if (c == quote)
                    quote = 0;
            } else if (c == '\'' || c == '"') {
                quote = c;
            } else if (c == separator || c == '\r' || c == '\n') {
                break;
            }
        }
        if (i > start)
            items.push_back(text.substr(start, i - start));
        ++i; // past the character that ended the item (or past the end)
    }
    return items;
}

TNameValueArray ParseNameValues(const std::string& text, const std::string& marker) {
    std::string list;
    if (const std::size_t at = text.find(marker); at != std::string::npos)
        list = text.substr(at + marker.size());
    else if (marker.size() == 1)
        list = text; // a one-character marker that is absent: the list starts at the beginning
    else
        return {};
    const std::size_t close = list.find('}');
    if (close == std::string::npos)
        return {};
    list.resize(close);

    std::string separated;
    separated.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i] == ',' && i + 1 < list.size() && list[i + 1] == ' ') {
            separated += '~';
            ++i;
        } else {
            separated += list[i];
        }
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

const TNameValuePair* FindPair(const TNameValueArray& pairs, const std::string& name) {
    for (const TNameValuePair& pair : pairs)
        if (pair.Name == name)
            return &pair;
    return nullptr;
}

TNameValuePair* FindPair(TNameValueArray& pairs, const std::string& name) {
    return const_cast<TNameValuePair*>(FindPair(static_cast<const TNameValueArray&>(pairs), name));
}
