#include "model/serviceconfig.h"

#include "platform/fileowner.h"
#include "platform/textconv.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QOperatingSystemVersion>
#include <QSaveFile>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace {

const char SenderKey[] = "sender.as2_id=";
const char ReceiverKey[] = "receiver.as2_id=";
const char ModuleStart[] =
    "<module classname=\"org.corvane.processor.receiver.AS2DirectoryPollingModule\"";
static_assert(sizeof(ModuleStart) - 1 == 76, "module start text");
// How often the update starts again when another program changes the file meanwhile.
constexpr int MaxUpdateAttempts = 5;

std::string UpperAscii(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// The replacement rule on a line whose upper-cased copy is upperLine, for a search text given
// upper-cased: every occurrence replaced in place. False when there is none; both texts are then
// untouched, otherwise upperLine is brought up to date.
bool ReplaceInLine(std::string& line, std::string& upperLine, const std::string& upperSearch,
                   const std::string& replacement) {
    std::size_t found = upperSearch.empty() ? std::string::npos : upperLine.find(upperSearch);
    if (found == std::string::npos)
        return false;
    std::string result;
    result.reserve(line.size() + replacement.size());
    std::size_t from = 0;
    for (; found != std::string::npos; found = upperLine.find(upperSearch, from)) {
        result.append(line, from, found - from);
        result += replacement;
        from = found + upperSearch.size();
    }
    result.append(line, from, std::string::npos);
    line.swap(result);
    upperLine = UpperAscii(line);
    return true;
}

std::vector<std::string> PollingModuleBlock(const std::string& local, const std::string& remote) {
    return {
        ModuleStart,
        "outboxdir=\"%home%/to" + remote + "/\"",
        "errordir=\"%home%/to" + remote + "/error\"",
        "interval=\"5\"",
        "defaults=\"sender.as2_id=" + local + ", receiver.as2_id=" + remote + "\"",
        "mimetype=\"application/EDI-X12\"/>",
    };
}

std::string AbsolutePath(const QString& path) {
    return ToStdString(
        QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath())));
}

// The system's error text without the trailing blanks, line breaks and full stops it may carry.
std::string CleanDescription(std::string text) {
    while (!text.empty() &&
           (text.back() == ' ' || text.back() == '\r' || text.back() == '\n' || text.back() == '.'))
        text.pop_back();
    return text;
}

// Qt sometimes leaves a failed file device with no error text of its own (e.g. when the rename
// of an unnamed temporary file fails); the system's error code then describes the failure.
std::string DeviceErrorText(const QFileDevice& device, int savedErrno) {
    const QString untouched = QFile().errorString();
    const QString text = device.errorString();
    if (text.isEmpty() || text == untouched)
        return CleanDescription(std::generic_category().message(savedErrno));
    return CleanDescription(ToStdString(text));
}

[[noreturn]] void RaiseOpenError(const QString& path, const std::string& description) {
    throw EFOpenError(Format("Cannot open file \"%s\". %s", AbsolutePath(path).c_str(),
                             CleanDescription(description).c_str()));
}

[[noreturn]] void RaiseCreateError(const QString& path, const std::string& description) {
    throw EFCreateError(
        Format("Cannot create file \"%s\". %s", AbsolutePath(path).c_str(), description.c_str()));
}

std::string ReadWholeFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        const int savedErrno = errno;
        // Qt words this case itself; the system's own text is what the message promises.
        if (QFileInfo(path).isDir())
            RaiseOpenError(path, std::strerror(EISDIR));
        RaiseOpenError(path, DeviceErrorText(file, savedErrno));
    }
    const QByteArray bytes = file.readAll();
    // A read that stops part of the way would write back a truncated file.
    if (file.error() != QFileDevice::NoError)
        RaiseOpenError(path, DeviceErrorText(file, errno));
    return bytes.toStdString();
}

bool IsEightBitText(const std::string& bytes) {
    if (bytes.find('\0') != std::string::npos)
        return false;
    if (bytes.size() >= 2) {
        const auto b0 = static_cast<unsigned char>(bytes[0]);
        const auto b1 = static_cast<unsigned char>(bytes[1]);
        if ((b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF))
            return false;
    }
    return true;
}

} // namespace

std::vector<std::string> SplitConfigLines(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = start;
        while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n')
            ++end;
        lines.emplace_back(bytes, start, end - start);
        start = end + (bytes.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    return lines;
}

std::string JoinConfigLines(const std::vector<std::string>& lines) {
    std::size_t size = 0;
    for (const std::string& line : lines)
        size += line.size() + 2;
    std::string text;
    text.reserve(size);
    for (const std::string& line : lines) {
        text += line;
        text += "\r\n";
    }
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
    if (!ids.OldRemoteID.empty()) {
        addStep(SenderKey, ids.OldRemoteID, ids.RemoteID);
        addStep(ReceiverKey, ids.OldRemoteID, ids.RemoteID);
    }
    bool blockPending = ids.OldRemoteID.empty() && !ids.RemoteID.empty();

    std::vector<std::string> result;
    result.reserve(lines.size() + 6);
    for (std::string& line : lines) {
        std::string upperLine = UpperAscii(line);
        for (const auto& [upperSearch, replacement] : steps)
            ReplaceInLine(line, upperLine, upperSearch, replacement);
        if (blockPending && line.find(ModuleStart) != std::string::npos) {
            for (std::string& blockLine : PollingModuleBlock(ids.LocalID, ids.RemoteID))
                result.push_back(std::move(blockLine));
            blockPending = false;
        }
        result.push_back(std::move(line));
    }
    return result;
}

std::string UpdateConfigText(const std::string& bytes, const TConfigIDs& ids) {
    return JoinConfigLines(UpdateConfigLines(SplitConfigLines(bytes), ids));
}

std::string DefaultServiceConfigPath() {
    const std::string configured = ToStdString(qEnvironmentVariable("VANTREL_CONFIG"));
    if (!configured.empty())
        return configured;
    if (QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows)
        return "c:\\as2data\\config.xml";
    return "/var/lib/as2data/config.xml";
}

void UpdateServiceConfigFile(const std::string& path, const TConfigIDs& ids) {
    const QString filePath = QString::fromStdString(path);
    // Another program may change the file while it is updated here; the update is then made
    // again from what the file holds, rather than replace it with older content.
    for (int attempt = 0; attempt < MaxUpdateAttempts; ++attempt) {
        const std::string bytes = ReadWholeFile(filePath);
        if (!IsEightBitText(bytes))
            throw ENotTextFileError(
                Format("The file \"%s\" is not an 8-bit text file and was left unchanged",
                       AbsolutePath(filePath).c_str()));
        const std::string text = UpdateConfigText(bytes, ids);
        const QFileInfo original(filePath);

        QSaveFile file(filePath);
        file.setDirectWriteFallback(false);
        // Unbuffered, so a write that the disk cuts short fails here and not unnoticed in commit().
        if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            RaiseCreateError(filePath, Format("The folder \"%s\" does not take the new file: %s",
                                              AbsolutePath(original.absolutePath()).c_str(),
                                              DeviceErrorText(file, errno).c_str()));
        if (file.write(text.data(), static_cast<qint64>(text.size())) !=
            static_cast<qint64>(text.size())) {
            file.cancelWriting();
            throw EWriteError("Stream write error");
        }
        // The service reads the file as its own user: the new file keeps the old one's owner and
        // group (Qt keeps its permission bits), or the old file stays.
        std::string why;
        if (!GiveOwner(file.handle(), original.ownerId(), original.groupId(), why)) {
            file.cancelWriting();
            RaiseCreateError(filePath,
                             Format("Its owner and group cannot be given to the new file, so it "
                                    "was left as it is: %s",
                                    CleanDescription(why).c_str()));
        }
        if (ReadWholeFile(filePath) != bytes) {
            file.cancelWriting();
            continue;
        }
        if (!file.commit()) {
            const int savedErrno = errno;
            if (file.error() == QFileDevice::WriteError)
                throw EWriteError("Stream write error");
            RaiseCreateError(filePath, DeviceErrorText(file, savedErrno));
        }
        return;
    }
    RaiseCreateError(filePath, "It kept changing while it was being updated, so it was left as "
                               "it is");
}
