// as2-standin as a program: its arguments, its port, its signals, its data files and --init.

#include "support/standin.h"

#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestStandinProgram : public QObject {
    Q_OBJECT

private slots:
    void badArgumentsAreRefused_data();
    void badArgumentsAreRefused();
    void portInUseEndsWithAMessage();
    void stopsCleanlyOnSignal_data();
    void stopsCleanlyOnSignal();
    void unreadableDataFileRefusesToStart_data();
    void unreadableDataFileRefusesToStart();
    void initWritesAUsableSample();
    void initOverwritesNothing();
};

namespace {

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

void TestStandinProgram::badArgumentsAreRefused_data() {
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no data folder") << QStringList{"--port", "0"};
    QTest::newRow("port not a number") << QStringList{"--port", "x", "--data", "DIR"};
    QTest::newRow("port out of range") << QStringList{"--port", "65536", "--data", "DIR"};
    QTest::newRow("negative port") << QStringList{"--port", "-1", "--data", "DIR"};
    QTest::newRow("line time of 0 s") << QStringList{"--line-time", "0", "--data", "DIR"};
    QTest::newRow("idle time not a number") << QStringList{"--idle-time", "1.5", "--data", "DIR"};
    QTest::newRow("value missing") << QStringList{"--data"};
    QTest::newRow("unknown option") << QStringList{"--data", "DIR", "--verbose"};
}

void TestStandinProgram::badArgumentsAreRefused() {
    QFETCH(QStringList, args);
    QTemporaryDir dir;
    args.replaceInStrings("DIR", dir.path());
    QByteArray errors;
    QCOMPARE(runProgram(standinProgram(), args, &errors), 2);
    QVERIFY(!errors.isEmpty());
}

void TestStandinProgram::portInUseEndsWithAMessage() {
    QTemporaryDir dir;
    StandIn first(dir.path());
    QVERIFY2(first.start(), qPrintable(first.errorText()));
    QTemporaryDir other;
    QByteArray errors;
    const QString port = QString::number(first.port());
    QCOMPARE(runProgram(standinProgram(), {"--port", port, "--data", other.path()}, &errors), 1);
    QVERIFY2(errors.contains(port.toLatin1()) && errors.contains("in use"), errors.constData());
    // The first one is untouched.
    QCOMPARE(first.command("cert List"), QByteArray(" \r\n"));
}

void TestStandinProgram::stopsCleanlyOnSignal_data() {
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("clientWaiting");
    QTest::newRow("SIGTERM") << int(SIGTERM) << false;
    QTest::newRow("SIGINT") << int(SIGINT) << false;
    QTest::newRow("SIGTERM while a client holds the connection") << int(SIGTERM) << true;
}

void TestStandinProgram::stopsCleanlyOnSignal() {
    QFETCH(int, signal);
    QFETCH(bool, clientWaiting);
    QTemporaryDir dir;
    StandIn service(dir.path());
    QVERIFY2(service.start(), qPrintable(service.errorText()));
    QCOMPARE(service.command("cert List"), QByteArray(" \r\n"));
    Client idle(service.port());
    if (clientWaiting)
        QVERIFY(idle.send("<command"));
    // Well inside the five seconds that a stalled line is given.
    QCOMPARE(service.stop(signal, 2000), 0);
}

void TestStandinProgram::unreadableDataFileRefusesToStart_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("malformed partnerships")
        << "partnerships.xml" << QByteArray("<partnerships><partner name=\"P\">");
    QTest::newRow("wrong root") << "partnerships.xml" << QByteArray("<partners/>");
    QTest::newRow("partnership without sender")
        << "partnerships.xml"
        << QByteArray(R"(<partnerships><partnership name="A" receiver="R"/>)"
                      "</partnerships>");
    QTest::newRow("partner twice")
        << "partnerships.xml"
        << QByteArray(R"(<partnerships><partner name="P"/><partner name="P"/></partnerships>)");
    QTest::newRow("malformed key store") << "keystore.xml" << QByteArray("<keystore><entry");
    QTest::newRow("entry without alias")
        << "keystore.xml" << QByteArray(R"(<keystore><entry type="x509" file="f"/></keystore>)");
}

void TestStandinProgram::unreadableDataFileRefusesToStart() {
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath(file);
    QVERIFY(writeFile(path, content));
    StandIn service(dir.path());
    QVERIFY(!service.start());
    QVERIFY2(service.errorText().contains(file), qPrintable(service.errorText()));
    QCOMPARE(readFile(path), content);
}

void TestStandinProgram::initWritesAUsableSample() {
    QTemporaryDir dir;
    QCOMPARE(runProgram(standinProgram(), {"--init", dir.path()}), 0);

    StandIn service(dir.path());
    QVERIFY2(service.start(), qPrintable(service.errorText()));
    QCOMPARE(service.command("Partner View AS2Local"),
             QByteArray("{name=AS2Local, as2_id=LOCALID, email=as2@local.example, "
                        "x509_alias=AS2Local:0}\r\n"));
    QCOMPARE(service.command("Partner View AS2Remote"),
             QByteArray("{name=AS2Remote, as2_id=REMOTEID, email=as2@remote.example, "
                        "x509_alias=AS2Remote:0}\r\n"));
    QCOMPARE(service.command("Partnership List"),
             QByteArray("<partnership>AS2Local-AS2Remote</partnership>"
                        "<partnership>AS2Remote-AS2Local</partnership>\r\n"));
    const QByteArray options = "as2_mdn_options=signed-receipt-protocol=optional,pkcs7-signature; "
                               "signed-receipt-micalg=optional,md5";
    QCOMPARE(service.command("Partnership View AS2Local-AS2Remote"),
             "Sender IDs = {name=AS2Local, as2_id=LOCALID} Receiver IDs = {name=AS2Remote, "
             "as2_id=REMOTEID} Attributes = {protocol=as2, subject=From AS2Local to AS2Remote, "
             "as2_url=http://localhost:5080, as2_mdn_to=http://localhost:10081, " +
                 options + ", encrypt=3des, sign=md5}\r\n");
    QCOMPARE(service.command("Partnership View AS2Remote-AS2Local"),
             "Sender IDs = {name=AS2Remote, as2_id=REMOTEID} Receiver IDs = {name=AS2Local, "
             "as2_id=LOCALID} Attributes = {protocol=as2, subject=From AS2Remote to AS2Local, "
             "as2_url=http://localhost:4080, " +
                 options + ", encrypt=3des, sign=md5}\r\n");
    QCOMPARE(service.command("cert List"),
             QByteArray("<alias>AS2Local:0</alias><alias>AS2Remote:0</alias>\r\n"));

    // The demo certificates import as the dialog would send them.
    const QByteArray certs = QDir(dir.path()).filePath("certs").toUtf8();
    QVERIFY(service.command("Cert import AS2Local:1 \"" + certs + "/local.p12\" demo")
                .startsWith("<ok>"));
    QVERIFY(
        service.command("Cert import AS2Remote:1 \"" + certs + "/remote.cer\"").startsWith("<ok>"));

    const QByteArray config = readFile(QDir(dir.path()).filePath("config.xml"));
    for (const QByteArray setting : {"sender.as2_id=LOCALID", "receiver.as2_id=LOCALID",
                                     "sender.as2_id=REMOTEID", "receiver.as2_id=REMOTEID"})
        QVERIFY2(config.contains(setting), setting.constData());
    const QByteArray module =
        "<module classname=\"org.corvane.processor.receiver.AS2DirectoryPollingModule\"\n"
        "outboxdir=\"%home%/toREMOTEID/\"\n"
        "errordir=\"%home%/toREMOTEID/error\"\n"
        "interval=\"5\"\n"
        "defaults=\"sender.as2_id=LOCALID, receiver.as2_id=REMOTEID\"\n"
        "mimetype=\"application/EDI-X12\"/>\n";
    QCOMPARE(config.count("AS2DirectoryPollingModule"), 1);
    QVERIFY(config.contains(module));
    QDomDocument doc;
    QVERIFY(doc.setContent(config));
}

void TestStandinProgram::initOverwritesNothing() {
    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath("partnerships.xml");
    const QByteArray mine = "<partnerships/>\n";
    QVERIFY(writeFile(path, mine));
    QByteArray errors;
    QCOMPARE(runProgram(standinProgram(), {"--init", dir.path()}, &errors), 1);
    QVERIFY2(errors.contains("partnerships.xml"), errors.constData());
    QCOMPARE(readFile(path), mine);
    QVERIFY(!QFile::exists(QDir(dir.path()).filePath("config.xml")));
}

QTEST_GUILESS_MAIN(TestStandinProgram)
#include "tst_standin_program.moc"
