#pragma once
// The link between this machine and one trading partner as the window edits it: the settings as
// plain data, and every rule between them and the two partners that needs no widget.

#include "model/partners.h"
#include "model/serviceconfig.h"
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

// What OK knew the AS2 service to hold differs from what it holds after the save: the
// differences, one line each, as the message lists them; and what became of the configuration
// file, which follows the AS2 IDs the service holds.
class ENotHeldError : public EServiceError {
public:
    ENotHeldError(std::string message, std::vector<std::string> differences, bool fileRewritten,
                  bool fileFailed)
        : EServiceError(std::move(message)), Differences(std::move(differences)),
          FileRewritten(fileRewritten), FileFailed(fileFailed) {}

    std::vector<std::string> Differences;
    bool FileRewritten; // the service must be restarted for the AS2 IDs it holds
    bool FileFailed;    // the file does not name the AS2 IDs the service holds
};

// The service's records differ from what the dialog last knew it to hold: the save would write
// over what the dialog did not read, so nothing was sent.
class EChangedOnServiceError : public EServiceError {
public:
    using EServiceError::EServiceError;
};

// Copies of the two partners as a save sends them, and the checked commands of each save.
struct TLinkSave {
    TPartner Local;
    TPartner Remote;
    std::vector<std::string> LocalCommands;
    std::vector<std::string> RemoteCommands;
};

// The service's configuration file and the AS2 IDs it names: as loaded, then as the last OK that
// rewrote it left them, so a second OK never rewrites it twice.
struct TServiceFile {
    std::string Path;
    std::string LocalID;
    std::string RemoteID;
};

// What the service holds of the two partners after a save, as far as the read-back could tell.
struct TReadBack {
    std::vector<std::string> Differences; // one line per difference
    // The two partners' records as the service gave them; empty for one it does not hold.
    TNameValueArray LocalRecord;
    TNameValueArray RemoteRecord;

    // The AS2 ID a record holds; none for a partner the service does not hold.
    static std::optional<std::string> ID(const TNameValueArray& record);
};

class TPartnerLink {
public:
    TPartnerLink(TCommandHandler& channel, std::vector<TFieldName> fieldNames);

    // Loads the local partner into `local`, then the remote partner into `remote`; the local one
    // is stored before the remote one is asked for. A remote name that would change the meaning
    // of a command, could not come back from the service, or is the local partner's (as given or
    // as the service gives it back) is refused; `remote` then stays empty.
    void Load(const std::string& remoteName, std::optional<TPartner>& local,
              std::optional<TPartner>& remote, TProgress& progress = TProgress::None());

    // Writes into `settings` what the two loaded partners give: their fields, then, partnership
    // by partnership of the local partner, the outgoing URL and MDN port (an unreadable MDN port
    // is passed over) and the incoming host and port. Raises EConvertError for an incoming port
    // that is no number; `settings` then holds what was read before it.
    static void Read(const TPartner& local, const TPartner& remote, TLinkSettings& settings);

    // Checks every text that goes into a command and writes the settings into copies of the two
    // partners and the remote partner's partnerships (creating two when it has none); sends
    // nothing. EDialogStateError when a partner is missing (a failed load); EUnsafeCommandText,
    // naming the field, when a text cannot go into a command or an AS2 ID or the host name is
    // empty (AS2 needs them).
    TLinkSave Prepare(const std::optional<TPartner>& local, const std::optional<TPartner>& remote,
                      const TLinkSettings& settings) const;

    // Prepares the save, saves the local partner and the remote one, and reads back what the
    // service holds. When it holds AS2 IDs other than those the file names, the file is brought in
    // line with them (also when other values differ) and `file` takes them: true, the service
    // must be restarted. When it holds all that was sent, the copies take the partners' place, so
    // OK again after a failure sends what the first OK sent for the same settings. Nothing is sent
    // when Prepare refuses. EServiceError when a command could not be delivered or the read-back
    // failed (the file is then left alone); ENotHeldError when the service does not hold what was
    // sent or the file could not follow it.
    bool Apply(std::optional<TPartner>& local, std::optional<TPartner>& remote,
               const TLinkSettings& settings, TServiceFile& file,
               TProgress& progress = TProgress::None());

    // The IDs the file must name for the service holding `local` and `remote` (a missing one
    // keeps its ID in the file); none when it names them already.
    static std::optional<TConfigIDs> FileChange(const TServiceFile& file,
                                                const std::optional<std::string>& localID,
                                                const std::optional<std::string>& remoteID);

    // What the service holds of what the two partners' saves sent: the partners, and every
    // partnership either save added (one that both sent, as the remote partner's save sent it).
    // A value that the reply lists cannot carry back is compared as they give it back; an absent
    // value and an empty one read alike; pairs the service holds beyond those sent are no
    // difference.
    TReadBack ReadBack(const TPartner& local, const TPartner& remote,
                       TProgress& progress = TProgress::None());

    // "Cert import" of a certificate, with the password of a private one (none for a public
    // one), under the first of alias, the alias after it, ... (NextCertificateAlias) that "cert
    // List" does not hold yet, confirmed by "cert List": the alias when the service lists it
    // afterwards, none when it does not.
    std::optional<std::string> ImportCertificate(const std::string& alias, const std::string& path,
                                                 const std::string* password,
                                                 TProgress& progress = TProgress::None());

private:
    std::string Label(TSettingText setting) const;
    void CheckSetting(const TLinkSettings& settings, TSettingText setting) const;
    void CheckRecords(const TLinkSave& save, const TLinkSave& loaded,
                      const TLinkSettings& settings) const;
    // Reads both partners and the partnership list again and raises EChangedOnServiceError when
    // they are neither what the dialog last knew the service to hold nor what its last OK sent.
    void CheckUnchanged(const TLinkSave& save, const TLinkSave& known, TProgress& progress);

    TCommandHandler& Channel;
    std::vector<TFieldName> FieldNames;
    // What the service held when the dialog last knew (as loaded, or as the last OK it confirmed
    // left it), and what the last OK since then sent.
    std::optional<TLinkSave> Known;
    std::optional<TLinkSave> Sent;
    // The partners' records as the last read-back found them, which may be neither (a service
    // that keeps a value its own way).
    std::optional<TReadBack> Seen;
};
