#include "model/partnerlink.h"

#include "channel/cmds.h"
#include "model/certalias.h"
#include "model/commandtext.h"
#include "platform/exceptions.h"
#include "platform/strtoint.h"

#include <QCryptographicHash>
#include <algorithm>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace {

using CommandText::Quoted;
using S = TLinkSettings;

// Host and port by position: the first 7 characters ("http://") go whatever they are, the rest
// splits at its first ":" (all of it is the port when there is none).
std::pair<std::string, std::string> SplitUrl(const std::string& url) {
    const std::string rest = url.size() > 7 ? url.substr(7) : std::string();
    const size_t colon = rest.find(':');
    if (colon == std::string::npos)
        return {std::string(), rest};
    return {rest.substr(0, colon), rest.substr(colon + 1)};
}

std::string MakeUrl(const std::string& host, int port) {
    return "http://" + host + ":" + std::to_string(port);
}

// The n-th pair wanted of a name against the n-th held, an absent one reading as empty. A pair
// `asLoaded` holds need only be held; pairs held beyond those wanted count only when counted.
enum class TExtra { Ignored, Counted };
void Compare(const std::string& prefix, const TNameValueArray& wanted, const TNameValueArray& held,
             std::vector<std::string>& differences, const char* verb,
             TExtra extra = TExtra::Ignored, const TNameValueArray* asLoaded = nullptr) {
    std::unordered_map<std::string, std::vector<const TNameValuePair*>> byName;
    for (const TNameValuePair& pair : held)
        byName[pair.Name].push_back(&pair);
    std::unordered_map<std::string, std::size_t> used;
    for (const TNameValuePair& want : CommandText::AsGivenBack(wanted)) {
        const std::vector<const TNameValuePair*>& same = byName[want.Name];
        const std::size_t nth = used[want.Name]++;
        const TNameValuePair* have = nth < same.size() ? same[nth] : nullptr;
        const std::string& value = have != nullptr ? have->Value : std::string();
        if (value == want.Value || (have != nullptr && asLoaded != nullptr &&
                                    std::count(asLoaded->begin(), asLoaded->end(), want) > 0))
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

// A partnership of the two by name; a shared one as the remote partner's save (sent last) has it.
const TPartnership* FindPartnership(const TPartner& local, const TPartner& remote,
                                    const std::string& name) {
    const TPartnership* found = remote.Partnerships.Find(name);
    return found != nullptr ? found : local.Partnerships.Find(name);
}

// Each partnership of the two partners once, in the place of its first, as the last sends it.
std::vector<const TPartnership*> EachOnce(const TPartner& local, const TPartner& remote) {
    std::vector<const TPartnership*> each;
    for (const TPartner* partner : {&local, &remote})
        for (const TPartnership& partnership : partner->Partnerships.Items)
            if (const TPartnership* last = FindPartnership(local, remote, partnership.Name);
                std::find(each.begin(), each.end(), last) == each.end())
                each.push_back(last);
    return each;
}

// A partnership's sender (list 0) or receiver (1): its name, and the AS2 ID a save sends beside it.
TNameValueArray Side(const TPartnership& partnership, int list, const TPartner& local,
                     const TPartner& remote) {
    const std::string& name = list == 0 ? partnership.SenderName : partnership.ReceiverName;
    TNameValueArray side = {{"name", name}};
    if (name == local.Name || name == remote.Name)
        side.emplace_back("as2_id", name == local.Name ? local.AS2ID : remote.AS2ID);
    return side;
}

// What the service holds: the partners' records (empty: not held), views asked for, the list.
struct THeld {
    std::array<TNameValueArray, 2> Records;
    std::unordered_map<std::string, TArrayOfNameValueArrays> Views;
    TPartnershipNameArray Listed;
};

THeld Ask(TCommandHandler& channel, const TPartner& local, const TPartner& remote,
          const std::vector<const TPartnership*>& partnerships, bool list, const char* step,
          TProgress& progress) {
    const int questions = 2 + static_cast<int>(list) + static_cast<int>(partnerships.size());
    int asked = 0;
    const auto ask = [&] {
        progress.Step(step, ++asked, questions, TProgress::TCancel::Offered);
    };
    THeld held;
    for (const TPartner* partner : {&local, &remote}) {
        ask();
        held.Records[partner == &local ? 0 : 1] = channel.GetPartnerAttributes(partner->Name);
    }
    if (list) {
        ask();
        held.Listed = channel.GetPartnershipNames();
    }
    for (const TPartnership* partnership : partnerships) {
        ask();
        // The service gives no view of a partnership it does not hold.
        try {
            held.Views[partnership->Name] = channel.GetPartnershipAttributes(partnership->Name);
        } catch (const EListError&) {
        } catch (const EXMLDocError&) {
        }
    }
    return held;
}

// A partnership created for a remote partner the service did not know yet.
TPartnership NewPartnership(const std::string& sender, const std::string& receiver,
                            const std::string& url) {
    TPartnership partnership(sender + "-" + receiver, sender, receiver);
    partnership.Attributes = {
        {"protocol", "as2"},
        {"subject", "From " + sender + " to " + receiver},
        {"as2_url", url},
        {"as2_mdn_options",
         "signed-receipt-protocol=optional,pkcs7-signature; signed-receipt-micalg=optional,md5"},
        {"encrypt", "3des"},
        {"sign", "md5"}};
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

// A partner's own values: the key of its record, and the settings that show them.
const std::tuple<const char*, std::string TPartner::*, TSettingText, TSettingText> PartnerValues[] =
    {{"as2_id", &TPartner::AS2ID, &S::LocalAS2ID, &S::RemoteAS2ID},
     {"email", &TPartner::Email, &S::LocalEmail, &S::RemoteEmail},
     {"x509_alias", &TPartner::X509Alias, &S::LocalCertificate, &S::RemoteCertificate}};

// The setting a fault of `partner`'s save comes from, when the text at fault is one typed: a
// partner's own values, the AS2 ID beside a partnership's side, the URLs in its attributes.
TSettingText SettingOf(const TSaveFault& fault, const std::string& partner,
                       const std::string& local, const std::string& remote) {
    const TPartnership* partnership = fault.Partnership;
    if (fault.Kind == TSaveFault::TKind::Unwritable)
        return nullptr;
    if (partnership != nullptr && fault.List >= 2) {
        if (fault.Key == "as2_url" && partnership->ReceiverName == remote)
            return &S::OutgoingAS2URL;
        const bool incoming = fault.Key == "as2_url" && partnership->ReceiverName == local;
        return incoming || fault.Key == "as2_mdn_to" ? &S::IncomingHostName : nullptr;
    }
    const std::string& name = partnership == nullptr ? partner
                              : fault.List == 0      ? partnership->SenderName
                                                     : partnership->ReceiverName;
    for (const auto& [key, value, ofLocal, ofRemote] : PartnerValues)
        if (fault.Key == key)
            return name == local ? ofLocal : name == remote ? ofRemote : nullptr;
    return nullptr;
}

// The AS2 ID a record holds; none for a partner the service does not hold.
std::optional<std::string> IDOf(const TNameValueArray& record) {
    if (record.empty())
        return std::nullopt;
    return TCommandHandler::FindValue(record, "as2_id");
}

// The IDs the file must name when the service holds these (none held: the file's), if others.
std::optional<TConfigIDs> Change(const std::string& fileLocalID, const std::string& fileRemoteID,
                                 const std::optional<std::string>& localID,
                                 const std::optional<std::string>& remoteID) {
    TConfigIDs ids{localID.value_or(fileLocalID), remoteID.value_or(fileRemoteID), fileLocalID,
                   fileRemoteID};
    if (ids.LocalID == ids.OldLocalID && ids.RemoteID == ids.OldRemoteID)
        return std::nullopt;
    return ids;
}

const char* const RemoteIsLocal =
    "The remote partner \"%s\" is the local partner; name another partner. Nothing was loaded";
const char* const RemoteNameField = "The remote partner name on the command line";

void CheckRemoteName(const std::string& name) {
    // Checked as a partner's save: its record gives the name back ahead of its settings.
    TPartner named;
    named.Name = name;
    if (const std::optional<TSaveFault> fault = named.SaveFault())
        fault->Refuse(RemoteNameField, nullptr, "loaded");
    if (name == LocalPartnerName)
        throw EUnsafeCommandText(Format(RemoteIsLocal, name.c_str()));
}

} // namespace

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

TPartnerLink::TPartnerLink(TCommandHandler& channel, std::string configPath, TLinkFace face)
    : Channel(channel), Face(std::move(face)), SaveLock(configPath), Path(std::move(configPath)) {}

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
    File = {};
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
    // A file left behind (a save finished after its client gave up, a hand edit) is brought in
    // line by the next apply.
    const std::optional<std::string> text = ReadConfigFile(Path, progress);
    if (!text)
        return;
    std::vector<std::string> viewed = LocalPartner->Partnerships.ViewedAS2IDs;
    const std::vector<std::string>& alsoViewed = RemotePartner->Partnerships.ViewedAS2IDs;
    viewed.insert(viewed.end(), alsoViewed.begin(), alsoViewed.end());
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
    settings.RemoteName = remote.Name;
    for (const auto& [key, value, ofLocal, ofRemote] : PartnerValues) {
        settings.*ofLocal = local.*value;
        settings.*ofRemote = remote.*value;
    }

    settings.IncomingMDNPort = DefaultMDNPort;
    for (const TPartnership& partnership : local.Partnerships.Items) {
        if (partnership.ReceiverName == remote.Name) {
            settings.OutgoingAS2URL = partnership.GetAttribute("as2_url");
            // An unreadable MDN address leaves the port as it is, without a word.
            int32_t port = 0;
            if (TryStrToInt(SplitUrl(partnership.GetAttribute("as2_mdn_to")).second, port))
                settings.IncomingMDNPort = port;
        }
        if (partnership.ReceiverName == local.Name) {
            const auto [host, port] = SplitUrl(partnership.GetAttribute("as2_url"));
            settings.IncomingHostName = host;
            settings.IncomingAS2Port = StrToInt(port);
        }
    }
}

std::string TPartnerLink::Version() const {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const auto add = [&hash](const std::string& text) {
        hash.addData(QByteArray::number(static_cast<qulonglong>(text.size())) + ':');
        hash.addData(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
    };
    const auto addList = [&add](const std::string& marker, const TNameValueArray& pairs) {
        add(marker + std::to_string(pairs.size()));
        for (const TNameValuePair& pair : pairs) {
            add(pair.Name);
            add(pair.Value);
        }
    };
    for (const std::optional<TPartner>* partner : {&LocalPartner, &RemotePartner}) {
        add(*partner && (*partner)->Held ? "held" : "none");
        if (!*partner)
            continue;
        addList("{", (*partner)->Record());
        for (const TPartnership& partnership : (*partner)->Partnerships.Items) {
            addList(partnership.Name, {});
            for (const CommandText::TList& list : partnership.Record(std::string(), std::string()))
                addList(list.Marker, list.Pairs);
        }
    }
    return hash.result().toHex().left(32).toStdString();
}

TLinkSave TPartnerLink::Prepare(const TLinkSettings& settings) const {
    if (!LocalPartner || !RemotePartner)
        throw EDialogStateError("The settings could not be read from the AS2 service, so there is "
                                "nothing to save. Nothing was saved");
    for (const TSetting& setting : LinkSettings())
        if (setting.Text != nullptr && setting.Text != &S::LocalName &&
            setting.Text != &S::RemoteName)
            CommandText::Check(Face.Name(setting), settings.*setting.Text,
                               CommandText::TKind::Value, "saved");
    // AS2 sends under both IDs and receives at the host: without them the link does not work.
    for (const TSettingText required : {&S::LocalAS2ID, &S::RemoteAS2ID, &S::IncomingHostName})
        if ((settings.*required).empty())
            throw EUnsafeCommandText(Name(required) + " is empty; AS2 needs it. Nothing was saved");

    // The configuration file tells the two partners apart by their IDs, ASCII letter case aside.
    if (QByteArray::fromStdString(settings.RemoteAS2ID)
            .compare(QByteArray::fromStdString(settings.LocalAS2ID), Qt::CaseInsensitive) == 0)
        throw EUnsafeCommandText(Name(&S::RemoteAS2ID) + ": " + Quoted(settings.RemoteAS2ID) +
                                 " is the local partner's AS2 ID " + Quoted(settings.LocalAS2ID) +
                                 ", letter case aside; the configuration file could not tell "
                                 "them apart. Nothing was saved");

    TPartner local = *LocalPartner;
    TPartner remote = *RemotePartner;
    for (const auto& [key, value, ofLocal, ofRemote] : PartnerValues) {
        local.*value = settings.*ofLocal;
        remote.*value = settings.*ofRemote;
    }

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

    // Both sequences are checked before the first command leaves. The local partner's does not
    // depend on the remote changes above, as if each partner were changed right before its save.
    TLinkSave save{std::move(local), std::move(remote)};
    for (const auto& [partner, loaded] :
         {std::pair{&save.Local, &*LocalPartner}, std::pair{&save.Remote, &*RemotePartner}}) {
        if (const std::optional<TSaveFault> fault = partner->SaveFault(loaded)) {
            // What the operator typed is named as the face names it.
            const TSettingText setting =
                SettingOf(*fault, partner->Name, save.Local.Name, save.Remote.Name);
            if (setting == nullptr)
                fault->Refuse();
            fault->Refuse(Name(setting), &(settings.*setting));
        }
    }
    return save;
}

std::optional<TConfigIDs> TPartnerLink::FileChange(const TLinkSave& save) const {
    return Change(File.LocalID, File.RemoteID, save.Local.AS2ID, save.Remote.AS2ID);
}

TDiffering TPartnerLink::Check(const TLinkSave& save, TProgress& progress) {
    const TPartner& local = *LocalPartner;
    const TPartner& remote = *RemotePartner;
    const auto sentBefore = [&](const std::string& name) {
        return Sent ? FindPartnership(Sent->Local, Sent->Remote, name) : nullptr;
    };
    // The partnerships the save sends again; those it creates are checked by the list.
    const std::vector<const TPartnership*> again = EachOnce(local, remote);
    THeld now;
    try {
        now = Ask(Channel, local, remote, again, true,
                  "Checking that the AS2 service holds what was read", progress);
    } catch (const ECancelled& cancelled) {
        throw ECancelled(cancelled.Message + ". Nothing was saved");
    } catch (const Exception& failure) {
        throw EServiceError(failure.Message + ". Nothing was saved");
    }
    // A record is unchanged when it holds what the link knew (nothing more), what its last apply
    // sent, or what that apply's read-back found.
    std::vector<std::string> changed;
    using TPairs = std::optional<TNameValueArray>;
    const auto check = [&](const std::string& owner, const char* side, const TPairs& knownPairs,
                           const TPairs& sentPairs, const TNameValueArray* seenPairs,
                           const TNameValueArray& held) {
        const std::string prefix = owner + ", " + side;
        std::vector<std::string> fromKnown;
        if (knownPairs)
            Compare(prefix, *knownPairs, held, fromKnown, "read", TExtra::Counted);
        else
            fromKnown.push_back(owner + " is held by the AS2 service, but was not read");
        std::vector<std::string> fromSent;
        if (sentPairs)
            Compare(prefix, *sentPairs, held, fromSent, "sent");
        if (!fromKnown.empty() && (!sentPairs || !fromSent.empty()) &&
            (seenPairs == nullptr || *seenPairs != held))
            changed.insert(changed.end(), fromKnown.begin(), fromKnown.end());
    };
    for (const auto& [partner, sent, i] :
         {std::tuple{&local, Sent ? &Sent->Local : nullptr, 0},
          std::tuple{&remote, Sent ? &Sent->Remote : nullptr, 1}}) {
        const std::string owner = "Partner " + partner->Name;
        // A partner the last apply deleted may be missing, or hold what it sent.
        if (now.Records[i].empty()) {
            if (partner->Held && sent == nullptr)
                changed.push_back(owner + " is gone from the AS2 service");
            continue;
        }
        // An empty record seen (a partner not held) differs from any record held.
        check(owner, "", partner->Held ? TPairs(partner->Record()) : std::nullopt,
              sent != nullptr ? TPairs(sent->Record()) : std::nullopt,
              Seen ? &Seen->Records[i] : nullptr, now.Records[i]);
    }
    const auto isListed = [&](const std::string& name) {
        return std::find(now.Listed.begin(), now.Listed.end(), name) != now.Listed.end();
    };
    for (const TPartnership* partnership : again) {
        const std::string owner = "Partnership " + partnership->Name;
        const auto view = now.Views.find(partnership->Name);
        if (view == now.Views.end()) {
            // One that is listed may have changed all the same; one that is not, the list tells.
            if (isListed(partnership->Name))
                changed.push_back(owner + " is listed by the AS2 service, but could not be read");
            continue;
        }
        const TPartnership* sent = sentBefore(partnership->Name);
        const TPartnership* seen =
            Seen ? FindPartnership(Seen->Local, Seen->Remote, partnership->Name) : nullptr;
        for (const auto& [list, side, name] :
             {std::tuple{0, "sender ", &TPartnership::SenderName},
              std::tuple{1, "receiver ", &TPartnership::ReceiverName}})
            check(owner, side, TNameValueArray{{"name", partnership->*name}},
                  sent != nullptr ? TPairs({{"name", sent->*name}}) : std::nullopt, nullptr,
                  {{"name", TCommandHandler::FindValue(view->second.at(list), "name")}});
        check(owner, "", partnership->Attributes,
              sent != nullptr ? TPairs(sent->Attributes) : std::nullopt,
              seen != nullptr ? &seen->Attributes : nullptr, view->second.at(2));
    }
    for (const TPartnership* partnership : again)
        if (!isListed(partnership->Name) && !sentBefore(partnership->Name))
            changed.push_back("Partnership " + partnership->Name +
                              " is no longer listed by the AS2 service");
    for (const TPartnership& partnership : save.Remote.Partnerships.Items)
        if (FindPartnership(local, remote, partnership.Name) == nullptr &&
            isListed(partnership.Name) && !sentBefore(partnership.Name))
            changed.push_back("Partnership " + partnership.Name +
                              " is listed by the AS2 service, but was not read");
    if (!changed.empty())
        throw ERefusedError("The AS2 service's records changed since they were read:" +
                            List(changed) + "\nNothing was saved; " + Face.ReadAgain);

    // A save differs when the service does not hold its record and partnerships exactly as sent.
    const auto differs = [&](const TPartner& partner, const TNameValueArray& record) {
        std::vector<std::string> differences;
        if (record.empty())
            return true;
        Compare("", partner.Record(), record, differences, "", TExtra::Counted);
        for (const TPartnership& partnership : partner.Partnerships.Items) {
            const auto found = now.Views.find(partnership.Name);
            if (found == now.Views.end())
                return true;
            for (const int list : {0, 1})
                Compare("", Side(partnership, list, save.Local, save.Remote),
                        found->second.at(list), differences, "");
            Compare("", partnership.Attributes, found->second.at(2), differences, "",
                    TExtra::Counted);
        }
        return !differences.empty();
    };
    return {differs(save.Local, now.Records[0]), differs(save.Remote, now.Records[1])};
}

TApplyOutcome TPartnerLink::Apply(const TLinkSettings& settings, TSaveChoice choice,
                                  TProgress& progress) {
    TLinkSave save = Prepare(settings);
    const TPartner& local = save.Local;
    const TPartner& remote = save.Remote;
    // Nothing the service holds is written over unread, nor by two programs at once.
    const TSaveTurn turn(*this, progress);
    const TDiffering differing = Check(save, progress);
    const bool both = choice == TSaveChoice::Both;
    Sent = save;
    const std::string partly =
        ". The AS2 service may hold only part of the changes; " + Face.SendAgain;
    TApplyOutcome outcome;
    try {
        for (const auto& [sends, partner] : {std::pair{both || differing.Local, &local},
                                             std::pair{both || differing.Remote, &remote}})
            if (sends) {
                outcome.Saved.push_back(partner->Name);
                partner->SendSave(Channel, partner->SaveCommands(), progress);
            }
    } catch (const Exception& failure) {
        throw EServiceError(failure.Message + partly);
    }

    // The command port acknowledges nothing; the read-back's first answer also shows that both
    // stores have finished.
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
    Seen = held;
    outcome.NotHeld = held.Differences;
    const std::vector<std::string> stores = Channel.StoreAnswers();
    const auto refused = std::find_if(stores.begin(), stores.end(),
                                      [](const std::string& answer) { return !answer.empty(); });
    if (refused != stores.end()) {
        // The service would start with its old records: the file must keep naming their IDs.
        const std::size_t i = static_cast<std::size_t>(refused - stores.begin());
        outcome.StoreRefused = true;
        outcome.Message = "The AS2 service did not store the settings of partner " +
                          (i < outcome.Saved.size() ? outcome.Saved[i] : remote.Name) + ": " +
                          *refused +
                          ". After its next start it would hold the settings it had before, so "
                          "the configuration file was left as it was; " +
                          Face.SendAgain;
        return outcome;
    }

    // The file follows the AS2 IDs the service holds, whatever else differs.
    const std::optional<std::string> localID = IDOf(held.Records[0]);
    const std::optional<std::string> remoteID = IDOf(held.Records[1]);
    std::string fileNote;
    if (const std::optional<TConfigIDs> ids =
            Change(File.LocalID, File.RemoteID, localID, remoteID)) {
        try {
            UpdateServiceConfigFile(Path, *ids, progress);
            File.LocalID = ids->LocalID;
            File.RemoteID = ids->RemoteID;
            outcome.File = TApplyOutcome::TFile::Rewritten;
            fileNote = "\nThe configuration file now names the AS2 IDs the AS2 service holds; the "
                       "AS2 service must be restarted for them to take effect";
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
    outcome.Message =
        held.Differences.empty()
            ? fileNote.substr(1)
            : "The AS2 service does not hold what was saved:" + List(held.Differences) + "\n" +
                  Face.SendAgain + fileNote;
    return outcome;
}

TPartnerLink::TReadBack TPartnerLink::ReadBack(const TPartner& local, const TPartner& remote,
                                               TProgress& progress) {
    const std::vector<const TPartnership*> sent = EachOnce(local, remote);
    const THeld held =
        Ask(Channel, local, remote, sent, false, "Checking what the AS2 service holds", progress);
    TReadBack result{{}, held.Records, local, remote};
    for (const auto& [partner, found, record] :
         {std::tuple{&local, &result.Local, &held.Records[0]},
          std::tuple{&remote, &result.Remote, &held.Records[1]}}) {
        const std::string owner = "Partner " + partner->Name;
        if (record->empty()) {
            result.Differences.push_back(
                owner + " was deleted and not added again (the service did not take its "
                        "settings)");
            continue;
        }
        // The settings the link passes through are the service's: they need only be held.
        Compare(owner + ", ", partner->Record(), *record, result.Differences, "sent",
                TExtra::Ignored, &partner->OtherSettings);
        *found = TPartner::FromSettings(partner->Name, *record);
        found->Partnerships = partner->Partnerships;
    }
    for (const TPartnership* partnership : sent) {
        const std::string owner = "Partnership " + partnership->Name;
        const auto view = held.Views.find(partnership->Name);
        if (view == held.Views.end()) {
            result.Differences.push_back(owner + ": missing");
            continue;
        }
        const TNameValueArray& attributes = view->second.at(2);
        for (const auto& [list, side] : {std::pair{0, ", sender "}, std::pair{1, ", receiver "}})
            Compare(owner + side, Side(*partnership, list, local, remote), view->second.at(list),
                    result.Differences, "sent");
        // Attributes passed through as loaded are the service's.
        const TPartnership* loaded =
            FindPartnership(*LocalPartner, *RemotePartner, partnership->Name);
        Compare(owner + ", ", partnership->Attributes, attributes, result.Differences, "sent",
                TExtra::Ignored, loaded != nullptr ? &loaded->Attributes : nullptr);
        for (TPartner* partner : {&result.Local, &result.Remote})
            for (TPartnership& kept : partner->Partnerships.Items)
                if (kept.Name == partnership->Name)
                    kept.Attributes = attributes;
    }
    return result;
}

TPartnerLink::TImportAlias TPartnerLink::ImportAlias(const std::string& partnerName,
                                                     TProgress& progress) {
    if (partnerName != LocalPartnerName)
        CheckRemoteName(partnerName);
    progress.Step("Reading partner " + partnerName, 0, 0, TProgress::TCancel::Offered);
    const TPartner partner =
        TPartner::FromSettings(partnerName, Channel.GetPartnerAttributes(partnerName));
    return {NextImportAlias(partner.X509Alias, partner.Name), partner.Held};
}

TImportOutcome TPartnerLink::ImportCertificate(const std::string& alias, const std::string& path,
                                               const std::string* password, TProgress& progress) {
    CommandText::Check("Certificate alias", alias, CommandText::TKind::Alias, "imported");
    CommandText::Check("Certificate file path", path, CommandText::TKind::Path, "imported");
    if (password != nullptr)
        CommandText::Check("Certificate password", *password, CommandText::TKind::Password,
                           "imported", CommandText::TShown::Hidden);
    // An alias held already would be refused while "cert List" confirms the earlier entry, so the
    // import takes the first one nobody holds, nor imports meanwhile.
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
