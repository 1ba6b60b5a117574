#pragma once
// A trading partner in memory, loaded from the service and written back as one command sequence.

#include "model/partnerships.h"

#include <string>
#include <vector>

// A value: a copy holds copies of the partnerships.
class TPartner {
public:
    std::string Name;
    std::string AS2ID;
    std::string Email;
    std::string X509Alias;
    TPartnershipList Partnerships;

    void SetAS2ID(const std::string& value) { AS2ID = value; }
    void SetEmail(const std::string& value) { Email = value; }
    void SetX509Alias(const std::string& value) { X509Alias = value; }

    // Deletes the partner and its partnerships on the service, adds them again from memory and
    // tells the service to store them. The whole sequence is checked before the first command
    // is sent.
    void SavePartner(TCommandHandler& channel, TProgress& progress = TProgress::None()) const;

    // EUnsafeCommandText naming the first text of the save sequence that would change a
    // command's meaning.
    void CheckSave() const;
    // The commands SavePartner sends, in order, after checking them.
    std::vector<std::string> SaveCommands() const;

    // "Partner Add ..." for this partner.
    std::string AddCommand() const;

    // One command for a partner the service does not hold (which keeps the requested name),
    // otherwise 2 + M for M partnerships listed by the service.
    static TPartner LoadPartner(TCommandHandler& channel, const std::string& name,
                                TProgress& progress = TProgress::None());
};
