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
#include "channel/stores.h"
#include "platform/tcpclient.h"

#include <QDomDocument>
#include <QDomElement>
#include <QObject>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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

    // Is the alias one of the texts of the "cert List" reply's children (GetCertificateAliases's
    // list, read up to the alias).
    bool CertificateExists(const std::string& alias);
    // The text of each child of the "cert List" reply, in order.
    std::vector<std::string> GetCertificateAliases();
    // Sends "Partnership Store" and ends the connection's sending side (a service that serves one
    // connection at a time goes on to the next at once), but keeps it open for the answer, read
    // once a later query has been answered (channel/stores.h). Raises only when the command could
    // not be delivered.
    void SendStore();
    // The answer of each store sent since the last call, in order (TPendingStores::Take).
    std::vector<std::string> StoreAnswers();
    // The text of each child of the "Partnership List" reply, in order.
    TPartnershipNameArray GetPartnershipNames();
    // The brace list of the "Partner View" reply; empty when the service has no such partner.
    TNameValueArray GetPartnerAttributes(const std::string& partnerName);
    // The "Sender IDs", "Receiver IDs" and "Attributes" lists of the "Partnership View" reply.
    // EListError when a marker or the "}" closing its list is missing: a partnership the service
    // listed was not read, which is no partnership of empty lists.
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
    // the root. EDOMParseError when it does not parse, is not valid UTF-8, or would take more
    // memory or time than any reply of the service; doc is then empty. whileWaiting, when set, is
    // called every so often while a long reply is checked and parsed; what it throws ends the
    // parse (doc then empty) and is raised again.
    static QDomElement ParseReply(const std::string& line, QDomDocument& doc,
                                  const std::function<void()>& whileWaiting = nullptr);
    // The text of each child of a reply's root, as NodeText reads it, from the same parse as
    // ParseReply's (and its failures) without keeping a document. The texts stop before the first
    // child that NodeText cannot read, and Complete is then false.
    struct TReplyTexts {
        std::vector<std::string> Texts;
        bool Complete = true;
    };
    static TReplyTexts ReadReplyTexts(const std::string& line,
                                      const std::function<void()>& whileWaiting = nullptr);

private:
    // NodeText and ChildNode; a failure's message begins with question, which says what was asked
    // and what the answer should have been.
    static std::string ReplyText(const QDomNode& node, const std::string& question);
    static QDomNode ReplyChild(const QDomElement& parent, int index, const std::string& question);
    // "The AS2 service's answer to "cert List" is not a list of aliases: "
    static std::string Question(const std::string& command, const char* expected);
    // What the channel calls while it waits on the service or works through a long reply.
    const std::function<void()>& WaitHook() const { return TcpClient.WhileWaiting; }
    void Transmit(const std::string& command, TTcpClient& client);
    void Transmit(const std::string& command) { Transmit(command, TcpClient); }
    // ExecuteCommand's reading and parsing of the reply, within timeoutMs.
    QDomElement ReadReply(int timeoutMs);
    // The first non-empty reply line, within timeoutMs.
    std::string ReceiveReply(int timeoutMs);
    // Sends the command and reads the texts of its reply (ReadReplyTexts); xmlDoc is then empty.
    TReplyTexts ListTexts(const std::string& command);
    // ListTexts, all of them; a failure's message says what the answer should have been.
    std::vector<std::string> AllTexts(const std::string& command, const char* expected);
    // Reads through the first CR LF by the deadline, taking bytes from budget; false when the
    // connection ended first (line then holds what arrived).
    bool ReceiveLine(std::string& line, std::size_t& budget, QDeadlineTimer deadline);
    std::string Where() const;

    TPendingStores Stores;
};

// The program's one channel, created at start-up after the window. Nothing looks it up: the window
// and the model are handed the channel they talk through.
extern TCommandHandler* CommandHandler;
