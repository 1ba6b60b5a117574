#include "model/partners.h"

#include "channel/cmds.h"
#include "model/commandtext.h"

namespace {

using CommandText::TKind;

void CheckField(const std::string& owner, const std::string& field, const std::string& text,
                TKind kind) {
    CommandText::Check(owner + ", " + field + ":", text, kind, "saved");
}

void CheckPartnership(const TPartnership& p) {
    const std::string owner = "Partnership " + p.Name;
    CheckField(owner, "name", p.Name, TKind::Name);
    CheckField(owner, "sender name", p.SenderName, TKind::Name);
    CheckField(owner, "receiver name", p.ReceiverName, TKind::Name);
    for (const TNameValuePair& attribute : p.Attributes) {
        CheckField(owner, "attribute name", attribute.Name, TKind::Key);
        CheckField(owner, "value of attribute " + attribute.Name, attribute.Value, TKind::Value);
    }
}

} // namespace

std::string TPartner::AddCommand() const {
    return "Partner Add " + Name + " as2_id=\"" + AS2ID + "\" email=\"" + Email +
           "\" x509_alias=\"" + X509Alias + "\"";
}

void TPartner::CheckSave() const {
    const std::string owner = "Partner " + Name;
    CheckField(owner, "name", Name, TKind::Name);
    CheckField(owner, "AS2 ID", AS2ID, TKind::Value);
    CheckField(owner, "e-mail address", Email, TKind::Value);
    CheckField(owner, "certificate alias", X509Alias, TKind::Value);
    for (const TPartnership& partnership : Partnerships.Items)
        CheckPartnership(partnership);
}

std::vector<std::string> TPartner::SaveCommands() const {
    CheckSave();
    std::vector<std::string> commands;
    for (const TPartnership& partnership : Partnerships.Items)
        commands.push_back(partnership.DeleteCommand());
    commands.push_back("Partner Delete " + Name);
    commands.push_back(AddCommand());
    for (const TPartnership& partnership : Partnerships.Items)
        commands.push_back(partnership.AddCommand());
    commands.push_back("Partnership Store");
    return commands;
}

void TPartner::SavePartner(TCommandHandler& channel, TProgress& progress) const {
    const std::vector<std::string> commands = SaveCommands();
    for (std::size_t i = 0; i < commands.size(); ++i) {
        progress.Step("Saving partner " + Name, static_cast<int>(i + 1),
                      static_cast<int>(commands.size()), TProgress::TCancel::NotOffered);
        channel.SendCommand(commands[i]);
    }
}

TPartner TPartner::LoadPartner(TCommandHandler& channel, const std::string& name,
                               TProgress& progress) {
    progress.Step("Reading partner " + name, 0, 0, TProgress::TCancel::Offered);
    TPartner partner;
    const TNameValueArray settings = channel.GetPartnerAttributes(name);
    if (settings.empty()) {
        partner.Name = name;
        return partner;
    }
    partner.Name = TCommandHandler::FindValue(settings, "name");
    partner.AS2ID = TCommandHandler::FindValue(settings, "as2_id");
    partner.Email = TCommandHandler::FindValue(settings, "email");
    partner.X509Alias = TCommandHandler::FindValue(settings, "x509_alias");
    partner.Partnerships = TPartnershipList::LoadPartnerships(channel, partner.Name, progress);
    return partner;
}
