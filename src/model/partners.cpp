#include "model/partners.h"

#include "channel/cmds.h"
#include "model/commandtext.h"
#include "platform/exceptions.h"

#include <algorithm>
#include <iterator>

namespace {

using CommandText::TKind;

// Checks the texts of one record: each one's meaning in its command, and, for what was typed or
// composed, that it is XML text and that the record gives it back as sent. What was loaded and
// goes back unchanged is sent as it came, unless it holds "~".
class TRecordCheck {
public:
    explicit TRecordCheck(std::string owner) : Owner(std::move(owner)) {}

    // A text of the record: what it is called in messages, and whether it is as loaded.
    void Text(const std::string& field, const std::string& text, TKind kind, bool asLoaded) {
        const std::string fault = CommandText::Fault(text, kind);
        if (!asLoaded && text.empty() && kind == TKind::Name)
            CommandText::Check(Owner + ", " + field + ":", text, kind, "saved");
        if (!asLoaded && !fault.empty())
            CommandText::Refuse(Owner + ", " + field + ":", text, fault, "saved");
        const bool misread = kind != TKind::Name && text.find('~') != std::string::npos;
        if (asLoaded && (!fault.empty() || misread))
            throw EUnsafeCommandText(
                Owner + ", " + field + ": the AS2 service holds \"" + text + "\", which holds " +
                (fault.empty() ? std::string("a tilde \"~\", where it may have given a \", \" "
                                             "that the dialog read apart")
                               : fault) +
                "; the dialog cannot write it back. Nothing was saved");
    }

    // The record's lists as a reply prints them; fields[l][i] names pair i of list l, empty for
    // a pair as loaded.
    void Lists(const std::vector<CommandText::TList>& lists,
               const std::vector<std::vector<std::string>>& fields) const {
        // A record sent as it was loaded came back from the service already.
        const auto typed = [](const std::vector<std::string>& list) {
            return std::any_of(list.begin(), list.end(),
                               [](const std::string& field) { return !field.empty(); });
        };
        if (std::none_of(fields.begin(), fields.end(), typed))
            return;
        const std::vector<std::size_t> lost = CommandText::FirstLost(lists);
        for (std::size_t l = 0; l < lists.size(); ++l) {
            if (lost[l] >= lists[l].Pairs.size() || fields[l][lost[l]].empty())
                continue;
            const TNameValuePair& pair = lists[l].Pairs[lost[l]];
            CommandText::Refuse(Owner + ", " + fields[l][lost[l]] + ":", pair.Value,
                                CommandText::LostFault(pair.Value), "saved");
        }
    }

private:
    std::string Owner;
};

// Checks the pairs a record holds besides its own fields (a partnership's attributes, a partner's
// other settings): each is as loaded when the loaded record held the same pair in the same place.
// The values' field names, empty for those as loaded, are appended to fields.
void CheckPairs(TRecordCheck& check, const char* key, const char* value,
                const TNameValueArray& pairs, const TNameValueArray* asLoaded,
                std::vector<std::string>& fields) {
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const TNameValuePair& pair = pairs[i];
        const bool same = asLoaded != nullptr && i < asLoaded->size() && (*asLoaded)[i] == pair;
        const std::string field = std::string(value) + " " + pair.Name;
        check.Text(key, pair.Name, TKind::Key, same);
        check.Text(field, pair.Value, TKind::Value, same);
        fields.push_back(same ? std::string() : field);
    }
}

void CheckPartnership(const TPartnership& p, const TPartnership* asLoaded,
                      const std::string& senderID, const std::string& receiverID,
                      bool idsAsLoaded) {
    TRecordCheck check("Partnership " + p.Name);
    const bool namesAsLoaded = asLoaded != nullptr && asLoaded->SenderName == p.SenderName &&
                               asLoaded->ReceiverName == p.ReceiverName;
    check.Text("name", p.Name, TKind::Name, asLoaded != nullptr);
    check.Text("sender name", p.SenderName, TKind::Name, namesAsLoaded);
    check.Text("receiver name", p.ReceiverName, TKind::Name, namesAsLoaded);
    std::vector<std::string> attributeFields;
    CheckPairs(check, "attribute name", "value of attribute", p.Attributes,
               asLoaded != nullptr ? &asLoaded->Attributes : nullptr, attributeFields);
    const std::string names = namesAsLoaded ? std::string() : "sender name";
    const std::string ids = idsAsLoaded ? std::string() : "AS2 ID";
    check.Lists(p.Record(senderID, receiverID),
                {{names, ids}, {namesAsLoaded ? "" : "receiver name", ids}, attributeFields});
}

} // namespace

std::string TPartner::AddCommand() const {
    std::string command = "Partner Add " + Name + " as2_id=\"" + AS2ID + "\" email=\"" + Email +
                          "\" x509_alias=\"" + X509Alias + "\"";
    for (const TNameValuePair& other : OtherSettings)
        command += " " + other.Name + "=\"" + other.Value + "\"";
    return command;
}

TNameValueArray TPartner::Record() const {
    TNameValueArray record = {
        {"name", Name}, {"as2_id", AS2ID}, {"email", Email}, {"x509_alias", X509Alias}};
    record.insert(record.end(), OtherSettings.begin(), OtherSettings.end());
    return record;
}

void TPartner::CheckSave(const TPartner* asLoaded) const {
    TRecordCheck check("Partner " + Name);
    const bool nameAsLoaded = asLoaded != nullptr && asLoaded->Name == Name;
    const bool idAsLoaded = asLoaded != nullptr && asLoaded->AS2ID == AS2ID;
    const bool emailAsLoaded = asLoaded != nullptr && asLoaded->Email == Email;
    const bool aliasAsLoaded = asLoaded != nullptr && asLoaded->X509Alias == X509Alias;
    check.Text("name", Name, TKind::Name, nameAsLoaded);
    check.Text("AS2 ID", AS2ID, TKind::Value, idAsLoaded);
    check.Text("e-mail address", Email, TKind::Value, emailAsLoaded);
    check.Text("certificate alias", X509Alias, TKind::Value, aliasAsLoaded);
    std::vector<std::string> fields = {nameAsLoaded ? "" : "name", idAsLoaded ? "" : "AS2 ID",
                                       emailAsLoaded ? "" : "e-mail address",
                                       aliasAsLoaded ? "" : "certificate alias"};
    CheckPairs(check, "setting name", "setting", OtherSettings,
               asLoaded != nullptr ? &asLoaded->OtherSettings : nullptr, fields);
    check.Lists({{"{", Record()}}, {fields});
    for (const TPartnership& partnership : Partnerships.Items) {
        // This partner's own AS2 ID stands in the partnership's record beside its name.
        const bool sender = partnership.SenderName == Name;
        const bool receiver = partnership.ReceiverName == Name;
        CheckPartnership(partnership,
                         asLoaded != nullptr ? asLoaded->Partnerships.Find(partnership.Name)
                                             : nullptr,
                         sender ? AS2ID : std::string(), receiver ? AS2ID : std::string(),
                         idAsLoaded || (!sender && !receiver));
    }
}

std::vector<std::string> TPartner::SaveCommands(const TPartner* asLoaded) const {
    CheckSave(asLoaded);
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

void TPartner::SavePartner(TCommandHandler& channel, TProgress& progress,
                           const TPartner* asLoaded) const {
    SendSave(channel, SaveCommands(asLoaded), progress);
}

void TPartner::SendSave(TCommandHandler& channel, const std::vector<std::string>& commands,
                        TProgress& progress) const {
    for (std::size_t i = 0; i < commands.size(); ++i) {
        progress.Step("Saving partner " + Name, static_cast<int>(i + 1),
                      static_cast<int>(commands.size()), TProgress::TCancel::NotOffered);
        if (i + 1 < commands.size()) {
            channel.SendCommand(commands[i]);
        } else if (const std::string refused = channel.StorePartnerships(); !refused.empty()) {
            throw EStoreRefusedError("The AS2 service did not store the settings of partner " +
                                     Name + ": " + refused);
        }
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
    partner.Held = true;
    partner.Name = TCommandHandler::FindValue(settings, "name");
    partner.AS2ID = TCommandHandler::FindValue(settings, "as2_id");
    partner.Email = TCommandHandler::FindValue(settings, "email");
    partner.X509Alias = TCommandHandler::FindValue(settings, "x509_alias");
    // Each of the four the first time it stands; everything else is kept as it came.
    bool seen[4] = {};
    const char* const shown[4] = {"name", "as2_id", "email", "x509_alias"};
    for (const TNameValuePair& setting : settings) {
        const auto known = std::find(std::begin(shown), std::end(shown), setting.Name);
        if (known == std::end(shown) || seen[known - std::begin(shown)])
            partner.OtherSettings.push_back(setting);
        else
            seen[known - std::begin(shown)] = true;
    }
    partner.Partnerships = TPartnershipList::LoadPartnerships(channel, partner.Name, progress);
    return partner;
}
