#pragma once
// The three commands of vantrel-link over the partner link, and what they mean for a script:
// JSON in and out, exit codes and messages.

#include "platform/certfile.h"

#include <string>

// Where several apply, the highest wins.
enum class TExit {
    Done = 0,
    Refused = 2,    // refused input, usage included; nothing was sent
    Service = 3,    // the service cannot be reached, does not answer, or a load failed
    NotHeld = 4,    // the service does not hold what was sent
    ConfigFile = 5, // the configuration file was not updated
    Output = 6,     // the output could not be written
};

struct TLinkOptions {
    std::string RemoteName;
    std::string ConfigPath;
    bool DryRun = false;
    bool NewPartner = false;  // apply and import-cert may create a partner the service lacks
    std::string ExpectSha256; // import-cert: the fingerprint ("AB:CD:..."); empty: any
};

// Each prints its JSON on standard output. Apply works as OK does; import-cert imports under the
// partner's next alias (a local certificate with its password), refusing a file that does not
// have the fingerprint expected or cannot be read to check it.
TExit ShowLink(const TLinkOptions& options);
TExit ApplyLink(const TLinkOptions& options, const std::string& input);
TExit ImportCertificate(const TLinkOptions& options, TCertSide side, const std::string& path,
                        const std::string* password);

// Prints the message, one line at a time, and gives the exit code that the failure means.
TExit Report(const std::string& message, TExit exit);
