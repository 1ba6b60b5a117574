#pragma once
// The link between this machine and one trading partner: its settings, the two partners as the
// service holds them, and every rule between them. The window and vantrel-link only show it.

#include "model/partners.h"
#include "model/serviceconfig.h"
#include "platform/exceptions.h"
#include "platform/savelock.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

inline constexpr const char* LocalPartnerName = "AS2Local";
inline constexpr const char* DefaultRemotePartnerName = "AS2Remote";
// The MDN port shown when no outgoing partnership names a readable one.
inline constexpr int DefaultMDNPort = 10081;

// The link's settings as plain data; the ports as the spin boxes hold them.
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

using TSettingText = std::string TLinkSettings::*;
using TSettingPort = int TLinkSettings::*;

// One setting: where it is held, the key a script knows it by, and the window's label for it.
struct TSetting {
    const char* Key;
    const char* Label;                                      // without its colon
    TSettingText Text;                                      // null for a port
    TSettingPort Port;                                      // null for a text
    std::string Value(const TLinkSettings& settings) const; // a port in decimal
};

// Every setting, in the window's order.
const std::vector<TSetting>& LinkSettings();
const TSetting& SettingOf(TSettingText text);

// The words a face gives the link's messages: how a setting is named, and the face's advice.
struct TLinkFace {
    std::function<std::string(const TSetting&)> Name;
    std::string SendAgain; // the save may be sent again as it is
    std::string FileAgain; // the configuration file update is tried again
    std::string ReadAgain; // the records must be read anew before anything is saved
    std::string LoadAgain; // after a load that was stopped
};

// The service's records differ from what the link last knew it to hold: the save would write
// over what was not read, so nothing was sent.
class EChangedOnServiceError : public ERefusedError {
public:
    using ERefusedError::ERefusedError;
};

// Copies of the two partners as a save sends them, and the commands of each save.
struct TLinkSave {
    TPartner Local;
    TPartner Remote;
    std::vector<std::string> LocalCommands;
    std::vector<std::string> RemoteCommands;
};

// Which partners an apply saves: the window saves both on every OK; a script saves only a
// partner whose save would send something other than the service holds.
enum class TSaveChoice { Both, Differing };

// The partners whose saves would send something other than the service holds.
struct TDiffering {
    bool Local = true;
    bool Remote = true;
};

// What an apply did, once the save was sent.
struct TApplyOutcome {
    enum class TFile { Untouched, Rewritten, Failed };
    std::vector<std::string> NotHeld; // what the read-back did not find as sent, one line each
    bool StoreRefused = false;        // a "Partnership Store" was answered with an error
    TFile File = TFile::Untouched;
    std::vector<std::string> Saved; // the partners saved, in the order sent
    // What happened and what the service holds, with the face's advice; empty when the service
    // holds everything sent and the file follows it.
    std::string Message;

    bool RestartNeeded() const { return File == TFile::Rewritten; }
};

// An import: the alias it was sent under, and whether "cert List" then held it.
struct TImportOutcome {
    std::string Alias;
    bool Listed = false;
    std::string Message() const; // for one that is not listed
};

class TPartnerLink {
public:
    TPartnerLink(TCommandHandler& channel, std::string configPath, TLinkFace face);

    // Loads the local partner, then the remote one; the local one is kept before the remote one
    // is asked for, and the AS2 IDs the file names are taken from the two once both have loaded,
    // then from the file where it is behind them.
    // A remote name that would change the meaning of a command, could not come back from the
    // service, or is the local partner's (as given or as the service gives it back) is refused.
    void Load(const std::string& remoteName, TProgress& progress = TProgress::None());

    // The two partners as the link last knew the service to hold them; none where no load got
    // them.
    const std::optional<TPartner>& Local() const { return LocalPartner; }
    const std::optional<TPartner>& Remote() const { return RemotePartner; }
    // The AS2 IDs the configuration file names, as far as the link knows: as loaded, then as the
    // last rewrite left them.
    const std::string& FileLocalID() const { return File.LocalID; }
    const std::string& FileRemoteID() const { return File.RemoteID; }
    const std::string& ConfigPath() const { return File.Path; }
    // What the file named at the load; none when it could not be read.
    const std::optional<TFileIDs>& FileAtLoad() const { return File.AtLoad; }
    // What the file named at the load where it was behind the service, one line a partner; empty
    // where it was not.
    const std::string& FileBehind() const { return File.Behind; }

    // Writes into `settings` what the two partners give: their fields, then, partnership by
    // partnership of the local partner, the outgoing URL and MDN port (an unreadable MDN port is
    // passed over) and the incoming host and port. Raises EConvertError for an incoming port
    // that is no number; `settings` then holds what was read before it.
    void Read(TLinkSettings& settings) const;

    // A text that changes with any pair of the records a save would send back.
    std::string Version() const;

    // Checks the settings and writes them into copies of the two partners and the remote
    // partner's partnerships (creating two when it has none); sends nothing. EDialogStateError
    // after a failed load; EUnsafeCommandText, naming the setting, when a text cannot go into a
    // command or an AS2 ID or the host name is empty (AS2 needs them).
    TLinkSave Prepare(const TLinkSettings& settings) const;
    // The IDs the file must name once the service holds `save`; none when it names them.
    std::optional<TConfigIDs> FileChange(const TLinkSave& save) const;

    // Prepares the save, checks that the service holds what the link last knew, saves the local
    // partner and the remote one, and reads back what the service holds. The file is brought in
    // line with the AS2 IDs the service holds (also when other values differ). When the service
    // holds all that was sent, the copies become what the link knows. Raises ERefusedError when
    // nothing was sent, EServiceError or ECancelled when the service could not be changed or read.
    TApplyOutcome Apply(const TLinkSettings& settings, TSaveChoice choice,
                        TProgress& progress = TProgress::None());
    // The check before a save, by itself: which partners' saves would send something other than
    // the service holds (a record, or a partnership's sides or attributes). Sends nothing.
    TDiffering Check(const TLinkSave& save, TProgress& progress = TProgress::None()) {
        return CheckUnchanged(save, progress);
    }

    // What the service holds of what the two partners' saves sent: the partners, and every
    // partnership either save added (one that both sent, as the remote partner's save sent it).
    // A value that the reply lists cannot carry back is compared as they give it back; an absent
    // value and an empty one read alike; pairs the service holds beyond those sent are no
    // difference, and pairs passed through as loaded need only be held (they are the service's).
    // A partnership's sides are compared by name and by the AS2 ID sent for them.
    struct TReadBack {
        std::vector<std::string> Differences;
        // The records as the service gave them; empty for one it does not hold.
        TNameValueArray LocalRecord;
        TNameValueArray RemoteRecord;
        // The partners and the partnerships sent as the service holds them.
        TPartner Local;
        TPartner Remote;
    };
    TReadBack ReadBack(const TPartner& local, const TPartner& remote,
                       TProgress& progress = TProgress::None());

    // The alias an import for the partner of that name goes to, and whether the service holds
    // the partner: read from one "Partner View".
    struct TImportAlias {
        std::string Alias;
        bool Held = false;
    };
    TImportAlias ImportAlias(const std::string& partnerName, TProgress& progress);
    // "Cert import" of a certificate, with the password of a private one (none for a public
    // one), under the first of alias, the alias after it, ... that "cert List" does not hold
    // yet, confirmed by "cert List".
    TImportOutcome ImportCertificate(const std::string& alias, const std::string& path,
                                     const std::string* password,
                                     TProgress& progress = TProgress::None());

    // While it lives, no other program of this machine changes the service for the same
    // configuration file: it waits for the one that does, with a step that names it and offers
    // Cancel (ECancelled, nothing sent). Apply and ImportCertificate take one; an outer one makes
    // a load part of the turn. EServiceError when the lock cannot be used.
    class TSaveTurn {
    public:
        TSaveTurn(TPartnerLink& link, TProgress& progress);
        ~TSaveTurn();
        TSaveTurn(const TSaveTurn&) = delete;
        TSaveTurn& operator=(const TSaveTurn&) = delete;

    private:
        TPartnerLink& Link;
    };

private:
    std::string Name(TSettingText setting) const { return Face.Name(SettingOf(setting)); }
    // Raises EChangedOnServiceError when the partners or the partnership list are neither what
    // the link last knew the service to hold nor what its last apply sent; otherwise gives which
    // saves would change what it read.
    TDiffering CheckUnchanged(const TLinkSave& save, TProgress& progress);
    // The save's first fault, named by the setting it comes from where it comes from one.
    void CheckSave(const TLinkSave& save, const TLinkSettings& settings) const;

    TCommandHandler& Channel;
    TLinkFace Face;
    TSaveLock SaveLock;
    int Turns = 0; // TSaveTurns alive
    std::optional<TPartner> LocalPartner;
    std::optional<TPartner> RemotePartner;
    // What the last apply since then sent, and the records as its read-back found them, which
    // may be neither (a service that keeps a value its own way).
    std::optional<TLinkSave> Sent;
    std::optional<TReadBack> Seen;
    struct {
        std::string Path;
        std::string LocalID;
        std::string RemoteID;
        std::optional<TFileIDs> AtLoad;
        std::string Behind;
    } File;
};
