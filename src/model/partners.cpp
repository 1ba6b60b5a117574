#include "model/partners.h"

#include "channel/cmds.h"

#include <algorithm>
#include <utility>

namespace {

using CommandText::TKind;

TPartnership FromView(const std::string& name, TArrayOfNameValueArrays lists) {
    TPartnership partnership(name, TCommandHandler::FindValue(lists.at(0), "name"),
                             TCommandHandler::FindValue(lists.at(1), "name"));
    partnership.Attributes = std::move(lists.at(2));
    return partnership;
}

// The most a reply that gives a record back can take: every character escaped ("&amp;" is five
// bytes), the separators besides.
std::size_t ReplyBytes(const std::vector<CommandText::TList>& lists) {
    std::size_t bytes = 0;
    for (const CommandText::TList& list : lists) {
        bytes += list.Marker.size() + 2;
        for (const TNameValuePair& pair : list.Pairs)
            bytes += 5 * (pair.Name.size() + pair.Value.size()) + 3;
    }
    return bytes;
}

// SaveFault's walk through the texts of one record, keeping the first fault.
class TRecordCheck {
public:
    TRecordCheck(std::optional<TSaveFault>& fault, std::string owner,
                 const TPartnership* partnership = nullptr)
        : Found(fault), Owner(std::move(owner)), Partnership(partnership) {}

    // A text of the record in list `list`; `key` the key of the pair whose value it is.
    void Text(const std::string& field, const std::string& key, std::size_t list,
              const std::string& text, TKind kind, bool asLoaded) {
        const std::string fault = CommandText::Fault(text, kind);
        const bool misread = kind != TKind::Name && text.find('~') != std::string::npos;
        if (!asLoaded && (!fault.empty() || (text.empty() && kind == TKind::Name)))
            Note(TSaveFault::TKind::Typed, field, key, list, text, fault);
        else if (asLoaded && (!fault.empty() || misread))
            Note(TSaveFault::TKind::Unwritable, field, key, list, text,
                 fault.empty() ? "a tilde \"~\", where it may have given a \", \" that was "
                                 "read apart"
                               : fault);
    }

    // A record's list of pairs; each is as loaded when the loaded record held the same pair in the
    // same place. The first are called `named` (the first of them a name), the others by `value`
    // and their key. Appends the values' field names to fields, empty for those as loaded.
    void Pairs(const char* key, const char* value, std::size_t list, const TNameValueArray& pairs,
               const TNameValueArray* asLoaded, std::vector<std::string>& fields,
               const std::vector<const char*>& named = {}) {
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            const TNameValuePair& pair = pairs[i];
            const bool same = asLoaded != nullptr && i < asLoaded->size() && (*asLoaded)[i] == pair;
            const std::string field =
                i < named.size() ? named[i] : std::string(value) + " " + pair.Name;
            Text(key, std::string(), list, pair.Name, TKind::Key, same);
            Text(field, pair.Name, list, pair.Value,
                 i == 0 && !named.empty() ? TKind::Name : TKind::Value, same);
            fields.push_back(same ? std::string() : field);
        }
    }

    // The record's lists as a reply prints them; fields[l][i] names pair i of list l, empty for
    // a pair as loaded. A record sent as it was loaded came back from the service already.
    void Lists(const std::vector<CommandText::TList>& lists,
               const std::vector<std::vector<std::string>>& fields) {
        const auto typed = [](const std::vector<std::string>& list) {
            return std::any_of(list.begin(), list.end(),
                               [](const std::string& field) { return !field.empty(); });
        };
        if (Found || std::none_of(fields.begin(), fields.end(), typed))
            return;
        const std::vector<std::size_t> lost = CommandText::FirstLost(lists);
        for (std::size_t l = 0; l < lists.size(); ++l) {
            if (lost[l] >= lists[l].Pairs.size() || fields[l][lost[l]].empty())
                continue;
            const TNameValuePair& pair = lists[l].Pairs[lost[l]];
            Note(TSaveFault::TKind::Typed, fields[l][lost[l]], pair.Name, l, pair.Value,
                 CommandText::LostFault(pair.Value));
        }
        // A record whose reply could pass the longest the dialog reads could never be loaded
        // again. Named by its longest value.
        if (Found || ReplyBytes(lists) <= MaxReplyLineBytes)
            return;
        std::size_t longest = 0;
        for (std::size_t l = 0; l < lists.size(); ++l)
            for (std::size_t i = 0; i < lists[l].Pairs.size(); ++i)
                if (const TNameValuePair& pair = lists[l].Pairs[i];
                    !Found || pair.Value.size() >= longest) {
                    longest = pair.Value.size();
                    Found.reset();
                    Note(TSaveFault::TKind::TooLong,
                         fields[l][i].empty() ? pair.Name : fields[l][i], pair.Name, l, pair.Value,
                         std::string());
                }
    }

private:
    void Note(TSaveFault::TKind kind, const std::string& field, const std::string& key,
              std::size_t list, const std::string& text, const std::string& fault) {
        if (!Found)
            Found = TSaveFault{kind, Partnership, list, key, Owner + ", " + field, text, fault};
    }

    std::optional<TSaveFault>& Found;
    const std::string Owner;
    const TPartnership* const Partnership;
};

} // namespace

void TSaveFault::Refuse(const std::string& name, const std::string* shown,
                        const char* outcome) const {
    const std::string& named = name.empty() ? Field : name;
    const std::string& text = shown != nullptr ? *shown : Text;
    if (Kind == TKind::TooLong)
        throw EUnsafeCommandText(Format("%s is %zu bytes long: the AS2 service's reply that gives "
                                        "it back could pass 16 MiB, so it could not be read "
                                        "again. Nothing was %s",
                                        named.c_str(), Text.size(), outcome));
    if (Kind == TKind::Unwritable)
        throw EUnsafeCommandText(named + ": the AS2 service holds " + CommandText::Quoted(text) +
                                 ", which holds " + Fault + "; it cannot be written back. " +
                                 "Nothing was " + outcome);
    CommandText::Refuse(named, text, Fault, outcome);
}

TNameValueArray TPartner::Record() const {
    TNameValueArray record = {
        {"name", Name}, {"as2_id", AS2ID}, {"email", Email}, {"x509_alias", X509Alias}};
    record.insert(record.end(), OtherSettings.begin(), OtherSettings.end());
    return record;
}

std::optional<TSaveFault> TPartner::SaveFault(const TPartner* asLoaded) const {
    std::optional<TSaveFault> fault;
    const TNameValueArray record = Record();
    const TNameValueArray loaded = asLoaded != nullptr ? asLoaded->Record() : TNameValueArray();
    std::vector<std::string> fields;
    TRecordCheck own(fault, "Partner " + Name);
    own.Pairs("setting name", "setting", 0, record, asLoaded != nullptr ? &loaded : nullptr, fields,
              {"name", "AS2 ID", "e-mail address", "certificate alias"});
    own.Lists({{"{", record}}, {fields});
    const bool idAsLoaded = asLoaded != nullptr && asLoaded->AS2ID == AS2ID;
    for (const TPartnership& p : Partnerships.Items) {
        const TPartnership* was =
            asLoaded != nullptr ? asLoaded->Partnerships.Find(p.Name) : nullptr;
        const bool namesAsLoaded = was != nullptr && was->SenderName == p.SenderName &&
                                   was->ReceiverName == p.ReceiverName;
        TRecordCheck check(fault, "Partnership " + p.Name, &p);
        check.Text("name", std::string(), 2, p.Name, TKind::Name, was != nullptr);
        check.Text("sender name", std::string(), 0, p.SenderName, TKind::Name, namesAsLoaded);
        check.Text("receiver name", std::string(), 1, p.ReceiverName, TKind::Name, namesAsLoaded);
        std::vector<std::string> attributes;
        check.Pairs("attribute name", "value of attribute", 2, p.Attributes,
                    was != nullptr ? &was->Attributes : nullptr, attributes);
        // This partner's own AS2 ID stands in the partnership's record beside its name.
        const bool sender = p.SenderName == Name;
        const bool receiver = p.ReceiverName == Name;
        const std::string ids = idAsLoaded || (!sender && !receiver) ? "" : "AS2 ID";
        check.Lists(p.Record(sender ? AS2ID : "", receiver ? AS2ID : ""),
                    {{namesAsLoaded ? "" : "sender name", ids},
                     {namesAsLoaded ? "" : "receiver name", ids},
                     attributes});
    }
    return fault;
}

std::vector<std::string> TPartner::SaveCommands() const {
    std::vector<std::string> commands;
    for (const TPartnership& partnership : Partnerships.Items)
        commands.push_back("Partnership Delete " + partnership.Name);
    commands.push_back("Partner Delete " + Name);
    // "Partner Add", then the settings of its record after the name.
    const TNameValueArray record = Record();
    std::string add = "Partner Add " + Name;
    for (auto setting = record.begin() + 1; setting != record.end(); ++setting)
        add += " " + setting->Name + "=\"" + setting->Value + "\"";
    commands.push_back(add);
    for (const TPartnership& partnership : Partnerships.Items)
        commands.push_back(partnership.AddCommand());
    commands.push_back("Partnership Store");
    return commands;
}

void TPartner::SavePartner(TCommandHandler& channel) const {
    if (const std::optional<TSaveFault> fault = SaveFault())
        fault->Refuse();
    SendSave(channel, SaveCommands());
}

void TPartner::SendSave(TCommandHandler& channel, const std::vector<std::string>& commands,
                        TProgress& progress) const {
    for (std::size_t i = 0; i < commands.size(); ++i) {
        progress.Step("Saving partner " + Name, static_cast<int>(i + 1),
                      static_cast<int>(commands.size()), TProgress::TCancel::NotOffered);
        if (i + 1 < commands.size())
            channel.SendCommand(commands[i]);
        else
            channel.SendStore(); // its answer is read once a later query is answered
    }
}

TPartner TPartner::FromSettings(const std::string& name, const TNameValueArray& settings) {
    TPartner partner;
    partner.Name = name;
    if (settings.empty())
        return partner;
    partner.Held = true;
    partner.Name = TCommandHandler::FindValue(settings, "name");
    partner.AS2ID = TCommandHandler::FindValue(settings, "as2_id");
    partner.Email = TCommandHandler::FindValue(settings, "email");
    partner.X509Alias = TCommandHandler::FindValue(settings, "x509_alias");
    // Each of the four the first time it stands; everything else is kept as it came.
    const char* const shown[4] = {"name", "as2_id", "email", "x509_alias"};
    bool seen[4] = {};
    for (const TNameValuePair& setting : settings) {
        const auto known = std::find(shown, shown + 4, setting.Name) - shown;
        if (known == 4 || std::exchange(seen[known], true))
            partner.OtherSettings.push_back(setting);
    }
    return partner;
}

TPartner TPartner::LoadPartner(TCommandHandler& channel, const std::string& name,
                               TProgress& progress) {
    progress.Step("Reading partner " + name, 0, 0, TProgress::TCancel::Offered);
    TPartner partner = FromSettings(name, channel.GetPartnerAttributes(name));
    if (partner.Held)
        partner.Partnerships = TPartnershipList::LoadPartnerships(channel, partner.Name, progress);
    return partner;
}

std::string TPartnership::GetAttribute(const std::string& name) const {
    return TCommandHandler::FindValue(Attributes, name);
}

void TPartnership::SetAttribute(const std::string& name, const std::string& value) {
    const auto pair = std::find_if(Attributes.begin(), Attributes.end(),
                                   [&](const TNameValuePair& held) { return held.Name == name; });
    if (pair != Attributes.end())
        pair->Value = value;
    else
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

TPartnership TPartnership::LoadPartnership(TCommandHandler& channel, const std::string& name) {
    return FromView(name, channel.GetPartnershipAttributes(name));
}

const TPartnership* TPartnershipList::Find(const std::string& name) const {
    const auto found = std::find_if(Items.begin(), Items.end(),
                                    [&](const TPartnership& held) { return held.Name == name; });
    return found != Items.end() ? &*found : nullptr;
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
        // The name is the rest of the next command's line, as a password is.
        CommandText::Check("The partnership name in the AS2 service's list", names[i],
                           TKind::Password, "loaded");
        TArrayOfNameValueArrays view = channel.GetPartnershipAttributes(names[i]);
        for (std::size_t side : {0, 1})
            list.ViewedAS2IDs.push_back(TCommandHandler::FindValue(view.at(side), "as2_id"));
        TPartnership partnership = FromView(names[i], std::move(view));
        if (partnership.SenderName == partnerName || partnership.ReceiverName == partnerName)
            list.Add(std::move(partnership));
    }
    return list;
}
