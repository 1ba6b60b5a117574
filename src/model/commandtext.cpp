#include "model/commandtext.h"

#include "platform/exceptions.h"

#include <cstring>

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

bool GivenBackInLists(TKind kind) {
    return kind == TKind::Name || kind == TKind::Key || kind == TKind::Value;
}

// Does the text survive a brace list in its place (a key, or a value), with a pair after it that
// it must leave alone.
bool ComesBack(const std::string& text, TKind kind) {
    const TNameValueArray sent = kind == TKind::Key ? TNameValueArray{{text, "v"}, {"z", "1"}}
                                                    : TNameValueArray{{"k", text}, {"z", "1"}};
    const TNameValueArray back = AsGivenBack(sent);
    return back.size() == sent.size() && back[0].Name == sent[0].Name &&
           back[0].Value == sent[0].Value && back[1].Name == "z" && back[1].Value == "1";
}

} // namespace

std::string Fault(const std::string& text, TKind kind) {
    const char* const misread = ", which the AS2 service would misread";
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (c == '\r' || c == '\n')
            return std::string("a line break") + misread;
        if (code < 0x20 || code == 0x7F)
            return Format("a control character (U+%04X), which the AS2 service cannot take", code);
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
    if (!GivenBackInLists(kind) || ComesBack(text, kind))
        return std::string();

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

void Check(const std::string& field, const std::string& text, TKind kind, const char* outcome,
           TShown shown) {
    // A label ends in a colon, which only makes sense before the text.
    const std::string bare =
        !field.empty() && field.back() == ':' ? field.substr(0, field.size() - 1) : field;
    if (text.empty() && kind == TKind::Name)
        throw EUnsafeCommandText(bare + " is empty. Nothing was " + outcome);
    const std::string named = shown == TShown::Text ? field : bare;
    const std::string fault = Fault(text, kind);
    if (fault.empty())
        return;
    const std::string quoted = shown == TShown::Text ? " \"" + text + "\"" : std::string();
    throw EUnsafeCommandText(named + quoted + " holds " + fault + ". Nothing was " + outcome);
}

TNameValueArray AsGivenBack(const TNameValueArray& pairs) {
    std::string list = "{";
    for (std::size_t i = 0; i < pairs.size(); ++i)
        list += (i > 0 ? ", " : "") + pairs[i].Name + "=" + pairs[i].Value;
    return ParseNameValues(list + "}", "{");
}

} // namespace CommandText
