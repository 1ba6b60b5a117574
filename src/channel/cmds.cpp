#include "channel/cmds.h"

#include "platform/exceptions.h"
#include "platform/textconv.h"

#include <QDomNodeList>
#include <QString>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

TCommandHandler* CommandHandler = nullptr;

namespace {

constexpr const char* LineEnd = "\r\n";
// The largest piece of a reply looked at in one go.
constexpr std::size_t PeekSize = 511;

// The index of the first byte that does not begin a valid UTF-8 sequence (no overlong forms, no
// surrogates, nothing above U+10FFFF), or npos.
std::size_t FirstInvalidUtf8(const std::string& text) {
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
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

std::vector<TSourceLine> SplitLines(const std::string& source) {
    std::vector<TSourceLine> lines;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = std::min(source.find_first_of(LineEnd, begin), source.size());
        lines.push_back({static_cast<int>(lines.size()) + 1, begin, end});
        if (end == source.size())
            return lines;
        begin = end + (source.compare(end, 2, LineEnd) == 0 ? 2 : 1);
    }
}

// The line that holds the byte at offset.
TSourceLine LineAt(const std::string& source, std::size_t offset) {
    for (const TSourceLine& line : SplitLines(source))
        if (offset <= line.End)
            return line;
    return {0, source.size(), source.size()};
}

// The line of that number; an empty one when there is none.
TSourceLine LineNumbered(const std::string& source, int number) {
    const std::vector<TSourceLine> lines = SplitLines(source);
    if (number >= 1 && static_cast<std::size_t>(number) <= lines.size())
        return lines[static_cast<std::size_t>(number) - 1];
    return {number, source.size(), source.size()};
}

// At most the first 40 characters of a source line, invalid bytes shown as U+FFFD.
std::string Excerpt(const std::string& source, const TSourceLine& line) {
    const QString text = QString::fromUtf8(source.data() + line.Begin,
                                           static_cast<qsizetype>(line.End - line.Begin));
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
// for minutes, and some 300 bytes for every node, so a reply of millions of empty elements would
// take gigabytes. Replies nest two or three levels, carry no attributes, and hold one element per
// partnership or alias; refuse far more than that before the parser sees it (300,000 elements, a
// list of three times 100,000 partnerships, stay under 256 MiB with their text). Returns the
// offset of the offending tag, or npos.
constexpr int MaxReplyDepth = 64;
constexpr int MaxReplyAttributes = 64;
constexpr long MaxReplyElements = 300000;

std::size_t FirstUnreasonableTag(const std::string& source, const char*& reason) {
    const std::size_t n = source.size();
    int depth = 0;
    long elements = 0;
    std::size_t i = 0;
    const auto skipPast = [&](std::size_t from, const char* end) {
        const std::size_t at = source.find(end, from);
        return at == std::string::npos ? n : at + std::strlen(end);
    };
    while ((i = source.find('<', i)) != std::string::npos) {
        if (source.compare(i, 4, "<!--") == 0) {
            i = skipPast(i + 4, "-->");
        } else if (source.compare(i, 9, "<![CDATA[") == 0) {
            i = skipPast(i + 9, "]]>");
        } else if (source.compare(i, 2, "<?") == 0) {
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
                reason = "An element of the reply has too many attributes";
                return i;
            }
            if (++elements > MaxReplyElements) {
                reason = "The reply holds more elements than any reply of the AS2 service";
                return i;
            }
            if (j >= n || source[j - 1] != '/') {
                if (++depth > MaxReplyDepth) {
                    reason = "The reply's elements are nested too deeply";
                    return i;
                }
            }
            i = j + 1;
        }
    }
    return std::string::npos;
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
    // The reply line with its CR LF, and the empty lines before it, arrive within this time and
    // these bytes, however slowly they trickle in.
    const QDeadlineTimer deadline = TcpClient.TimeoutMs < 0
                                        ? QDeadlineTimer(QDeadlineTimer::Forever)
                                        : QDeadlineTimer(TcpClient.TimeoutMs);
    std::size_t budget = MaxReplyLineBytes + 2;
    std::string line;
    do {
        if (!ReceiveLine(line, budget, deadline) && line.empty())
            throw EServiceError(Format("The AS2 service at %s ended the connection without "
                                       "answering. The AS2 service may not be running",
                                       Where().c_str()));
    } while (line.empty());
    return ParseReply(line, xmlDoc);
}

QDomElement TCommandHandler::ParseReply(const std::string& line, QDomDocument& doc) {
    doc.clear();
    const std::string source =
        std::string("<AS2Result>") + LineEnd + line + LineEnd + "</AS2Result>" + LineEnd;

    // Qt's parser would replace such bytes silently.
    if (const std::size_t bad = FirstInvalidUtf8(source); bad != std::string::npos) {
        const TSourceLine at = LineAt(source, bad);
        RaiseParseError(Format("Invalid UTF-8 byte sequence at column %zu", bad - at.Begin + 1),
                        source, at);
    }

    const char* unreasonable = nullptr;
    if (const std::size_t at = FirstUnreasonableTag(source, unreasonable); at != std::string::npos)
        RaiseParseError(unreasonable, source, LineAt(source, at));

    QString reason;
    int errorLine = 0;
    int errorColumn = 0;
    if (!doc.setContent(ToQString(source), &reason, &errorLine, &errorColumn)) {
        doc.clear();
        // Qt reports the position after the character it stopped at; at the start of a line,
        // that character was the line break ending the line before.
        if (errorColumn == 0 && errorLine > 1)
            --errorLine;
        RaiseParseError(ToStdString(reason), source, LineNumbered(source, errorLine));
    }
    return doc.namedItem(QStringLiteral("AS2Result")).toElement();
}

std::string TCommandHandler::NodeText(const QDomNode& node) {
    if (node.isElement()) {
        const QDomNodeList children = node.childNodes();
        if (children.isEmpty())
            return std::string();
        // QDomCDATASection is a QDomText too.
        if (children.count() == 1 && children.at(0).isText())
            return ToStdString(children.at(0).nodeValue());
        throw EXMLDocError("Element does not contain a single text node");
    }
    return ToStdString(node.nodeValue());
}

QDomNode TCommandHandler::ChildNode(const QDomElement& parent, int index) {
    const QDomNodeList children = parent.childNodes();
    if (index < 0 || index >= children.count())
        throw EListError(Format("List index out of bounds (%d)", index));
    return children.at(index);
}

bool TCommandHandler::CertificateExists(const std::string& alias) {
    const QDomElement root = ExecuteCommand("cert List");
    for (QDomNode child = root.firstChild(); !child.isNull(); child = child.nextSibling())
        if (NodeText(child) == alias)
            return true;
    return false;
}

TPartnershipNameArray TCommandHandler::GetPartnershipNames() {
    const QDomElement root = ExecuteCommand("Partnership List");
    TPartnershipNameArray names;
    for (QDomNode child = root.firstChild(); !child.isNull(); child = child.nextSibling())
        names.push_back(NodeText(child));
    return names;
}

TNameValueArray TCommandHandler::GetPartnerAttributes(const std::string& partnerName) {
    const QDomElement root = ExecuteCommand("Partner View " + partnerName);
    return ParseNameValueList(NodeText(ChildNode(root, 0)), "{");
}

TArrayOfNameValueArrays
TCommandHandler::GetPartnershipAttributes(const std::string& partnershipName) {
    const QDomElement root = ExecuteCommand("Partnership View " + partnershipName);
    const std::string text = NodeText(ChildNode(root, 0));
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
