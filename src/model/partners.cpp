#include "model/partners.h"

#include "model/commandtext.h"

namespace {

void Check(const std::string& owner, const char* field, const std::string& text,
           const char* forbidden) {
    CommandText::Check(owner + ", " + field + ":", text, forbidden, "saved");
}

void CheckPartnership(const TPartnership& p) {
    const std::string owner = "Partnership " + p.Name;
    Check(owner, "name", p.Name, CommandText::BareName);
    Check(owner, "sender name", p.SenderName, CommandText::BareName);
    Check(owner, "receiver name", p.ReceiverName, CommandText::BareName);
    for (const TNameValuePair& attribute : p.Attributes) {
        Check(owner, "attribute name", attribute.Name, CommandText::BareName);
        Check(owner, ("value of attribute " + attribute.Name).c_str(), attribute.Value,
              CommandText::QuotedValue);
    }
}

} // namespace

std::string TPartner::AddCommand() const {
    return "Partner Add " + Name + " as2_id=\"" + AS2ID + "\" email=\"" + Email +
           "\" x509_alias=\"" + X509Alias + "\"";
}

void TPartner::CheckSave() const {
    const std::string owner = "Partner " + Name;
    Check(owner, "name", Name, CommandText::BareName);
    Check(owner, "AS2 ID", AS2ID, CommandText::QuotedValue);
    Check(owner, "e-mail address", Email, CommandText::QuotedValue);
    Check(owner, "certificate alias", X509Alias, CommandText::QuotedValue);
    for (const auto& partnership : Partnerships->Items)
        CheckPartnership(*partnership);
}

std::vector<std::string> TPartner::SaveCommands() const {
    CheckSave();
    std::vector<std::string> commands;
    for (const auto& partnership : Partnerships->Items)
        commands.push_back(partnership->DeleteCommand());
    commands.push_back("Partner Delete " + Name);
    commands.push_back(AddCommand());
    for (const auto& partnership : Partnerships->Items)
        commands.push_back(partnership->AddCommand());
    commands.push_back("Partnership Store");
    return commands;
}

void TPartner::SavePartner(TCommandHandler& channel) const {
    for (const std::string& command : SaveCommands())
        channel.SendCommand(command);
}

std::unique_ptr<TPartner> TPartner::LoadPartner(TCommandHandler& channel, const std::string& name) {
    auto partner = std::make_unique<TPartner>();
    const TNameValueArray settings = channel.GetPartnerAttributes(name);
    if (settings.empty()) {
        partner->Name = name;
        return partner;
    }
    partner->Name = TCommandHandler::FindValue(settings, "name");
    partner->AS2ID = TCommandHandler::FindValue(settings, "as2_id");
    partner->Email = TCommandHandler::FindValue(settings, "email");
    partner->X509Alias = TCommandHandler::FindValue(settings, "x509_alias");
    partner->Partnerships = TPartnershipList::LoadPartnerships(channel, partner->Name);
    return partner;
}
