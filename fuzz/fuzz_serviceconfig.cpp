// The configuration file's line model and ID replacement, from bytes to bytes.
//
// Input: four NUL-terminated fields, the local ID, the remote ID, the old local ID and the old
// remote ID, then the file's bytes. Fields that the input does not reach are empty.

#include "check.h"
#include "model/serviceconfig.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

const char kModuleStart[] =
    "<module classname=\"org.corvane.processor.receiver.AS2DirectoryPollingModule\"";

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return Upper(a) == Upper(b);
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

// Every line of the output ends in CR LF, and no CR or LF stands anywhere else.
void CheckLineBreaks(const std::string& output, const std::string& context) {
    FUZZ_CHECK(output.empty() || output.compare(output.size() - 2, 2, "\r\n") == 0, context);
    for (std::size_t i = 0; i < output.size(); ++i) {
        if (output[i] == '\r')
            FUZZ_CHECK(i + 1 < output.size() && output[i + 1] == '\n', context);
        if (output[i] == '\n')
            FUZZ_CHECK(i > 0 && output[i - 1] == '\r', context);
    }
}

std::string Describe(const TConfigIDs& ids, const std::string& bytes) {
    return "L=" + Escaped(ids.LocalID) + " R=" + Escaped(ids.RemoteID) +
           " oldL=" + Escaped(ids.OldLocalID) + " oldR=" + Escaped(ids.OldRemoteID) +
           " file=" + Escaped(bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string fields[4];
    std::size_t at = 0;
    for (std::string& field : fields) {
        const std::size_t nul = input.find('\0', at);
        if (nul == std::string::npos) {
            field = input.substr(at);
            at = input.size();
            break;
        }
        field = input.substr(at, nul - at);
        at = nul + 1;
    }
    const TConfigIDs ids{fields[0], fields[1], fields[2], fields[3]};
    const std::string bytes = input.substr(at);
    const std::string context = Describe(ids, bytes);

    const std::vector<std::string> lines = SplitConfigLines(bytes);
    for (const std::string& line : lines)
        FUZZ_CHECK(!HasLineBreak(line), context);
    // The line model does not depend on which line breaks the file used.
    FUZZ_CHECK(SplitConfigLines(JoinConfigLines(lines)) == lines, context);

    const std::string output = UpdateConfigText(bytes, ids);
    const std::vector<std::string> updated = UpdateConfigLines(lines, ids);
    FUZZ_CHECK(output == JoinConfigLines(updated), context);
    FUZZ_CHECK(UpdateConfigText(JoinConfigLines(lines), ids) == output, context);

    // The dialog refuses IDs with line breaks before it gets here; with others, every line keeps
    // its place, and only the polling module block may be added.
    const bool plainIDs = !HasLineBreak(ids.LocalID) && !HasLineBreak(ids.RemoteID) &&
                          !HasLineBreak(ids.OldLocalID) && !HasLineBreak(ids.OldRemoteID);
    if (!plainIDs)
        return 0;
    CheckLineBreaks(output, context);
    const std::vector<std::string> outputLines = SplitConfigLines(output);
    FUZZ_CHECK(outputLines == updated, context);
    const bool mayInsert = ids.OldRemoteID.empty() && !ids.RemoteID.empty();
    FUZZ_CHECK(updated.size() == lines.size() || (mayInsert && updated.size() == lines.size() + 6),
               context);
    std::size_t offset = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (offset == 0 && updated.size() > lines.size() && updated[i] == kModuleStart &&
            updated[i + 6].find(kModuleStart) != std::string::npos) {
            offset = 6; // the block, directly before the first module line of that class
        }
        const std::string& before = lines[i];
        const std::string& after = updated[i + offset];
        // Only lines that hold one of the keys are touched.
        const std::string upper = Upper(before);
        if (upper.find("SENDER.AS2_ID=") == std::string::npos &&
            upper.find("RECEIVER.AS2_ID=") == std::string::npos)
            FUZZ_CHECK(after == before, context + " line " + std::to_string(i));
    }
    FUZZ_CHECK(offset == updated.size() - lines.size(), context);

    // A file behind the service follows it once the update takes the IDs it names as the old
    // ones, and names the other partner's ID as before; an ID that could not be told (one that
    // holds a key, say) may stay so.
    using TState = TFileID::TState;
    const TFileIDs named = ConfigFileIDs(bytes, ids.LocalID, ids.RemoteID, {});
    const auto old = [](const TFileID& id, const std::string& held) {
        return id.State == TState::Behind ? *id.ID : held;
    };
    if (named.Local.State == TState::Behind || named.Remote.State == TState::Behind) {
        const TConfigIDs mend{ids.LocalID, ids.RemoteID, old(named.Local, ids.LocalID),
                              old(named.Remote, ids.RemoteID)};
        const TFileIDs after =
            ConfigFileIDs(UpdateConfigText(bytes, mend), ids.LocalID, ids.RemoteID, {});
        for (const auto& [before, now] :
             {std::pair{named.Local, after.Local}, std::pair{named.Remote, after.Remote}})
            FUZZ_CHECK(before.State == TState::Unknown || now.State == TState::Follows, context);
    }

    // With the IDs unchanged (letter case aside) and no block to add, a second run changes
    // nothing more.
    if (!mayInsert && SameIgnoringCase(ids.LocalID, ids.OldLocalID) &&
        SameIgnoringCase(ids.RemoteID, ids.OldRemoteID))
        FUZZ_CHECK(UpdateConfigText(output, ids) == output, context);
    return 0;
}
