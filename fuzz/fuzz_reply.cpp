// The reply path: a reply line wrapped and parsed, its children by index, the text of each, and
// the same texts read without the document.
//
// Input: the reply line. Failures of the system's own classes are expected; anything else thrown
// (or a crash, a leak, undefined behaviour) is a finding.

#include "channel/cmds.h"
#include "check.h"
#include "platform/exceptions.h"

#include <QDomNode>
#include <QDomNodeList>
#include <QString>
#include <QXmlStreamReader>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace {

// Whole UTF-8 sequences only (no overlong form, no surrogate, nothing above U+10FFFF); counts the
// characters.
bool IsUtf8(const std::string& text, std::size_t* characters = nullptr) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++count) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 1;
        std::uint32_t code = lead;
        if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07u;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0Fu;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1Fu;
        } else if (lead >= 0x80) {
            return false;
        }
        if (text.size() - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0u) != 0x80u)
                return false;
            code = (code << 6) | (next & 0x3Fu);
        }
        if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
            return false;
        i += length;
    }
    if (characters != nullptr)
        *characters = count;
    return true;
}

std::size_t LineBreaks(const std::string& text) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')))
            ++count;
    }
    return count;
}

// "<reason> CR LF Line: <n> CR LF <excerpt>", the excerpt at most 40 characters of one source line.
void CheckParseError(const std::string& line, const std::string& message) {
    const std::size_t mark = message.find("\r\nLine: ");
    FUZZ_CHECK(mark != std::string::npos, Escaped(message));
    const std::size_t numberAt = mark + 8;
    const std::size_t end = message.find("\r\n", numberAt);
    FUZZ_CHECK(end != std::string::npos && end > numberAt, Escaped(message));
    long number = 0;
    for (std::size_t i = numberAt; i < end; ++i) {
        FUZZ_CHECK(message[i] >= '0' && message[i] <= '9', Escaped(message));
        number = number * 10 + (message[i] - '0');
        FUZZ_CHECK(number < 1000000000L, Escaped(message));
    }
    // The wrapped source has the line of the opening tag, the reply's lines, the closing tag.
    const long lines = 3 + static_cast<long>(LineBreaks(line));
    FUZZ_CHECK(number >= 1 && number <= lines, Escaped(message) + " for " + Escaped(line));
    const std::string excerpt = message.substr(end + 2);
    std::size_t characters = 0;
    FUZZ_CHECK(IsUtf8(excerpt, &characters) && characters <= 40, Escaped(message));
    FUZZ_CHECK(excerpt.find_first_of("\r\n") == std::string::npos, Escaped(message));
}

// Every child by index and the text of each; the index just past the end is refused.
void WalkChildren(const QDomElement& root) {
    const int count = root.childNodes().count();
    for (int i = 0; i < count; ++i) {
        const QDomNode child = TCommandHandler::ChildNode(root, i);
        FUZZ_CHECK(!child.isNull(), "child " + std::to_string(i));
        try {
            const std::string text = TCommandHandler::NodeText(child);
            FUZZ_CHECK(IsUtf8(text), Escaped(text));
        } catch (const EXMLDocError&) {
            FUZZ_CHECK(child.isElement(), "only an element can have mixed content");
        }
    }
    for (const int outside : {count, -1}) {
        bool refused = false;
        try {
            TCommandHandler::ChildNode(root, outside);
        } catch (const EListError& error) {
            refused = error.Message == "List index out of bounds (" + std::to_string(outside) + ")";
        }
        FUZZ_CHECK(refused, "index " + std::to_string(outside) + " of " + std::to_string(count));
    }
}

// The texts of the root's children as the document gives them, up to the first it cannot give.
TCommandHandler::TReplyTexts TextsOf(const QDomElement& root) {
    TCommandHandler::TReplyTexts read;
    for (QDomNode child = root.firstChild(); !child.isNull() && read.Complete;
         child = child.nextSibling()) {
        try {
            read.Texts.push_back(TCommandHandler::NodeText(child));
        } catch (const EXMLDocError&) {
            read.Complete = false;
        }
    }
    return read;
}

// What Qt's own build of a document makes of the wrapped line: its tree as text, or nothing when
// it refuses the line.
std::optional<QString> SetContentTree(const std::string& line) {
    QXmlStreamReader reader(
        QByteArray::fromStdString("<AS2Result>\r\n" + line + "\r\n</AS2Result>\r\n"));
    QDomDocument doc;
    if (!doc.setContent(&reader, false))
        return std::nullopt;
    return doc.toString(-1);
}

void ParseAndWalk(const std::string& line) {
    // A list read without the document reads what the document gives, and fails as it fails.
    TCommandHandler::TReplyTexts texts;
    std::string textsFailure;
    try {
        texts = TCommandHandler::ReadReplyTexts(line);
    } catch (const Exception& error) {
        textsFailure = error.Message;
    }
    QDomDocument doc;
    QDomElement root;
    try {
        root = TCommandHandler::ParseReply(line, doc);
    } catch (const EDOMParseError& error) {
        CheckParseError(line, error.Message);
        FUZZ_CHECK(doc.documentElement().isNull(), "a failed parse leaves the document empty");
        FUZZ_CHECK(textsFailure == error.Message, Escaped(line) + ": " + Escaped(textsFailure));
        // Beyond the reader's own faults, only the limits refuse what Qt would build.
        FUZZ_CHECK(error.Message.rfind("The reply", 0) == 0 ||
                       error.Message.rfind("An element of the reply", 0) == 0 ||
                       !SetContentTree(line),
                   Escaped(line) + ": " + Escaped(error.Message));
        return;
    } catch (const Exception&) {
        return;
    }
    FUZZ_CHECK(IsUtf8(line), "parsed a line that is not UTF-8: " + Escaped(line));
    FUZZ_CHECK(!root.isNull() && root.tagName() == QStringLiteral("AS2Result"), Escaped(line));
    FUZZ_CHECK(SetContentTree(line) == doc.toString(-1), Escaped(line));
    const TCommandHandler::TReplyTexts expected = TextsOf(root);
    FUZZ_CHECK(textsFailure.empty() && texts.Texts == expected.Texts &&
                   texts.Complete == expected.Complete,
               Escaped(line) + ": " + Escaped(textsFailure));
    WalkChildren(root);
}

// The text escaped as the content of one element; false when it holds a character that XML
// cannot carry at all.
bool EscapeAsContent(const std::string& text, std::string& escaped) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '&')
            escaped += "&amp;";
        else if (c == '<')
            escaped += "&lt;";
        else if (c == '>')
            escaped += "&gt;";
        else if (c == '\t' || c == '\n' || c == '\r')
            escaped += "&#" + std::to_string(c) + ";";
        else if (c < 0x20)
            return false;
        else if (c == 0xEF && text.compare(i, 3, "\xEF\xBF\xBE") == 0)
            return false; // U+FFFE
        else if (c == 0xEF && text.compare(i, 3, "\xEF\xBF\xBF") == 0)
            return false; // U+FFFF
        else
            escaped += static_cast<char>(c);
    }
    return true;
}

// Any UTF-8 text escaped into one element comes back whole from the element's text.
void CheckTextRoundTrip(const std::string& text) {
    std::string escaped;
    if (!IsUtf8(text) || !EscapeAsContent(text, escaped))
        return;
    // Qt 6.4 drops a text node that holds only white space in Unicode's sense (QChar::isSpace:
    // also U+00A0, U+2002, U+3000, ...), not only XML's blanks, so such a text reads as empty.
    const bool blank =
        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).trimmed().isEmpty();
    QDomDocument doc;
    std::string back;
    try {
        const QDomElement root = TCommandHandler::ParseReply("<e>" + escaped + "</e>", doc);
        FUZZ_CHECK(root.childNodes().count() == 1, Escaped(escaped));
        back = TCommandHandler::NodeText(TCommandHandler::ChildNode(root, 0));
    } catch (const Exception& error) {
        FUZZ_CHECK(false, Escaped(escaped) + ": " + error.Message);
    }
    FUZZ_CHECK(back == text || (blank && back.empty()),
               Escaped(text) + " came back as " + Escaped(back));
}

// Plain text without markup is the root's one text child, between the source's line breaks.
void CheckPlainText(const std::string& line) {
    bool blank = true;
    for (const char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7E || c == '<' || c == '&')
            return;
        blank = blank && c == ' ';
    }
    if (blank || line.find("]]>") != std::string::npos)
        return;
    QDomDocument doc;
    try {
        const QDomElement root = TCommandHandler::ParseReply(line, doc);
        FUZZ_CHECK(root.childNodes().count() == 1, Escaped(line));
        const QDomNode child = TCommandHandler::ChildNode(root, 0);
        FUZZ_CHECK(child.isText(), Escaped(line));
        FUZZ_CHECK(TCommandHandler::NodeText(child) == "\n" + line + "\n", Escaped(line));
    } catch (const Exception& error) {
        FUZZ_CHECK(false, Escaped(line) + ": " + error.Message);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    ParseAndWalk(line);
    CheckPlainText(line);
    CheckTextRoundTrip(line);
    return 0;
}
