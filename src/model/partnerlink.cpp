#include "model/partnerlink.h"

#include "channel/cmds.h"
#include "model/certalias.h"
#include "model/commandtext.h"
#include "platform/exceptions.h"
#include "platform/strtoint.h"

#include <algorithm>
#include <tuple>

namespace {

// The texts of the settings that go into commands, all between double quotes.
const TSettingText CommandTexts[] = {
    &TLinkSettings::LocalAS2ID,       &TLinkSettings::LocalEmail,
    &TLinkSettings::LocalCertificate, &TLinkSettings::RemoteAS2ID,
    &TLinkSettings::RemoteEmail,      &TLinkSettings::RemoteCertificate,
    &TLinkSettings::OutgoingAS2URL,   &TLinkSettings::IncomingHostName,
};

// A URL is taken apart by position: the first 7 characters (the length of "http://") are
// dropped whatever they are, and the rest splits at its first ":".
struct TUrlParts {
    std::string Host; // empty when there is no ":"
    std::string Port; // the whole rest when there is no ":"
};

TUrlParts SplitUrl(const std::string& url) {
    const std::string rest = url.size() > 7 ? url.substr(7) : std::string();
    const size_t colon = rest.find(':');
    if (colon == std::string::npos)
        return {std::string(), rest};
    return {rest.substr(0, colon), rest.substr(colon + 1)};
}

std::string MakeUrl(const std::string& host, int port) {
    return "http://" + host + ":" + std::to_string(port);
}

// Runs a piece of OK's work with the service; a failure is raised again with what it means for
// the save, since the commands sent before it stay sent.
template <class TWork> void ExplainFailure(TWork&& work, const std::string& meaning) {
    try {
        work();
    } catch (const Exception& failure) {
        throw EServiceError(failure.Message + ". " + meaning);
    }
}

const std::string MayHoldPart = "The AS2 service may hold only part of the changes; OK sends them "
                                "all again";

// Each pair sent against the pairs held, by name: the n-th pair of a name against the n-th pair of
// that name held. An absent pair and an empty one read alike; pairs held besides those sent are
// no difference.
void Compare(const std::string& owner, const TNameValueArray& sent, const TNameValueArray& held,
             std::vector<std::string>& differences, const std::string& keyPrefix = "",
             const char* verb = "sent") {
    // What the service gives back when it holds what was sent.
    const TNameValueArray expected = CommandText::AsGivenBack(sent);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const TNameValuePair& want = expected[i];
        std::size_t nth = 0;
        for (std::size_t k = 0; k < i; ++k)
            nth += expected[k].Name == want.Name ? 1 : 0;
        const TNameValuePair* have = nullptr;
        for (const TNameValuePair& pair : held)
            if (pair.Name == want.Name && nth-- == 0) {
                have = &pair;
                break;
            }
        const std::string& value = have != nullptr ? have->Value : std::string();
        if (value == want.Value)
            continue;
        const std::string line =
            owner + ", " + keyPrefix + want.Name + ": " + verb + " \"" + want.Value + "\", ";
        differences.push_back(line + (have == nullptr ? "missing" : "held \"" + value + "\""));
    }
}

// A partnership created for a remote partner the service did not know yet.
TPartnership NewPartnership(const std::string& sender, const std::string& receiver,
                            const std::string& url) {
    TPartnership partnership(sender + "-" + receiver, sender, receiver);
    partnership.AddAttribute("protocol", "as2");
    partnership.AddAttribute("subject", "From " + sender + " to " + receiver);
    partnership.AddAttribute("as2_url", url);
    partnership.AddAttribute(
        "as2_mdn_options",
        "signed-receipt-protocol=optional,pkcs7-signature; signed-receipt-micalg=optional,md5");
    partnership.AddAttribute("encrypt", "3des");
    partnership.AddAttribute("sign", "md5");
    return partnership;
}

// "Partnership AS2Local-AS2Remote, value of attribute as2_url" and the like, when a setting's
// text stands in a pair of a partnership's record; null when none does.
TSettingText SettingOf(const TPartnership& partnership, const TNameValuePair& pair,
                       const TPartner& local, const TPartner& remote) {
    if (pair.Name == "as2_url" && partnership.ReceiverName == remote.Name)
        return &TLinkSettings::OutgoingAS2URL;
    if ((pair.Name == "as2_url" && partnership.ReceiverName == local.Name) ||
        pair.Name == "as2_mdn_to")
        return &TLinkSettings::IncomingHostName;
    return nullptr;
}

std::string List(const std::vector<std::string>& lines) {
    const std::size_t shown = lines.size() > 10 ? 9 : lines.size();
    std::string text;
    for (std::size_t i = 0; i < shown; ++i)
        text += "\n" + lines[i];
    if (shown < lines.size())
        text += "\nand " + std::to_string(lines.size() - shown) + " more";
    return text;
}

// The most a reply that gives the record back can take: every character escaped ("&amp;" is five
// bytes), the separators besides. Returns the pair with the longest text too.
std::size_t ReplyBytes(const std::vector<CommandText::TList>& lists, std::size_t& longestList,
                       std::size_t& longestPair) {
    std::size_t bytes = 0;
    std::size_t longest = 0;
    for (std::size_t l = 0; l < lists.size(); ++l) {
        bytes += lists[l].Marker.size() + 2;
        for (std::size_t i = 0; i < lists[l].Pairs.size(); ++i) {
            const TNameValuePair& pair = lists[l].Pairs[i];
            bytes += 5 * (pair.Name.size() + pair.Value.size()) + 3;
            if (pair.Value.size() >= longest) {
                longest = pair.Value.size();
                longestList = l;
                longestPair = i;
            }
        }
    }
    return bytes;
}

const char* const RemoteIsLocal =
    "The remote partner \"%s\" is the local partner; name another partner. Nothing was loaded";

} // namespace

TPartnerLink::TPartnerLink(TCommandHandler& channel, std::vector<TFieldName> fieldNames)
    : Channel(channel), FieldNames(std::move(fieldNames)) {}

void TPartnerLink::Load(const std::string& remoteName, std::optional<TPartner>& local,
                        std::optional<TPartner>& remote, TProgress& progress) {
    const std::string field = "The remote partner name on the command line:";
    CommandText::Check(field, remoteName, CommandText::TKind::Name, "loaded");
    // The name goes back in the partner's record, ahead of its settings.
    TPartner named;
    named.Name = remoteName;
    if (CommandText::FirstLost({{"{", named.Record()}})[0] == 0)
        CommandText::Refuse(field, remoteName, CommandText::LostFault(remoteName), "loaded");
    if (remoteName == LocalPartnerName)
        throw EUnsafeCommandText(Format(RemoteIsLocal, remoteName.c_str()));
    try {
        local = TPartner::LoadPartner(Channel, LocalPartnerName, progress);
        TPartner loaded = TPartner::LoadPartner(Channel, remoteName, progress);
        if (loaded.Name == LocalPartnerName)
            throw EUnsafeCommandText(Format(RemoteIsLocal, loaded.Name.c_str()));
        remote = std::move(loaded);
        Known = TLinkSave{*local, *remote, {}, {}};
        Sent.reset();
        Seen.reset();
    } catch (const ECancelled& cancelled) {
        throw ECancelled(cancelled.Message +
                         ". The settings were not read, so OK saves nothing; start the dialog "
                         "again to read them");
    }
}

void TPartnerLink::Read(const TPartner& local, const TPartner& remote, TLinkSettings& settings) {
    settings.LocalName = local.Name;
    settings.LocalAS2ID = local.AS2ID;
    settings.LocalEmail = local.Email;
    settings.LocalCertificate = local.X509Alias;
    settings.RemoteName = remote.Name;
    settings.RemoteAS2ID = remote.AS2ID;
    settings.RemoteEmail = remote.Email;
    settings.RemoteCertificate = remote.X509Alias;

    settings.IncomingMDNPort = DefaultMDNPort;
    for (const TPartnership& partnership : local.Partnerships.Items) {
        if (partnership.ReceiverName == remote.Name) {
            settings.OutgoingAS2URL = partnership.GetAttribute("as2_url");
            // An unreadable MDN address leaves the port as it is, without a word.
            int32_t port = 0;
            if (TryStrToInt(SplitUrl(partnership.GetAttribute("as2_mdn_to")).Port, port))
                settings.IncomingMDNPort = port;
        }
        if (partnership.ReceiverName == local.Name) {
            const TUrlParts url = SplitUrl(partnership.GetAttribute("as2_url"));
            settings.IncomingHostName = url.Host;
            settings.IncomingAS2Port = StrToInt(url.Port);
        }
    }
}

std::string TPartnerLink::Label(TSettingText setting) const {
    for (const TFieldName& name : FieldNames)
        if (name.Setting == setting)
            return name.Label;
    return std::string();
}

void TPartnerLink::CheckSetting(const TLinkSettings& settings, TSettingText setting) const {
    CommandText::Check(Label(setting), settings.*setting, CommandText::TKind::Value, "saved");
}

void TPartnerLink::CheckRecords(const TLinkSave& save, const TLinkSave& loaded,
                                const TLinkSettings& settings) const {
    // A record the service could give back only in a reply longer than the dialog reads would be
    // saved for good: the dialog could never load it again.
    const auto checkSize = [&](const std::vector<CommandText::TList>& lists,
                               const std::string& owner, TSettingText setting) {
        std::size_t l = 0;
        std::size_t i = 0;
        const std::size_t bytes = ReplyBytes(lists, l, i);
        if (bytes <= MaxReplyLineBytes)
            return;
        const TNameValuePair& pair = lists[l].Pairs[i];
        std::string field = setting != nullptr ? Label(setting) : owner + ", " + pair.Name + ":";
        field.pop_back();
        throw EUnsafeCommandText(
            Format("%s is %zu bytes long: the AS2 service's reply that gives it "
                   "back could pass 16 MiB, so the dialog could not read it "
                   "again. Nothing was saved",
                   field.c_str(), pair.Value.size()));
    };
    for (const TPartner* partner : {&save.Local, &save.Remote}) {
        const bool local = partner == &save.Local;
        const std::vector<CommandText::TList> lists = {{"{", partner->Record()}};
        std::size_t l = 0;
        std::size_t i = 0;
        ReplyBytes(lists, l, i);
        const TSettingText texts[] = {
            local ? &TLinkSettings::LocalAS2ID : &TLinkSettings::RemoteAS2ID,
            local ? &TLinkSettings::LocalEmail : &TLinkSettings::RemoteEmail,
            local ? &TLinkSettings::LocalCertificate : &TLinkSettings::RemoteCertificate};
        checkSize(lists, "Partner " + partner->Name, i >= 1 && i <= 3 ? texts[i - 1] : nullptr);
    }
    for (const TPartnership& partnership : save.Remote.Partnerships.Items) {
        const std::vector<CommandText::TList> lists =
            partnership.Record(save.Local.AS2ID, save.Remote.AS2ID);
        std::size_t l = 0;
        std::size_t i = 0;
        ReplyBytes(lists, l, i);
        checkSize(lists, "Partnership " + partnership.Name,
                  l == 2 ? SettingOf(partnership, lists[l].Pairs[i], save.Local, save.Remote)
                         : nullptr);
    }

    // What the operator typed goes back in the partners' records and their partnerships'; the
    // first that a record does not give back is named by its label.
    const auto refuse = [&](TSettingText setting, const std::string& value) {
        CommandText::Refuse(Label(setting), settings.*setting, CommandText::LostFault(value),
                            "saved");
    };
    const struct {
        const TPartner& Partner;
        const TPartner& Loaded;
        TSettingText Texts[3];
    } partners[] = {
        {save.Local,
         loaded.Local,
         {&TLinkSettings::LocalAS2ID, &TLinkSettings::LocalEmail,
          &TLinkSettings::LocalCertificate}},
        {save.Remote,
         loaded.Remote,
         {&TLinkSettings::RemoteAS2ID, &TLinkSettings::RemoteEmail,
          &TLinkSettings::RemoteCertificate}},
    };
    for (const auto& p : partners) {
        const TNameValueArray record = p.Partner.Record();
        const TNameValueArray was = p.Loaded.Record();
        if (record == was)
            continue; // nothing typed in it
        const std::size_t lost = CommandText::FirstLost({{"{", record}})[0];
        if (lost >= 1 && lost <= 3 && record[lost].Value != was[lost].Value)
            refuse(p.Texts[lost - 1], record[lost].Value);
    }
    const TPartner& local = save.Local;
    const TPartner& remote = save.Remote;
    for (const TPartnership& partnership : remote.Partnerships.Items) {
        const auto idOf = [&](const std::string& name) {
            return name == local.Name ? local.AS2ID : name == remote.Name ? remote.AS2ID : "";
        };
        const auto idSetting = [&](const std::string& name) -> TSettingText {
            return name == local.Name    ? &TLinkSettings::LocalAS2ID
                   : name == remote.Name ? &TLinkSettings::RemoteAS2ID
                                         : nullptr;
        };
        const TPartnership* was = loaded.Remote.Partnerships.Find(partnership.Name);
        if (was != nullptr && was->Attributes == partnership.Attributes &&
            local.AS2ID == loaded.Local.AS2ID && remote.AS2ID == loaded.Remote.AS2ID)
            continue; // nothing typed in it
        const std::vector<CommandText::TList> lists =
            partnership.Record(idOf(partnership.SenderName), idOf(partnership.ReceiverName));
        const std::vector<std::size_t> lost = CommandText::FirstLost(lists);
        for (std::size_t l = 0; l < 2; ++l) {
            const std::string& name = lists[l].Pairs[0].Value;
            const TPartner& was = name == local.Name ? loaded.Local : loaded.Remote;
            if (const TSettingText id = idSetting(name);
                lost[l] == 1 && id != nullptr && was.AS2ID != lists[l].Pairs[1].Value)
                refuse(id, lists[l].Pairs[1].Value);
        }
        if (lost[2] >= partnership.Attributes.size())
            continue;
        const TNameValuePair& pair = partnership.Attributes[lost[2]];
        const bool same = was != nullptr && lost[2] < was->Attributes.size() &&
                          was->Attributes[lost[2]].Name == pair.Name &&
                          was->Attributes[lost[2]].Value == pair.Value;
        if (const TSettingText setting = SettingOf(partnership, pair, local, remote);
            !same && setting)
            refuse(setting, pair.Value);
    }
}

TLinkSave TPartnerLink::Prepare(const std::optional<TPartner>& loadedLocal,
                                const std::optional<TPartner>& loadedRemote,
                                const TLinkSettings& settings) const {
    if (!loadedLocal || !loadedRemote)
        throw EDialogStateError("The settings could not be read from the AS2 service, so there is "
                                "nothing to save. Nothing was saved");
    for (const TSettingText setting : CommandTexts)
        CheckSetting(settings, setting);
    // AS2 sends under both IDs and receives at the host: without them the link does not work.
    for (const TSettingText required : {&TLinkSettings::LocalAS2ID, &TLinkSettings::RemoteAS2ID,
                                        &TLinkSettings::IncomingHostName})
        if ((settings.*required).empty()) {
            std::string label = Label(required);
            if (!label.empty() && label.back() == ':')
                label.pop_back();
            throw EUnsafeCommandText(label + " is empty; AS2 needs it. Nothing was saved");
        }

    TPartner local = *loadedLocal;
    TPartner remote = *loadedRemote;
    local.SetAS2ID(settings.LocalAS2ID);
    local.SetEmail(settings.LocalEmail);
    local.SetX509Alias(settings.LocalCertificate);
    remote.SetAS2ID(settings.RemoteAS2ID);
    remote.SetEmail(settings.RemoteEmail);
    remote.SetX509Alias(settings.RemoteCertificate);

    const std::string incomingUrl = MakeUrl(settings.IncomingHostName, settings.IncomingAS2Port);
    TPartnershipList& partnerships = remote.Partnerships;
    if (!partnerships.Items.empty()) {
        for (TPartnership& partnership : partnerships.Items) {
            if (partnership.ReceiverName == remote.Name) {
                partnership.SetAttribute("as2_url", settings.OutgoingAS2URL);
                partnership.SetAttribute(
                    "as2_mdn_to", MakeUrl(settings.IncomingHostName, settings.IncomingMDNPort));
            }
            if (partnership.ReceiverName == local.Name)
                partnership.SetAttribute("as2_url", incomingUrl);
        }
    } else {
        partnerships.Add(NewPartnership(local.Name, remote.Name, settings.OutgoingAS2URL));
        partnerships.Add(NewPartnership(remote.Name, local.Name, incomingUrl));
    }

    // Both sequences are checked before the first command leaves, so text that the service would
    // misread or could not give back stops the save with nothing sent. The local partner's
    // sequence does not depend on the remote changes above, so the service sees the same commands
    // in the same order as when each partner is changed right before its own save.
    TLinkSave save{std::move(local), std::move(remote), {}, {}};
    CheckRecords(save, {*loadedLocal, *loadedRemote, {}, {}}, settings);
    save.LocalCommands = save.Local.SaveCommands(&*loadedLocal);
    save.RemoteCommands = save.Remote.SaveCommands(&*loadedRemote);
    return save;
}

std::optional<TConfigIDs> TPartnerLink::FileChange(const TServiceFile& file,
                                                   const std::optional<std::string>& localID,
                                                   const std::optional<std::string>& remoteID) {
    TConfigIDs ids{localID.value_or(file.LocalID), remoteID.value_or(file.RemoteID), file.LocalID,
                   file.RemoteID};
    if (ids.LocalID == ids.OldLocalID && ids.RemoteID == ids.OldRemoteID)
        return std::nullopt;
    return ids;
}

void TPartnerLink::CheckUnchanged(const TLinkSave& save, const TLinkSave& known,
                                  TProgress& progress) {
    const int questions = 3;
    int asked = 0;
    const auto ask = [&] {
        progress.Step("Checking that the AS2 service holds what was read", ++asked, questions,
                      TProgress::TCancel::Offered);
    };
    std::vector<std::string> changed;
    TPartnershipNameArray listed;
    try {
        for (const auto& [partner, sent] :
             {std::pair{&known.Local, Sent ? &Sent->Local : nullptr},
              std::pair{&known.Remote, Sent ? &Sent->Remote : nullptr}}) {
            ask();
            const std::string owner = "Partner " + partner->Name;
            const TNameValueArray now = Channel.GetPartnerAttributes(partner->Name);
            // A partner the last OK deleted may be missing, or hold what it sent.
            if (now.empty()) {
                if (partner->Held && sent == nullptr)
                    changed.push_back(owner + " is gone from the AS2 service");
                continue;
            }
            std::vector<std::string> fromKnown;
            if (partner->Held)
                Compare(owner, partner->Record(), now, fromKnown, "", "read");
            else
                fromKnown.push_back(owner + " is held by the AS2 service, but the dialog did not "
                                            "read it");
            std::vector<std::string> fromSent;
            if (sent != nullptr)
                Compare(owner, sent->Record(), now, fromSent);
            // What the last read-back found the service to hold, kept its own way.
            const TNameValueArray* seen = !Seen                     ? nullptr
                                          : partner == &known.Local ? &Seen->LocalRecord
                                                                    : &Seen->RemoteRecord;
            const bool asSeen = seen != nullptr && !seen->empty() && *seen == now;
            if (!fromKnown.empty() && (sent == nullptr || !fromSent.empty()) && !asSeen)
                changed.insert(changed.end(), fromKnown.begin(), fromKnown.end());
        }
        ask();
        listed = Channel.GetPartnershipNames();
    } catch (const ECancelled& cancelled) {
        throw ECancelled(cancelled.Message + ". Nothing was saved");
    } catch (const Exception& failure) {
        throw EServiceError(failure.Message + ". Nothing was saved");
    }
    const auto isListed = [&](const std::string& name) {
        return std::find(listed.begin(), listed.end(), name) != listed.end();
    };
    const auto sentBefore = [&](const std::string& name) {
        return Sent &&
               (Sent->Local.Partnerships.Find(name) || Sent->Remote.Partnerships.Find(name));
    };
    for (const TPartner* partner : {&known.Local, &known.Remote})
        for (const TPartnership& partnership : partner->Partnerships.Items)
            if (!isListed(partnership.Name) && !sentBefore(partnership.Name))
                changed.push_back("Partnership " + partnership.Name +
                                  " is no longer listed by the AS2 service");
    for (const TPartnership& partnership : save.Remote.Partnerships.Items)
        if (!known.Remote.Partnerships.Find(partnership.Name) &&
            !known.Local.Partnerships.Find(partnership.Name) && isListed(partnership.Name) &&
            !sentBefore(partnership.Name))
            changed.push_back("Partnership " + partnership.Name +
                              " is listed by the AS2 service, but this dialog did not create it");
    if (!changed.empty())
        throw EChangedOnServiceError(
            "The AS2 service's records changed since the dialog read them:" + List(changed) +
            "\nNothing was saved; start the dialog again to read them anew");
}

bool TPartnerLink::Apply(std::optional<TPartner>& loadedLocal,
                         std::optional<TPartner>& loadedRemote, const TLinkSettings& settings,
                         TServiceFile& file, TProgress& progress) {
    TLinkSave save = Prepare(loadedLocal, loadedRemote, settings);
    const TPartner& local = save.Local;
    const TPartner& remote = save.Remote;
    if (!Known)
        Known = TLinkSave{*loadedLocal, *loadedRemote, {}, {}};
    // Nothing the service holds is written over unread.
    CheckUnchanged(save, *Known, progress);

    Sent = save;
    Sent->Local.Held = Sent->Remote.Held = true;
    try {
        local.SendSave(Channel, save.LocalCommands, progress);
        remote.SendSave(Channel, save.RemoteCommands, progress);
    } catch (const EStoreRefusedError& refused) {
        // The service would start with its old records: the file must keep naming their IDs.
        throw EStoreRefusedError(refused.Message +
                                 ". After its next start it would hold the settings it had "
                                 "before, so the configuration file was left as it was; OK sends "
                                 "the settings again");
    } catch (const Exception& failure) {
        throw EServiceError(failure.Message + ". " + MayHoldPart);
    }

    // The command port acknowledges nothing: only reading back shows what the service holds.
    TReadBack held;
    ExplainFailure([&] { held = ReadBack(local, remote, progress); },
                   "What was saved could not be read back, so the configuration file was left "
                   "as it was. " +
                       MayHoldPart);
    Seen = held;

    // The file follows the AS2 IDs the service holds, whatever else differs.
    std::string fileNote;
    bool rewritten = false;
    bool fileFailed = false;
    if (const std::optional<TConfigIDs> ids =
            FileChange(file, TReadBack::ID(held.LocalRecord), TReadBack::ID(held.RemoteRecord))) {
        try {
            UpdateServiceConfigFile(file.Path, *ids, progress);
            file.LocalID = ids->LocalID;
            file.RemoteID = ids->RemoteID;
            rewritten = true;
            for (const auto& [id, sent, name] :
                 {std::tuple{TReadBack::ID(held.LocalRecord), local.AS2ID, local.Name},
                  std::tuple{TReadBack::ID(held.RemoteRecord), remote.AS2ID, remote.Name}})
                if (id && *id != sent)
                    fileNote += "\nThe AS2 service holds the AS2 ID \"" + *id + "\" for " + name +
                                ", not the one sent; the configuration file names \"" + *id + "\"";
        } catch (const Exception& failure) {
            fileFailed = true;
            fileNote = "\n" + failure.Message + ". The AS2 service holds the AS2 IDs \"" +
                       TReadBack::ID(held.LocalRecord).value_or("") + "\" (" + local.Name +
                       ") and \"" + TReadBack::ID(held.RemoteRecord).value_or("") + "\" (" +
                       remote.Name + "), but the configuration file still names \"" + file.LocalID +
                       "\" and \"" + file.RemoteID + "\"";
        }
    }
    if (held.Differences.empty() && !fileFailed) {
        Known = std::move(Sent);
        Sent.reset();
        Seen.reset();
        loadedLocal = std::move(save.Local);
        loadedRemote = std::move(save.Remote);
        return rewritten;
    }
    std::string message;
    if (!held.Differences.empty())
        message = "The AS2 service does not hold what was saved:" + List(held.Differences) +
                  "\nOK sends the settings again";
    if (rewritten)
        message += "\nThe configuration file now names the AS2 IDs the AS2 service holds; the "
                   "AS2 service must be restarted for them to take effect";
    message += fileNote;
    if (message.rfind('\n', 0) == 0)
        message.erase(0, 1);
    throw ENotHeldError(message, std::move(held.Differences), rewritten, fileFailed);
}

std::optional<std::string> TReadBack::ID(const TNameValueArray& record) {
    if (record.empty())
        return std::nullopt;
    return TCommandHandler::FindValue(record, "as2_id");
}

TReadBack TPartnerLink::ReadBack(const TPartner& local, const TPartner& remote,
                                 TProgress& progress) {
    // Each partnership once, as the last save sent it.
    std::vector<const TPartnership*> sent;
    for (const TPartner* partner : {&local, &remote}) {
        for (const TPartnership& partnership : partner->Partnerships.Items) {
            const auto same = [&](const TPartnership* p) {
                return p->Name == partnership.Name;
            };
            const auto found = std::find_if(sent.begin(), sent.end(), same);
            if (found == sent.end())
                sent.push_back(&partnership);
            else
                *found = &partnership;
        }
    }
    // Two partners and each partnership.
    const int questions = 2 + static_cast<int>(sent.size());
    int asked = 0;
    const auto ask = [&] {
        progress.Step("Checking what the AS2 service holds", ++asked, questions,
                      TProgress::TCancel::Offered);
    };

    TReadBack result;
    for (const TPartner* partner : {&local, &remote}) {
        const std::string owner = "Partner " + partner->Name;
        ask();
        const TNameValueArray held = Channel.GetPartnerAttributes(partner->Name);
        if (held.empty()) {
            result.Differences.push_back(
                owner + " was deleted and not added again (the service did not take its "
                        "settings); OK sends it again, Cancel leaves the service without it");
            continue;
        }
        (partner == &local ? result.LocalRecord : result.RemoteRecord) = held;
        Compare(owner, partner->Record(), held, result.Differences);
    }
    for (const TPartnership* partnership : sent) {
        ask();
        const std::string owner = "Partnership " + partnership->Name;
        // A view that gives no partnership (the service's answer for one it does not hold) shows
        // that the service does not hold it as sent; the whole list is not needed for that.
        TArrayOfNameValueArrays held;
        try {
            held = Channel.GetPartnershipAttributes(partnership->Name);
        } catch (const EListError&) {
            result.Differences.push_back(owner + ": missing");
            continue;
        } catch (const EXMLDocError&) {
            result.Differences.push_back(owner + ": missing");
            continue;
        }
        Compare(owner, {{"name", partnership->SenderName}}, held.at(0), result.Differences,
                "sender ");
        Compare(owner, {{"name", partnership->ReceiverName}}, held.at(1), result.Differences,
                "receiver ");
        Compare(owner, partnership->Attributes, held.at(2), result.Differences);
    }
    return result;
}

std::optional<std::string> TPartnerLink::ImportCertificate(const std::string& alias,
                                                           const std::string& path,
                                                           const std::string* password,
                                                           TProgress& progress) {
    CommandText::Check("Certificate alias:", alias, CommandText::TKind::Alias, "imported");
    CommandText::Check("Certificate file path:", path, CommandText::TKind::Path, "imported");
    if (password != nullptr)
        CommandText::Check("Certificate password:", *password, CommandText::TKind::Password,
                           "imported", CommandText::TShown::Hidden);
    // An alias the key store holds already would be refused, and "cert List" would then confirm
    // the earlier entry: the import takes the first one nobody holds.
    progress.Step("Reading the certificate list", 0, 0, TProgress::TCancel::Offered);
    const std::vector<std::string> held = Channel.GetCertificateAliases();
    std::string free = alias;
    for (std::size_t tries = 0;
         tries <= held.size() && std::find(held.begin(), held.end(), free) != held.end(); ++tries)
        free = NextCertificateAlias(free);
    std::string command = "Cert import " + free + " \"" + path + "\"";
    if (password != nullptr)
        command += " " + *password;
    progress.Step("Importing the certificate", 0, 0, TProgress::TCancel::NotOffered);
    Channel.SendCommand(command);
    progress.Step("Reading the certificate list", 0, 0, TProgress::TCancel::Offered);
    if (!Channel.CertificateExists(free))
        return std::nullopt;
    return free;
}
