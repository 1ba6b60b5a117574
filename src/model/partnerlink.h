#pragma once
// The link between this machine and one trading partner: its settings, the two partners as the
// service holds them, and every rule between them. The window and vantrel-link only show it.

#include "model/partners.h"
#include "model/serviceconfig.h"
#include "platform/savelock.h"

#include <array>
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

// One setting: where it is held, the key a script knows it by, and the window's label for it.
struct TSetting {
    const char* Key;
    const char* Label;                                       // without its colon
    TSettingText Text;                                       // null for a port
    int TLinkSettings::*Port;                                // null for a text
    std::string Value(const TLinkSettings& settings) const { // a port in decimal
        return Text != nullptr ? settings.*Text : std::to_string(settings.*Port);
    }
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

// Copies of the two partners as a save sends them.
struct TLinkSave {
    TPartner Local;
    TPartner Remote;
};

// Which partners an apply saves: both, or those whose saves would change what the service holds.
enum class TSaveChoice { Both, Differing };

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
    std::string Message; // with the face's advice; empty when all is held and the file follows

    bool RestartNeeded() const { return File == TFile::Rewritten; }
};

// An import: the alias it was sent under, and whether "cert List" then held it.
struct TImportOutcome {
    std::string Alias;
    bool Listed = false;
    std::string Message() const { // for one that is not listed
        return "The AS2 service does not list \"" + Alias + "\" after the import";
    }
};

class TPartnerLink {
public:
    TPartnerLink(TCommandHandler& channel, std::string configPath, TLinkFace face);

    // The local partner, then the remote one; the file's AS2 IDs from the two, then from the file
    // where it is behind them. Refuses a remote name that is unsafe or the local partner's.
    void Load(const std::string& remoteName, TProgress& progress = TProgress::None());

    // As the link last knew the service to hold them; none where no load got them.
    const std::optional<TPartner>& Local() const { return LocalPartner; }
    const std::optional<TPartner>& Remote() const { return RemotePartner; }
    // The AS2 IDs the configuration file names: as loaded, then as the last rewrite left them.
    const std::string& FileLocalID() const { return File.LocalID; }
    const std::string& FileRemoteID() const { return File.RemoteID; }
    const std::string& ConfigPath() const { return Path; }
    const std::optional<TFileIDs>& FileAtLoad() const { return File.AtLoad; } // none: unreadable
    // One line a partner for which the file was behind the service at the load.
    const std::string& FileBehind() const { return File.Behind; }

    // EConvertError for an incoming port that is no number; `settings` holds what came before it.
    void Read(TLinkSettings& settings) const;
    // A text that changes with any pair of the records a save would send back.
    std::string Version() const;

    // The checked save of the settings; sends nothing. EDialogStateError after a failed load.
    TLinkSave Prepare(const TLinkSettings& settings) const;
    // The IDs the file must name once the service holds `save`; none when it names them.
    std::optional<TConfigIDs> FileChange(const TLinkSave& save) const;

    // Prepare, Check, save, read back, and the file brought in line with the AS2 IDs held.
    // ERefusedError: nothing was sent; EServiceError, ECancelled: could not change or read.
    TApplyOutcome Apply(const TLinkSettings& settings, TSaveChoice choice,
                        TProgress& progress = TProgress::None());
    // The check before a save, by itself (ERefusedError when the records changed); sends nothing.
    TDiffering Check(const TLinkSave& save, TProgress& progress = TProgress::None());

    // What the service holds of what two saves sent: pairs beyond those sent are no difference,
    // pairs passed through as loaded need only be held.
    struct TReadBack {
        std::vector<std::string> Differences;
        std::array<TNameValueArray, 2> Records; // local, remote as given; empty: not held
        TPartner Local;                         // the partners and partnerships sent, as held
        TPartner Remote;
    };
    TReadBack ReadBack(const TPartner& local, const TPartner& remote,
                       TProgress& progress = TProgress::None());

    // The alias an import for that partner goes to, and whether the service holds the partner.
    struct TImportAlias {
        std::string Alias;
        bool Held = false;
    };
    TImportAlias ImportAlias(const std::string& partnerName, TProgress& progress);
    // Under the first of alias, the alias after it, ... that the key store does not hold; no
    // password for a public certificate.
    TImportOutcome ImportCertificate(const std::string& alias, const std::string& path,
                                     const std::string* password,
                                     TProgress& progress = TProgress::None());

    // While it lives, no other program of this machine changes the service for this file: it
    // waits with a step that offers Cancel (ECancelled). Nests; EServiceError when unusable.
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

    TCommandHandler& Channel;
    TLinkFace Face;
    TSaveLock SaveLock;
    int Turns = 0; // TSaveTurns alive
    std::optional<TPartner> LocalPartner;
    std::optional<TPartner> RemotePartner;
    // What the last apply since the load sent and what its read-back found (a service may keep a
    // value its own way).
    std::optional<TLinkSave> Sent;
    std::optional<TReadBack> Seen;
    std::string Path;
    struct {
        std::string LocalID;
        std::string RemoteID;
        std::optional<TFileIDs> AtLoad;
        std::string Behind;
    } File;
};
