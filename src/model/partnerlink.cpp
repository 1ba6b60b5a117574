#include "model/partnerlink.h"

#include "model/commandtext.h"
#include "platform/exceptions.h"
#include "platform/strtoint.h"

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

// A partnership created for a remote partner the service did not know yet.
std::unique_ptr<TPartnership> NewPartnership(const std::string& sender, const std::string& receiver,
                                             const std::string& url) {
    auto partnership = std::make_unique<TPartnership>(sender + "-" + receiver, sender, receiver);
    partnership->AddAttribute("protocol", "as2");
    partnership->AddAttribute("subject", "From " + sender + " to " + receiver);
    partnership->AddAttribute("as2_url", url);
    partnership->AddAttribute(
        "as2_mdn_options",
        "signed-receipt-protocol=optional,pkcs7-signature; signed-receipt-micalg=optional,md5");
    partnership->AddAttribute("encrypt", "3des");
    partnership->AddAttribute("sign", "md5");
    return partnership;
}

} // namespace

TPartnerLink::TPartnerLink(TCommandHandler& channel, std::vector<TFieldName> fieldNames)
    : Channel(channel), FieldNames(std::move(fieldNames)) {}

void TPartnerLink::Load(const std::string& remoteName, std::unique_ptr<TPartner>& local,
                        std::unique_ptr<TPartner>& remote) {
    CommandText::Check("The remote partner name on the command line:", remoteName,
                       CommandText::BareName, "loaded");
    local = TPartner::LoadPartner(Channel, LocalPartnerName);
    remote = TPartner::LoadPartner(Channel, remoteName);
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
    for (const auto& partnership : local.Partnerships->Items) {
        if (partnership->ReceiverName == remote.Name) {
            settings.OutgoingAS2URL = partnership->GetAttribute("as2_url");
            // An unreadable MDN address leaves the port as it is, without a word.
            int32_t port = 0;
            if (TryStrToInt(SplitUrl(partnership->GetAttribute("as2_mdn_to")).Port, port))
                settings.IncomingMDNPort = port;
        }
        if (partnership->ReceiverName == local.Name) {
            const TUrlParts url = SplitUrl(partnership->GetAttribute("as2_url"));
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
    CommandText::Check(field, settings.*setting, CommandText::QuotedValue, "saved");
}

void TPartnerLink::Apply(TPartner* local, TPartner* remote, const TLinkSettings& settings) {
    if (local == nullptr || remote == nullptr)
        throw EDialogStateError("The settings could not be read from the AS2 service, so there is "
                                "nothing to save. Nothing was saved");
    for (const TSettingText setting : CommandTexts)
        CheckSetting(settings, setting);

    local->SetAS2ID(settings.LocalAS2ID);
    local->SetEmail(settings.LocalEmail);
    local->SetX509Alias(settings.LocalCertificate);
    remote->SetAS2ID(settings.RemoteAS2ID);
    remote->SetEmail(settings.RemoteEmail);
    remote->SetX509Alias(settings.RemoteCertificate);

    const std::string incomingUrl = MakeUrl(settings.IncomingHostName, settings.IncomingAS2Port);
    TPartnershipList& partnerships = *remote->Partnerships;
    if (!partnerships.Items.empty()) {
        for (const auto& partnership : partnerships.Items) {
            if (partnership->ReceiverName == remote->Name) {
                partnership->SetAttribute("as2_url", settings.OutgoingAS2URL);
                partnership->SetAttribute(
                    "as2_mdn_to", MakeUrl(settings.IncomingHostName, settings.IncomingMDNPort));
            }
            if (partnership->ReceiverName == local->Name)
                partnership->SetAttribute("as2_url", incomingUrl);
        }
    } else {
        partnerships.Add(NewPartnership(local->Name, remote->Name, settings.OutgoingAS2URL));
        partnerships.Add(NewPartnership(remote->Name, local->Name, incomingUrl));
    }

    // Both sequences are checked before the first command leaves, so text that the service would
    // misread stops the save with nothing sent. The local partner's sequence does not depend on
    // the remote changes above, so the service sees the same commands in the same order as when
    // each partner is changed right before its own save.
    local->CheckSave();
    remote->CheckSave();
    local->SavePartner(Channel);
    remote->SavePartner(Channel);
}

bool TPartnerLink::ImportLocalCertificate(const std::string& alias, const std::string& path,
                                          const std::string& password) {
    CommandText::Check("Certificate alias:", alias, CommandText::Alias, "imported");
    CommandText::Check("Certificate file path:", path, CommandText::Path, "imported");
    CommandText::Check("Certificate password:", password, CommandText::Password, "imported",
                       CommandText::TShown::Hidden);
    Channel.SendCommand("Cert import " + alias + " \"" + path + "\" " + password);
    return Channel.CertificateExists(alias);
}

void TPartnerLink::ImportRemoteCertificate(const std::string& alias, const std::string& path) {
    CommandText::Check("Certificate alias:", alias, CommandText::Alias, "imported");
    CommandText::Check("Certificate file path:", path, CommandText::Path, "imported");
    Channel.SendCommand("Cert import " + alias + " \"" + path + "\"");
}
