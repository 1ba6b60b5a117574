#include "model/partnerships.h"

#include "channel/cmds.h"

#include <algorithm>

TPartnership::TPartnership(std::string name, std::string senderName, std::string receiverName)
    : Name(std::move(name)), SenderName(std::move(senderName)),
      ReceiverName(std::move(receiverName)) {}

std::string TPartnership::GetAttribute(const std::string& name) const {
    return TCommandHandler::FindValue(Attributes, name);
}

void TPartnership::SetAttribute(const std::string& name, const std::string& value) {
    const auto pair = std::find_if(Attributes.begin(), Attributes.end(),
                                   [&](const TNameValuePair& held) { return held.Name == name; });
    if (pair != Attributes.end())
        pair->Value = value;
    else
        AddAttribute(name, value);
}

void TPartnership::AddAttribute(const std::string& name, const std::string& value) {
    Attributes.emplace_back(name, value);
}

std::string TPartnership::AddCommand() const {
    std::string command = "Partnership Add " + Name + " " + SenderName + " " + ReceiverName + " ";
    for (std::size_t i = 0; i < Attributes.size(); ++i)
        command += (i > 0 ? " " : "") + Attributes[i].Name + "=\"" + Attributes[i].Value + "\"";
    return command;
}

std::vector<CommandText::TList> TPartnership::Record(const std::string& senderID,
                                                     const std::string& receiverID) const {
    return {{"Sender IDs = {", {{"name", SenderName}, {"as2_id", senderID}}},
            {"Receiver IDs = {", {{"name", ReceiverName}, {"as2_id", receiverID}}},
            {"Attributes = {", Attributes}};
}

namespace {

TPartnership FromView(const std::string& name, TArrayOfNameValueArrays lists) {
    TPartnership partnership(name, TCommandHandler::FindValue(lists.at(0), "name"),
                             TCommandHandler::FindValue(lists.at(1), "name"));
    partnership.Attributes = std::move(lists.at(2));
    return partnership;
}

} // namespace

TPartnership TPartnership::LoadPartnership(TCommandHandler& channel, const std::string& name) {
    return FromView(name, channel.GetPartnershipAttributes(name));
}

void TPartnershipList::Add(TPartnership partnership) {
    Items.push_back(std::move(partnership));
}

const TPartnership* TPartnershipList::Find(const std::string& name) const {
    for (const TPartnership& partnership : Items)
        if (partnership.Name == name)
            return &partnership;
    return nullptr;
}

TPartnershipList TPartnershipList::LoadPartnerships(TCommandHandler& channel,
                                                    const std::string& partnerName,
                                                    TProgress& progress) {
    TPartnershipList list;
    progress.Step("Reading the partnership list", 0, 0, TProgress::TCancel::Offered);
    const TPartnershipNameArray names = channel.GetPartnershipNames();
    for (std::size_t i = 0; i < names.size(); ++i) {
        progress.Step("Reading partnership", static_cast<int>(i + 1),
                      static_cast<int>(names.size()), TProgress::TCancel::Offered);
        // The name is the rest of the next command's line: only a line break changes its meaning.
        if (names[i].find_first_of("\r\n") != std::string::npos)
            CommandText::Refuse("The partnership name in the AS2 service's list", names[i],
                                "a line break, which the AS2 service would misread", "loaded");
        TArrayOfNameValueArrays view = channel.GetPartnershipAttributes(names[i]);
        for (std::size_t side : {0, 1})
            list.ViewedAS2IDs.push_back(TCommandHandler::FindValue(view.at(side), "as2_id"));
        TPartnership partnership = FromView(names[i], std::move(view));
        if (partnership.SenderName == partnerName || partnership.ReceiverName == partnerName)
            list.Add(std::move(partnership));
    }
    return list;
}
