#include "channel/cmds.h"

#include "platform/exceptions.h"
#include "platform/textconv.h"

#include <QDomNodeList>
#include <QIODevice>
#include <QString>
#include <QXmlStreamReader>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string_view>
#include <utility>

TCommandHandler* CommandHandler = nullptr;

namespace {

constexpr const char* LineEnd = "\r\n";
// The largest piece of a reply looked at in one go.
constexpr std::size_t PeekSize = 511;

// How many bytes the checks look at between two calls of the wait hook.
constexpr std::size_t PumpEveryBytes = 64 * 1024;

void CallHook(const std::function<void()>& whileWaiting) {
    if (whileWaiting)
        whileWaiting();
}

// The index of the first byte that does not begin a valid UTF-8 sequence (no overlong forms, no
// surrogates, nothing above U+10FFFF), or npos.
std::size_t FirstInvalidUtf8(const std::string& text, const std::function<void()>& whileWaiting) {
    const std::size_t size = text.size();
    std::size_t i = 0;
    std::size_t nextPump = PumpEveryBytes;
    while (i < size) {
        if (i >= nextPump) {
            CallHook(whileWaiting);
            nextPump = i + PumpEveryBytes;
        }
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        std::uint32_t code;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0Fu;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07u;
        } else {
            return i;
        }
        if (size - i < length)
            return i;
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0u) != 0x80u)
                return i;
            code = (code << 6) | (next & 0x3Fu);
        }
        if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
            return i;
        i += length;
    }
    return std::string::npos;
}

// A line of the source text; lines break at CR LF, CR or LF, as XML counts them.
struct TSourceLine {
    int Number;
    std::size_t Begin;
    std::size_t End; // the line break, or the end of the text
};

// The line that begins at begin; it is looked at only up to its end, as a reply line may be long.
TSourceLine LineFrom(const std::string& source, std::size_t begin, int number) {
    const auto end = std::find_if(source.begin() + static_cast<std::ptrdiff_t>(begin), source.end(),
                                  [](char c) { return c == '\r' || c == '\n'; });
    return {number, begin, static_cast<std::size_t>(end - source.begin())};
}

// The line after this one; false when this one ends the text.
bool NextLine(const std::string& source, TSourceLine& line) {
    if (line.End == source.size())
        return false;
    line = LineFrom(source, line.End + (source.compare(line.End, 2, LineEnd) == 0 ? 2 : 1),
                    line.Number + 1);
    return true;
}

// The line that holds the byte at offset.
TSourceLine LineAt(const std::string& source, std::size_t offset) {
    TSourceLine line = LineFrom(source, 0, 1);
    while (offset > line.End)
        if (!NextLine(source, line))
            return {0, source.size(), source.size()};
    return line;
}

// The line of that number; an empty one when there is none.
TSourceLine LineNumbered(const std::string& source, int number) {
    TSourceLine line = LineFrom(source, 0, 1);
    while (line.Number < number)
        if (!NextLine(source, line))
            return {number, source.size(), source.size()};
    return number >= 1 ? line : TSourceLine{number, source.size(), source.size()};
}

// At most the first 40 characters of a source line, invalid bytes shown as U+FFFD.
std::string Excerpt(const std::string& source, const TSourceLine& line) {
    // 40 characters take at most 160 bytes, an invalid byte counting as one character.
    const QString text = QString::fromUtf8(
        source.data() + line.Begin,
        static_cast<qsizetype>(std::min<std::size_t>(line.End - line.Begin, 160)));
    qsizetype units = 0;
    for (int characters = 0; units < text.size() && characters < 40; ++characters)
        units += text.at(units).isHighSurrogate() && units + 1 < text.size() ? 2 : 1;
    return ToStdString(text.left(units));
}

[[noreturn]] void RaiseParseError(const std::string& reason, const std::string& source,
                                  const TSourceLine& line) {
    throw EDOMParseError(Format("%s%s%s: %d%s%s", reason.c_str(), LineEnd, "Line", line.Number,
                                LineEnd, Excerpt(source, line).c_str()));
}

// Qt's DOM builder takes time that grows with the square of the nesting depth and of the number
// of attributes of one element, so a reply line of a few hundred kilobytes could block the dialog
// for minutes; and it takes some 200 to 470 bytes for every node, so 16 MiB of small nodes would
// take over a gigabyte. Replies nest two or three levels, carry no attributes, and hold an element
// and its text per partnership or alias. The scanner refuses far more than that before the parser
// sees it: a list of 250,000 partnerships parses, and the largest reply allowed stays under
// 256 MiB. An attribute costs Qt about twice what any other node does, so it counts twice.
constexpr int MaxReplyDepth = 64;
constexpr int MaxReplyAttributes = 64;
constexpr long MaxReplyNodes = 520000;
// 520000 as "520,000".
std::string Thousands(long number) {
    std::string digits = std::to_string(number);
    for (std::size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, ",");
    return digits;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Returns the offset of the construct that passes a limit, with the reason, or npos.
std::size_t FirstUnreasonableTag(const std::string& source, std::string& reason,
                                 const std::function<void()>& whileWaiting) {
    const std::size_t n = source.size();
    int depth = 0;
    long nodes = 0;
    std::size_t nextPump = PumpEveryBytes;
    const auto skipPast = [&](std::size_t from, const char* end) {
        const std::size_t at = source.find(end, from);
        return at == std::string::npos ? n : at + std::strlen(end);
    };
    const auto tooMany = [&](long count) {
        nodes += count;
        if (nodes <= MaxReplyNodes)
            return false;
        reason = Format("The reply holds more than %s nodes, more than any reply of the AS2 "
                        "service (an element, a text, a comment or a processing instruction "
                        "counts one, an attribute two)",
                        Thousands(MaxReplyNodes).c_str());
        return true;
    };
    std::size_t i = 0; // where the text before the next markup begins
    for (;;) {
        if (i >= nextPump) {
            CallHook(whileWaiting);
            nextPump = i + PumpEveryBytes;
        }
        const std::size_t lt = std::min(source.find('<', i), n);
        // A text of blanks alone is dropped by the parser; any other is a node.
        if (std::find_if_not(source.begin() + static_cast<std::ptrdiff_t>(i),
                             source.begin() + static_cast<std::ptrdiff_t>(lt),
                             IsBlank) != source.begin() + static_cast<std::ptrdiff_t>(lt) &&
            tooMany(1))
            return i;
        if (lt == n)
            return std::string::npos;
        i = lt;
        if (source.compare(i, 4, "<!--") == 0) {
            if (tooMany(1))
                return i;
            i = skipPast(i + 4, "-->");
        } else if (source.compare(i, 9, "<![CDATA[") == 0) {
            if (tooMany(1))
                return i;
            i = skipPast(i + 9, "]]>");
        } else if (source.compare(i, 2, "<?") == 0) {
            if (tooMany(1))
                return i;
            i = skipPast(i + 2, "?>");
        } else if (source.compare(i, 2, "<!") == 0) {
            i = skipPast(i + 2, ">");
        } else if (source.compare(i, 2, "</") == 0) {
            --depth;
            i = skipPast(i + 2, ">");
        } else {
            int attributes = 0;
            char quote = 0;
            std::size_t j = i + 1;
            for (; j < n; ++j) {
                const char c = source[j];
                if (quote != 0) {
                    if (c == quote)
                        quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '=') {
                    ++attributes;
                } else if (c == '>') {
                    break;
                }
            }
            if (attributes > MaxReplyAttributes) {
                reason = Format("An element of the reply has more than %d attributes",
                                MaxReplyAttributes);
                return i;
            }
            if (tooMany(1 + 2L * attributes))
                return i;
            if (j >= n || source[j - 1] != '/') {
                if (++depth > MaxReplyDepth) {
                    reason = Format("The reply's elements are nested more than %d levels deep",
                                    MaxReplyDepth);
                    return i;
                }
            }
            i = j + 1;
        }
    }
}

// Hands the parser the source in pieces and calls the wait hook between them, so that the window
// stays painted while the document is built. What the hook throws (the operator cancelled) must
// not cross Qt's parser: it ends the source instead, and is raised again once the parser stopped.
class TPumpedSource final : public QIODevice {
public:
    TPumpedSource(const std::string& source, const std::function<void()>& whileWaiting)
        : Source(source), WhileWaiting(whileWaiting) {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }
    bool Stopped() const { return Stop != nullptr; }
    // Raises what the hook threw, if it did.
    void RaiseStop() const {
        if (Stop)
            std::rethrow_exception(Stop);
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        if (Stop)
            return -1;
        if (Position > 0 && Position < Source.size()) {
            try {
                CallHook(WhileWaiting);
            } catch (...) {
                Stop = std::current_exception();
                return -1;
            }
        }
        const std::size_t count =
            std::min(static_cast<std::size_t>(maxSize), Source.size() - Position);
        std::memcpy(data, Source.data() + Position, count);
        Position += count;
        return static_cast<qint64>(count);
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    const std::string& Source;
    const std::function<void()>& WhileWaiting;
    std::size_t Position = 0;
    std::exception_ptr Stop;
};

// A reply of nothing but <name>text</name> elements side by side, the shape in which the service
// lists names: their texts, as the document would give them, without building it. False (texts
// then undefined) for anything else, which the document reads (and refuses where it must): other
// markup, white space between or inside the elements, a character reference or an entity but the
// five predefined ones, a line break (which XML would normalise), what is no XML character, more
// elements than a reply may hold.
bool ReadPlainList(const std::string& line, std::vector<std::string>& texts,
                   const std::function<void()>& whileWaiting) {
    const auto nameChar = [](char c, bool first) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
               (!first && ((c >= '0' && c <= '9') || c == '-' || c == '.'));
    };
    static const std::pair<std::string_view, char> Entities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    const std::size_t n = line.size();
    std::size_t i = 0;
    std::size_t pumped = 0;
    texts.clear();
    while (i < n) {
        if (i - pumped >= PumpEveryBytes) {
            CallHook(whileWaiting);
            pumped = i;
        }
        if (line[i] != '<' || 2 * static_cast<long>(texts.size() + 1) > MaxReplyNodes)
            return false;
        std::size_t end = ++i;
        while (end < n && nameChar(line[end], end == i))
            ++end;
        if (end == i || end >= n || line[end] != '>')
            return false;
        const std::string_view name(line.data() + i, end - i);
        std::string text;
        for (i = end + 1; i < n && line[i] != '<'; ++i) {
            const auto c = static_cast<unsigned char>(line[i]);
            if (c < 0x20 || (c == ']' && line.compare(i, 3, "]]>") == 0) ||
                (c == 0xEF && (line.compare(i, 3, "\xEF\xBF\xBE") == 0 ||
                               line.compare(i, 3, "\xEF\xBF\xBF") == 0)))
                return false;
            if (c != '&') {
                text += line[i];
                continue;
            }
            const auto entity =
                std::find_if(std::begin(Entities), std::end(Entities), [&](const auto& e) {
                    return line.compare(i, e.first.size(), e.first) == 0;
                });
            if (entity == std::end(Entities))
                return false;
            text += entity->second;
            i += entity->first.size() - 1;
        }
        if (line.compare(i, 2, "</") != 0 || line.compare(i + 2, name.size(), name) != 0 ||
            line.compare(i + 2 + name.size(), 1, ">") != 0)
            return false;
        if (!text.empty() && text.find_first_not_of(" \t") == std::string::npos)
            return false; // white space alone: the document drops it
        texts.push_back(std::move(text));
        i += 3 + name.size();
    }
    return !texts.empty();
}

std::string TimeText(int ms) {
    if (ms % 1000 != 0)
        return Format("%d ms", ms);
    return ms == 1000 ? "1 second" : Format("%d seconds", ms / 1000);
}

} // namespace

TCommandHandler::TCommandHandler(QObject* parent, std::string host, std::string port,
                                 int replyTimeoutMs)
    : QObject(parent) {
    TcpClient.RemoteHost = std::move(host);
    TcpClient.RemotePort = std::move(port);
    TcpClient.TimeoutMs = replyTimeoutMs;
    TcpClient.Open();
}

std::function<void()> TCommandHandler::SetWaitHook(std::function<void()> hook) {
    return std::exchange(TcpClient.WhileWaiting, std::move(hook));
}

std::string TCommandHandler::Where() const {
    return TcpClient.RemoteHost + ":" + TcpClient.RemotePort;
}

void TCommandHandler::Transmit(const std::string& command) {
    TcpClient.Close();
    TcpClient.Open();
    if (!TcpClient.Connected())
        throw EServiceError(Format("Cannot connect to the AS2 service at %s. "
                                   "The AS2 service may not be running",
                                   Where().c_str()));
    const std::string line = CommandPrefix + command + CommandSuffix + LineEnd;
    if (TcpClient.SendBuf(line.data(), line.size()) != static_cast<long long>(line.size()))
        throw EServiceError(Format("The command could not be sent to the AS2 service at %s. "
                                   "The AS2 service may not be running",
                                   Where().c_str()));
}

void TCommandHandler::SendCommand(const std::string& command) {
    Transmit(command);
}

bool TCommandHandler::ReceiveLine(std::string& line, std::size_t& budget, QDeadlineTimer deadline) {
    line.clear();
    char piece[PeekSize];
    for (;;) {
        const TReceiveResult peeked = TcpClient.PeekBuf(piece, sizeof piece, deadline);
        if (peeked.Status == TReceiveStatus::TimedOut)
            throw EServiceError(Format("The AS2 service at %s did not answer within %s",
                                       Where().c_str(), TimeText(TcpClient.TimeoutMs).c_str()));
        if (peeked.Status != TReceiveStatus::Data)
            return false;

        const std::string_view bytes(piece, peeked.Count);
        std::size_t take = bytes.size(); // consumed from the connection
        std::size_t keep = bytes.size(); // appended to the line
        bool complete = false;
        if (line.empty() && bytes.substr(0, 2) == LineEnd) {
            // Empty lines before the reply: all those in this piece at once.
            take = 0;
            while (bytes.substr(take, 2) == LineEnd)
                take += 2;
            keep = 0;
            complete = true;
        } else if (!line.empty() && line.back() == '\r' && bytes.front() == '\n') {
            line.pop_back(); // the CR LF fell across two pieces
            take = 1;
            keep = 0;
            complete = true;
        } else if (const std::size_t end = bytes.find(LineEnd); end != std::string_view::npos) {
            take = end + 2;
            keep = end;
            complete = true;
        }
        if (line.size() + keep > MaxReplyLineBytes)
            throw EServiceError(Format("The AS2 service at %s sent a reply line longer than "
                                       "16 MiB",
                                       Where().c_str()));
        if (take > budget)
            throw EServiceError(Format("The AS2 service at %s sent more than 16 MiB without a "
                                       "reply line",
                                       Where().c_str()));
        budget -= take;
        line.append(piece, keep);

        for (std::size_t consumed = 0; consumed < take;) {
            const TReceiveResult got = TcpClient.ReceiveBuf(piece, take - consumed, deadline);
            if (got.Status != TReceiveStatus::Data)
                return false;
            consumed += got.Count;
        }
        if (complete)
            return true;
    }
}

QDomElement TCommandHandler::ExecuteCommand(const std::string& command) {
    Transmit(command);
    return ReadReply(TcpClient.TimeoutMs);
}

QDomElement TCommandHandler::ReadReply(int timeoutMs) {
    return ParseReply(ReceiveReply(timeoutMs), xmlDoc, WaitHook());
}

std::string TCommandHandler::ReceiveReply(int timeoutMs) {
    // The reply line with its CR LF, and the empty lines before it, arrive within this time and
    // these bytes, however slowly they trickle in.
    const QDeadlineTimer deadline =
        timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeoutMs);
    std::size_t budget = MaxReplyLineBytes + 2;
    std::string line;
    do {
        if (!ReceiveLine(line, budget, deadline) && line.empty())
            throw EServiceError(Format("The AS2 service at %s ended the connection without "
                                       "answering. The AS2 service may not be running",
                                       Where().c_str()));
    } while (line.empty());
    return line;
}

std::vector<std::string> TCommandHandler::ListTexts(const std::string& command,
                                                    const char* expected) {
    Transmit(command);
    const std::string line = ReceiveReply(TcpClient.TimeoutMs);
    std::vector<std::string> texts;
    // The service's own shape, read without building a document; anything else, the document.
    if (FirstInvalidUtf8(line, WaitHook()) == std::string::npos &&
        ReadPlainList(line, texts, WaitHook())) {
        xmlDoc.clear();
        return texts;
    }
    const QDomElement root = ParseReply(line, xmlDoc, WaitHook());
    const std::string question = Question(command, expected);
    texts.clear();
    for (QDomNode child = root.firstChild(); !child.isNull(); child = child.nextSibling())
        texts.push_back(ReplyText(child, question));
    return texts;
}

QDomElement TCommandHandler::ParseReply(const std::string& line, QDomDocument& doc,
                                        const std::function<void()>& whileWaiting) {
    // The previous tree goes first, so that two large ones are never held at once.
    doc.clear();
    static constexpr std::string_view Start = "<AS2Result>\r\n";
    static constexpr std::string_view End = "\r\n</AS2Result>\r\n";
    std::string source;
    source.reserve(Start.size() + line.size() + End.size());
    source.append(Start).append(line).append(End);
    // Dropping a large previous tree and copying a long line take a while of their own.
    CallHook(whileWaiting);

    // Qt's parser would replace such bytes silently.
    if (const std::size_t bad = FirstInvalidUtf8(source, whileWaiting); bad != std::string::npos) {
        const TSourceLine at = LineAt(source, bad);
        RaiseParseError(Format("Invalid UTF-8 byte sequence at column %zu", bad - at.Begin + 1),
                        source, at);
    }

    std::string unreasonable;
    if (const std::size_t at = FirstUnreasonableTag(source, unreasonable, whileWaiting);
        at != std::string::npos)
        RaiseParseError(unreasonable, source, LineAt(source, at));

    TPumpedSource pieces(source, whileWaiting);
    QXmlStreamReader reader(&pieces);
    QString reason;
    int errorLine = 0;
    int errorColumn = 0;
    const bool parsed = doc.setContent(&reader, false, &reason, &errorLine, &errorColumn);
    if (!parsed || pieces.Stopped()) {
        doc.clear();
        pieces.RaiseStop();
        // Qt reports the position after the character it stopped at; at the start of a line,
        // that character was the line break ending the line before.
        if (errorColumn == 0 && errorLine > 1)
            --errorLine;
        RaiseParseError(ToStdString(reason), source, LineNumbered(source, errorLine));
    }
    // The root, which the wrapping names AS2Result.
    return doc.documentElement();
}

std::string TCommandHandler::NodeText(const QDomNode& node) {
    return ReplyText(node, std::string());
}

QDomNode TCommandHandler::ChildNode(const QDomElement& parent, int index) {
    return ReplyChild(parent, index, std::string());
}

std::string TCommandHandler::ReplyText(const QDomNode& node, const std::string& question) {
    if (node.isElement()) {
        const QDomNodeList children = node.childNodes();
        if (children.isEmpty())
            return std::string();
        // QDomCDATASection is a QDomText too.
        if (children.count() == 1 && children.at(0).isText())
            return ToStdString(children.at(0).nodeValue());
        throw EXMLDocError(question + "Element does not contain a single text node");
    }
    return ToStdString(node.nodeValue());
}

QDomNode TCommandHandler::ReplyChild(const QDomElement& parent, int index,
                                     const std::string& question) {
    const QDomNodeList children = parent.childNodes();
    if (index < 0 || index >= children.count())
        throw EListError(question + Format("List index out of bounds (%d)", index));
    return children.at(index);
}

std::string TCommandHandler::Question(const std::string& command, const char* expected) {
    return Format("The AS2 service's answer to \"%s\" is not %s: ", command.c_str(), expected);
}

bool TCommandHandler::CertificateExists(const std::string& alias) {
    const std::string command = "cert List";
    const QDomElement root = ExecuteCommand(command);
    const std::string question = Question(command, "a list of aliases");
    for (QDomNode child = root.firstChild(); !child.isNull(); child = child.nextSibling())
        if (ReplyText(child, question) == alias)
            return true;
    return false;
}

std::vector<std::string> TCommandHandler::GetCertificateAliases() {
    return ListTexts("cert List", "a list of aliases");
}

std::string TCommandHandler::StorePartnerships() {
    Transmit("Partnership Store");
    QDomElement root;
    try {
        root = ReadReply(StoreReplyTimeoutMs);
    } catch (const ECancelled&) {
        throw;
    } catch (const Exception&) {
        return std::string(); // the command port promises no answer to a store
    }
    const QDomElement first = root.firstChild().toElement();
    if (first.isNull() || first.tagName() != QStringLiteral("error"))
        return std::string();
    const std::string text = ToStdString(first.text());
    return text.empty() ? std::string("the service gave no reason") : text;
}

TPartnershipNameArray TCommandHandler::GetPartnershipNames() {
    return ListTexts("Partnership List", "a list of partnership names");
}

TNameValueArray TCommandHandler::GetPartnerAttributes(const std::string& partnerName) {
    const std::string command = "Partner View " + partnerName;
    const QDomElement root = ExecuteCommand(command);
    const std::string question = Question(command, "a partner's settings");
    return ParseNameValueList(ReplyText(ReplyChild(root, 0, question), question), "{");
}

TArrayOfNameValueArrays
TCommandHandler::GetPartnershipAttributes(const std::string& partnershipName) {
    const std::string command = "Partnership View " + partnershipName;
    const QDomElement root = ExecuteCommand(command);
    const std::string question = Question(command, "a partnership's settings");
    const std::string text = ReplyText(ReplyChild(root, 0, question), question);
    for (const char* marker : {"Sender IDs = {", "Receiver IDs = {", "Attributes = {"}) {
        const std::size_t at = text.find(marker);
        if (at == std::string::npos || text.find('}', at) == std::string::npos)
            throw EListError(question + Format(at == std::string::npos
                                                   ? "it holds no \"%s\""
                                                   : "the list after \"%s\" is not closed",
                                               marker));
    }
    return {ParseNameValueList(text, "Sender IDs = {"),
            ParseNameValueList(text, "Receiver IDs = {"),
            ParseNameValueList(text, "Attributes = {")};
}

TNameValueArray TCommandHandler::ParseNameValueList(const std::string& text,
                                                    const std::string& marker) {
    return ParseNameValues(text, marker);
}

std::string TCommandHandler::FindValue(const TNameValueArray& pairs, const std::string& name) {
    const TNameValuePair* pair = FindPair(pairs, name);
    return pair != nullptr ? pair->Value : std::string();
}
