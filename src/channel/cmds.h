#pragma once
// The command channel to the AS2 service, and the typed queries built on it. Every command travels
// on a connection of its own, as one line: <command ...>command</command> CR LF. A query reads one
// reply line and parses it wrapped in <AS2Result>...</AS2Result>.
//
// Failures are raised, never caught here: EServiceError when the service cannot be reached, does
// not take the command or gives no reply line; EDOMParseError when a reply does not parse;
// EXMLDocError and EListError when a reply does not have the shape a query reads.

#include "channel/namevalue.h"
#include "platform/tcpclient.h"

#include <QDomDocument>
#include <QDomElement>
#include <QObject>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

inline constexpr std::size_t MaxReplyLineBytes = 16 * 1024 * 1024;

inline constexpr const char* CommandPrefix = "<command id=\"userID\" password=\"qxv\">";
inline constexpr const char* CommandSuffix = "</command>";

class TCommandHandler : public QObject {
public:
    // Opens one connection at once, silently; no command uses it.
    explicit TCommandHandler(QObject* parent = nullptr, std::string host = "localhost",
                             std::string port = "4321", int replyTimeoutMs = 30000);

    // Its WhileWaiting is called between the slices of the channel's waits.
    TTcpClient TcpClient;
    // The last parsed reply, which ExecuteCommand's element belongs to.
    QDomDocument xmlDoc;

    // Sends one command (without envelope or line end) and reads nothing back.
    void SendCommand(const std::string& command) { Transmit(command, TcpClient); }
    // Sends one command and returns the AS2Result element of its first non-empty reply line.
    QDomElement ExecuteCommand(const std::string& command);

    // Whether "cert List" holds the alias (its list read up to the alias).
    bool CertificateExists(const std::string& alias);
    std::vector<std::string> GetCertificateAliases() {
        return ListTexts("cert List", "a list of aliases");
    }
    // Sends "Partnership Store" and ends the sending side, so that a service serving one connection
    // at a time goes on. The service finishes each command before it answers the next connection,
    // so once a later query has been answered, what the store's connection holds is its answer.
    void SendStore();
    // The answer of each store sent since the last call, in order: the text of an error element
    // that begins it, else empty (it stored, or said nothing: the port promises no answer).
    std::vector<std::string> StoreAnswers();
    TPartnershipNameArray GetPartnershipNames() {
        return ListTexts("Partnership List", "a list of partnership names");
    }
    // The brace list of "Partner View"; empty when the service has no such partner.
    TNameValueArray GetPartnerAttributes(const std::string& partnerName);
    // The "Sender IDs", "Receiver IDs" and "Attributes" lists of "Partnership View"; EListError
    // when a marker or its "}" is missing, which is no partnership of empty lists.
    TArrayOfNameValueArrays GetPartnershipAttributes(const std::string& partnershipName);

    static TNameValueArray ParseNameValueList(const std::string& text, const std::string& marker) {
        return ParseNameValues(text, marker);
    }
    // The value of the first pair of that name, or the empty string.
    static std::string FindValue(const TNameValueArray& pairs, const std::string& name);

    // The text of a node: an element holds no child (empty) or one text or CDATA child (its
    // value), else EXMLDocError; any other node gives its value.
    static std::string NodeText(const QDomNode& node);
    // The child at a 0-based index; EListError when out of range.
    static QDomNode ChildNode(const QDomElement& parent, int index);
    // Parses a reply line wrapped in AS2Result into doc and returns the root. EDOMParseError, doc
    // empty, when it does not parse, is no UTF-8 or would cost more than any reply of the service.
    // whileWaiting is called every so often; what it throws ends the parse and is raised again.
    static QDomElement ParseReply(const std::string& line, QDomDocument& doc,
                                  const std::function<void()>& whileWaiting = nullptr);
    // The NodeText of each child of a reply's root, parsed as ParseReply does but without a
    // document. The texts stop before the first child NodeText cannot read; Complete is then false.
    struct TReplyTexts {
        std::vector<std::string> Texts;
        bool Complete = true;
    };
    static TReplyTexts ReadReplyTexts(const std::string& line,
                                      const std::function<void()>& whileWaiting = nullptr);

private:
    void Transmit(const std::string& command, TTcpClient& client);
    // The first non-empty reply line, or what arrived of it before the connection ended.
    std::string ReceiveReply();
    // Sends the command and reads the texts of its reply, xmlDoc then empty; a failure says what
    // the answer should have been. With sought, texts past one equal to it need not be read.
    std::vector<std::string> ListTexts(const std::string& command, const char* expected,
                                       const std::string* sought = nullptr);
    std::string Where() const { return TcpClient.RemoteHost + ":" + TcpClient.RemotePort; }
    // Reads what each store's connection holds, waiting no more than a moment, and closes it.
    void SettleStores();

    std::vector<std::unique_ptr<TTcpClient>> Stores; // sent, their answers not yet read
    std::vector<std::string> StoreErrors;            // of the stores settled
};

// The program's one channel, created at start-up after the window. Nothing looks it up: the window
// and the model are handed the channel they talk through.
extern TCommandHandler* CommandHandler;
