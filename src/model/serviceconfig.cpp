#include "model/serviceconfig.h"

#include "platform/filereplace.h"
#include "platform/system.h"
#include "platform/textconv.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QOperatingSystemVersion>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <map>
#include <system_error>
#include <utility>

namespace {

const char SenderKey[] = "sender.as2_id=";
const char ReceiverKey[] = "receiver.as2_id=";
// What ends an ID the file names behind one of the keys.
const char IDEnds[] = ",\" \t\r\n";
const char ModuleStart[] =
    "<module classname=\"org.corvane.processor.receiver.AS2DirectoryPollingModule\"";
// How often the update starts again when another program changes the file meanwhile.
constexpr int MaxUpdateAttempts = 5;

std::string UpperAscii(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// The replacement rule on a line whose upper-cased copy is upperLine, for a search text given
// upper-cased: every occurrence replaced in place, and upperLine brought up to date.
void ReplaceInLine(std::string& line, std::string& upperLine, const std::string& upperSearch,
                   const std::string& replacement) {
    std::size_t found = upperSearch.empty() ? std::string::npos : upperLine.find(upperSearch);
    if (found == std::string::npos)
        return;
    std::string result;
    std::size_t from = 0;
    for (; found != std::string::npos; found = upperLine.find(upperSearch, from)) {
        result.append(line, from, found - from);
        result += replacement;
        from = found + upperSearch.size();
    }
    result.append(line, from, std::string::npos);
    line.swap(result);
    upperLine = UpperAscii(line);
}

std::string AbsolutePath(const QString& path) {
    return ToStdString(
        QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath())));
}

// The system's error text without the trailing blanks, line breaks and full stops it may carry.
std::string CleanDescription(std::string text) {
    text.erase(text.find_last_not_of(" \r\n.") + 1);
    return text;
}

// Qt sometimes leaves a failed file device with no error text of its own; the system's error
// code then describes the failure.
std::string DeviceErrorText(const QFileDevice& device, int savedErrno) {
    const QString text = device.errorString();
    if (text.isEmpty() || text == QFile().errorString())
        return std::generic_category().message(savedErrno);
    return ToStdString(text);
}

[[noreturn]] void RaiseCreateError(const QString& path, const std::string& description) {
    throw EFCreateError(
        Format("Cannot create file \"%s\". %s", AbsolutePath(path).c_str(), description.c_str()));
}

// The file as read, and what shows whether another program changed it since.
struct TFileState {
    std::string Bytes;
    qint64 Size = 0;
    QDateTime Changed;
    bool operator==(const TFileState& other) const {
        return Size == other.Size && Changed == other.Changed && Bytes == other.Bytes;
    }
};

// A large file is read and written in pieces, and the window painted between them; it never
// offers to cancel, as the partners are saved by then.
constexpr qint64 PieceSize = 1 << 20;
using TPump = std::function<void()>;
TPump Pump(TProgress& progress, std::string what) {
    return [&progress, what = std::move(what)] {
        progress.Step(what, 0, 0, TProgress::TCancel::NotOffered);
    };
}

// The whole file from its start, or false when reading fails part of the way.
bool ReadFrom(QFile& file, const TPump& pump, TFileState& state) {
    state.Size = file.size();
    state.Changed = file.fileTime(QFileDevice::FileMetadataChangeTime);
    state.Bytes.clear();
    file.unsetError();
    if (!file.seek(0))
        return false;
    for (;;) {
        const QByteArray piece = file.read(PieceSize);
        if (file.error() != QFileDevice::NoError)
            return false;
        if (piece.isEmpty())
            return true;
        state.Bytes.append(piece.constData(), static_cast<std::size_t>(piece.size()));
        pump();
    }
}

// The whole regular file; false, with the reason, when it cannot be opened or read to its end.
bool ReadFile(const QString& path, const TPump& pump, TFileState& state, std::string& why) {
    QFile file(path);
    if (!OpenRegularFile(file, QIODevice::ReadOnly | QIODevice::Unbuffered, why))
        return false;
    if (ReadFrom(file, pump, state))
        return true;
    why = DeviceErrorText(file, errno);
    return false;
}

// A write in place that the file size limit would stop part of the way, either of the new text
// or of the old one put back after a failure, is not begun.
void CheckSizeLimit(const QString& path, std::size_t oldSize, std::size_t newSize) {
    const std::uint64_t limit = FileSizeLimit();
    const bool newTooLarge = newSize > limit;
    if (!newTooLarge && oldSize <= limit)
        return;
    RaiseCreateError(path,
                     Format("Its %s text (%llu bytes%s) is larger than the file size limit of %llu "
                            "bytes this program runs under, so nothing was written",
                            newTooLarge ? "new" : "old",
                            static_cast<unsigned long long>(newTooLarge ? newSize : oldSize),
                            newTooLarge ? "" : ", written back should the write fail",
                            static_cast<unsigned long long>(limit)));
}

// Writes the text over the file's own from its start, cuts the file to its length and flushes it
// to the disk; false, with the reason, when any of that fails.
bool WriteOver(QFile& file, const std::string& text, const TPump& pump, std::string& why) {
    file.unsetError();
    bool written = file.seek(0);
    for (std::size_t done = 0; written && done < text.size(); pump()) {
        // A write cut short is carried on, so the next one fails with the system's reason.
        const qint64 n =
            file.write(text.data() + done, std::min<qint64>(PieceSize, qint64(text.size() - done)));
        written = n > 0;
        done += written ? static_cast<std::size_t>(n) : 0;
    }
    if (!written || !file.resize(static_cast<qint64>(text.size()))) {
        why = DeviceErrorText(file, errno);
        return false;
    }
    return SyncToDisk(file.handle(), why);
}

// The same file rewritten: it keeps its owner, group, mode, links, ACL and attributes, and a
// bind mount stays in place. False when another program changed the file since it was read.
bool WriteInPlace(const QString& path, const TFileState& read, const std::string& text,
                  const TPump& pump) {
    CheckSizeLimit(path, read.Bytes.size(), text.size());
    QFile file(path);
    std::string why;
    if (!OpenRegularFile(file, QIODevice::ReadWrite | QIODevice::Unbuffered, why))
        RaiseCreateError(path, CleanDescription(why));
    TFileState now;
    if (!ReadFrom(file, pump, now) || !(now == read))
        return false;
    if (WriteOver(file, text, pump, why))
        return true;
    std::string whyNotBack;
    WriteOver(file, read.Bytes, pump, whyNotBack);
    // Read, not assumed: under a file size limit the old text may be back although its write
    // failed, as the bytes past the limit were never touched.
    const bool back = ReadFrom(file, pump, now) && now.Bytes == read.Bytes;
    const std::string told =
        back ? "the file holds its previous text again"
             : "its previous text could not be written back (" +
                   CleanDescription(whyNotBack.empty() ? "it reads back otherwise" : whyNotBack) +
                   "), so the file is incomplete";
    throw EWriteError(Format("Stream write error on file \"%s\". %s; %s",
                             AbsolutePath(path).c_str(), CleanDescription(why).c_str(),
                             told.c_str()));
}

bool IsEightBitText(const std::string& bytes) {
    return bytes.find('\0') == std::string::npos && bytes.compare(0, 2, "\xFF\xFE") != 0 &&
           bytes.compare(0, 2, "\xFE\xFF") != 0;
}

// An ID the file names, as written and upper-cased.
struct TNamedID {
    std::string Written;
    std::string Upper;
    bool Sender = false;
    std::size_t At = 0;
};

// The IDs behind the two keys on a line, in the order they stand.
std::vector<TNamedID> NamedIDs(const std::string& line) {
    const std::string upper = UpperAscii(line);
    std::vector<TNamedID> found;
    for (const bool sender : {true, false}) {
        const std::string key = UpperAscii(sender ? SenderKey : ReceiverKey);
        for (std::size_t at = upper.find(key); at != std::string::npos;
             at = upper.find(key, at + key.size())) {
            const std::size_t from = at + key.size();
            const std::size_t end = std::min(line.find_first_of(IDEnds, from), line.size());
            found.push_back(
                {line.substr(from, end - from), upper.substr(from, end - from), sender, at});
        }
    }
    std::sort(found.begin(), found.end(),
              [](const TNamedID& a, const TNamedID& b) { return a.At < b.At; });
    return found;
}

// An ID, upper-cased, that the file names whole and that the update replaces alone: it holds
// nothing that ends an ID, and no key that another ID would stand behind.
bool StandsAlone(const std::string& upper) {
    return upper.find_first_of(IDEnds) == std::string::npos &&
           upper.find(UpperAscii(SenderKey)) == std::string::npos &&
           upper.find(UpperAscii(ReceiverKey)) == std::string::npos;
}

} // namespace

std::vector<std::string> SplitConfigLines(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = std::min(bytes.find_first_of("\r\n", start), bytes.size());
        lines.emplace_back(bytes, start, end - start);
        start = end + (bytes.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return lines;
}

std::string JoinConfigLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text.append(line).append("\r\n");
    return text;
}

std::string ReplaceIgnoringCase(const std::string& line, const std::string& search,
                                const std::string& replacement) {
    std::string result = line;
    std::string upper = UpperAscii(line);
    ReplaceInLine(result, upper, UpperAscii(search), replacement);
    return result;
}

std::vector<std::string> UpdateConfigLines(std::vector<std::string> lines, const TConfigIDs& ids) {
    // Each search text, upper-cased, with its replacement, in the order the steps run on every
    // line. An empty old ID would turn every bare key into a match, so it is never searched for.
    std::vector<std::pair<std::string, std::string>> steps;
    const auto addStep = [&steps](const char* key, const std::string& oldID,
                                  const std::string& newID) {
        if (!oldID.empty())
            steps.emplace_back(UpperAscii(key + oldID), key + newID);
    };
    addStep(SenderKey, ids.OldLocalID, ids.LocalID);
    addStep(ReceiverKey, ids.OldLocalID, ids.LocalID);
    addStep(SenderKey, ids.OldRemoteID, ids.RemoteID);
    addStep(ReceiverKey, ids.OldRemoteID, ids.RemoteID);
    bool blockPending = ids.OldRemoteID.empty() && !ids.RemoteID.empty();

    std::vector<std::string> result;
    result.reserve(lines.size() + 6);
    for (std::string& line : lines) {
        std::string upperLine = UpperAscii(line);
        for (const auto& [upperSearch, replacement] : steps)
            ReplaceInLine(line, upperLine, upperSearch, replacement);
        if (blockPending && line.find(ModuleStart) != std::string::npos) {
            const std::string& remote = ids.RemoteID;
            result.insert(
                result.end(),
                {ModuleStart, "outboxdir=\"%home%/to" + remote + "/\"",
                 "errordir=\"%home%/to" + remote + "/error\"", "interval=\"5\"",
                 "defaults=\"sender.as2_id=" + ids.LocalID + ", receiver.as2_id=" + remote + "\"",
                 "mimetype=\"application/EDI-X12\"/>"});
            blockPending = false;
        }
        result.push_back(std::move(line));
    }
    return result;
}

std::string UpdateConfigText(const std::string& bytes, const TConfigIDs& ids) {
    return JoinConfigLines(UpdateConfigLines(SplitConfigLines(bytes), ids));
}

TFileIDs ConfigFileIDs(const std::string& bytes, const std::string& localID,
                       const std::string& remoteID, const std::vector<std::string>& namedIDs) {
    std::vector<TNamedID> all;
    std::vector<std::pair<TNamedID, TNamedID>> pairs; // each pair both ways
    if (IsEightBitText(bytes)) {
        for (const std::string& line : SplitConfigLines(bytes)) {
            const std::vector<TNamedID> ids = NamedIDs(line);
            all.insert(all.end(), ids.begin(), ids.end());
            for (std::size_t i = 0; i + 1 < ids.size(); ++i)
                if (ids[i].Sender != ids[i + 1].Sender) {
                    pairs.emplace_back(ids[i], ids[i + 1]);
                    pairs.emplace_back(ids[i + 1], ids[i]);
                    ++i;
                }
        }
    }
    const auto named = [&](const std::string& id, const std::string& other) -> TFileID {
        if (id.empty())
            return {TFileID::TState::Follows, std::nullopt};
        const std::string upperID = UpperAscii(id);
        if (!StandsAlone(upperID))
            return {};
        for (const TNamedID& found : all)
            if (found.Upper == upperID)
                return {TFileID::TState::Follows, found.Written};
        const std::string upperOther = UpperAscii(other);
        std::map<std::string, std::string> candidates; // upper-cased: as first written
        for (const auto& [side, candidate] : pairs)
            if (!other.empty() && side.Upper == upperOther && !candidate.Upper.empty() &&
                candidate.Upper != upperOther)
                candidates.emplace(candidate.Upper, candidate.Written);
        if (candidates.size() != 1)
            return {};
        const std::string& upper = candidates.begin()->first;
        // Another partner the service holds is not this one's old ID; and the update, which
        // replaces an old ID also where a longer one goes on from it, would change such one too.
        const auto held = [&](const std::string& id) {
            return UpperAscii(id) == upper;
        };
        const auto longer = [&](const TNamedID& found) {
            return found.Upper.size() > upper.size() &&
                   found.Upper.compare(0, upper.size(), upper) == 0;
        };
        if (!StandsAlone(upper) || std::any_of(namedIDs.begin(), namedIDs.end(), held) ||
            std::any_of(all.begin(), all.end(), longer))
            return {};
        return {TFileID::TState::Behind, candidates.begin()->second};
    };
    return {named(localID, remoteID), named(remoteID, localID)};
}

std::optional<std::string> ReadConfigFile(const std::string& path, TProgress& progress) {
    TFileState state;
    std::string why;
    if (!ReadFile(QString::fromStdString(path), Pump(progress, "Reading the configuration file"),
                  state, why))
        return std::nullopt;
    return std::move(state.Bytes);
}

std::string DefaultServiceConfigPath() {
    const std::string configured = ToStdString(qEnvironmentVariable("VANTREL_CONFIG"));
    if (!configured.empty())
        return configured;
    if (QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows)
        return "c:\\as2data\\config.xml";
    return "/var/lib/as2data/config.xml";
}

void UpdateServiceConfigFile(const std::string& path, const TConfigIDs& ids, TProgress& progress) {
    const QString filePath = QString::fromStdString(path);
    for (int attempt = 0; attempt < MaxUpdateAttempts; ++attempt) {
        const TPump pump = Pump(progress, attempt == 0 ? "Updating the configuration file"
                                                       : "Updating the configuration file again, "
                                                         "as another program changed it");
        pump();
        TFileState read;
        std::string why;
        // A read that stops part of the way would write back a truncated file.
        if (!ReadFile(filePath, pump, read, why))
            throw EFOpenError(Format("Cannot open file \"%s\". %s", AbsolutePath(filePath).c_str(),
                                     CleanDescription(why).c_str()));
        if (!IsEightBitText(read.Bytes))
            throw ENotTextFileError(
                Format("The file \"%s\" is not an 8-bit text file and was left unchanged",
                       AbsolutePath(filePath).c_str()));
        const std::string text = UpdateConfigText(read.Bytes, ids);
        pump();
        // A symbolic link stays one: the file it names is replaced.
        const QString target = QFileInfo(filePath).canonicalFilePath();
        // A file that cannot be read now counts as changed: reading it again says why.
        const auto unchanged = [&] {
            TFileState now;
            return ReadFile(target, pump, now, why) && now == read;
        };
        // Written in place where replacing it would lose something; made again when changed.
        const TReplaceOutcome outcome =
            ReplaceKeepingIdentity(QFile::encodeName(target).toStdString(), text, unchanged);
        if (outcome == TReplaceOutcome::Replaced ||
            (outcome == TReplaceOutcome::Refused && WriteInPlace(filePath, read, text, pump)))
            return;
    }
    RaiseCreateError(filePath, "It kept changing while it was being updated, so it was left as "
                               "it is");
}
