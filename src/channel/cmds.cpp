#include "channel/cmds.h"

#include "platform/exceptions.h"
#include "platform/textconv.h"

#include <QByteArray>
#include <QDomNodeList>
#include <QScopeGuard>
#include <QString>
#include <QXmlStreamReader>
#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

TCommandHandler* CommandHandler = nullptr;

namespace {

constexpr const char* LineEnd = "\r\n";
constexpr std::size_t PeekSize = 511;
// How much of a reply the XML reader is handed at a time; the wait hook runs between two pieces.
constexpr std::size_t PieceBytes = 64 * 1024;
constexpr const char* MixedContent = "Element does not contain a single text node";

// Replies nest two or three levels and carry no attributes. Qt's DOM takes time that grows with
// the square of the nesting depth, its reader with the square of one tag's attributes. A node (an
// element, a text, a comment, a processing instruction) costs Qt's document 190 to 300 bytes, an
// element's first attribute some 2,200, each further one 420 (measured): the limit lets 250,000
// partnerships through and keeps the largest reply allowed under 256 MiB.
constexpr int MaxReplyDepth = 64;
constexpr int MaxReplyAttributes = 64;
constexpr long FirstAttributeNodes = 8;
constexpr long AttributeNodes = 2;
constexpr long MaxReplyNodes = 520000;

// The beginning of line number of the source; the end of the source when it has no such line.
TTextSpot LineStart(const std::string& source, int number) {
    std::size_t begin = number >= 1 ? 0 : source.size();
    for (int line = 1; line < number && begin < source.size(); ++line) {
        const std::size_t end = std::min(source.find_first_of(LineEnd, begin), source.size());
        begin = end + (source.compare(end, 2, LineEnd) == 0 ? 2 : 1);
    }
    return {std::min(begin, source.size()), number, 1};
}

[[noreturn]] void RaiseParseError(const std::string& reason, const std::string& source,
                                  const TTextSpot& at) {
    // At most 40 characters of the line (160 bytes), an invalid byte shown as one U+FFFD.
    std::string_view bytes = std::string_view(source).substr(at.Offset - (at.Column - 1), 160);
    bytes = bytes.substr(0, bytes.find_first_of(LineEnd));
    const QString text = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    qsizetype units = 0;
    for (int characters = 0; units < text.size() && characters < 40; ++characters)
        units += text.at(units).isHighSurrogate() && units + 1 < text.size() ? 2 : 1;
    throw EDOMParseError(Format("%s\r\nLine: %d\r\n%s", reason.c_str(), at.Line,
                                ToStdString(text.left(units)).c_str()));
}

// Counts the attributes of each start tag from at to end, leaving at on the first "<" not looked
// at; returns where a tag with too many begins, or npos.
std::size_t CrowdedTag(const std::string& source, std::size_t& at, std::size_t end) {
    const auto past = [&](std::size_t from, std::string_view close) {
        return std::min(source.find(close, from), source.size() - close.size()) + close.size();
    };
    while ((at = std::min(source.find('<', at), source.size())) < end) {
        const std::size_t tag = at++;
        if (source.compare(tag, 4, "<!--") == 0) {
            at = past(tag + 4, "-->");
        } else if (source.compare(tag, 9, "<![CDATA[") == 0) {
            at = past(tag + 9, "]]>");
        } else if (source.compare(tag, 2, "<?") == 0) {
            at = past(tag + 2, "?>");
        } else if (const auto c = static_cast<unsigned char>(at < source.size() ? source[at] : 0);
                   std::isalpha(c) || c == '_' || c == ':' || c >= 0x80) {
            int attributes = 0;
            for (char quote = 0; at < source.size() && (quote != 0 || source[at] != '>'); ++at) {
                if (quote == 0 && (source[at] == '"' || source[at] == '\''))
                    quote = source[at];
                else if (quote != 0 && source[at] == quote)
                    quote = 0;
                else if (quote == 0 && source[at] == '=')
                    ++attributes;
            }
            if (attributes > MaxReplyAttributes)
                return tag;
        }
    }
    return std::string::npos;
}

// Reads the wrapped reply line in one pass and hands sink.Take(reader, depth) each token that makes
// a node; depth counts the elements open around it. EDOMParseError at the first fault: the
// reader's, bytes that are no UTF-8, a reply beyond the limits above.
template <class TSink>
void ReadNodes(const std::string& line, TSink& sink, const std::function<void()>& hook) {
    const std::function<void()> whileWaiting = hook ? hook : [] {
    };
    static constexpr std::string_view Start = "<AS2Result>\r\n";
    static constexpr std::string_view End = "\r\n</AS2Result>\r\n";
    std::string source;
    source.reserve(Start.size() + line.size() + End.size());
    source.append(Start).append(line).append(End);
    // Dropping a large previous tree and copying a long line take a while of their own.
    whileWaiting();
    if (const std::optional<TTextSpot> bad = FirstInvalidUtf8(source))
        RaiseParseError(Format("Invalid UTF-8 byte sequence at column %zu", bad->Column), source,
                        *bad);

    QXmlStreamReader reader;
    std::size_t fed = 0;
    std::size_t scanned = 0;
    std::size_t crowded = std::string::npos;
    // Each piece ends before a "<": Qt's reader starts a tag, comment or CDATA afresh when it runs
    // out of bytes in it, which takes time that grows with the square of its length.
    const auto feed = [&](std::size_t end) {
        whileWaiting();
        if (crowded == std::string::npos)
            crowded = CrowdedTag(source, scanned, end);
        end = std::min(std::max(end, scanned), crowded);
        reader.addData(QByteArray(source.data() + fed, static_cast<qsizetype>(end - fed)));
        fed = end;
    };
    // Qt gives the position after the token; at a line's start, that was the line before.
    const auto refuse = [&](const std::string& reason) {
        const auto line = static_cast<int>(reader.lineNumber());
        RaiseParseError(
            reason, source,
            LineStart(source, reader.columnNumber() == 0 && line > 1 ? line - 1 : line));
    };
    int depth = 0;
    long nodes = 0;
    for (;;) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        const bool starved = reader.error() == QXmlStreamReader::PrematureEndOfDocumentError;
        if (starved && fed < std::min(crowded, source.size())) {
            feed(std::min(fed + PieceBytes, source.size()));
            continue;
        }
        if ((starved || token == QXmlStreamReader::EndDocument) && crowded != std::string::npos)
            RaiseParseError(
                Format("An element of the reply has more than %d attributes", MaxReplyAttributes),
                source, SpotAt(source, crowded));
        if (reader.hasError())
            refuse(ToStdString(reader.errorString()));
        long price = 1;
        switch (token) {
        case QXmlStreamReader::StartElement: {
            if (depth == MaxReplyDepth)
                refuse(Format("The reply's elements are nested more than %d levels deep",
                              MaxReplyDepth));
            const long attributes = static_cast<long>(reader.attributes().size());
            price += attributes > 0 ? FirstAttributeNodes + AttributeNodes * (attributes - 1) : 0;
            break;
        }
        case QXmlStreamReader::Characters:
            // The document drops a text of white space alone, in Unicode's sense, but no CDATA.
            if (!reader.isCDATA() && reader.text().trimmed().isEmpty())
                continue;
            break;
        case QXmlStreamReader::Comment:
        case QXmlStreamReader::ProcessingInstruction:
            break;
        case QXmlStreamReader::EndElement:
            price = 0;
            break;
        case QXmlStreamReader::EndDocument:
            return;
        case QXmlStreamReader::StartDocument:
            continue;
        default: // a document type inside the root, which Qt's reader lets through
            refuse("Unexpected token");
        }
        if ((nodes += price) > MaxReplyNodes)
            refuse(Format("The reply holds more than %ld,%03ld nodes, more than any reply of the "
                          "AS2 service (an element, a text, a comment or a processing instruction "
                          "counts one, an element's first attribute %ld, each further one %ld)",
                          MaxReplyNodes / 1000, MaxReplyNodes % 1000, FirstAttributeNodes,
                          AttributeNodes));
        if (token == QXmlStreamReader::EndElement)
            --depth;
        sink.Take(reader, depth);
        if (token == QXmlStreamReader::StartElement)
            ++depth;
        // What follows the root can only be refused; fed whole, lest a piece's end pass for the
        // document's.
        if (depth == 0 && fed < std::min(crowded, source.size()))
            feed(source.size());
    }
}

// Builds the nodes into Doc as QDomDocument::setContent would.
class TDocumentSink {
public:
    QDomDocument Doc;
    void Take(const QXmlStreamReader& reader, int depth) {
        switch (reader.tokenType()) {
        case QXmlStreamReader::StartElement: {
            // Elements of one name share it, as a list's do.
            if (reader.qualifiedName() != Name)
                Name = reader.qualifiedName().toString();
            QDomElement element = Doc.createElement(Name);
            const QXmlStreamAttributes attributes = reader.attributes();
            for (const QXmlStreamAttribute& attribute : std::as_const(attributes))
                element.setAttribute(attribute.qualifiedName().toString(),
                                     attribute.value().toString());
            Parent = (depth == 0 ? QDomNode(Doc) : Parent).appendChild(element);
            break;
        }
        case QXmlStreamReader::EndElement:
            Parent = Parent.parentNode();
            break;
        case QXmlStreamReader::Characters:
            Parent.appendChild(reader.isCDATA() ? Doc.createCDATASection(reader.text().toString())
                                                : Doc.createTextNode(reader.text().toString()));
            break;
        case QXmlStreamReader::Comment:
            Parent.appendChild(Doc.createComment(reader.text().toString()));
            break;
        default:
            Parent.appendChild(
                Doc.createProcessingInstruction(reader.processingInstructionTarget().toString(),
                                                reader.processingInstructionData().toString()));
            break;
        }
    }

private:
    QDomNode Parent;
    QString Name;
};

// The text of each child of the root, as NodeText reads it, without a document.
class TTextSink {
public:
    TCommandHandler::TReplyTexts Read;
    void Take(const QXmlStreamReader& reader, int depth) {
        const QXmlStreamReader::TokenType token = reader.tokenType();
        if (!Read.Complete || depth == 0 || depth > 2)
            return;
        const auto value = [&] {
            return ToStdString((token == QXmlStreamReader::ProcessingInstruction
                                    ? reader.processingInstructionData()
                                    : reader.text())
                                   .toString());
        };
        if (depth == 1 && token == QXmlStreamReader::StartElement) {
            Parts = 0;
            Text.clear();
        } else if (depth == 1 && token == QXmlStreamReader::EndElement) {
            Read.Complete = Parts == 0 || (Parts == 1 && Plain);
            if (Read.Complete)
                Read.Texts.push_back(Text);
        } else if (depth == 1) {
            Read.Texts.push_back(value());
        } else if (token != QXmlStreamReader::EndElement && ++Parts == 1) {
            Plain = token == QXmlStreamReader::Characters;
            if (Plain)
                Text = value();
        }
    }

private:
    // The child element being read: its child nodes, whether its first is a text, and that text.
    int Parts = 0;
    bool Plain = false;
    std::string Text;
};

// What a failure's message begins with: what was asked and what the answer should have been.
std::string Question(const std::string& command, const char* expected) {
    return Format("The AS2 service's answer to \"%s\" is not %s: ", command.c_str(), expected);
}

std::string ReplyText(const QDomNode& node, const std::string& question) {
    if (!node.isElement())
        return ToStdString(node.nodeValue());
    const QDomNodeList children = node.childNodes();
    // QDomCDATASection is a QDomText too.
    if (children.count() > 1 || (children.count() == 1 && !children.at(0).isText()))
        throw EXMLDocError(question + MixedContent);
    return ToStdString(node.firstChild().nodeValue()); // no child: empty
}

QDomNode ReplyChild(const QDomElement& parent, int index, const std::string& question) {
    const QDomNodeList children = parent.childNodes();
    if (index < 0 || index >= children.count())
        throw EListError(question + Format("List index out of bounds (%d)", index));
    return children.at(index);
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

void TCommandHandler::Transmit(const std::string& command, TTcpClient& client) {
    client.Close();
    client.Open();
    if (!client.Connected())
        throw EServiceError(Format("Cannot connect to the AS2 service at %s. "
                                   "The AS2 service may not be running",
                                   Where().c_str()));
    const std::string line = CommandPrefix + command + CommandSuffix + LineEnd;
    if (client.SendBuf(line.data(), line.size()) != static_cast<long long>(line.size()))
        throw EServiceError(Format("The command could not be sent to the AS2 service at %s. "
                                   "The AS2 service may not be running",
                                   Where().c_str()));
}

QDomElement TCommandHandler::ExecuteCommand(const std::string& command) {
    SendCommand(command);
    return ParseReply(ReceiveReply(), xmlDoc, TcpClient.WhileWaiting);
}

std::string TCommandHandler::ReceiveReply() {
    // The reply line and the empty lines before it arrive within this time and these bytes.
    const QDeadlineTimer deadline(TcpClient.TimeoutMs);
    std::size_t budget = MaxReplyLineBytes + 2;
    // Once this query is answered (or has failed), every store before it has finished.
    const auto settle = qScopeGuard([this] { SettleStores(); });
    std::string line;
    char piece[PeekSize];
    for (;;) {
        const TReceiveResult peeked = TcpClient.PeekBuf(piece, sizeof piece, deadline);
        if (peeked.Status == TReceiveStatus::TimedOut)
            throw EServiceError(Format("The AS2 service at %s did not answer within %s",
                                       Where().c_str(), TimeText(TcpClient.TimeoutMs).c_str()));
        if (peeked.Status != TReceiveStatus::Data)
            break;

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
        // A CR that ends the piece may begin the line end: it does not count yet.
        const std::size_t pending = !complete && keep > 0 && bytes[keep - 1] == '\r' ? 1 : 0;
        if (line.size() + keep - pending > MaxReplyLineBytes)
            throw EServiceError(Format("The AS2 service at %s sent a reply line longer than "
                                       "16 MiB",
                                       Where().c_str()));
        if (take > budget)
            throw EServiceError(Format("The AS2 service at %s sent more than 16 MiB without a "
                                       "reply line",
                                       Where().c_str()));
        budget -= take;
        line.append(piece, keep);

        // The socket holds the bytes peeked: they are all read at once.
        if (TcpClient.ReceiveBuf(piece, take, deadline).Status != TReceiveStatus::Data)
            break;
        if (complete && !line.empty())
            return line;
    }
    // The connection ended: what arrived of the line is the reply.
    if (line.empty())
        throw EServiceError(Format("The AS2 service at %s ended the connection without "
                                   "answering. The AS2 service may not be running",
                                   Where().c_str()));
    return line;
}

std::vector<std::string> TCommandHandler::ListTexts(const std::string& command,
                                                    const char* expected,
                                                    const std::string* sought) {
    SendCommand(command);
    const std::string line = ReceiveReply();
    xmlDoc.clear();
    TReplyTexts read = ReadReplyTexts(line, TcpClient.WhileWaiting);
    const auto end = read.Texts.end();
    // A list read up to the text sought: one it cannot give after that does not matter.
    if (!read.Complete && (sought == nullptr || std::find(read.Texts.begin(), end, *sought) == end))
        throw EXMLDocError(Question(command, expected) + MixedContent);
    return std::move(read.Texts);
}

QDomElement TCommandHandler::ParseReply(const std::string& line, QDomDocument& doc,
                                        const std::function<void()>& whileWaiting) {
    // The previous tree goes first, so that two large ones are never held at once.
    doc.clear();
    TDocumentSink builder;
    ReadNodes(line, builder, whileWaiting);
    doc = std::move(builder.Doc);
    return doc.documentElement();
}

TCommandHandler::TReplyTexts
TCommandHandler::ReadReplyTexts(const std::string& line,
                                const std::function<void()>& whileWaiting) {
    TTextSink texts;
    ReadNodes(line, texts, whileWaiting);
    return std::move(texts.Read);
}

std::string TCommandHandler::NodeText(const QDomNode& node) {
    return ReplyText(node, std::string());
}

QDomNode TCommandHandler::ChildNode(const QDomElement& parent, int index) {
    return ReplyChild(parent, index, std::string());
}

bool TCommandHandler::CertificateExists(const std::string& alias) {
    const std::vector<std::string> aliases = ListTexts("cert List", "a list of aliases", &alias);
    return std::find(aliases.begin(), aliases.end(), alias) != aliases.end();
}

void TCommandHandler::SendStore() {
    TcpClient.Close();
    auto store = std::make_unique<TTcpClient>();
    store->RemoteHost = TcpClient.RemoteHost;
    store->RemotePort = TcpClient.RemotePort;
    store->TimeoutMs = TcpClient.TimeoutMs;
    store->WhileWaiting = TcpClient.WhileWaiting;
    Transmit("Partnership Store", *store);
    store->ShutdownSending();
    store->WhileWaiting = nullptr; // the hook may be gone by the time the answer is read
    Stores.push_back(std::move(store));
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
    TArrayOfNameValueArrays lists;
    for (const char* marker : {"Sender IDs = {", "Receiver IDs = {", "Attributes = {"}) {
        const std::size_t at = text.find(marker);
        if (at == std::string::npos || text.find('}', at) == std::string::npos)
            throw EListError(question + Format(at == std::string::npos
                                                   ? "it holds no \"%s\""
                                                   : "the list after \"%s\" is not closed",
                                               marker));
        lists.push_back(ParseNameValueList(text, marker));
    }
    return lists;
}

std::string TCommandHandler::FindValue(const TNameValueArray& pairs, const std::string& name) {
    const auto found = std::find_if(pairs.begin(), pairs.end(),
                                    [&](const TNameValuePair& pair) { return pair.Name == name; });
    return found == pairs.end() ? std::string() : found->Value;
}
