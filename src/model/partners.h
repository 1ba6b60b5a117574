#pragma once
// A trading partner and its partnerships in memory, loaded from the service and written back as
// one command sequence.

#include "channel/namevalue.h"
#include "model/commandtext.h"
#include "model/progress.h"
#include "platform/exceptions.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

class TCommandHandler;

// A partnership: one direction of exchange between two partners, with its open list of attributes.
class TPartnership {
public:
    TPartnership() = default;
    TPartnership(std::string name, std::string senderName, std::string receiverName)
        : Name(std::move(name)), SenderName(std::move(senderName)),
          ReceiverName(std::move(receiverName)) {}

    std::string Name;
    std::string SenderName;
    std::string ReceiverName;
    TNameValueArray Attributes;

    // The value of the first attribute of that name, or the empty string.
    std::string GetAttribute(const std::string& name) const;
    // Changes the first attribute of that name; appends one when there is none.
    void SetAttribute(const std::string& name, const std::string& value);
    // Appends, whether or not the name is there already.
    void AddAttribute(const std::string& name, const std::string& value) {
        Attributes.emplace_back(name, value);
    }

    // The record as "Partnership View" gives it, with the AS2 IDs given beside the two names.
    std::vector<CommandText::TList> Record(const std::string& senderID,
                                           const std::string& receiverID) const;
    std::string AddCommand() const;

    static TPartnership LoadPartnership(TCommandHandler& channel, const std::string& name);
};

// A value: a copy holds copies of the partnerships, nothing is shared.
class TPartnershipList {
public:
    std::vector<TPartnership> Items;
    // The AS2 IDs on both sides of every partnership the load viewed, those not kept included.
    std::vector<std::string> ViewedAS2IDs;

    // No check for a partnership of the same name.
    void Add(TPartnership partnership) { Items.push_back(std::move(partnership)); }
    // The first partnership of that name, or null.
    const TPartnership* Find(const std::string& name) const;

    // The partnerships the partner sends or receives in, in the service's order; 1 + N commands.
    static TPartnershipList LoadPartnerships(TCommandHandler& channel,
                                             const std::string& partnerName,
                                             TProgress& progress = TProgress::None());
};

// The first text of a save that cannot be sent, and where it stands.
struct TSaveFault {
    enum class TKind {
        Typed, // it would change its command's meaning, is an empty name, or would not come back
        Unwritable, // as the service holds it, it cannot be written back
        TooLong,    // the reply that gives its record back could pass the longest reply read
    };
    TKind Kind = TKind::Typed;
    // The partnership it stands in (null: the partner's record) and the list there: 0 the sender's
    // identifiers, 1 the receiver's, 2 the attributes.
    const TPartnership* Partnership = nullptr;
    std::size_t List = 0;
    std::string Key;   // the key of the pair whose value it is; empty for a name or a key
    std::string Field; // "Partner AS2Local, e-mail address", "Partnership A-B, attribute name"
    std::string Text;
    std::string Fault; // what it holds: "a double quote, which the AS2 service would misread"

    // Raises EUnsafeCommandText naming the text `name` (default Field), showing `shown`
    // (default Text): "Nothing was <outcome>".
    [[noreturn]] void Refuse(const std::string& name = std::string(),
                             const std::string* shown = nullptr,
                             const char* outcome = "saved") const;
};

// A value: a copy holds copies of the partnerships.
class TPartner {
public:
    std::string Name;
    std::string AS2ID;
    std::string Email;
    std::string X509Alias;
    TPartnershipList Partnerships;
    // The settings the service holds besides those above, in its order; saved back unchanged.
    TNameValueArray OtherSettings;
    // The service held this partner when it was read.
    bool Held = false;

    void SetAS2ID(const std::string& value) { AS2ID = value; }
    void SetEmail(const std::string& value) { Email = value; }
    void SetX509Alias(const std::string& value) { X509Alias = value; }

    // Sends SaveCommands, or nothing when SaveFault finds a fault (EUnsafeCommandText). The store's
    // answer is the channel's (StoreAnswers) once a later query has been answered.
    void SavePartner(TCommandHandler& channel) const;

    // The first text of the save that cannot be sent: one that would change its command's meaning,
    // or, differing from `asLoaded`, would not come back as sent, in a reply no longer than the
    // longest read. A text as loaded goes back as it came, unless a "~" may be a misread ", ".
    std::optional<TSaveFault> SaveFault(const TPartner* asLoaded = nullptr) const;
    // Deletes the partner and its partnerships, adds them again and stores them; unchecked.
    std::vector<std::string> SaveCommands() const;
    // Sends the commands; the last, "Partnership Store", on a connection left open.
    void SendSave(TCommandHandler& channel, const std::vector<std::string>& commands,
                  TProgress& progress = TProgress::None()) const;

    // The record as "Partner View" gives it: the name, the settings above, the others last.
    TNameValueArray Record() const;

    // The partner of a "Partner View" reply's settings, without partnerships; `name` if none.
    static TPartner FromSettings(const std::string& name, const TNameValueArray& settings);

    // One command for a partner the service does not hold (which keeps the requested name),
    // otherwise 2 + M for M partnerships listed by the service.
    static TPartner LoadPartner(TCommandHandler& channel, const std::string& name,
                                TProgress& progress = TProgress::None());
};
