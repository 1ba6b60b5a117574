#pragma once
// A trading partner in memory, loaded from the service and written back as one command sequence.

#include "model/partnerships.h"
#include "platform/exceptions.h"

#include <string>
#include <vector>

// The service answered "Partnership Store" with an error: it holds the save in memory, but would
// start again with the settings it stored before.
class EStoreRefusedError : public EServiceError {
public:
    using EServiceError::EServiceError;
};

// A value: a copy holds copies of the partnerships.
class TPartner {
public:
    std::string Name;
    std::string AS2ID;
    std::string Email;
    std::string X509Alias;
    TPartnershipList Partnerships;
    // The settings the service holds besides those above, in its order; saved back unchanged.
    TNameValueArray OtherSettings;
    // The service held this partner when it was read (or the save that built it was sent).
    bool Held = false;

    void SetAS2ID(const std::string& value) { AS2ID = value; }
    void SetEmail(const std::string& value) { Email = value; }
    void SetX509Alias(const std::string& value) { X509Alias = value; }

    // Deletes the partner and its partnerships on the service, adds them again from memory and
    // tells the service to store them. The whole sequence is checked (CheckSave) before the first
    // command is sent. EStoreRefusedError when the service answers the store with an error.
    void SavePartner(TCommandHandler& channel, TProgress& progress = TProgress::None(),
                     const TPartner* asLoaded = nullptr) const;

    // EUnsafeCommandText naming the first text of the save sequence that cannot be sent. No text
    // may change its command's meaning. A text that differs from the partner as loaded (every
    // text, without one) was typed or composed, and must come back from the service as sent: as
    // XML text, and unchanged by its record's brace lists. A text as loaded goes back as it came,
    // unless it holds "~", which stands where the load may have misread a ", ".
    void CheckSave(const TPartner* asLoaded = nullptr) const;
    // The commands SavePartner sends, in order, after checking them.
    std::vector<std::string> SaveCommands(const TPartner* asLoaded = nullptr) const;
    // Sends what SaveCommands gave, reading the answer to its last, "Partnership Store".
    void SendSave(TCommandHandler& channel, const std::vector<std::string>& commands,
                  TProgress& progress = TProgress::None()) const;

    // The partner's record as "Partner View" gives it: its name, then its settings, the others
    // last.
    TNameValueArray Record() const;

    // "Partner Add ..." for this partner.
    std::string AddCommand() const;

    // One command for a partner the service does not hold (which keeps the requested name),
    // otherwise 2 + M for M partnerships listed by the service.
    static TPartner LoadPartner(TCommandHandler& channel, const std::string& name,
                                TProgress& progress = TProgress::None());
};
