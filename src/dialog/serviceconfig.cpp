#include "serviceconfig.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

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
    // Straight into the string: a QByteArray in between would cost a second copy of the file.
    std::string bytes;
    std::size_t filled = 0;
    bytes.resize(static_cast<std::size_t>(std::max<qint64>(file.size(), 0)) + 1);
    for (;;) {
        if (filled == bytes.size())
            bytes.resize(bytes.size() * 2);
        const qint64 count =
            file.read(bytes.data() + filled, static_cast<qint64>(bytes.size() - filled));
        // A read that stops part of the way would write back a truncated file.
        if (count < 0 || file.error() != QFileDevice::NoError)
            RaiseOpenError(path, DeviceErrorText(file, errno));
        if (count == 0)
            break;
        filled += static_cast<std::size_t>(count);
    }
    bytes.resize(filled);
    return bytes;
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

namespace {

// The line model: a line ends at CR LF, at LF or at CR; text after the last break is the last line.
template <class TLine> void ForEachConfigLine(const std::string& bytes, TLine&& line) {
    const char* const begin = bytes.data();
    const std::size_t n = bytes.size();
    std::size_t start = 0;
    while (start < n) {
        const void* lf = std::memchr(begin + start, '\n', n - start);
        const std::size_t limit =
            lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - begin) : n;
        const void* cr = std::memchr(begin + start, '\r', limit - start);
        const std::size_t end =
            cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - begin) : limit;
        line(std::string_view(begin + start, end - start));
        if (end == n)
            break;
        start = end + (bytes[end] == '\r' && end + 1 < n && bytes[end + 1] == '\n' ? 2 : 1);
    }
}

} // namespace

std::vector<std::string> SplitConfigLines(const std::string& bytes) {
    std::vector<std::string> lines;
    ForEachConfigLine(bytes, [&lines](std::string_view line) { lines.emplace_back(line); });
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

namespace {

char UpperChar(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Every search text begins with one of the keys, so a line without "as2_id=" (in any letter case)
// holds no occurrence of any of them.
bool MayHoldKey(std::string_view line) {
    static constexpr char kTail[] = "AS2_ID";
    for (std::size_t eq = line.find('='); eq != std::string_view::npos;
         eq = line.find('=', eq + 1)) {
        if (eq < 6)
            continue;
        std::size_t k = 0;
        while (k < 6 && UpperChar(line[eq - 6 + k]) == kTail[k])
            ++k;
        if (k == 6)
            return true;
    }
    return false;
}

// The replacement rule with the search text already upper-cased.
std::string ReplaceUpper(const std::string& line, const std::string& upperSearch,
                         const std::string& replacement) {
    const std::string upperLine = UpperAscii(line);
    std::size_t found = upperLine.find(upperSearch);
    if (found == std::string::npos)
        return line;
    std::string result;
    result.reserve(line.size() + replacement.size());
    std::size_t from = 0;
    for (; found != std::string::npos; found = upperLine.find(upperSearch, from)) {
        result.append(line, from, found - from);
        result += replacement;
        from = found + upperSearch.size();
    }
    result.append(line, from, std::string::npos);
    return result;
}

// The steps of one run, with their texts built once.
class TLineUpdate {
public:
    explicit TLineUpdate(const TConfigIDs& ids) : IDs(ids) {
        AddStep(kSenderKey, ids.OldLocalID, ids.LocalID);
        AddStep(kReceiverKey, ids.OldLocalID, ids.LocalID);
        if (!ids.OldRemoteID.empty()) {
            AddStep(kSenderKey, ids.OldRemoteID, ids.RemoteID);
            AddStep(kReceiverKey, ids.OldRemoteID, ids.RemoteID);
        }
        Pending = ids.OldRemoteID.empty() && !ids.RemoteID.empty();
    }

    // Hands put the lines that stand for this line: the block first when it goes here.
    template <class TPut> void Visit(std::string_view original, TPut&& put) {
        if (Steps.empty() || !MayHoldKey(original)) {
            InsertBefore(original, put);
            put(original);
            return;
        }
        std::string line(original);
        for (const TStep& step : Steps)
            line = ReplaceUpper(line, step.UpperSearch, step.Replacement);
        InsertBefore(line, put);
        put(std::string_view(line));
    }

private:
    struct TStep {
        std::string UpperSearch;
        std::string Replacement;
    };

    void AddStep(const char* key, const std::string& oldID, const std::string& newID) {
        // An empty old ID would turn every bare key into a match.
        if (!oldID.empty())
            Steps.push_back({UpperAscii(key + oldID), key + newID});
    }

    template <class TPut> void InsertBefore(std::string_view line, TPut& put) {
        if (!Pending || line.find(kModuleStart) == std::string_view::npos)
            return;
        for (const std::string& blockLine : PollingModuleBlock(IDs.LocalID, IDs.RemoteID))
            put(std::string_view(blockLine));
        Pending = false;
    }

    const TConfigIDs& IDs;
    std::vector<TStep> Steps;
    bool Pending = false;
};

} // namespace

std::vector<std::string> UpdateConfigLines(const std::vector<std::string>& lines,
                                           const TConfigIDs& ids) {
    std::vector<std::string> result;
    result.reserve(lines.size() + 6);
    TLineUpdate update(ids);
    for (const std::string& line : lines)
        update.Visit(line, [&result](std::string_view out) { result.emplace_back(out); });
    return result;
}

namespace {

// The updated lines of the file's bytes, without a string per line.
template <class TPut>
void VisitUpdatedLines(const std::string& bytes, const TConfigIDs& ids, TPut&& put) {
    TLineUpdate update(ids);
    ForEachConfigLine(bytes, [&](std::string_view line) { update.Visit(line, put); });
}

} // namespace

std::string UpdateConfigText(const std::string& bytes, const TConfigIDs& ids) {
    std::string text;
    text.reserve(bytes.size() + 1024);
    VisitUpdatedLines(bytes, ids, [&text](std::string_view line) {
        text.append(line);
        text.append("\r\n", 2);
    });
    return text;
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
    QSaveFile file(filePath);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        RaiseCreateError(filePath, DeviceErrorText(file, errno));
    // The text goes out in pieces as it is made, so no second copy of the whole file is held.
    constexpr std::size_t kPiece = std::size_t(1) << 20;
    std::string piece;
    piece.reserve(kPiece + 4096);
    const auto flush = [&] {
        const auto size = static_cast<qint64>(piece.size());
        if (size > 0 && file.write(piece.data(), size) != size) {
            file.cancelWriting();
            throw EWriteError("Stream write error");
        }
        piece.clear();
    };
    VisitUpdatedLines(bytes, ids, [&](std::string_view line) {
        piece.append(line);
        piece.append("\r\n", 2);
        if (piece.size() >= kPiece)
            flush();
    });
    flush();
    if (!file.commit()) {
        const int savedErrno = errno;
        if (file.error() == QFileDevice::WriteError)
            throw EWriteError("Stream write error");
        RaiseCreateError(filePath, DeviceErrorText(file, savedErrno));
    }
}
