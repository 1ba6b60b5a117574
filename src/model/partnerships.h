#pragma once
// A partnership: one direction of exchange between two partners, with its open list of attributes.

#include "channel/namevalue.h"
#include "model/commandtext.h"
#include "model/progress.h"

#include <string>
#include <vector>

class TCommandHandler;

class TPartnership {
public:
    TPartnership() = default;
    TPartnership(std::string name, std::string senderName, std::string receiverName);

    std::string Name;
    std::string SenderName;
    std::string ReceiverName;
    TNameValueArray Attributes;

    // The value of the first attribute of that name, or the empty string.
    std::string GetAttribute(const std::string& name) const;
    // Changes the first attribute of that name; appends one when there is none.
    void SetAttribute(const std::string& name, const std::string& value);
    // Appends, whether or not the name is there already.
    void AddAttribute(const std::string& name, const std::string& value);

    // The record as "Partnership View" gives it, with the AS2 IDs given beside the two names.
    std::vector<CommandText::TList> Record(const std::string& senderID,
                                           const std::string& receiverID) const;
    std::string AddCommand() const;

    // One command.
    static TPartnership LoadPartnership(TCommandHandler& channel, const std::string& name);
};

// A value: a copy holds copies of the partnerships, nothing is shared.
class TPartnershipList {
public:
    std::vector<TPartnership> Items;
    // The AS2 IDs on both sides of every partnership the load viewed, those not kept included.
    std::vector<std::string> ViewedAS2IDs;

    // No check for a partnership of the same name.
    void Add(TPartnership partnership);
    // The first partnership of that name, or null.
    const TPartnership* Find(const std::string& name) const;

    // The partnerships the partner sends or receives in, in the service's order (1 + N commands
    // for N listed).
    static TPartnershipList LoadPartnerships(TCommandHandler& channel,
                                             const std::string& partnerName,
                                             TProgress& progress = TProgress::None());
};
