#include "model/commandtext.h"

#include "platform/exceptions.h"
#include "platform/textconv.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace CommandText {

namespace {

const char* Forbidden(TKind kind) {
    switch (kind) {
    case TKind::Name:
    case TKind::Key:
        return " \"={";
    case TKind::Value:
    case TKind::Path:
        return "\"";
    case TKind::Alias:
        return " \"";
    case TKind::Password:
        break;
    }
    return "";
}

// Paths and passwords are never given back, so only their meaning in the command counts.
bool GivenBack(TKind kind) {
    return kind != TKind::Path && kind != TKind::Password;
}

// The first character that is no XML character: its code point, or -1 for a byte that starts no
// UTF-8 sequence; `at` is where it stands. None: false.
bool FirstNonXml(const std::string& text, long& code, std::size_t& at) {
    const std::optional<TTextSpot> invalid = FirstInvalidUtf8(text);
    // Before the first invalid byte, a byte below 0x80 is a character and EF BF BE/BF the two
    // noncharacters.
    for (std::size_t i = 0; i < (invalid ? invalid->Offset : text.size()); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool noncharacter = c == 0xEF && (text.compare(i, 3, "\xEF\xBF\xBE") == 0 ||
                                                text.compare(i, 3, "\xEF\xBF\xBF") == 0);
        if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || noncharacter) {
            code = !noncharacter ? c : text[i + 2] == '\xBE' ? 0xFFFE : 0xFFFF;
            at = i;
            return true;
        }
    }
    if (!invalid)
        return false;
    code = -1;
    at = invalid->Offset;
    return true;
}

} // namespace

std::string Fault(const std::string& text, TKind kind) {
    const char* const misread = ", which the AS2 service would misread";
    for (const char c : text) {
        if (c == '\r' || c == '\n')
            return std::string("a line break") + misread;
        if (c != '\0' && std::strchr(Forbidden(kind), c) != nullptr) {
            switch (c) {
            case ' ':
                return std::string("a blank") + misread;
            case '"':
                return std::string("a double quote") + misread;
            case '=':
                return std::string("an equals sign") + misread;
            default:
                return Format("an opening brace \"%c\"", c) + misread;
            }
        }
    }
    long code = 0;
    std::size_t at = 0;
    if (GivenBack(kind) && FirstNonXml(text, code, at)) {
        const char* const uncarried = ", which the AS2 service's replies cannot carry";
        if (code < 0)
            return Format("the byte 0x%02X, which is no UTF-8 text",
                          static_cast<unsigned char>(text[at]));
        if (code < 0x20)
            return Format("a control character (U+%04lX)", code) + uncarried;
        return Format("the noncharacter U+%04lX", code) + uncarried;
    }
    return std::string();
}

std::string LostFault(const std::string& text) {
    const char* const lost = ", which the AS2 service's replies cannot give back";
    for (std::size_t i = 0; i < text.size(); ++i) {
        switch (text[i]) {
        case '}':
            return std::string("a closing brace \"}\"") + lost;
        case '~':
            return std::string("a tilde \"~\"") + lost;
        case '\'':
            return std::string("a single quote") + lost;
        case ',':
            if (i + 1 < text.size() && text[i + 1] == ' ')
                return std::string("a comma followed by a blank") + lost;
            break;
        default:
            break;
        }
    }
    return std::string("text") + lost;
}

std::string Quoted(const std::string& value) {
    std::string quoted = "\"";
    for (const char c : value)
        quoted += c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    return quoted + "\"";
}

void Refuse(const std::string& field, const std::string& text, const std::string& fault,
            const char* outcome, TShown shown) {
    const std::string quoted = shown == TShown::Text ? ": " + Quoted(text) : std::string();
    throw EUnsafeCommandText(field + quoted + " holds " + fault + ". Nothing was " + outcome);
}

void CheckConverted(const std::string& field, const std::string& text, char16_t lone,
                    const char* outcome) {
    if (lone != 0)
        Refuse(field, text,
               Format("a lone surrogate (U+%04X), which the AS2 service's replies cannot carry",
                      static_cast<unsigned>(lone)),
               outcome);
}

void Check(const std::string& field, const std::string& text, TKind kind, const char* outcome,
           TShown shown) {
    if (text.empty() && kind == TKind::Name)
        throw EUnsafeCommandText(field + " is empty. Nothing was " + outcome);
    if (const std::string fault = Fault(text, kind); !fault.empty())
        Refuse(field, text, fault, outcome, shown);
}

TNameValueArray AsGivenBack(const TNameValueArray& pairs) {
    std::string list = "{";
    for (std::size_t i = 0; i < pairs.size(); ++i)
        list += (i > 0 ? ", " : "") + pairs[i].Name + "=" + pairs[i].Value;
    return ParseNameValues(list + "}", "{");
}

std::vector<std::size_t> FirstLost(const std::vector<TList>& lists) {
    std::vector<std::size_t> lost(lists.size(), std::string::npos);
    std::vector<std::size_t> order(lists.size());
    std::iota(order.begin(), order.end(), 0);
    const auto print = [&] {
        std::string text;
        for (const std::size_t l : order) {
            text += (text.empty() ? "" : " ") + lists[l].Marker;
            for (std::size_t i = 0; i < lists[l].Pairs.size(); ++i)
                text +=
                    (i > 0 ? ", " : "") + lists[l].Pairs[i].Name + "=" + lists[l].Pairs[i].Value;
            text += "}";
        }
        return text;
    };
    // Where no marker stands twice, each list is found at its own marker whatever the order (a
    // marker cannot span two lists, which a "}" parts): one order tells all.
    const std::string first = print();
    bool ordered = false;
    for (const TList& list : lists)
        ordered =
            ordered || first.find(list.Marker, first.find(list.Marker) + 1) != std::string::npos;
    do {
        const std::string text = print();
        for (std::size_t l = 0; l < lists.size(); ++l) {
            const TNameValueArray& sent = lists[l].Pairs;
            const TNameValueArray back = ParseNameValues(text, lists[l].Marker);
            std::size_t i = 0;
            while (i < sent.size() && i < back.size() && back[i].Name == sent[i].Name &&
                   back[i].Value == sent[i].Value)
                ++i;
            // Pairs beyond those sent: the last one sent was split.
            if (i == sent.size() && back.size() > sent.size() && i > 0)
                --i;
            if (i == sent.size() && back.size() == sent.size())
                continue;
            lost[l] = std::min(lost[l], i);
            // A list is found at the first occurrence of its marker: a pair of another list that
            // holds the marker is what took it apart.
            for (std::size_t m = 0; m < lists.size(); ++m)
                for (std::size_t k = 0; m != l && k < lists[m].Pairs.size(); ++k)
                    if ((lists[m].Pairs[k].Name + "=" + lists[m].Pairs[k].Value)
                            .find(lists[l].Marker) != std::string::npos)
                        lost[m] = std::min(lost[m], k);
        }
    } while (ordered && std::next_permutation(order.begin(), order.end()));
    return lost;
}

} // namespace CommandText
