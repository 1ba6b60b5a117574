// A certificate file read only to show it: what each kind of file gives, and the warnings.

#include "platform/certfile.h"
#include "support/certfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class TestCertFile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void readAndWarn_data();
    void readAndWarn();
    void warningsOverTime_data();
    void warningsOverTime();
    void dateText_data();
    void dateText();
    void fingerprintMatch_data();
    void fingerprintMatch();

private:
    QString path(const QString& name) const {
        return name.startsWith('/') ? name : QDir(dir_.path()).filePath(name);
    }
    QTemporaryDir dir_;
    QString soonSha256_;
};

namespace {

const QByteArray Password = "s3cret";

QStringList messages;
void Collect(QtMsgType, const QMessageLogContext& context, const QString& text) {
    messages << QString::fromLatin1(context.category) + QStringLiteral(": ") + text;
}

QString KindNames(const std::vector<TCertWarning>& warnings) {
    static const char* const Names[] = {"Unreadable",  "NotCertificate", "Locked",     "Expired",
                                        "NotYetValid", "NoPrivateKey",   "ExpiresSoon"};
    QStringList names;
    for (const TCertWarning& warning : warnings)
        names << Names[int(warning.kind)];
    return names.join(',');
}

QDateTime Utc(const char* iso) {
    return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate);
}

} // namespace

void TestCertFile::initTestCase() {
    FixLocaleAndTimeZone();
    QVERIFY(dir_.isValid());
    // Valid for ten more days, with its private key in a PKCS #12 file, as a partner sends it.
    QVERIFY(openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                     "-nodes", "-keyout", path("soon.key"), "-out", path("soon.pem"), "-subj",
                     "/CN=Soon Partner/O=Acme Trading", "-days", "10"}));
    QVERIFY(
        openssl({"x509", "-in", path("soon.pem"), "-outform", "DER", "-out", path("soon.cer")}));
    const QString pass = "pass:" + Password;
    QVERIFY(openssl({"pkcs12", "-export", "-inkey", path("soon.key"), "-in", path("soon.pem"),
                     "-out", path("local.p12"), "-passout", pass}));
    QVERIFY(openssl({"pkcs12", "-export", "-legacy", "-inkey", path("soon.key"), "-in",
                     path("soon.pem"), "-out", path("legacy.p12"), "-passout", pass}));
    QFile der(path("soon.cer"));
    QVERIFY(der.open(QIODevice::ReadOnly));
    soonSha256_ = QCryptographicHash::hash(der.readAll(), QCryptographicHash::Sha256).toHex(':');
    QFile text(path("text.cer"));
    QVERIFY(text.open(QIODevice::WriteOnly) && text.write("not a certificate\n") > 0);
    QCOMPARE(::mkfifo(QFile::encodeName(path("fifo.cer")).constData(), 0600), 0);
}

void TestCertFile::readAndWarn_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("local");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("details"); // subject | issuer | key | private key; for Read
    QTest::addColumn<QString>("warnings");
    QTest::addColumn<bool>("cancelByDefault");

    const QString expired = supportDataFile("expired.cer");
    const QString expiredDetails = "CN=Expired Partner, O=Acme Trading | CN=Vantrel Test CA, "
                                   "O=Vantrel Test | RSA, 2048 bits | no key";
    const QString soon = "CN=Soon Partner, O=Acme Trading | CN=Soon Partner, O=Acme Trading | "
                         "EC, 256 bits | ";
    const int read = int(TCertFileStatus::Read);
    const int locked = int(TCertFileStatus::Locked);
    const int notCert = int(TCertFileStatus::NotCertificate);
    const int unreadable = int(TCertFileStatus::Unreadable);
    QTest::newRow("expired DER, remote")
        << expired << false << QByteArray() << read << expiredDetails << "Expired" << true;
    QTest::newRow("expired DER for the local key")
        << expired << true << Password << read << expiredDetails << "Expired,NoPrivateKey" << true;
    QTest::newRow("PEM valid for 10 days, remote")
        << "soon.pem" << false << QByteArray() << read << soon + "no key"
        << "ExpiresSoon" << false;
    QTest::newRow(".cer for the local key")
        << "soon.cer" << true << Password << read << soon + "no key"
        << "NoPrivateKey,ExpiresSoon" << true;
    QTest::newRow("PKCS #12, right password")
        << "local.p12" << true << Password << read << soon + "key"
        << "ExpiresSoon" << false;
    QTest::newRow("PKCS #12, wrong password")
        << "local.p12" << true << QByteArray("n0tIt") << locked << ""
        << "Locked" << true;
    QTest::newRow("PKCS #12, older format") << "legacy.p12" << true << Password << locked << ""
                                            << "Locked" << true;
    QTest::newRow("PKCS #12 chosen for the remote partner")
        << "local.p12" << false << QByteArray() << notCert << ""
        << "NotCertificate" << true;
    QTest::newRow("text file, local") << "text.cer" << true << Password << notCert << ""
                                      << "NotCertificate" << true;
    QTest::newRow("missing file") << "none.cer" << false << QByteArray() << unreadable << ""
                                  << "Unreadable" << true;
    QTest::newRow("FIFO, which nobody writes to")
        << "fifo.cer" << true << Password << unreadable << ""
        << "Unreadable" << true;
}

void TestCertFile::readAndWarn() {
    QFETCH(QString, file);
    QFETCH(bool, local);
    QFETCH(QByteArray, password);
    QFETCH(int, status);
    QFETCH(QString, details);
    QFETCH(QString, warnings);
    QFETCH(bool, cancelByDefault);
    const TCertSide side = local ? TCertSide::Local : TCertSide::Remote;

    messages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(Collect);
    const TCertificateFile read = ReadCertificateFile(path(file), side, password);
    qInstallMessageHandler(previous);
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join('\n')));

    QCOMPARE(int(read.status), status);
    QCOMPARE(read.error.isEmpty(), read.status != TCertFileStatus::Unreadable);
    if (read.status == TCertFileStatus::Read) {
        QCOMPARE(read.subject.text() + " | " + read.issuer.text() + " | " + read.keyText() + " | " +
                     (read.hasPrivateKey ? "key" : "no key"),
                 details);
        if (file.startsWith("soon")) {
            QCOMPARE(read.sha256, soonSha256_.toUpper());
            QCOMPARE(read.notBefore.daysTo(read.notAfter), 10);
        } else if (file == supportDataFile("expired.cer")) {
            QCOMPARE(read.sha256, QString::fromLatin1(ExpiredSha256));
            QCOMPARE(read.notBefore, Utc("2020-01-01T00:00:00Z"));
            QCOMPARE(read.notAfter, Utc("2021-01-01T00:00:00Z"));
        }
    }
    const std::vector<TCertWarning> found =
        CertificateWarnings(read, side, QDateTime::currentDateTimeUtc());
    QCOMPARE(KindNames(found), warnings);
    QCOMPARE(CancelByDefault(found), cancelByDefault);
    for (const TCertWarning& warning : found)
        if (warning.kind == TCertWarningKind::ExpiresSoon)
            QCOMPARE(warning.daysLeft, 10);
}

void TestCertFile::warningsOverTime_data() {
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QString>("warnings");
    QTest::addColumn<int>("daysLeft"); // for ExpiresSoon
    // Valid from 2020-01-01 to 2021-01-01, 00:00 UTC both; both ends belong to the validity.
    QTest::newRow("a second before") << Utc("2019-12-31T23:59:59Z") << "NotYetValid" << 0;
    QTest::newRow("30 days before the end") << Utc("2020-12-02T00:00:00Z") << "" << 0;
    QTest::newRow("a second later") << Utc("2020-12-02T00:00:01Z") << "ExpiresSoon" << 30;
    QTest::newRow("its last second") << Utc("2021-01-01T00:00:00Z") << "ExpiresSoon" << 0;
    QTest::newRow("a second after") << Utc("2021-01-01T00:00:01Z") << "Expired" << 0;
}

void TestCertFile::warningsOverTime() {
    QFETCH(QDateTime, now);
    QFETCH(QString, warnings);
    QFETCH(int, daysLeft);
    const TCertificateFile read =
        ReadCertificateFile(supportDataFile("expired.cer"), TCertSide::Remote);
    const std::vector<TCertWarning> found = CertificateWarnings(read, TCertSide::Remote, now);
    QCOMPARE(KindNames(found), warnings);
    if (!found.empty()) {
        QCOMPARE(found[0].daysLeft, daysLeft);
        QCOMPARE(found[0].at,
                 found[0].kind == TCertWarningKind::NotYetValid ? read.notBefore : read.notAfter);
    }
}

void TestCertFile::dateText_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("text");
    const QDateTime newYear = Utc("2021-01-01T00:00:00Z");
    QTest::newRow("British English") << "en_GB" << newYear << "1 January 2021";
    QTest::newRow("American English") << "en_US" << newYear << "January 1, 2021";
    QTest::newRow("weekday last") << "tr_TR" << newYear << "1 Ocak 2021";
    QTest::newRow("local time: summer midnight is a day later")
        << "en_GB" << Utc("2021-06-30T23:30:00Z") << "1 July 2021";
}

void TestCertFile::dateText() {
    QFETCH(QString, locale);
    QFETCH(QDateTime, when);
    QFETCH(QString, text);
    QCOMPARE(CertDateText(when, QLocale(locale)), text);
}

void TestCertFile::fingerprintMatch_data() {
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("wellFormed");
    QTest::addColumn<bool>("matches");
    const QString own = QString::fromLatin1(ExpiredSha256);
    QTest::newRow("as the reader writes it") << own << true << true;
    QTest::newRow("lower case, no colons") << own.toLower().remove(':') << true << true;
    QTest::newRow("blanks between the pairs") << own.toLower().replace(':', ' ') << true << true;
    QTest::newRow("another certificate's") << QString(own).replace(0, 2, "66") << true << false;
    QTest::newRow("not hexadecimal") << QString(own).replace(0, 1, "G") << false << false;
}

void TestCertFile::fingerprintMatch() {
    QFETCH(QString, expected);
    QFETCH(bool, wellFormed);
    QFETCH(bool, matches);
    const QString own = QString::fromLatin1(ExpiredSha256);
    QCOMPARE(Sha256Matches(expected, own), matches);
    const QString normalized = NormalizedSha256(expected);
    QCOMPARE(!normalized.isEmpty(), wellFormed);
    if (matches)
        QCOMPARE(normalized, own);
}

QTEST_GUILESS_MAIN(TestCertFile)
#include "tst_certfile.moc"
