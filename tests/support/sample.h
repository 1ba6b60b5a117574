#pragma once
// The two partners of the dialog with one partnership each way, as the link and window suites load
// them from the scripted service, and the commands that save them unchanged.

#include "support/memoryservice.h"

#include <string>
#include <vector>

namespace Sample {

inline void Fill(MemoryService& service) {
    service.partners = {{"AS2Local", "LOCALID", "me@local", "AS2Local:0"},
                        {"AS2Remote", "REMOTEID", "you@remote", "AS2Remote:2"}};
    service.partnerships = {
        {"AS2Local-AS2Remote",
         "AS2Local",
         "AS2Remote",
         {{"protocol", "as2"},
          {"as2_url", "http://partner:5080"},
          {"as2_mdn_to", "http://myhost:10090"}}},
        {"AS2Remote-AS2Local",
         "AS2Remote",
         "AS2Local",
         {{"protocol", "as2"}, {"as2_url", "http://myhost:4080"}}},
    };
}

inline const std::string LocalAdd =
    R"(Partner Add AS2Local as2_id="LOCALID" email="me@local" x509_alias="AS2Local:0")";
inline const std::string RemoteAdd =
    R"(Partner Add AS2Remote as2_id="REMOTEID" email="you@remote" x509_alias="AS2Remote:2")";
inline const std::string Outgoing =
    R"(Partnership Add AS2Local-AS2Remote AS2Local AS2Remote protocol="as2" as2_url="http://partner:5080" as2_mdn_to="http://myhost:10090")";
inline const std::string Incoming =
    R"(Partnership Add AS2Remote-AS2Local AS2Remote AS2Local protocol="as2" as2_url="http://myhost:4080")";

// What loading both partners sends.
inline const std::vector<std::string> LoadCommands = {"Partner View AS2Local",
                                                      "Partnership List",
                                                      "Partnership View AS2Local-AS2Remote",
                                                      "Partnership View AS2Remote-AS2Local",
                                                      "Partner View AS2Remote",
                                                      "Partnership List",
                                                      "Partnership View AS2Local-AS2Remote",
                                                      "Partnership View AS2Remote-AS2Local"};

// What OK sends with nothing changed: the local partner's save, then the remote partner's.
inline const std::vector<std::string> SaveCommands = {"Partnership Delete AS2Local-AS2Remote",
                                                      "Partnership Delete AS2Remote-AS2Local",
                                                      "Partner Delete AS2Local",
                                                      LocalAdd,
                                                      Outgoing,
                                                      Incoming,
                                                      "Partnership Store",
                                                      "Partnership Delete AS2Local-AS2Remote",
                                                      "Partnership Delete AS2Remote-AS2Local",
                                                      "Partner Delete AS2Remote",
                                                      RemoteAdd,
                                                      Outgoing,
                                                      Incoming,
                                                      "Partnership Store"};

// What OK reads before it saves, to see that the service still holds what was loaded.
inline const std::vector<std::string> CheckCommands = {
    "Partner View AS2Local", "Partner View AS2Remote", "Partnership List",
    "Partnership View AS2Local-AS2Remote", "Partnership View AS2Remote-AS2Local"};

// What OK reads back after saving them.
inline const std::vector<std::string> ReadBackCommands = {
    "Partner View AS2Local", "Partner View AS2Remote", "Partnership View AS2Local-AS2Remote",
    "Partnership View AS2Remote-AS2Local"};

// The check before the save, the save and its read-back.
inline std::vector<std::string> VerifiedSave(std::vector<std::string> save = SaveCommands) {
    save.insert(save.begin(), CheckCommands.begin(), CheckCommands.end());
    save.insert(save.end(), ReadBackCommands.begin(), ReadBackCommands.end());
    return save;
}

} // namespace Sample
