// The brace lists of partner and partnership replies: the item scanner and ParseNameValueList.
//
// Input: the marker, a NUL byte, then the text. Without a NUL the marker is "{" and the whole input
// is the text.

#include "channel/cmds.h"
#include "check.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

std::string Join(const std::vector<std::string>& items, const std::string& separator) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            text += separator;
        text += items[i];
    }
    return text;
}

bool SamePairs(const TNameValueArray& a, const TNameValueArray& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].Name != b[i].Name || a[i].Value != b[i].Value)
            return false;
    return true;
}

std::string Show(const TNameValueArray& pairs) {
    std::string text = "[";
    for (const TNameValuePair& pair : pairs)
        text += " (" + Escaped(pair.Name) + ", " + Escaped(pair.Value) + ")";
    return text + " ]";
}

bool IsSkipped(char c) {
    return c == ' ' || c == '\r' || c == '\n';
}

void CheckScanner(const std::string& text) {
    const std::vector<std::string> items = ScanItems(text, '~', ' ');
    std::size_t from = 0;
    for (const std::string& item : items) {
        FUZZ_CHECK(!item.empty(), Escaped(text));
        FUZZ_CHECK(!IsSkipped(item.front()), Escaped(item));
        // Items are pieces of the text, in order and without overlap.
        const std::size_t at = text.find(item, from);
        FUZZ_CHECK(at != std::string::npos, Escaped(text) + " item " + Escaped(item));
        from = at + item.size();
    }
    // An item is already one whole item; items joined by the separator scan back into themselves
    // (only the last one can end inside an unclosed quote, which then swallows nothing).
    for (const std::string& item : items) {
        const std::vector<std::string> again = ScanItems(item, '~', ' ');
        FUZZ_CHECK(again.size() == 1 && again.front() == item, Escaped(item));
    }
    FUZZ_CHECK(ScanItems(Join(items, "~"), '~', ' ') == items, Escaped(text));
}

// The list as it stands behind "{": pairs hold no "}" and names no "=".
void CheckList(const std::string& afterBrace, const TNameValueArray& pairs) {
    const std::size_t close = afterBrace.find('}');
    if (close == std::string::npos) {
        FUZZ_CHECK(pairs.empty(), "unclosed list gave " + Show(pairs));
        return;
    }
    std::size_t bytes = 0;
    bool quoted = false;
    for (const TNameValuePair& pair : pairs) {
        FUZZ_CHECK(pair.Name.find('=') == std::string::npos, Show(pairs));
        FUZZ_CHECK(pair.Name.find('}') == std::string::npos, Show(pairs));
        FUZZ_CHECK(pair.Value.find('}') == std::string::npos, Show(pairs));
        FUZZ_CHECK(pair.Name.empty() || !IsSkipped(pair.Name.front()), Show(pairs));
        bytes += pair.Name.size() + pair.Value.size();
        quoted = quoted || pair.Name.find_first_of("'\"") != std::string::npos ||
                 pair.Value.find_first_of("'\"") != std::string::npos;
    }
    FUZZ_CHECK(bytes <= close, Show(pairs));

    // Without quotes, the pairs written back as a list read back the same.
    if (!quoted) {
        std::vector<std::string> items;
        for (const TNameValuePair& pair : pairs)
            items.push_back(pair.Name + "=" + pair.Value);
        const std::string rebuilt = "{" + Join(items, ", ") + "}";
        const TNameValueArray again = TCommandHandler::ParseNameValueList(rebuilt, "{");
        FUZZ_CHECK(SamePairs(again, pairs),
                   Escaped(rebuilt) + " gave " + Show(again) + " instead of " + Show(pairs));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string marker = "{";
    std::string text = input;
    if (const std::size_t nul = input.find('\0'); nul != std::string::npos) {
        marker = input.substr(0, nul);
        text = input.substr(nul + 1);
    }

    CheckScanner(text);

    const TNameValueArray pairs = TCommandHandler::ParseNameValueList(text, marker);
    // Whatever the marker, the list is the text behind its first occurrence; a missing
    // one-character marker means the list starts at the beginning, a longer one means no list.
    std::string afterBrace;
    if (const std::size_t at = text.find(marker); at != std::string::npos) {
        afterBrace = text.substr(at + marker.size());
    } else if (marker.size() == 1) {
        afterBrace = text;
    } else {
        FUZZ_CHECK(pairs.empty(), "missing marker " + Escaped(marker) + " gave " + Show(pairs));
        return 0;
    }
    const TNameValueArray canonical = TCommandHandler::ParseNameValueList("{" + afterBrace, "{");
    FUZZ_CHECK(SamePairs(pairs, canonical), "marker " + Escaped(marker) + " gave " + Show(pairs) +
                                                " but the list alone gave " + Show(canonical));
    CheckList(afterBrace, pairs);
    return 0;
}
