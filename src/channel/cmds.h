#pragma once
// The command channel to the AS2 service, and the typed queries built on it.
//
// Every command travels on a connection of its own: the previous connection is closed, a new one
// is made, and the command is written as one line, <command ...>command</command> CR LF. A query
// then reads one reply line, wraps it in <AS2Result>...</AS2Result> and parses it.
//
// Failures are raised, never caught here: EServiceError when the service cannot be reached, does
// not take the command, or gives no reply line; EDOMParseError when a reply does not parse;
// EXMLDocError and EListError when a reply does not have the shape a query reads.

#include "channel/namevalue.h"
#include "platform/tcpclient.h"

#include <QDomDocument>
#include <QDomElement>
#include <QObject>
#include <cstddef>
#include <functional>
#include <string>

// The service's command port, the reply time limit and the longest reply line.
inline constexpr const char* DefaultServiceHost = "localhost";
inline constexpr const char* DefaultServicePort = "4321";
inline constexpr int DefaultReplyTimeoutMs = 30000;
inline constexpr std::size_t MaxReplyLineBytes = 16 * 1024 * 1024;

// The envelope around every command line.
inline constexpr const char* CommandPrefix = "<command id=\"userID\" password=\"qxv\">";
inline constexpr const char* CommandSuffix = "</command>";

class TCommandHandler : public QObject {
public:
    // Opens one connection at once, silently; no command uses it.
    explicit TCommandHandler(QObject* parent = nullptr, std::string host = DefaultServiceHost,
                             std::string port = DefaultServicePort,
                             int replyTimeoutMs = DefaultReplyTimeoutMs);

    TTcpClient TcpClient;
    // Installs what the channel's waits call between their slices (TTcpClient::WhileWaiting) and
    // hands back the one it replaces, so that whoever installs a hook can put the previous back.
    std::function<void()> SetWaitHook(std::function<void()> hook);
    // The last parsed reply; the element ExecuteCommand returns belongs to it.
    QDomDocument xmlDoc;

    // Sends one command (without envelope or line end) and reads nothing back.
    void SendCommand(const std::string& command);
    // Sends one command, reads the first non-empty reply line, parses it into xmlDoc and
    // returns its AS2Result element.
    QDomElement ExecuteCommand(const std::string& command);

    // Is the alias one of the children of the "cert List" reply.
    bool CertificateExists(const std::string& alias);
    // The text of each child of the "Partnership List" reply, in order.
    TPartnershipNameArray GetPartnershipNames();
    // The brace list of the "Partner View" reply; empty when the service has no such partner.
    TNameValueArray GetPartnerAttributes(const std::string& partnerName);
    // The "Sender IDs", "Receiver IDs" and "Attributes" lists of the "Partnership View" reply;
    // a list whose marker is missing is empty.
    TArrayOfNameValueArrays GetPartnershipAttributes(const std::string& partnershipName);

    // ParseNameValues (channel/namevalue.h) under the channel's own name.
    static TNameValueArray ParseNameValueList(const std::string& text, const std::string& marker);
    // The value of FindPair's pair, or the empty string.
    static std::string FindValue(const TNameValueArray& pairs, const std::string& name);

    // The text of a node: an element holds no child (empty) or one text or CDATA child (its
    // value), else EXMLDocError; any other node gives its value.
    static std::string NodeText(const QDomNode& node);
    // The child at a 0-based index; EListError when out of range.
    static QDomNode ChildNode(const QDomElement& parent, int index);
    // Wraps a reply line in AS2Result, parses it into doc (discarding what doc held) and returns
    // the root. EDOMParseError when it does not parse or is not valid UTF-8; doc is then empty.
    static QDomElement ParseReply(const std::string& line, QDomDocument& doc);

private:
    void Transmit(const std::string& command);
    // Reads through the first CR LF by the deadline, taking bytes from budget; false when the
    // connection ended first (line then holds what arrived).
    bool ReceiveLine(std::string& line, std::size_t& budget, QDeadlineTimer deadline);
    std::string Where() const;
};

// The program's one channel, created at start-up after the window. Nothing looks it up: the window
// and the model are handed the channel they talk through.
extern TCommandHandler* CommandHandler;
