#include "model/partnerlink.h"

#include "channel/cmds.h"
#include "model/certalias.h"
#include "model/commandtext.h"
#include "platform/exceptions.h"
#include "platform/strtoint.h"

#include <QCryptographicHash>
#include <algorithm>
#include <memory>
#include <set>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace {

using CommandText::Quoted;
using S = TLinkSettings;

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

// Each pair wanted against the pairs held, by name: the n-th pair of a name against the n-th pair
// of that name held, in one pass over each. An absent pair and an empty one read alike. A pair that
// `presenceOnly` names need only be held; pairs held beyond those wanted are differences only when
// counted.
enum class TExtra { Ignored, Counted };
void Compare(const std::string& owner, const TNameValueArray& wanted, const TNameValueArray& held,
             std::vector<std::string>& differences, const char* verb,
             TExtra extra = TExtra::Ignored,
             const std::function<bool(const TNameValuePair&)>& presenceOnly = nullptr,
             const std::string& keyPrefix = "") {
    // What the service gives back when it holds what was wanted.
    const TNameValueArray expected = CommandText::AsGivenBack(wanted);
    std::unordered_map<std::string, std::vector<const TNameValuePair*>> byName;
    for (const TNameValuePair& pair : held)
        byName[pair.Name].push_back(&pair);
    std::unordered_map<std::string, std::size_t> used;
    const std::string prefix = owner + ", " + keyPrefix;
    for (const TNameValuePair& want : expected) {
        const std::vector<const TNameValuePair*>& same = byName[want.Name];
        const std::size_t nth = used[want.Name]++;
        const TNameValuePair* have = nth < same.size() ? same[nth] : nullptr;
        const std::string& value = have != nullptr ? have->Value : std::string();
        if (value == want.Value || (have != nullptr && presenceOnly && presenceOnly(want)))
            continue;
        differences.push_back(prefix + want.Name + ": " + verb + " " + Quoted(want.Value) + ", " +
                              (have == nullptr ? "missing" : "held " + Quoted(value)));
    }
    std::unordered_map<std::string, std::size_t> counted;
    for (const TNameValuePair& pair : held)
        if (extra == TExtra::Counted && counted[pair.Name]++ >= used[pair.Name] &&
            !pair.Value.empty())
            differences.push_back(prefix + pair.Name + ": held " + Quoted(pair.Value) + ", not " +
                                  verb);
}

// A partnership of the two partners by name; one they share as the remote partner holds it (its
// save sends it last).
const TPartnership* FindPartnership(const TPartner& local, const TPartner& remote,
                                    const std::string& name) {
    const TPartnership* found = remote.Partnerships.Find(name);
    return found != nullptr ? found : local.Partnerships.Find(name);
}

// A partnership's view, or none where the service gives no partnership of that name (its answer
// for one it does not hold).
std::optional<TArrayOfNameValueArrays> ViewIfHeld(TCommandHandler& channel,
                                                  const std::string& name) {
    try {
        return channel.GetPartnershipAttributes(name);
    } catch (const EListError&) {
        return std::nullopt;
    } catch (const EXMLDocError&) {
        return std::nullopt;
    }
}

// The pairs of a record, to tell the pairs passed through as loaded from those written anew.
std::function<bool(const TNameValuePair&)> AsLoaded(const TNameValueArray* loaded) {
    auto pairs = std::make_shared<std::set<std::pair<std::string, std::string>>>();
    if (loaded != nullptr)
        for (const TNameValuePair& pair : *loaded)
            pairs->emplace(pair.Name, pair.Value);
    return [pairs](const TNameValuePair& pair) {
        return pairs->count({pair.Name, pair.Value}) > 0;
    };
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

std::string List(const std::vector<std::string>& lines) {
    const std::size_t shown = lines.size() > 10 ? 9 : lines.size();
    std::string text;
    for (std::size_t i = 0; i < shown; ++i)
        text += "\n" + lines[i];
    if (shown < lines.size())
        text += "\nand " + std::to_string(lines.size() - shown) + " more";
    return text;
}

// The setting a fault of a save comes from, when the text at fault is one: a partner's own
// values, the AS2 IDs in a partnership's identifiers, the URLs in its attributes.
TSettingText SettingOf(const TSaveFault& fault, bool local, const TPartner& localPartner,
                       const TPartner& remotePartner) {
    const TPartnership* partnership = fault.Partnership;
    if (partnership == nullptr) {
        const std::pair<const char*, TSettingText> values[] = {
            {"as2_id", local ? &S::LocalAS2ID : &S::RemoteAS2ID},
            {"email", local ? &S::LocalEmail : &S::RemoteEmail},
            {"x509_alias", local ? &S::LocalCertificate : &S::RemoteCertificate}};
        for (const auto& [key, setting] : values)
            if (fault.Key == key)
                return setting;
        return nullptr;
    }
    if (fault.List < 2) {
        const std::string& name =
            fault.List == 0 ? partnership->SenderName : partnership->ReceiverName;
        if (fault.Key != "as2_id")
            return nullptr;
        return name == localPartner.Name    ? &S::LocalAS2ID
               : name == remotePartner.Name ? &S::RemoteAS2ID
                                            : nullptr;
    }
    if (fault.Key == "as2_url" && partnership->ReceiverName == remotePartner.Name)
        return &S::OutgoingAS2URL;
    if ((fault.Key == "as2_url" && partnership->ReceiverName == localPartner.Name) ||
        fault.Key == "as2_mdn_to")
        return &S::IncomingHostName;
    return nullptr;
}

// The AS2 ID a record holds; none for a partner the service does not hold.
std::optional<std::string> IDOf(const TNameValueArray& record) {
    if (record.empty())
        return std::nullopt;
    return TCommandHandler::FindValue(record, "as2_id");
}

const char* const RemoteIsLocal =
    "The remote partner \"%s\" is the local partner; name another partner. Nothing was loaded";
const char* const RemoteNameField = "The remote partner name on the command line";

// A remote name that would change the meaning of a command or could not come back from the
// service is refused before it is asked for.
void CheckRemoteName(const std::string& name) {
    CommandText::Check(RemoteNameField, name, CommandText::TKind::Name, "loaded");
    // The name goes back in the partner's record, ahead of its settings.
    TPartner named;
    named.Name = name;
    if (CommandText::FirstLost({{"{", named.Record()}})[0] == 0)
        CommandText::Refuse(RemoteNameField, name, CommandText::LostFault(name), "loaded");
    if (name == LocalPartnerName)
        throw EUnsafeCommandText(Format(RemoteIsLocal, name.c_str()));
}

} // namespace

std::string TSetting::Value(const TLinkSettings& settings) const {
    return Text != nullptr ? settings.*Text : std::to_string(settings.*Port);
}

const std::vector<TSetting>& LinkSettings() {
    static const std::vector<TSetting> settings = {
        {"localName", "Your (Local Partner) Name", &S::LocalName, nullptr},
        {"localAS2ID", "Your (Local Partner) AS2 ID", &S::LocalAS2ID, nullptr},
        {"localEmail", "Your (Local Partner) Email Address", &S::LocalEmail, nullptr},
        {"localCertificate", "Your Private Certificate", &S::LocalCertificate, nullptr},
        {"remoteName", "Remote Partner Name", &S::RemoteName, nullptr},
        {"remoteAS2ID", "Remote Partner AS2 ID", &S::RemoteAS2ID, nullptr},
        {"remoteEmail", "Remote Partner Email Address", &S::RemoteEmail, nullptr},
        {"remoteCertificate", "Remote Partner Public Certificate", &S::RemoteCertificate, nullptr},
        {"outgoingAS2URL", "Outgoing (Partner) AS2 URL", &S::OutgoingAS2URL, nullptr},
        {"incomingHostName", "Your Internet Host Name", &S::IncomingHostName, nullptr},
        {"incomingAS2Port", "Incoming AS2 Port", nullptr, &S::IncomingAS2Port},
        {"incomingMDNPort", "Incoming MDN Port", nullptr, &S::IncomingMDNPort},
    };
    return settings;
}

const TSetting& SettingOf(TSettingText text) {
    const std::vector<TSetting>& settings = LinkSettings();
    return *std::find_if(settings.begin(), settings.end(),
                         [text](const TSetting& setting) { return setting.Text == text; });
}

std::string TImportOutcome::Message() const {
    return "The AS2 service does not list \"" + Alias + "\" after the import";
}

TPartnerLink::TPartnerLink(TCommandHandler& channel, std::string configPath, TLinkFace face)
    : Channel(channel), Face(std::move(face)), SaveLock(configPath) {
    File.Path = std::move(configPath);
}

TPartnerLink::TSaveTurn::TSaveTurn(TPartnerLink& link, TProgress& progress) : Link(link) {
    if (Link.Turns == 0) {
        try {
            bool waiting = false;
            Link.SaveLock.Take([&](const std::string& holder) {
                // The connection left open (at start-up, one no command uses) would hold up the
                // holder's commands on a service that serves connections in the order it took them.
                if (!std::exchange(waiting, true))
                    Link.Channel.TcpClient.Close();
                progress.Step("Waiting for another save to finish" +
                                  (holder.empty() ? std::string() : ": " + holder),
                              0, 0, TProgress::TCancel::Offered);
            });
        } catch (const EFOpenError& failure) {
            throw EServiceError(failure.Message + ". Nothing was sent");
        }
    }
    ++Link.Turns;
}

TPartnerLink::TSaveTurn::~TSaveTurn() {
    if (--Link.Turns == 0)
        Link.SaveLock.Release();
}

void TPartnerLink::Load(const std::string& remoteName, TProgress& progress) {
    LocalPartner.reset();
    RemotePartner.reset();
    Sent.reset();
    Seen.reset();
    File.LocalID.clear();
    File.RemoteID.clear();
    File.AtLoad.reset();
    File.Behind.clear();
    CheckRemoteName(remoteName);
    try {
        LocalPartner = TPartner::LoadPartner(Channel, LocalPartnerName, progress);
        TPartner loaded = TPartner::LoadPartner(Channel, remoteName, progress);
        if (loaded.Name == LocalPartnerName)
            throw EUnsafeCommandText(Format(RemoteIsLocal, loaded.Name.c_str()));
        RemotePartner = std::move(loaded);
    } catch (const ECancelled& cancelled) {
        throw ECancelled(cancelled.Message + ". The settings were not read, so " + Face.LoadAgain);
    }
    // Recorded at once, so a read that stops further on leaves unchanged IDs unchanged.
    File.LocalID = LocalPartner->AS2ID;
    File.RemoteID = RemotePartner->AS2ID;
    // A file left behind (a save the service finished after its client gave up, a hand edit) is
    // brought in line by the next apply.
    const std::optional<std::string> text = ReadConfigFile(File.Path, progress);
    if (!text)
        return;
    std::vector<std::string> viewed = LocalPartner->Partnerships.ViewedAS2IDs;
    const std::vector<std::string>& remoteViewed = RemotePartner->Partnerships.ViewedAS2IDs;
    viewed.insert(viewed.end(), remoteViewed.begin(), remoteViewed.end());
    File.AtLoad = ConfigFileIDs(*text, File.LocalID, File.RemoteID, viewed);
    for (const auto& [named, partner, id] :
         {std::tuple{&File.AtLoad->Local, &*LocalPartner, &File.LocalID},
          std::tuple{&File.AtLoad->Remote, &*RemotePartner, &File.RemoteID}}) {
        if (named->State != TFileID::TState::Behind)
            continue;
        File.Behind += std::string(File.Behind.empty() ? "" : "\n") +
                       "The configuration file names the AS2 ID \"" + *named->ID + "\" for " +
                       partner->Name + ", but the AS2 service holds \"" + *id + "\"";
        *id = *named->ID;
    }
}

void TPartnerLink::Read(TLinkSettings& settings) const {
    if (!LocalPartner || !RemotePartner)
        return;
    const TPartner& local = *LocalPartner;
    const TPartner& remote = *RemotePartner;
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

std::string TPartnerLink::Version() const {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const auto add = [&hash](const std::string& text) {
        hash.addData(QByteArray::number(static_cast<qulonglong>(text.size())) + ':');
        hash.addData(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
    };
    for (const std::optional<TPartner>* partner : {&LocalPartner, &RemotePartner}) {
        add(*partner && (*partner)->Held ? "held" : "none");
        if (!*partner)
            continue;
        std::vector<CommandText::TList> lists = {{"{", (*partner)->Record()}};
        for (const TPartnership& partnership : (*partner)->Partnerships.Items) {
            lists.push_back({partnership.Name, {}});
            for (CommandText::TList& list : partnership.Record(std::string(), std::string()))
                lists.push_back(std::move(list));
        }
        for (const CommandText::TList& list : lists) {
            add(list.Marker + std::to_string(list.Pairs.size()));
            for (const TNameValuePair& pair : list.Pairs) {
                add(pair.Name);
                add(pair.Value);
            }
        }
    }
    return hash.result().toHex().left(32).toStdString();
}

TLinkSave TPartnerLink::Prepare(const TLinkSettings& settings) const {
    if (!LocalPartner || !RemotePartner)
        throw EDialogStateError("The settings could not be read from the AS2 service, so there is "
                                "nothing to save. Nothing was saved");
    for (const TSetting& setting : LinkSettings()) {
        if (setting.Text == nullptr || setting.Text == &S::LocalName ||
            setting.Text == &S::RemoteName)
            continue;
        const std::string& text = settings.*setting.Text;
        if (const std::string fault = CommandText::Fault(text, CommandText::TKind::Value);
            !fault.empty())
            CommandText::Refuse(Face.Name(setting), text, fault, "saved");
    }
    // AS2 sends under both IDs and receives at the host: without them the link does not work.
    for (const TSettingText required : {&S::LocalAS2ID, &S::RemoteAS2ID, &S::IncomingHostName})
        if ((settings.*required).empty())
            throw EUnsafeCommandText(Name(required) + " is empty; AS2 needs it. Nothing was saved");

    // The configuration file tells the two partners apart by their IDs, letter case aside.
    const auto upper = [](std::string id) {
        std::transform(id.begin(), id.end(), id.begin(),
                       [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
        return id;
    };
    if (upper(settings.RemoteAS2ID) == upper(settings.LocalAS2ID))
        throw EUnsafeCommandText(Name(&S::RemoteAS2ID) + ": " + Quoted(settings.RemoteAS2ID) +
                                 " is the local partner's AS2 ID " + Quoted(settings.LocalAS2ID) +
                                 ", letter case aside; the configuration file could not tell "
                                 "them apart. Nothing was saved");

    TPartner local = *LocalPartner;
    TPartner remote = *RemotePartner;
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
    CheckSave(save, settings);
    save.LocalCommands = save.Local.SaveCommands();
    save.RemoteCommands = save.Remote.SaveCommands();
    return save;
}

void TPartnerLink::CheckSave(const TLinkSave& save, const TLinkSettings& settings) const {
    for (const auto& [partner, loaded] :
         {std::pair{&save.Local, &*LocalPartner}, std::pair{&save.Remote, &*RemotePartner}}) {
        const std::optional<TSaveFault> fault = partner->SaveFault(loaded);
        if (!fault)
            continue;
        // What the operator typed is named as the face names it.
        const TSettingText setting =
            fault->Kind == TSaveFault::TKind::Unwritable
                ? nullptr
                : SettingOf(*fault, partner == &save.Local, save.Local, save.Remote);
        throw EUnsafeCommandText(setting != nullptr
                                     ? fault->Message(Name(setting), &(settings.*setting))
                                     : fault->Message());
    }
}

namespace {

// The IDs the file must name for the service holding `localID` and `remoteID` (a partner it does
// not hold keeps its ID in the file); none when it names them already.
std::optional<TConfigIDs> Change(const std::string& fileLocalID, const std::string& fileRemoteID,
                                 const std::optional<std::string>& localID,
                                 const std::optional<std::string>& remoteID) {
    TConfigIDs ids{localID.value_or(fileLocalID), remoteID.value_or(fileRemoteID), fileLocalID,
                   fileRemoteID};
    if (ids.LocalID == ids.OldLocalID && ids.RemoteID == ids.OldRemoteID)
        return std::nullopt;
    return ids;
}

} // namespace

std::optional<TConfigIDs> TPartnerLink::FileChange(const TLinkSave& save) const {
    return Change(File.LocalID, File.RemoteID, save.Local.AS2ID, save.Remote.AS2ID);
}

TDiffering TPartnerLink::CheckUnchanged(const TLinkSave& save, TProgress& progress) {
    const struct {
        const TPartner& Local;
        const TPartner& Remote;
    } known{*LocalPartner, *RemotePartner};
    // The partnerships the save sends again, each once; those it creates are checked by the list.
    std::vector<const TPartnership*> again;
    for (const TPartner* partner : {&save.Local, &save.Remote})
        for (const TPartnership& partnership : partner->Partnerships.Items)
            if (FindPartnership(known.Local, known.Remote, partnership.Name) != nullptr &&
                std::none_of(again.begin(), again.end(),
                             [&](const TPartnership* p) { return p->Name == partnership.Name; }))
                again.push_back(&partnership);
    const int questions = 3 + static_cast<int>(again.size());
    int asked = 0;
    const auto ask = [&] {
        progress.Step("Checking that the AS2 service holds what was read", ++asked, questions,
                      TProgress::TCancel::Offered);
    };
    // A record is unchanged when it holds what the link knew (nothing more), what its last apply
    // sent, or what that apply's read-back found.
    std::vector<std::string> changed;
    const auto check = [&](const std::string& owner, const TNameValueArray* knownPairs,
                           const TNameValueArray* sentPairs, const TNameValueArray* seenPairs,
                           const TNameValueArray& now, const std::string& prefix) {
        std::vector<std::string> fromKnown;
        if (knownPairs != nullptr)
            Compare(owner, *knownPairs, now, fromKnown, "read", TExtra::Counted, nullptr, prefix);
        else
            fromKnown.push_back(owner + " is held by the AS2 service, but was not read");
        std::vector<std::string> fromSent;
        if (sentPairs != nullptr)
            Compare(owner, *sentPairs, now, fromSent, "sent", TExtra::Ignored, nullptr, prefix);
        if (!fromKnown.empty() && (sentPairs == nullptr || !fromSent.empty()) &&
            (seenPairs == nullptr || *seenPairs != now))
            changed.insert(changed.end(), fromKnown.begin(), fromKnown.end());
    };
    TPartnershipNameArray listed;
    std::pair<TNameValueArray, TNameValueArray> records;           // as read: local, remote
    std::unordered_map<std::string, TArrayOfNameValueArrays> held; // partnerships as read
    try {
        for (const auto& [partner, sent, seen] :
             {std::tuple{&known.Local, Sent ? &Sent->Local : nullptr,
                         Seen ? &Seen->LocalRecord : nullptr},
              std::tuple{&known.Remote, Sent ? &Sent->Remote : nullptr,
                         Seen ? &Seen->RemoteRecord : nullptr}}) {
            ask();
            const std::string owner = "Partner " + partner->Name;
            const TNameValueArray now = Channel.GetPartnerAttributes(partner->Name);
            (partner == &known.Local ? records.first : records.second) = now;
            // A partner the last apply deleted may be missing, or hold what it sent.
            if (now.empty()) {
                if (partner->Held && sent == nullptr)
                    changed.push_back(owner + " is gone from the AS2 service");
                continue;
            }
            const TNameValueArray knownRecord = partner->Record();
            const TNameValueArray sentRecord = sent != nullptr ? sent->Record() : TNameValueArray();
            check(owner, partner->Held ? &knownRecord : nullptr,
                  sent != nullptr ? &sentRecord : nullptr,
                  seen != nullptr && !seen->empty() ? seen : nullptr, now, "");
        }
        ask();
        listed = Channel.GetPartnershipNames();
        for (const TPartnership* partnership : again) {
            ask();
            const std::string owner = "Partnership " + partnership->Name;
            const std::optional<TArrayOfNameValueArrays> now =
                ViewIfHeld(Channel, partnership->Name);
            if (!now)
                continue; // the list tells
            held[partnership->Name] = *now;
            const TPartnership& was =
                *FindPartnership(known.Local, known.Remote, partnership->Name);
            const TPartnership* sent =
                Sent ? FindPartnership(Sent->Local, Sent->Remote, partnership->Name) : nullptr;
            const TPartnership* seen =
                Seen ? FindPartnership(Seen->Local, Seen->Remote, partnership->Name) : nullptr;
            for (const auto& [list, prefix, name] :
                 {std::tuple{0, "sender ", &TPartnership::SenderName},
                  std::tuple{1, "receiver ", &TPartnership::ReceiverName}}) {
                const TNameValueArray wasName{{"name", was.*name}};
                const TNameValueArray sentName{{"name", sent != nullptr ? sent->*name : ""}};
                check(owner, &wasName, sent != nullptr ? &sentName : nullptr, nullptr,
                      {{"name", TCommandHandler::FindValue(now->at(list), "name")}}, prefix);
            }
            check(owner, &was.Attributes, sent != nullptr ? &sent->Attributes : nullptr,
                  seen != nullptr ? &seen->Attributes : nullptr, now->at(2), "");
        }
    } catch (const ECancelled& cancelled) {
        throw ECancelled(cancelled.Message + ". Nothing was saved");
    } catch (const Exception& failure) {
        throw EServiceError(failure.Message + ". Nothing was saved");
    }
    const auto isListed = [&](const std::string& name) {
        return std::find(listed.begin(), listed.end(), name) != listed.end();
    };
    const auto sentBefore = [&](const std::string& name) {
        return Sent && FindPartnership(Sent->Local, Sent->Remote, name) != nullptr;
    };
    for (const TPartner* partner : {&known.Local, &known.Remote})
        for (const TPartnership& partnership : partner->Partnerships.Items)
            if (!isListed(partnership.Name) && !sentBefore(partnership.Name))
                changed.push_back("Partnership " + partnership.Name +
                                  " is no longer listed by the AS2 service");
    for (const TPartnership& partnership : save.Remote.Partnerships.Items)
        if (FindPartnership(known.Local, known.Remote, partnership.Name) == nullptr &&
            isListed(partnership.Name) && !sentBefore(partnership.Name))
            changed.push_back("Partnership " + partnership.Name +
                              " is listed by the AS2 service, but was not read");
    if (!changed.empty())
        throw EChangedOnServiceError("The AS2 service's records changed since they were read:" +
                                     List(changed) + "\nNothing was saved; " + Face.ReadAgain);

    // A save differs when the service does not hold its record, or any partnership it sends
    // (each side by its name and the AS2 ID sent for it) exactly as it would send them.
    const auto differs = [&](const TPartner& partner, const TNameValueArray& record) {
        std::vector<std::string> differences;
        if (record.empty())
            return true;
        Compare("", partner.Record(), record, differences, "", TExtra::Counted);
        for (const TPartnership& partnership : partner.Partnerships.Items) {
            const auto found = held.find(partnership.Name);
            if (found == held.end())
                return true;
            for (const auto& [list, name] :
                 {std::pair{0, &partnership.SenderName}, std::pair{1, &partnership.ReceiverName}}) {
                TNameValueArray side = {{"name", *name}};
                if (*name == save.Local.Name || *name == save.Remote.Name)
                    side.emplace_back("as2_id", *name == save.Local.Name ? save.Local.AS2ID
                                                                         : save.Remote.AS2ID);
                Compare("", side, found->second.at(list), differences, "");
            }
            Compare("", partnership.Attributes, found->second.at(2), differences, "",
                    TExtra::Counted);
        }
        return !differences.empty();
    };
    return {differs(save.Local, records.first), differs(save.Remote, records.second)};
}

TApplyOutcome TPartnerLink::Apply(const TLinkSettings& settings, TSaveChoice choice,
                                  TProgress& progress) {
    TLinkSave save = Prepare(settings);
    const TPartner& local = save.Local;
    const TPartner& remote = save.Remote;
    // Nothing the service holds is written over unread, nor by two programs at once.
    const TSaveTurn turn(*this, progress);
    const TDiffering differing = CheckUnchanged(save, progress);
    std::vector<std::pair<const TPartner*, const std::vector<std::string>*>> saves;
    if (choice == TSaveChoice::Both || differing.Local)
        saves.emplace_back(&local, &save.LocalCommands);
    if (choice == TSaveChoice::Both || differing.Remote)
        saves.emplace_back(&remote, &save.RemoteCommands);

    Sent = save;
    Sent->Local.Held = Sent->Remote.Held = true;
    const std::string again = Face.SendAgain;
    const std::string partly = ". The AS2 service may hold only part of the changes; " + again;
    TApplyOutcome outcome;
    try {
        for (const auto& [partner, commands] : saves) {
            outcome.Saved.push_back(partner->Name);
            partner->SendSave(Channel, *commands, progress);
        }
    } catch (const Exception& failure) {
        throw EServiceError(failure.Message + partly);
    }

    // The command port acknowledges nothing: only reading back shows what the service holds. Its
    // first answer also shows that both stores have finished.
    TReadBack held;
    try {
        held = ReadBack(local, remote, progress);
    } catch (const Exception& failure) {
        Channel.StoreAnswers();
        throw EServiceError(failure.Message +
                            ". What was saved could not be read back, so the configuration file "
                            "was left as it was" +
                            partly);
    }
    const std::vector<std::string> stores = Channel.StoreAnswers();
    for (std::size_t i = 0; i < stores.size() && !outcome.StoreRefused; ++i) {
        if (stores[i].empty())
            continue;
        // The service would start with its old records: the file must keep naming their IDs.
        outcome.StoreRefused = true;
        outcome.Message = "The AS2 service did not store the settings of partner " +
                          (i < saves.size() ? saves[i].first->Name : remote.Name) + ": " +
                          stores[i] +
                          ". After its next start it would hold the settings it had before, so "
                          "the configuration file was left as it was; " +
                          again;
    }
    if (outcome.StoreRefused) {
        outcome.NotHeld = held.Differences;
        Seen = held;
        return outcome;
    }
    Seen = held;
    outcome.NotHeld = held.Differences;

    // The file follows the AS2 IDs the service holds, whatever else differs.
    const std::optional<std::string> localID = IDOf(held.LocalRecord);
    const std::optional<std::string> remoteID = IDOf(held.RemoteRecord);
    std::string fileNote;
    if (const std::optional<TConfigIDs> ids =
            Change(File.LocalID, File.RemoteID, localID, remoteID)) {
        try {
            UpdateServiceConfigFile(File.Path, *ids, progress);
            File.LocalID = ids->LocalID;
            File.RemoteID = ids->RemoteID;
            outcome.File = TApplyOutcome::TFile::Rewritten;
            for (const auto& [id, sent, name] : {std::tuple{localID, local.AS2ID, local.Name},
                                                 std::tuple{remoteID, remote.AS2ID, remote.Name}})
                if (id && *id != sent)
                    fileNote += "\nThe AS2 service holds the AS2 ID \"" + *id + "\" for " + name +
                                ", not the one sent; the configuration file names \"" + *id + "\"";
        } catch (const Exception& failure) {
            outcome.File = TApplyOutcome::TFile::Failed;
            fileNote = "\n" + failure.Message + ". The AS2 service holds the AS2 IDs \"" +
                       localID.value_or("") + "\" (" + local.Name + ") and \"" +
                       remoteID.value_or("") + "\" (" + remote.Name +
                       "), but the configuration file still names \"" + File.LocalID + "\" and \"" +
                       File.RemoteID + "\"; " + Face.FileAgain;
        }
    }
    if (held.Differences.empty() && outcome.File != TApplyOutcome::TFile::Failed) {
        // What the service holds, its own pairs included, is what the link knows from now on.
        LocalPartner = std::move(held.Local);
        RemotePartner = std::move(held.Remote);
        Sent.reset();
        Seen.reset();
        return outcome;
    }
    if (!held.Differences.empty())
        outcome.Message =
            "The AS2 service does not hold what was saved:" + List(held.Differences) + "\n" + again;
    if (outcome.RestartNeeded())
        outcome.Message += "\nThe configuration file now names the AS2 IDs the AS2 service "
                           "holds; the AS2 service must be restarted for them to take effect";
    outcome.Message += fileNote;
    if (outcome.Message.rfind('\n', 0) == 0)
        outcome.Message.erase(0, 1);
    return outcome;
}

TPartnerLink::TReadBack TPartnerLink::ReadBack(const TPartner& local, const TPartner& remote,
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

    TReadBack result{{}, {}, {}, local, remote};
    for (const TPartner* partner : {&local, &remote}) {
        const std::string owner = "Partner " + partner->Name;
        ask();
        const TNameValueArray held = Channel.GetPartnerAttributes(partner->Name);
        if (held.empty()) {
            result.Differences.push_back(
                owner + " was deleted and not added again (the service did not take its "
                        "settings)");
            continue;
        }
        const bool isLocal = partner == &local;
        (isLocal ? result.LocalRecord : result.RemoteRecord) = held;
        // The settings the link passes through are the service's: they need only be held.
        Compare(owner, partner->Record(), held, result.Differences, "sent", TExtra::Ignored,
                AsLoaded(&partner->OtherSettings));
        TPartner& found = isLocal ? result.Local : result.Remote;
        TPartnershipList partnerships = std::move(found.Partnerships);
        found = TPartner::FromSettings(partner->Name, held);
        found.Partnerships = std::move(partnerships);
    }
    for (const TPartnership* partnership : sent) {
        ask();
        const std::string owner = "Partnership " + partnership->Name;
        // The whole list is not needed to see that the service does not hold it as sent.
        const std::optional<TArrayOfNameValueArrays> view = ViewIfHeld(Channel, partnership->Name);
        if (!view) {
            result.Differences.push_back(owner + ": missing");
            continue;
        }
        const TArrayOfNameValueArrays& held = *view;
        // Each side by its name, and the AS2 ID the partner's save sent beside it.
        for (const auto& [list, prefix, name] :
             {std::tuple{0, "sender ", &partnership->SenderName},
              std::tuple{1, "receiver ", &partnership->ReceiverName}}) {
            TNameValueArray side = {{"name", *name}};
            if (*name == local.Name || *name == remote.Name)
                side.emplace_back("as2_id", *name == local.Name ? local.AS2ID : remote.AS2ID);
            Compare(owner, side, held.at(list), result.Differences, "sent", TExtra::Ignored,
                    nullptr, prefix);
        }
        // Attributes passed through as loaded are the service's.
        const TPartnership* loaded =
            FindPartnership(*LocalPartner, *RemotePartner, partnership->Name);
        Compare(owner, partnership->Attributes, held.at(2), result.Differences, "sent",
                TExtra::Ignored, AsLoaded(loaded != nullptr ? &loaded->Attributes : nullptr));
        for (TPartner* partner : {&result.Local, &result.Remote})
            for (TPartnership& kept : partner->Partnerships.Items)
                if (kept.Name == partnership->Name)
                    kept.Attributes = held.at(2);
    }
    return result;
}

TPartnerLink::TImportAlias TPartnerLink::ImportAlias(const std::string& partnerName,
                                                     TProgress& progress) {
    if (partnerName != LocalPartnerName)
        CheckRemoteName(partnerName);
    progress.Step("Reading partner " + partnerName, 0, 0, TProgress::TCancel::Offered);
    const TNameValueArray record = Channel.GetPartnerAttributes(partnerName);
    if (record.empty())
        return {NextImportAlias(std::string(), partnerName), false};
    return {NextImportAlias(TCommandHandler::FindValue(record, "x509_alias"),
                            TCommandHandler::FindValue(record, "name")),
            true};
}

TImportOutcome TPartnerLink::ImportCertificate(const std::string& alias, const std::string& path,
                                               const std::string* password, TProgress& progress) {
    CommandText::Check("Certificate alias", alias, CommandText::TKind::Alias, "imported");
    CommandText::Check("Certificate file path", path, CommandText::TKind::Path, "imported");
    if (password != nullptr)
        CommandText::Check("Certificate password", *password, CommandText::TKind::Password,
                           "imported", CommandText::TShown::Hidden);
    // An alias the key store holds already would be refused, and "cert List" would then confirm
    // the earlier entry: the import takes the first one nobody holds, nor imports meanwhile.
    const TSaveTurn turn(*this, progress);
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
    return {free, Channel.CertificateExists(free)};
}
