#include "model/partnerlink.h"

#include "channel/cmds.h"
#include "model/commandtext.h"
#include "platform/exceptions.h"
#include "platform/strtoint.h"

#include <algorithm>

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

// Each key sent (by the first pair of its name) against the pairs held; pairs held besides
// those sent are no difference.
void Compare(const std::string& owner, const TNameValueArray& sent, const TNameValueArray& held,
             std::vector<std::string>& differences, const std::string& keyPrefix = "") {
    const TNameValueArray expected = CommandText::AsGivenBack(sent);
    for (const TNameValuePair& pair : sent) {
        if (FindPair(sent, pair.Name) != &pair)
            continue;
        const TNameValuePair* want = FindPair(expected, pair.Name);
        const TNameValuePair* have = FindPair(held, pair.Name);
        const std::string line =
            owner + ", " + keyPrefix + pair.Name + ": sent \"" + pair.Value + "\", ";
        if (want == nullptr)
            continue; // the reply form loses this key; what comes back says nothing about it
        if (have == nullptr)
            differences.push_back(line + "missing");
        else if (have->Value != want->Value)
            differences.push_back(line + "held \"" + have->Value + "\"");
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

} // namespace

TPartnerLink::TPartnerLink(TCommandHandler& channel, std::vector<TFieldName> fieldNames)
    : Channel(channel), FieldNames(std::move(fieldNames)) {}

void TPartnerLink::Load(const std::string& remoteName, std::optional<TPartner>& local,
                        std::optional<TPartner>& remote, TProgress& progress) {
    CommandText::Check("The remote partner name on the command line:", remoteName,
                       CommandText::TKind::Name, "loaded");
    try {
        local = TPartner::LoadPartner(Channel, LocalPartnerName, progress);
        remote = TPartner::LoadPartner(Channel, remoteName, progress);
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

void TPartnerLink::CheckSetting(const TLinkSettings& settings, TSettingText setting) const {
    std::string field;
    for (const TFieldName& name : FieldNames)
        if (name.Setting == setting)
            field = name.Label;
    CommandText::Check(field, settings.*setting, CommandText::TKind::Value, "saved");
}

TLinkSave TPartnerLink::Prepare(const std::optional<TPartner>& loadedLocal,
                                const std::optional<TPartner>& loadedRemote,
                                const TLinkSettings& settings) const {
    if (!loadedLocal || !loadedRemote)
        throw EDialogStateError("The settings could not be read from the AS2 service, so there is "
                                "nothing to save. Nothing was saved");
    for (const TSettingText setting : CommandTexts)
        CheckSetting(settings, setting);

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
    // misread stops the save with nothing sent. The local partner's sequence does not depend on
    // the remote changes above, so the service sees the same commands in the same order as when
    // each partner is changed right before its own save.
    local.CheckSave();
    remote.CheckSave();
    return {std::move(local), std::move(remote)};
}

void TPartnerLink::Apply(std::optional<TPartner>& loadedLocal,
                         std::optional<TPartner>& loadedRemote, const TLinkSettings& settings,
                         TProgress& progress) {
    TLinkSave save = Prepare(loadedLocal, loadedRemote, settings);
    TPartner& local = save.Local;
    TPartner& remote = save.Remote;
    ExplainFailure(
        [&] {
            local.SavePartner(Channel, progress);
            remote.SavePartner(Channel, progress);
        },
        MayHoldPart);

    // The command port acknowledges nothing: only reading back shows what the service holds.
    std::vector<std::string> differences;
    ExplainFailure([&] { differences = Differences(local, remote, progress); },
                   "What was saved could not be read back. " + MayHoldPart);
    if (differences.empty()) {
        loadedLocal = std::move(local);
        loadedRemote = std::move(remote);
        return;
    }
    const std::size_t shown = differences.size() > 10 ? 9 : differences.size();
    std::string message = "The AS2 service does not hold what was saved:";
    for (std::size_t i = 0; i < shown; ++i)
        message += "\n" + differences[i];
    if (shown < differences.size())
        message += "\nand " + std::to_string(differences.size() - shown) + " more";
    throw ENotHeldError(message + "\nOK sends the settings again", std::move(differences));
}

std::vector<std::string> TPartnerLink::Differences(const TPartner& local, const TPartner& remote,
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
    // Two partners, the list, and each partnership.
    const int questions = 3 + static_cast<int>(sent.size());
    int asked = 0;
    const auto ask = [&] {
        progress.Step("Checking what the AS2 service holds", ++asked, questions,
                      TProgress::TCancel::Offered);
    };

    std::vector<std::string> differences;
    for (const TPartner* partner : {&local, &remote}) {
        const std::string owner = "Partner " + partner->Name;
        ask();
        const TNameValueArray held = Channel.GetPartnerAttributes(partner->Name);
        if (held.empty())
            differences.push_back(owner + ": missing");
        else
            Compare(owner,
                    {{"name", partner->Name},
                     {"as2_id", partner->AS2ID},
                     {"email", partner->Email},
                     {"x509_alias", partner->X509Alias}},
                    held, differences);
    }
    ask();
    const TPartnershipNameArray listed = Channel.GetPartnershipNames();
    for (const TPartnership* partnership : sent) {
        ask();
        const std::string owner = "Partnership " + partnership->Name;
        if (std::find(listed.begin(), listed.end(), partnership->Name) == listed.end()) {
            differences.push_back(owner + ": missing");
            continue;
        }
        const TArrayOfNameValueArrays held = Channel.GetPartnershipAttributes(partnership->Name);
        Compare(owner, {{"name", partnership->SenderName}}, held.at(0), differences, "sender ");
        Compare(owner, {{"name", partnership->ReceiverName}}, held.at(1), differences, "receiver ");
        Compare(owner, partnership->Attributes, held.at(2), differences);
    }
    return differences;
}

bool TPartnerLink::ImportCertificate(const std::string& alias, const std::string& path,
                                     const std::string* password, TProgress& progress) {
    CommandText::Check("Certificate alias:", alias, CommandText::TKind::Alias, "imported");
    CommandText::Check("Certificate file path:", path, CommandText::TKind::Path, "imported");
    std::string command = "Cert import " + alias + " \"" + path + "\"";
    if (password != nullptr) {
        CommandText::Check("Certificate password:", *password, CommandText::TKind::Password,
                           "imported", CommandText::TShown::Hidden);
        command += " " + *password;
    }
    progress.Step("Importing the certificate", 0, 0, TProgress::TCancel::NotOffered);
    Channel.SendCommand(command);
    progress.Step("Reading the certificate list", 0, 0, TProgress::TCancel::Offered);
    return Channel.CertificateExists(alias);
}
