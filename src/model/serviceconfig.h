#pragma once
// Carries a change of AS2 IDs into the AS2 service's own configuration file, handled as lines of
// 8-bit text (never parsed as XML).

#include "model/progress.h"
#include "platform/exceptions.h"

#include <optional>
#include <string>
#include <vector>

struct TConfigIDs {
    std::string LocalID;     // the local partner's AS2 ID now
    std::string RemoteID;    // the remote partner's AS2 ID now
    std::string OldLocalID;  // the local partner's AS2 ID as loaded
    std::string OldRemoteID; // the remote partner's AS2 ID as loaded
};

// Lines end at CR LF, LF or CR; a final line break adds no line; an empty text has no lines.
std::vector<std::string> SplitConfigLines(const std::string& bytes);

// Every line followed by CR LF.
std::string JoinConfigLines(const std::vector<std::string>& lines);

// Every occurrence of search, left to right without overlap, ASCII letter case aside, replaced;
// an empty search text changes nothing.
std::string ReplaceIgnoringCase(const std::string& line, const std::string& search,
                                const std::string& replacement);

// Replaces the old IDs behind "sender.as2_id=" and "receiver.as2_id=" by the new ones, and when
// the remote partner gains its first ID, inserts a directory polling module for it before the
// first module line of that class. An empty old ID is never searched for.
std::vector<std::string> UpdateConfigLines(std::vector<std::string> lines, const TConfigIDs& ids);

// UpdateConfigLines over the bytes of a whole file; the result has CR LF line breaks.
std::string UpdateConfigText(const std::string& bytes, const TConfigIDs& ids);

// What the configuration file names for one partner, against the AS2 ID the service holds.
struct TFileID {
    enum class TState {
        Follows, // it names the ID the service holds (letter case aside), or the service holds none
        Behind,  // it certainly names another ID for the partner
        Unknown, // what it names for the partner cannot be told
    };
    TState State = TState::Unknown;
    std::optional<std::string> ID; // as the file writes it; none where it cannot be told
};

struct TFileIDs {
    TFileID Local;
    TFileID Remote;
};

// What a file's bytes name for the two partners, the service holding localID and remoteID, and
// its partnerships naming namedIDs. An ID stands behind "sender.as2_id=" or "receiver.as2_id="
// (the key in any letter case) up to a comma, double quote, blank or the line's end; a sender and
// a receiver next to each other on one line are a pair. A partner whose ID the file does not name
// is behind when the pairs with the other partner's ID name exactly one other ID, no partnership
// names that one, and the update would replace it alone (no other ID goes on from it, it holds no
// key). IDs compare letter case aside. Not 8-bit text: nothing is told.
TFileIDs ConfigFileIDs(const std::string& bytes, const std::string& localID,
                       const std::string& remoteID, const std::vector<std::string>& namedIDs);

// The file's bytes; none when it cannot be read. Only a regular file (links followed) is read.
std::optional<std::string> ReadConfigFile(const std::string& path,
                                          TProgress& progress = TProgress::None());

// The service's configuration file: VANTREL_CONFIG when set and not empty, else the service's
// fixed location.
std::string DefaultServiceConfigPath();

// Reads the file, updates it and replaces it whole where the new file keeps its owner, group,
// mode, links, ACL and attributes; otherwise writes it in place, putting the old text back when
// the write fails (not at all past the file size limit). Made again when another program changed
// the file meanwhile. Only a regular file (links followed) is read. After any failure the file is
// intact, unless the program is killed during a write in place. Raises EFOpenError,
// EFCreateError, EWriteError or ENotTextFileError.
void UpdateServiceConfigFile(const std::string& path, const TConfigIDs& ids,
                             TProgress& progress = TProgress::None());
