#include "model/serviceconfig.h"
#include "platform/exceptions.h"
#include "support/raised.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const QByteArray kUtf8Bom = "\xEF\xBB\xBF";
const QByteArray kModule =
    "<module classname=\"org.corvane.processor.receiver.AS2DirectoryPollingModule\"";

QByteArray Block(const QByteArray& local, const QByteArray& remote) {
    return kModule + "\r\n" + "outboxdir=\"%home%/to" + remote + "/\"\r\n" +
           "errordir=\"%home%/to" + remote + "/error\"\r\n" + "interval=\"5\"\r\n" +
           "defaults=\"sender.as2_id=" + local + ", receiver.as2_id=" + remote + "\"\r\n" +
           "mimetype=\"application/EDI-X12\"/>\r\n";
}

TConfigIDs IDs(const char* local, const char* remote, const char* oldLocal, const char* oldRemote) {
    return TConfigIDs{local, remote, oldLocal, oldRemote};
}

QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return file.readAll();
}

bool WriteBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// What the update raised (or "<nothing raised>"), run in a child process that has become the
// user nobody, as an operator who is not the file's owner.
QByteArray UpdateAsNobody(const QString& path, const TConfigIDs& ids) {
    int out[2];
    if (::pipe(out) != 0)
        return "<no pipe>";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        std::string message = "<cannot become nobody>";
        if (::setgid(65534) == 0 && ::setuid(65534) == 0)
            message = Raised<Exception>([&] { UpdateServiceConfigFile(path.toStdString(), ids); });
        const ssize_t written = ::write(out[1], message.data(), message.size());
        ::_exit(written == static_cast<ssize_t>(message.size()) ? 0 : 1);
    }
    ::close(out[1]);
    QByteArray message;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        message.append(buffer, n);
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return message;
}

QStringList Entries(const QString& dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                               QDir::NoDotAndDotDot);
}

} // namespace

class TestServiceConfig : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void splitLines_data();
    void splitLines();
    void joinLines();
    void replaceIgnoringCase_data();
    void replaceIgnoringCase();
    void updateText_data();
    void updateText();

    void fileUpdatedInPlaceOfTheOld();
    void missingFile();
    void relativePathReportedAbsolute();
    void directoryIsNoFile();
    void readErrorWritesNothing();
    void createErrorKeepsOldFile();
    void shortWriteKeepsOldFile();
    void notEightBitText_data();
    void notEightBitText();
    void defaultPath();
    void ownerGroupAndModeKept();
    void asAnotherUser_data();
    void asAnotherUser();
    void fileChangedMeanwhileIsUpdatedAgain();
};

void TestServiceConfig::splitLines_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArrayList>("lines");

    QTest::newRow("empty") << QByteArray() << QByteArrayList{};
    QTest::newRow("no break") << QByteArray("a") << QByteArrayList{"a"};
    QTest::newRow("CR LF") << QByteArray("a\r\nb\r\n") << QByteArrayList{"a", "b"};
    QTest::newRow("LF") << QByteArray("a\nb\n") << QByteArrayList{"a", "b"};
    QTest::newRow("CR") << QByteArray("a\rb\r") << QByteArrayList{"a", "b"};
    QTest::newRow("last line without break") << QByteArray("a\r\nb") << QByteArrayList{"a", "b"};
    QTest::newRow("mixed") << QByteArray("a\nb\rc\r\nd") << QByteArrayList{"a", "b", "c", "d"};
    QTest::newRow("LF CR is two breaks") << QByteArray("a\n\rb") << QByteArrayList{"a", "", "b"};
    QTest::newRow("CR CR LF is two breaks")
        << QByteArray("a\r\r\nb") << QByteArrayList{"a", "", "b"};
    QTest::newRow("break alone") << QByteArray("\r\n") << QByteArrayList{""};
    QTest::newRow("empty lines kept") << QByteArray("\n\na\n\n") << QByteArrayList{"", "", "a", ""};
    QTest::newRow("blanks and tabs kept") << QByteArray(" \ta \t\n") << QByteArrayList{" \ta \t"};
    QTest::newRow("UTF-8 BOM is part of line 1")
        << kUtf8Bom + "a\nb" << QByteArrayList{kUtf8Bom + "a", "b"};
}

void TestServiceConfig::splitLines() {
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArrayList, lines);
    QByteArrayList got;
    for (const std::string& line : SplitConfigLines(bytes.toStdString()))
        got << QByteArray::fromStdString(line);
    QCOMPARE(got, lines);
}

void TestServiceConfig::joinLines() {
    QCOMPARE(JoinConfigLines({}), std::string());
    QCOMPARE(JoinConfigLines({""}), std::string("\r\n"));
    QCOMPARE(JoinConfigLines({"a", "", "b"}), std::string("a\r\n\r\nb\r\n"));
}

void TestServiceConfig::replaceIgnoringCase_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("search");
    QTest::addColumn<QByteArray>("replacement");
    QTest::addColumn<QByteArray>("result");

    QTest::newRow("one") << QByteArray("abc") << QByteArray("b") << QByteArray("X")
                         << QByteArray("aXc");
    QTest::newRow("any case, replacement as written")
        << QByteArray("xAbCyabc") << QByteArray("aBc") << QByteArray("Q") << QByteArray("xQyQ");
    QTest::newRow("text between keeps its case")
        << QByteArray("AbXyAb") << QByteArray("ab") << QByteArray("-") << QByteArray("-Xy-");
    QTest::newRow("no overlap") << QByteArray("aaa") << QByteArray("aa") << QByteArray("b")
                                << QByteArray("ba");
    QTest::newRow("back to back") << QByteArray("aaaa") << QByteArray("aa") << QByteArray("b")
                                  << QByteArray("bb");
    QTest::newRow("replacement not searched again")
        << QByteArray("aa") << QByteArray("a") << QByteArray("aa") << QByteArray("aaaa");
    QTest::newRow("empty replacement")
        << QByteArray("a-b-c") << QByteArray("-") << QByteArray() << QByteArray("abc");
    QTest::newRow("empty search changes nothing")
        << QByteArray("abc") << QByteArray() << QByteArray("x") << QByteArray("abc");
    QTest::newRow("empty line") << QByteArray() << QByteArray("a") << QByteArray("b")
                                << QByteArray();
    QTest::newRow("no occurrence")
        << QByteArray("abc") << QByteArray("abd") << QByteArray("x") << QByteArray("abc");
    QTest::newRow("search longer than line")
        << QByteArray("ab") << QByteArray("abc") << QByteArray("x") << QByteArray("ab");
    QTest::newRow("longer ID behind matches")
        << QByteArray("sender.as2_id=LOCALIDX") << QByteArray("sender.as2_id=LOCALID")
        << QByteArray("sender.as2_id=LOCALID2") << QByteArray("sender.as2_id=LOCALID2X");
    QTest::newRow("only ASCII letters fold") << QByteArray("\xC3\x84x") << QByteArray("\xC3\xA4x")
                                             << QByteArray("y") << QByteArray("\xC3\x84x");
    QTest::newRow("UTF-8 bytes match themselves")
        << QByteArray("\xC3\xA4X") << QByteArray("\xC3\xA4x") << QByteArray("y") << QByteArray("y");
    QTest::newRow("punctuation does not fold")
        << QByteArray("a[b") << QByteArray("a{b") << QByteArray("y") << QByteArray("a[b");
}

void TestServiceConfig::replaceIgnoringCase() {
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, search);
    QFETCH(QByteArray, replacement);
    QFETCH(QByteArray, result);
    QCOMPARE(QByteArray::fromStdString(ReplaceIgnoringCase(line.toStdString(), search.toStdString(),
                                                           replacement.toStdString())),
             result);
}

void TestServiceConfig::updateText_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("local");
    QTest::addColumn<QByteArray>("remote");
    QTest::addColumn<QByteArray>("oldLocal");
    QTest::addColumn<QByteArray>("oldRemote");
    QTest::addColumn<QByteArray>("after");

    auto row = [](const char* name, const QByteArray& before, const TConfigIDs& ids,
                  const QByteArray& after) {
        QTest::newRow(name) << before << QByteArray::fromStdString(ids.LocalID)
                            << QByteArray::fromStdString(ids.RemoteID)
                            << QByteArray::fromStdString(ids.OldLocalID)
                            << QByteArray::fromStdString(ids.OldRemoteID) << after;
    };
    const TConfigIDs same = IDs("L", "R", "L", "R");

    // line breaks
    row("empty file stays empty", "", same, "");
    row("LF written as CR LF", "a\nb\n", same, "a\r\nb\r\n");
    row("CR written as CR LF", "a\rb\r", same, "a\r\nb\r\n");
    row("last line gets a break", "a\r\nb", same, "a\r\nb\r\n");
    row("empty lines kept", "a\n\rb\r\n\r\n", same, "a\r\n\r\nb\r\n\r\n");
    row("UTF-8 BOM kept", kUtf8Bom + "sender.as2_id=L\n", IDs("N", "R", "L", "R"),
        kUtf8Bom + "sender.as2_id=N\r\n");

    // the local ID
    row("sender key", "x sender.as2_id=OLDL y", IDs("NEWL", "", "OLDL", ""),
        "x sender.as2_id=NEWL y\r\n");
    row("receiver key", "receiver.as2_id=OLDL", IDs("NEWL", "", "OLDL", ""),
        "receiver.as2_id=NEWL\r\n");
    row("upper-case key written lower case", "SENDER.AS2_ID=oldl\nReceiver.As2_Id=OldL",
        IDs("NEWL", "", "OLDL", ""), "sender.as2_id=NEWL\r\nreceiver.as2_id=NEWL\r\n");
    row("longer ID behind matches", "sender.as2_id=LOCALIDX", IDs("LOCALID2", "", "LOCALID", ""),
        "sender.as2_id=LOCALID2X\r\n");
    row("unchanged ID takes the stored case", "sender.as2_id=LOCALID\nsender.as2_id=localid",
        IDs("LocalID", "", "LocalID", ""), "sender.as2_id=LocalID\r\nsender.as2_id=LocalID\r\n");
    row("every occurrence on a line",
        "defaults=\"sender.as2_id=A, receiver.as2_id=B\" sender.as2_id=A", IDs("X", "Y", "A", "B"),
        "defaults=\"sender.as2_id=X, receiver.as2_id=Y\" sender.as2_id=X\r\n");
    row("ID without key untouched", "OLDL as2_id=OLDL", IDs("NEWL", "", "OLDL", ""),
        "OLDL as2_id=OLDL\r\n");
    row("empty old local ID searches nothing",
        "sender.as2_id=foo\nreceiver.as2_id=", IDs("NEWL", "", "", ""),
        "sender.as2_id=foo\r\nreceiver.as2_id=\r\n");
    row("empty old local ID, remote still replaced", "sender.as2_id=\nreceiver.as2_id=OLDR",
        IDs("NEWL", "NEWR", "", "OLDR"), "sender.as2_id=\r\nreceiver.as2_id=NEWR\r\n");
    row("local ID removed", "sender.as2_id=OLDL,", IDs("", "", "OLDL", ""), "sender.as2_id=,\r\n");

    // the remote ID
    row("both keys", "sender.as2_id=OLDR\nreceiver.as2_id=oldr", IDs("L", "NEWR", "L", "OLDR"),
        "sender.as2_id=NEWR\r\nreceiver.as2_id=NEWR\r\n");
    row("remote ID removed, keys stay", "sender.as2_id=OLDR receiver.as2_id=OLDR",
        IDs("L", "", "L", "OLDR"), "sender.as2_id= receiver.as2_id=\r\n");
    row("old remote equal to new local replaces again", "sender.as2_id=A\nreceiver.as2_id=B",
        IDs("B", "C", "A", "B"), "sender.as2_id=C\r\nreceiver.as2_id=C\r\n");

    // the polling module
    const QByteArray plain = "<modules>\n" + kModule + " name=\"a\"/>\n</modules>";
    row("module lines untouched when old remote set", plain, IDs("L", "R", "L", "OLDR"),
        "<modules>\r\n" + kModule + " name=\"a\"/>\r\n</modules>\r\n");
    row("no module without new remote", plain, IDs("L", "", "L", ""),
        "<modules>\r\n" + kModule + " name=\"a\"/>\r\n</modules>\r\n");
    row("block inserted once before the first module line",
        "<modules>\n" + kModule + " a=\"1\"/>\n" + kModule + " a=\"2\"/>\n</modules>",
        IDs("LOCALID", "REMOTEID", "LOCALID", ""),
        "<modules>\r\n" + Block("LOCALID", "REMOTEID") + kModule + " a=\"1\"/>\r\n" + kModule +
            " a=\"2\"/>\r\n</modules>\r\n");
    row("module line after indentation", "\t  " + kModule + ">\n", IDs("L", "R", "L", ""),
        Block("L", "R") + "\t  " + kModule + ">\r\n");
    row("module start text alone is a match", kModule, IDs("L", "R", "L", ""),
        Block("L", "R") + kModule + "\r\n");
    row("no module line, nothing inserted", "<modules/>\n", IDs("L", "R", "L", ""),
        "<modules/>\r\n");
    row("class name in other case does not count",
        "<module classname=\"org.corvane.processor.receiver.as2directorypollingmodule\"",
        IDs("L", "R", "L", ""),
        "<module classname=\"org.corvane.processor.receiver.as2directorypollingmodule\"\r\n");
    row("single quotes do not count",
        "<module classname='org.corvane.processor.receiver.AS2DirectoryPollingModule'",
        IDs("L", "R", "L", ""),
        "<module classname='org.corvane.processor.receiver.AS2DirectoryPollingModule'\r\n");
    row("other spacing does not count",
        "<module  classname=\"org.corvane.processor.receiver.AS2DirectoryPollingModule\"",
        IDs("L", "R", "L", ""),
        "<module  classname=\"org.corvane.processor.receiver.AS2DirectoryPollingModule\"\r\n");
    row("lines before and after still updated",
        "sender.as2_id=OLD\n" + kModule + " x=\"receiver.as2_id=OLD\"/>\nreceiver.as2_id=OLD",
        IDs("NEW", "R", "OLD", ""),
        "sender.as2_id=NEW\r\n" + Block("NEW", "R") + kModule +
            " x=\"receiver.as2_id=NEW\"/>\r\nreceiver.as2_id=NEW\r\n");
    row("inserted lines are not visited", kModule, IDs("LOC2", "R", "LOC", ""),
        Block("LOC2", "R") + kModule + "\r\n");
    row("IDs written into the block as held", kModule, IDs("a%b", "$1 \"x\"", "L", ""),
        Block("a%b", "$1 \"x\"") + kModule + "\r\n");
    row("module found on the line as the local step left it", "sender.as2_id=OLD",
        TConfigIDs{kModule.toStdString(), "R", "OLD", ""},
        Block(kModule, "R") + "sender.as2_id=" + kModule + "\r\n");
    row("module text the local step removed does not count", "sender.as2_id=" + kModule,
        TConfigIDs{"x", "R", "<module", ""},
        "sender.as2_id=x "
        "classname=\"org.corvane.processor.receiver.AS2DirectoryPollingModule\"\r\n");
}

void TestServiceConfig::updateText() {
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, local);
    QFETCH(QByteArray, remote);
    QFETCH(QByteArray, oldLocal);
    QFETCH(QByteArray, oldRemote);
    QFETCH(QByteArray, after);
    const TConfigIDs ids{local.toStdString(), remote.toStdString(), oldLocal.toStdString(),
                         oldRemote.toStdString()};
    QCOMPARE(QByteArray::fromStdString(UpdateConfigText(before.toStdString(), ids)), after);
}

void TestServiceConfig::fileUpdatedInPlaceOfTheOld() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("config.xml");
    QVERIFY(WriteBytes(path, "<x sender.as2_id=OLD/>\n" + kModule + "/>"));
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0640) == 0);

    UpdateServiceConfigFile(path.toStdString(), IDs("NEW", "R", "OLD", ""));

    QCOMPARE(ReadBytes(path),
             "<x sender.as2_id=NEW/>\r\n" + Block("NEW", "R") + kModule + "/>\r\n");
    struct stat st {};
    QVERIFY(::stat(QFile::encodeName(path).constData(), &st) == 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0640));
    QCOMPARE(Entries(dir.path()), QStringList{"config.xml"});
}

void TestServiceConfig::missingFile() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("config.xml");
    QCOMPARE(QByteArray::fromStdString(
                 Raised<EFOpenError>([&] { UpdateServiceConfigFile(path.toStdString(), {}); })),
             "Cannot open file \"" + path.toUtf8() + "\". No such file or directory");
    QCOMPARE(Entries(dir.path()), QStringList{});
}

void TestServiceConfig::relativePathReportedAbsolute() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    const QByteArray raised = QByteArray::fromStdString(
        Raised<EFOpenError>([&] { UpdateServiceConfigFile("sub/../config.xml", {}); }));
    QDir::setCurrent(previous);
    QCOMPARE(raised, "Cannot open file \"" + dir.filePath("config.xml").toUtf8() +
                         "\". No such file or directory");
}

void TestServiceConfig::directoryIsNoFile() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QCOMPARE(QByteArray::fromStdString(Raised<EFOpenError>(
                 [&] { UpdateServiceConfigFile(dir.path().toStdString(), {}); })),
             "Cannot open file \"" + dir.path().toUtf8() + "\". Is a directory");
    QCOMPARE(Entries(dir.path()), QStringList{});
}

// A file that opens but fails part of the way must not be written back truncated.
void TestServiceConfig::readErrorWritesNothing() {
    // Reading this process's memory at address 0 fails with an I/O error.
    if (!QFile::exists("/proc/self/mem"))
        QSKIP("no /proc/self/mem here");
    QCOMPARE(QByteArray::fromStdString(
                 Raised<EFOpenError>([] { UpdateServiceConfigFile("/proc/self/mem", {}); })),
             QByteArray("Cannot open file \"/proc/self/mem\". Input/output error"));
}

// The temporary file beside a name of the longest length cannot be given a name, whoever runs
// the test; the old file must survive that byte for byte.
void TestServiceConfig::createErrorKeepsOldFile() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString name(255, QLatin1Char('c'));
    const QString path = dir.filePath(name);
    const QByteArray old = "sender.as2_id=OLD\n" + kModule;
    QVERIFY(WriteBytes(path, old));

    QCOMPARE(QByteArray::fromStdString(Raised<EFCreateError>(
                 [&] { UpdateServiceConfigFile(path.toStdString(), IDs("NEW", "R", "OLD", "")); })),
             "Cannot create file \"" + path.toUtf8() + "\". File name too long");
    QCOMPARE(ReadBytes(path), old);
    QCOMPARE(Entries(dir.path()), QStringList{name});
}

// A file size limit cuts the write short, as a full disk would.
void TestServiceConfig::shortWriteKeepsOldFile() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("config.xml");
    const QByteArray old = QByteArray(200, 'x') + "\nsender.as2_id=OLD\n";
    QVERIFY(WriteBytes(path, old));

    rlimit saved{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
    const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 64;
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);
    // Nothing may be logged until the limit is lifted again: the log may be a file too.
    const QByteArray raised = QByteArray::fromStdString(Raised<EWriteError>(
        [&] { UpdateServiceConfigFile(path.toStdString(), IDs("NEW", "", "OLD", "")); }));
    const bool restored = ::setrlimit(RLIMIT_FSIZE, &saved) == 0;
    std::signal(SIGXFSZ, savedHandler);
    QVERIFY(restored);

    QCOMPARE(raised, QByteArray("Stream write error"));
    QCOMPARE(ReadBytes(path), old);
    QCOMPARE(Entries(dir.path()), QStringList{"config.xml"});
}

void TestServiceConfig::notEightBitText_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("NUL byte") << QByteArray("sender.as2_id=OLD\n\0x", 20);
    QTest::newRow("UTF-16 LE") << QByteArray("\xFF\xFEs\0=\0O\0L\0D\0", 12);
    QTest::newRow("UTF-16 BE") << QByteArray("\xFE\xFF\0s\0=\0O\0L\0D", 12);
    QTest::newRow("UTF-16 LE BOM, no NUL") << QByteArray("\xFF\xFE\x41\x4E");
    QTest::newRow("UTF-32 LE") << QByteArray("\xFF\xFE\0\0s\0\0\0", 8);
}

void TestServiceConfig::notEightBitText() {
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("config.xml");
    QVERIFY(WriteBytes(path, bytes));
    QCOMPARE(QByteArray::fromStdString(Raised<ENotTextFileError>(
                 [&] { UpdateServiceConfigFile(path.toStdString(), IDs("NEW", "R", "OLD", "")); })),
             "The file \"" + path.toUtf8() + "\" is not an 8-bit text file and was left unchanged");
    QCOMPARE(ReadBytes(path), bytes);
    QCOMPARE(Entries(dir.path()), QStringList{"config.xml"});
}

void TestServiceConfig::defaultPath() {
    const bool wasSet = qEnvironmentVariableIsSet("VANTREL_CONFIG");
    const QByteArray was = qgetenv("VANTREL_CONFIG");
    const std::string fixed = "/var/lib/as2data/config.xml";

    qunsetenv("VANTREL_CONFIG");
    QCOMPARE(DefaultServiceConfigPath(), fixed);
    qputenv("VANTREL_CONFIG", "");
    QCOMPARE(DefaultServiceConfigPath(), fixed);
    qputenv("VANTREL_CONFIG", "/srv/demo/config \xC3\xBC.xml");
    QCOMPARE(DefaultServiceConfigPath(), std::string("/srv/demo/config \xC3\xBC.xml"));

    if (wasSet)
        qputenv("VANTREL_CONFIG", was);
    else
        qunsetenv("VANTREL_CONFIG");
}

void TestServiceConfig::ownerGroupAndModeKept() {
    if (::geteuid() != 0)
        QSKIP("giving a file to another user needs root");
    QTemporaryDir dir;
    const QString path = dir.filePath("config.xml");
    QVERIFY(WriteBytes(path, "sender.as2_id=OLD\n"));
    // The service's own user, and a mode that lets only it and its group read the file.
    const QByteArray native = QFile::encodeName(path);
    QVERIFY(::chown(native.constData(), 65534, 65534) == 0);
    QVERIFY(::chmod(native.constData(), 0640) == 0);
    UpdateServiceConfigFile(path.toStdString(), IDs("NEW", "", "OLD", ""));
    QCOMPARE(ReadBytes(path), QByteArray("sender.as2_id=NEW\r\n"));
    struct stat after {};
    QVERIFY(::stat(native.constData(), &after) == 0);
    QCOMPARE(after.st_uid, uid_t(65534));
    QCOMPARE(after.st_gid, gid_t(65534));
    QCOMPARE(after.st_mode & 07777, mode_t(0640));
}

void TestServiceConfig::asAnotherUser_data() {
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<QString>("told");
    // The folder is root's: nobody may read and write the file but not add one beside it.
    QTest::newRow("a folder that takes no new file")
        << 0755 << "\". The folder \"%1\" does not take the new file: Permission denied";
    // Nobody may write the folder, but the new file cannot be given to root.
    QTest::newRow("an owner that cannot be given back")
        << 0777
        << "\". Its owner and group cannot be given to the new file, so it was left as it is: "
           "Operation not permitted";
}

void TestServiceConfig::asAnotherUser() {
    QFETCH(int, folderMode);
    QFETCH(QString, told);
    if (::geteuid() != 0)
        QSKIP("acting as another user needs root");
    QTemporaryDir dir;
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
    const QString folder = dir.filePath("as2data");
    QVERIFY(QDir().mkdir(folder));
    QVERIFY(::chmod(QFile::encodeName(folder).constData(), static_cast<mode_t>(folderMode)) == 0);
    const QString path = folder + "/config.xml";
    const QByteArray old = "sender.as2_id=OLD\n";
    QVERIFY(WriteBytes(path, old));
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0666) == 0);
    QCOMPARE(UpdateAsNobody(path, IDs("NEW", "", "OLD", "")),
             ("Cannot create file \"" + path + told.arg(folder)).toUtf8());
    QCOMPARE(ReadBytes(path), old);
    QCOMPARE(Entries(folder), QStringList{"config.xml"});
}

// Another program appends to the file just after the update has read it: the update reads it
// again and keeps the new line, instead of replacing the file with what it read before.
void TestServiceConfig::fileChangedMeanwhileIsUpdatedAgain() {
    QTemporaryDir dir;
    const QString path = dir.filePath("config.xml");
    QByteArray text;
    while (text.size() < 16 * 1024 * 1024)
        text += "  <module classname=\"x\" defaults=\"sender.as2_id=OLD, receiver.as2_id=R\"/>\r\n";
    QVERIFY(WriteBytes(path, text));

    const int watch = ::inotify_init1(IN_CLOEXEC);
    QVERIFY(watch >= 0 &&
            ::inotify_add_watch(watch, QFile::encodeName(path).constData(), IN_CLOSE_NOWRITE) >= 0);
    std::thread appender([&] {
        // The first time the file is closed after reading, a line goes onto its end.
        pollfd ready{watch, POLLIN, 0};
        if (::poll(&ready, 1, 10000) == 1) {
            QFile file(path);
            if (file.open(QIODevice::Append))
                file.write("appended\r\n");
        }
    });
    UpdateServiceConfigFile(path.toStdString(), IDs("NEW", "R", "OLD", "R"));
    appender.join();
    ::close(watch);

    const QByteArray after = ReadBytes(path);
    QVERIFY(after.endsWith("\r\nappended\r\n"));
    QVERIFY(after.contains("sender.as2_id=NEW"));
    QVERIFY(!after.contains("sender.as2_id=OLD"));
}

QTEST_GUILESS_MAIN(TestServiceConfig)
#include "tst_serviceconfig.moc"
