#include "model/commandtext.h"

#include "platform/exceptions.h"
#include "platform/textconv.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace CommandText {

namespace {

// What would change a text's meaning in its command (a blank or "=" would start a setting in a
// name, a double quote end a value), in TKind's order; a line break ends any command.
constexpr const char* Forbidden[] = {" \"={", " \"={", "\"", " \"", "\"", ""};

// The first character that is no XML character, as a fault; empty when there is none.
std::string NonXml(const std::string& text) {
    const char* const uncarried = ", which the AS2 service's replies cannot carry";
    const std::optional<TTextSpot> invalid = FirstInvalidUtf8(text);
    // Before the first invalid byte, a byte below 0x80 is a character and EF BF BE/BF the two
    // noncharacters.
    for (std::size_t i = 0; i < (invalid ? invalid->Offset : text.size()); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 && c != '\t' && c != '\r' && c != '\n')
            return Format("a control character (U+%04X)", static_cast<unsigned>(c)) + uncarried;
        if (c == 0xEF &&
            (text.compare(i, 3, "\xEF\xBF\xBE") == 0 || text.compare(i, 3, "\xEF\xBF\xBF") == 0))
            return Format("the noncharacter U+%04X", text[i + 2] == '\xBE' ? 0xFFFEu : 0xFFFFu) +
                   uncarried;
    }
    if (!invalid)
        return std::string();
    return Format("the byte 0x%02X, which is no UTF-8 text",
                  static_cast<unsigned char>(text[invalid->Offset]));
}

// The pairs as a reply's brace list prints them, without the braces.
std::string Printed(const TNameValueArray& pairs) {
    std::string text;
    for (std::size_t i = 0; i < pairs.size(); ++i)
        text += (i > 0 ? ", " : "") + pairs[i].Name + "=" + pairs[i].Value;
    return text;
}

} // namespace

std::string Fault(const std::string& text, TKind kind) {
    const char* const misread = ", which the AS2 service would misread";
    for (const char c : text) {
        if (c == '\r' || c == '\n')
            return std::string("a line break") + misread;
        if (c != '\0' && std::strchr(Forbidden[static_cast<int>(kind)], c) != nullptr)
            return std::string(c == ' '   ? "a blank"
                               : c == '"' ? "a double quote"
                               : c == '=' ? "an equals sign"
                                          : "an opening brace \"{\"") +
                   misread;
    }
    // Paths and passwords are never given back, so only their meaning in the command counts.
    return kind == TKind::Path || kind == TKind::Password ? std::string() : NonXml(text);
}

std::string LostFault(const std::string& text) {
    const char* const lost = ", which the AS2 service's replies cannot give back";
    const std::size_t comma = text.find(", ");
    const std::size_t other = text.find_first_of("}~'");
    if (comma < other)
        return std::string("a comma followed by a blank") + lost;
    if (other == std::string::npos)
        return std::string("text") + lost;
    return std::string(text[other] == '}'   ? "a closing brace \"}\""
                       : text[other] == '~' ? "a tilde \"~\""
                                            : "a single quote") +
           lost;
}

std::string Quoted(const std::string& value) {
    std::string quoted = "\"";
    for (const char c : value)
        quoted += c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    return quoted + "\"";
}

void Refuse(const std::string& field, const std::string& text, const std::string& fault,
            const char* outcome, TShown shown) {
    if (fault.empty())
        throw EUnsafeCommandText(field + " is empty. Nothing was " + outcome);
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
    if (const std::string fault = Fault(text, kind);
        !fault.empty() || (text.empty() && kind == TKind::Name))
        Refuse(field, text, fault, outcome, shown);
}

TNameValueArray AsGivenBack(const TNameValueArray& pairs) {
    return ParseNameValues("{" + Printed(pairs) + "}", "{");
}

std::vector<std::size_t> FirstLost(const std::vector<TList>& lists) {
    std::vector<std::size_t> lost(lists.size(), std::string::npos);
    std::vector<std::size_t> order(lists.size());
    std::iota(order.begin(), order.end(), 0);
    const auto print = [&] {
        std::string text;
        for (const std::size_t l : order)
            text += (text.empty() ? "" : " ") + lists[l].Marker + Printed(lists[l].Pairs) + "}";
        return text;
    };
    // Where no marker stands twice, each list is found at its own marker whatever the order (a
    // marker cannot span two lists, which a "}" parts): one order tells all.
    const std::string first = print();
    const bool ordered = std::any_of(lists.begin(), lists.end(), [&](const TList& list) {
        return first.find(list.Marker, first.find(list.Marker) + 1) != std::string::npos;
    });
    do {
        const std::string text = print();
        for (std::size_t l = 0; l < lists.size(); ++l) {
            const TNameValueArray& sent = lists[l].Pairs;
            const TNameValueArray back = ParseNameValues(text, lists[l].Marker);
            std::size_t i =
                std::mismatch(sent.begin(), sent.end(), back.begin(), back.end()).first -
                sent.begin();
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
