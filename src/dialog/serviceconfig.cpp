#include "serviceconfig.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QString>
#include <QtGlobal>

#include <cerrno>
#include <cstring>

namespace {

const char kSenderKey[] = "sender.as2_id=";
const char kReceiverKey[] = "receiver.as2_id=";
const char kModuleStart[] =
    "<module classname=\"org.corvane.processor.receiver.AS2DirectoryPollingModule\"";
static_assert(sizeof(kModuleStart) - 1 == 76, "module start text");

std::string UpperAscii(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// Replaces key + oldID by key + newID; an empty old ID would turn every bare key into a match.
std::string ReplaceID(const std::string& line, const char* key, const std::string& oldID,
                      const std::string& newID) {
    if (oldID.empty())
        return line;
    return ReplaceIgnoringCase(line, key + oldID, key + newID);
}

std::vector<std::string> PollingModuleBlock(const std::string& local, const std::string& remote) {
    return {
        kModuleStart,
        "outboxdir=\"%home%/to" + remote + "/\"",
        "errordir=\"%home%/to" + remote + "/error\"",
        "interval=\"5\"",
        "defaults=\"sender.as2_id=" + local + ", receiver.as2_id=" + remote + "\"",
        "mimetype=\"application/EDI-X12\"/>",
    };
}

std::string ToUtf8(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

std::string AbsolutePath(const QString& path) {
    return ToUtf8(QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath())));
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
    QString text = device.errorString();
    if (text.isEmpty() || text == untouched) {
#ifdef _WIN32
        (void)savedErrno;
        text = qt_error_string(); // Qt's file engine there fails with the system's last error
#else
        text = qt_error_string(savedErrno);
#endif
    }
    return CleanDescription(ToUtf8(text));
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
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
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

void ReplaceFile(const QString& path, const std::string& text) {
    QSaveFile file(path);
    // Writing in place would leave a half-written file behind when the write fails.
    file.setDirectWriteFallback(false);
    // Unbuffered, so that a short write shows in the count write() returns.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        RaiseCreateError(path, DeviceErrorText(file, errno));
    const auto size = static_cast<qint64>(text.size());
    if (size > 0 && file.write(text.data(), size) != size) {
        file.cancelWriting(); // the destructor then discards the temporary file
        throw EWriteError("Stream write error");
    }
    if (!file.commit()) {
        const int savedErrno = errno;
        if (file.error() == QFileDevice::WriteError)
            throw EWriteError("Stream write error");
        RaiseCreateError(path, DeviceErrorText(file, savedErrno));
    }
}

} // namespace

std::vector<std::string> SplitConfigLines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    const size_t n = bytes.size();
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i] != '\r' && bytes[i] != '\n')
            continue;
        lines.push_back(bytes.substr(start, i - start));
        if (bytes[i] == '\r' && i + 1 < n && bytes[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < n)
        lines.push_back(bytes.substr(start));
    return lines;
}

std::string JoinConfigLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

std::string ReplaceIgnoringCase(const std::string& line, const std::string& search,
                                const std::string& replacement) {
    if (search.empty())
        return line;
    const std::string upperLine = UpperAscii(line);
    const std::string upperSearch = UpperAscii(search);
    std::string result;
    size_t from = 0;
    for (size_t found = upperLine.find(upperSearch); found != std::string::npos;
         found = upperLine.find(upperSearch, from)) {
        result.append(line, from, found - from);
        result += replacement;
        from = found + search.size();
    }
    result.append(line, from, std::string::npos);
    return result;
}

std::vector<std::string> UpdateConfigLines(const std::vector<std::string>& lines,
                                           const TConfigIDs& ids) {
    std::vector<std::string> result;
    result.reserve(lines.size() + 6);
    bool inserted = false;
    for (const std::string& original : lines) {
        std::string line = ReplaceID(original, kSenderKey, ids.OldLocalID, ids.LocalID);
        line = ReplaceID(line, kReceiverKey, ids.OldLocalID, ids.LocalID);
        if (!ids.OldRemoteID.empty()) {
            line = ReplaceID(line, kSenderKey, ids.OldRemoteID, ids.RemoteID);
            line = ReplaceID(line, kReceiverKey, ids.OldRemoteID, ids.RemoteID);
        } else if (!ids.RemoteID.empty() && !inserted &&
                   line.find(kModuleStart) != std::string::npos) {
            for (std::string& blockLine : PollingModuleBlock(ids.LocalID, ids.RemoteID))
                result.push_back(std::move(blockLine));
            inserted = true;
        }
        result.push_back(std::move(line));
    }
    return result;
}

std::string UpdateConfigText(const std::string& bytes, const TConfigIDs& ids) {
    return JoinConfigLines(UpdateConfigLines(SplitConfigLines(bytes), ids));
}

std::string DefaultServiceConfigPath() {
#ifdef _WIN32
    const std::string configured = ToUtf8(qEnvironmentVariable("VANTREL_CONFIG"));
#else
    // File names are bytes here; take them as they are.
    const std::string configured = qgetenv("VANTREL_CONFIG").toStdString();
#endif
    if (!configured.empty())
        return configured;
#ifdef _WIN32
    return "c:\\as2data\\config.xml";
#else
    return "/var/lib/as2data/config.xml";
#endif
}

void UpdateServiceConfigFile(const std::string& path, const TConfigIDs& ids) {
    const QString filePath = QString::fromStdString(path);
    const std::string bytes = ReadWholeFile(filePath);
    if (!IsEightBitText(bytes))
        throw ENotTextFileError(
            Format("The file \"%s\" is not an 8-bit text file and was left unchanged",
                   AbsolutePath(filePath).c_str()));
    ReplaceFile(filePath, UpdateConfigText(bytes, ids));
}
