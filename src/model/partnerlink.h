#pragma once
// The link between this machine and one trading partner as the window edits it: the settings as
// plain data, and every rule between them and the two partners that needs no widget.

#include "model/partners.h"
#include "platform/exceptions.h"

#include <optional>
#include <string>
#include <vector>

inline constexpr const char* LocalPartnerName = "AS2Local";
inline constexpr const char* DefaultRemotePartnerName = "AS2Remote";
// The MDN port shown when no outgoing partnership names a readable one.
inline constexpr int DefaultMDNPort = 10081;

// What the window's controls show; the ports as the spin boxes hold them.
struct TLinkSettings {
    std::string LocalName;
    std::string LocalAS2ID;
    std::string LocalEmail;
    std::string LocalCertificate;
    std::string RemoteName;
    std::string RemoteAS2ID;
    std::string RemoteEmail;
    std::string RemoteCertificate;
    std::string OutgoingAS2URL;
    std::string IncomingHostName;
    int IncomingAS2Port = 1;
    int IncomingMDNPort = 1;
};

// A text setting and the name the operator knows it by (the label beside its control), which
// messages about it use.
using TSettingText = std::string TLinkSettings::*;
struct TFieldName {
    TSettingText Setting;
    std::string Label;
};

// The service does not hold what a save sent: one line per difference, as the message lists them.
class ENotHeldError : public EServiceError {
public:
    ENotHeldError(std::string message, std::vector<std::string> differences)
        : EServiceError(std::move(message)), Differences(std::move(differences)) {}

    std::vector<std::string> Differences;
};

// Copies of the two partners as a save sends them.
struct TLinkSave {
    TPartner Local;
    TPartner Remote;
};

class TPartnerLink {
public:
    TPartnerLink(TCommandHandler& channel, std::vector<TFieldName> fieldNames);

    // Loads the local partner into `local`, then the remote partner into `remote`; the local one
    // is stored before the remote one is asked for. A remote name that would change the meaning
    // of a command is refused before anything is sent.
    void Load(const std::string& remoteName, std::optional<TPartner>& local,
              std::optional<TPartner>& remote, TProgress& progress = TProgress::None());

    // Writes into `settings` what the two loaded partners give: their fields, then, partnership
    // by partnership of the local partner, the outgoing URL and MDN port (an unreadable MDN port
    // is passed over) and the incoming host and port. Raises EConvertError for an incoming port
    // that is no number; `settings` then holds what was read before it.
    static void Read(const TPartner& local, const TPartner& remote, TLinkSettings& settings);

    // Checks every text that goes into a command and writes the settings into copies of the two
    // partners and the remote partner's partnerships (creating two when it has none); sends
    // nothing. EDialogStateError when a partner is missing (a failed load), EUnsafeCommandText
    // when a text cannot go into a command.
    TLinkSave Prepare(const std::optional<TPartner>& local, const std::optional<TPartner>& remote,
                      const TLinkSettings& settings) const;

    // Prepares the save, saves the local partner and the remote one, and reads back what the
    // service holds; only then do the copies take the partners' place, so OK again after a
    // failure sends what the first OK sent for the same settings. Nothing is sent when Prepare
    // refuses. EServiceError when a command could not be delivered or the read-back failed;
    // ENotHeldError when the service does not hold what was sent (the message lists the
    // differences); the service may then hold part of the save.
    void Apply(std::optional<TPartner>& local, std::optional<TPartner>& remote,
               const TLinkSettings& settings, TProgress& progress = TProgress::None());

    // The differences between what the two partners' saves sent and what the service holds: the
    // partners, and every partnership either save added (one that both sent, as the remote
    // partner's save sent it). A value that the reply lists cannot carry back is compared as
    // they give it back. One line per difference.
    std::vector<std::string> Differences(const TPartner& local, const TPartner& remote,
                                         TProgress& progress = TProgress::None());

    // "Cert import" of a certificate, with the password of a private one (none for a public
    // one), confirmed by "cert List": true when the service lists the alias afterwards.
    bool ImportCertificate(const std::string& alias, const std::string& path,
                           const std::string* password, TProgress& progress = TProgress::None());

private:
    void CheckSetting(const TLinkSettings& settings, TSettingText setting) const;

    TCommandHandler& Channel;
    std::vector<TFieldName> FieldNames;
};
