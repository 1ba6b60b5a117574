#include "model/serviceconfig.h"
#include "platform/exceptions.h"
#include "support/raised.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
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

// What `work` returned in a child process, which may become another user or change its mounts
// without touching the test's own.
QByteArrayList InChild(const std::function<QByteArrayList()>& work) {
    int out[2];
    if (::pipe(out) != 0)
        return {"<no pipe>"};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        QByteArray report;
        QDataStream stream(&report, QIODevice::WriteOnly);
        stream << work();
        for (qsizetype done = 0, n = 0; done < report.size(); done += n)
            if ((n = ::write(out[1], report.constData() + done, report.size() - done)) <= 0)
                ::_exit(1);
        ::_exit(0);
    }
    ::close(out[1]);
    QByteArray report;
    char buffer[65536];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, n);
    ::close(out[0]);
    ::waitpid(child, nullptr, 0);
    QByteArrayList got;
    QDataStream stream(report);
    stream >> got;
    return got;
}

QStringList Entries(const QString& dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                               QDir::NoDotAndDotDot);
}

ino_t Inode(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

// What a replacement could change besides the text: owner, group, mode, links, every extended
// attribute (ACLs among them) with its value, and what else lies in the folder.
QByteArray Identity(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::stat(native.constData(), &st) != 0)
        return "<gone>";
    QByteArray identity = QByteArray::number(st.st_uid) + ':' + QByteArray::number(st.st_gid) +
                          " mode " + QByteArray::number(st.st_mode & 07777, 8) + " links " +
                          QByteArray::number(st.st_nlink);
    char names[4096], value[4096];
    const ssize_t size = ::listxattr(native.constData(), names, sizeof names);
    for (ssize_t at = 0; at < size; at += ssize_t(qstrlen(names + at)) + 1) {
        const ssize_t length = ::getxattr(native.constData(), names + at, value, sizeof value);
        identity += QByteArray(" ") + (names + at) + '=' + QByteArray(value, length).toHex();
    }
    return identity + " beside " + Entries(QFileInfo(path).path()).join(',').toUtf8();
}

// Counts what the update tells the window, and whether it ever offered to cancel.
class TSteps final : public TProgress {
public:
    void Step(const std::string&, int, int, TCancel cancel) override {
        Told =
            cancel == TCancel::Offered ? "offered to cancel" : QByteArray::number(Told.toInt() + 1);
    }
    QByteArray Told = "0";
};
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

    void fileIDs_data();
    void fileIDs();
    void fileUpdatedInPlaceOfTheOld();
    void missingFile();
    void relativePathReportedAbsolute();
    void notARegularFile_data();
    void notARegularFile();
    void readErrorWritesNothing();
    void longNameWrittenInPlace();
    void notEightBitText_data();
    void notEightBitText();
    void defaultPath();
    void fileKeepsItsIdentity_data();
    void fileKeepsItsIdentity();
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

void TestServiceConfig::fileIDs_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArrayList>("held"); // local, remote, then those partnerships name
    QTest::addColumn<QString>("named");       // what the file names for local | for remote
    const QByteArray pair = "x defaults=\"sender.as2_id=LOCALID, receiver.as2_id=PARTNER-8\"/>";
    const QByteArrayList ids{"LOCALID", "PARTNER-9", "LOCALID", "PARTNER-9"};
    QTest::newRow("behind on the remote ID") << pair << ids << "follows LOCALID | behind PARTNER-8";
    QTest::newRow("behind on the local ID")
        << QByteArray("Receiver.AS2_ID=PARTNER-9\tSENDER.as2_id=OLDLOCAL")
        << QByteArrayList{"NEWLOCAL", "PARTNER-9"} << "behind OLDLOCAL | follows PARTNER-9";
    QTest::newRow("both: cannot be told")
        << pair << QByteArrayList{"NEWLOCAL", "PARTNER-9"} << "unknown - | unknown -";
    QTest::newRow("second partner, the first still held")
        << pair << QByteArrayList{"LOCALID", "PARTNER-B", "PARTNER-8"}
        << "follows LOCALID | unknown -";
    QTest::newRow("new partner") << pair << QByteArrayList{"LOCALID", ""}
                                 << "follows LOCALID | follows -";
    QTest::newRow("several candidates")
        << pair + "\nsender.as2_id=PARTNER-7 receiver.as2_id=localid" << ids
        << "follows LOCALID | unknown -";
    QTest::newRow("letter case aside, as the file writes it")
        << pair << QByteArrayList{"localid", "partner-8"} << "follows LOCALID | follows PARTNER-8";
    QTest::newRow("paired with the other partner's own ID")
        << QByteArray("sender.as2_id=LOCALID,receiver.as2_id=LOCALID") << ids
        << "follows LOCALID | unknown -";
    QTest::newRow("an ID the file cannot name whole")
        << pair << QByteArrayList{"LOCALID", "PARTNER 9"} << "follows LOCALID | unknown -";
    QTest::newRow("the old ID begins another one")
        << pair + "\nsender.as2_id=PARTNER-80" << ids << "follows LOCALID | unknown -";
}

void TestServiceConfig::fileIDs() {
    QFETCH(QByteArray, text);
    QFETCH(QByteArrayList, held);
    QFETCH(QString, named);
    std::vector<std::string> partnerships;
    for (const QByteArray& id : held.mid(2))
        partnerships.push_back(id.toStdString());
    const TFileIDs ids = ConfigFileIDs(text.toStdString(), held[0].toStdString(),
                                       held[1].toStdString(), partnerships);
    const auto shown = [](const TFileID& id) {
        const char* const states[] = {"follows ", "behind ", "unknown "};
        return states[int(id.State)] + QByteArray::fromStdString(id.ID.value_or("-"));
    };
    QCOMPARE(QString(shown(ids.Local) + " | " + shown(ids.Remote)), named);
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
    QVERIFY(!ReadConfigFile(path.toStdString())); // at the load: nothing to tell
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

void TestServiceConfig::notARegularFile_data() {
    QTest::addColumn<QString>("kind"); // what stands at the file's path
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("folder") << "folder" << QByteArray("Is a directory");
    QTest::newRow("FIFO") << "fifo" << QByteArray("It is a FIFO, not a regular file");
    QTest::newRow("link to a FIFO") << "link" << QByteArray("It is a FIFO, not a regular file");
    QTest::newRow("link to /dev/null")
        << "/dev/null" << QByteArray("It is a character device, not a regular file");
}

void TestServiceConfig::notARegularFile() {
    QFETCH(QString, kind);
    QFETCH(QByteArray, reason);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("config.xml");
    const QByteArray native = QFile::encodeName(path);
    const QByteArray fifo = kind == "link" ? QFile::encodeName(dir.filePath("fifo")) : native;
    if (kind == "folder") {
        QVERIFY(QDir().mkdir(path));
    } else if (kind.startsWith('/')) {
        QVERIFY(::symlink(QFile::encodeName(kind).constData(), native.constData()) == 0);
    } else {
        QVERIFY(::mkfifo(fifo.constData(), 0644) == 0);
        QVERIFY(fifo == native || ::symlink("fifo", native.constData()) == 0);
    }
    const QStringList before = Entries(dir.path());
    // In a child, which the alarm ends should the update wait on the FIFO.
    const QByteArrayList got = InChild([&]() -> QByteArrayList {
        ::alarm(60);
        return {QByteArray::fromStdString(Raised<EFOpenError>([&] {
                    UpdateServiceConfigFile(path.toStdString(), IDs("NEW", "R", "OLD", ""));
                })),
                ReadConfigFile(path.toStdString()) ? "read" : "not read"};
    });
    QCOMPARE(got.value(0), "Cannot open file \"" + path.toUtf8() + "\". " + reason);
    QCOMPARE(got.value(1), "not read");
    QCOMPARE(Entries(dir.path()), before);
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

// No new file can be named beside a name of the longest length, whoever runs the test: the same
// file is written in place.
void TestServiceConfig::longNameWrittenInPlace() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString name(255, QLatin1Char('c'));
    const QString path = dir.filePath(name);
    QVERIFY(WriteBytes(path, "sender.as2_id=OLD\n"));
    const QByteArray before = Identity(path);
    const ino_t inode = Inode(path);

    UpdateServiceConfigFile(path.toStdString(), IDs("NEW", "R", "OLD", ""));
    QCOMPARE(ReadBytes(path), QByteArray("sender.as2_id=NEW\r\n"));
    QCOMPARE(Inode(path), inode);
    QCOMPARE(Identity(path), before);
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

void TestServiceConfig::fileKeepsItsIdentity_data() {
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<int>("owner"); // owner and group; -1: the runner's own
    QTest::addColumn<int>("group");
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("asNobody");
    QTest::addColumn<QString>("extra");
    QTest::addColumn<bool>("inPlace");
    QTest::addColumn<QString>("told"); // %1: the file; empty: updated

    const auto row = [](const char* name, int folderMode, int owner, int group, int mode,
                        bool asNobody, const char* extra, bool inPlace,
                        const QByteArray& told = {}) {
        QTest::newRow(name) << folderMode << owner << group << mode << asNobody << QString(extra)
                            << inPlace << QString::fromUtf8(told);
    };
    const int n = 65534;
    const QString back =
        "Stream write error on file \"%1\". %2; the file holds its previous text again";
    const QByteArray fullDisk = back.arg("%1", "No space left on device").toUtf8();
    const QByteArray tooLarge = "Cannot create file \"%1\". Its new text (4103 bytes) is larger "
                                "than the file size limit of 4097 bytes this program runs under, "
                                "so nothing was written";
    row("replaced whole, another owner kept", 0755, n, n, 0640, false, "", false);
    row("folder not writable", 0755, 0, 0, 0666, true, "", true);
    row("owner not restorable", 0777, 0, n, 0664, true, "", true);
    row("read-only file in a writable folder", 0777, n, n, 0444, true, "", true,
        "Cannot create file \"%1\". Permission denied");
    row("two hard links", 0755, -1, -1, 0640, false, "link", true);
    row("ACL entry and user attribute", 0755, -1, -1, 0640, false, "acl", false);
    row("bind-mounted file", 0755, -1, -1, 0640, false, "bind", true);
    row("full small tmpfs", 0755, -1, -1, 0640, false, "tmpfs", true, fullDisk);
    row("file size limit between the old and the new size", 0755, -1, -1, 0640, false, "limit link",
        true, tooLarge);
    row("appended meanwhile, replaced", 0755, -1, -1, 0640, false, "append", false);
    row("appended meanwhile, in place", 0755, -1, -1, 0640, false, "append link", true);
}

void TestServiceConfig::fileKeepsItsIdentity() {
    QFETCH(int, folderMode);
    QFETCH(int, owner);
    QFETCH(int, group);
    QFETCH(int, mode);
    QFETCH(bool, asNobody);
    QFETCH(QString, extra);
    QFETCH(bool, inPlace);
    QFETCH(QString, told);
    const bool mounts = extra == "bind" || extra == "tmpfs";
    if (::geteuid() != 0 && (asNobody || owner >= 0 || mounts))
        QSKIP("another user's file, acting as another user and mounting need root");
    QTemporaryDir dir;
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
    const QString folder = dir.filePath("as2data");
    QVERIFY(QDir().mkdir(folder));
    const QString path = folder + "/config.xml";
    const auto native = [](const QString& name) {
        return QFile::encodeName(name);
    };
    // A whole page, so a longer text needs one more; 16 MiB give the appender time.
    QByteArray old = "sender.as2_id=OLD\n";
    for (int size = extra.contains("append") ? 16 << 20 : 4096; old.size() < size;)
        old += QByteArray(qMin<qsizetype>(1023, size - old.size() - 1), 'x') + '\n';
    const TConfigIDs ids = IDs("NEWID", "", "OLD", "");
    QByteArray updated = QByteArray::fromStdString(UpdateConfigText(old.toStdString(), ids));

    const QByteArrayList got = InChild([&]() -> QByteArrayList {
        // The mounts are the child's own, and seen nowhere else.
        if (mounts && (::unshare(CLONE_NEWNS) != 0 ||
                       ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0))
            return {"<skip>", "no mount namespace of its own here: " + qt_error_string().toUtf8()};
        if (extra == "tmpfs" &&
            ::mount("tmpfs", native(folder).constData(), "tmpfs", 0, "size=16k") != 0)
            return {"<skip>", "no tmpfs here: " + qt_error_string().toUtf8()};
        const QString file = extra == "bind" ? folder + "/source.xml" : path;
        if (::chmod(native(folder).constData(), mode_t(folderMode)) != 0 ||
            !WriteBytes(file, old) ||
            (owner >= 0 && ::chown(native(file).constData(), uid_t(owner), gid_t(group)) != 0) ||
            ::chmod(native(file).constData(), mode_t(mode)) != 0)
            return {"<set-up failed>"};
        if (extra.contains("link") &&
            ::link(native(path).constData(), native(folder + "/link.xml").constData()) != 0)
            return {"<no hard link>"};
        if (extra == "acl" && (QProcess::execute("setfacl", {"-m", "u:nobody:rw", path}) != 0 ||
                               ::setxattr(native(path).constData(), "user.mark", "1", 1, 0) != 0))
            return {"<skip>", "no setfacl, or no ACL and user attributes on this file system"};
        if (extra == "bind" &&
            (!WriteBytes(path, "") || ::mount(native(file).constData(), native(path).constData(),
                                              nullptr, MS_BIND, nullptr) != 0))
            return {"<skip>", "no bind mount here: " + qt_error_string().toUtf8()};
        if (extra == "tmpfs") {
            // The disk full to the last page.
            QFile filler(folder + "/filler");
            if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
                return {"<no filler>"};
            while (filler.write(QByteArray(4096, 'f')) == 4096) {
            }
        }
        const QByteArray before = Identity(path);
        const ino_t inode = Inode(path);
        if (extra.contains("limit")) {
            // Between the old length and the new: nothing may be written, so SIGXFSZ is left as
            // it is (it ends the child when a write passes the limit).
            const rlimit limit{rlim_t(old.size() + 1), rlim_t(old.size() + 1)};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                return {"<no limit>"};
        }
        if (asNobody &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            return {"<cannot become nobody>"};
        // The first time the file is closed after reading, a line goes onto its end.
        const int watch = ::inotify_init1(IN_CLOEXEC);
        if (extra.contains("append") &&
            ::inotify_add_watch(watch, native(path).constData(), IN_CLOSE_NOWRITE) < 0)
            return {"<no inotify>"};
        std::thread appender([&] {
            pollfd ready{watch, POLLIN, 0};
            QFile file(path);
            if (extra.contains("append") && ::poll(&ready, 1, 10000) == 1 &&
                file.open(QIODevice::Append))
                file.write("appended\r\n");
        });
        TSteps steps;
        const QByteArray raised = QByteArray::fromStdString(
            Raised<Exception>([&] { UpdateServiceConfigFile(path.toStdString(), ids, steps); }));
        appender.join();
        ::close(watch);
        return {raised,
                ReadBytes(path),
                before,
                Identity(path),
                Inode(path) == inode ? "same file" : "new file",
                steps.Told};
    });
    if (got.value(0) == "<skip>")
        QSKIP(got.value(1).constData());
    QVERIFY2(got.size() == 6, got.value(0).constData());
    QCOMPARE(got[0], told.isEmpty() ? QByteArray("<nothing raised>") : told.arg(path).toUtf8());
    if (extra.contains("append"))
        updated += "appended\r\n";
    QCOMPARE(got[1], told.isEmpty() ? updated : old);
    QCOMPARE(got[3], got[2]);
    QCOMPARE(got[4], QByteArray(inPlace ? "same file" : "new file"));
    QVERIFY2(got[5].toInt() > 0, got[5]);
}

QTEST_GUILESS_MAIN(TestServiceConfig)
#include "tst_serviceconfig.moc"
