// "Cert import" and "cert List": only a certificate file that really opens enters the key store.

#include "support/certfiles.h"
#include "support/standin.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class TestStandinCerts : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void importChecksTheFile_data();
    void importChecksTheFile();
    void keyStorePersistsAndKeepsAnAlias();

private:
    QByteArray file(const char* name) const { return files_.filePath(name).toUtf8(); }
    QByteArray run(const QByteArray& command) { return service_->command(command); }

    QTemporaryDir filesDir_;
    QDir files_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<StandIn> service_;
};

namespace {

const QByteArray Password = "s3cret";
const QByteArray OddPassword = "pa ss\"wo rd";

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

void TestStandinCerts::initTestCase() {
    QVERIFY(filesDir_.isValid());
    // A blank in the folder name: paths travel between double quotes.
    files_ = QDir(filesDir_.path());
    QVERIFY(files_.mkdir("cert files") && files_.cd("cert files"));
    const auto path = [this](const char* name) {
        return files_.filePath(name);
    };
    const QString pass = "pass:" + Password;
    QVERIFY(openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                     "-nodes", "-keyout", path("key.pem"), "-out", path("cert.pem"), "-subj",
                     "/CN=Test Partner", "-days", "2"}));
    QVERIFY(openssl({"pkcs12", "-export", "-inkey", path("key.pem"), "-in", path("cert.pem"),
                     "-out", path("local.p12"), "-passout", pass}));
    QVERIFY(openssl({"pkcs12", "-export", "-inkey", path("key.pem"), "-in", path("cert.pem"),
                     "-out", path("odd.p12"), "-passout", "pass:" + OddPassword}));
    QVERIFY(openssl({"pkcs12", "-export", "-legacy", "-inkey", path("key.pem"), "-in",
                     path("cert.pem"), "-out", path("legacy.p12"), "-passout", pass}));
    QVERIFY(openssl({"pkcs12", "-export", "-nokeys", "-in", path("cert.pem"), "-out",
                     path("nokey.p12"), "-passout", pass}));
    QVERIFY(openssl({"x509", "-in", path("cert.pem"), "-outform", "DER", "-out", path("der.cer")}));
    QVERIFY(QFile::copy(path("cert.pem"), path("pem.cer")));
    const QByteArray der = readFile(path("der.cer"));
    QVERIFY(writeFile(path("truncated.cer"), der.left(der.size() / 2)));
    QVERIFY(writeFile(path("trailing.cer"), der + "junk"));
    QVERIFY(writeFile(path("text.cer"), "not a certificate\n"));
    QVERIFY(files_.mkdir("folder.cer"));
    QCOMPARE(::mkfifo(QFile::encodeName(path("fifo.cer")).constData(), 0600), 0);
}

void TestStandinCerts::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    service_ = std::make_unique<StandIn>(dir_->path());
    QVERIFY2(service_->start(), qPrintable(service_->errorText()));
}

void TestStandinCerts::cleanup() {
    service_.reset();
    dir_.reset();
}

void TestStandinCerts::importChecksTheFile_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("rest"); // what follows the closing double quote
    QTest::addColumn<bool>("accepted");

    const QByteArray withPassword = " " + Password;
    QTest::newRow("PKCS #12, right password") << file("local.p12") << withPassword << true;
    QTest::newRow("PKCS #12, wrong password") << file("local.p12") << QByteArray(" n0tIt") << false;
    QTest::newRow("PKCS #12, empty password") << file("local.p12") << QByteArray(" ") << false;
    QTest::newRow("PKCS #12, password with blanks and quotes")
        << file("odd.p12") << " " + OddPassword << true;
    QTest::newRow("PKCS #12, older algorithms") << file("legacy.p12") << withPassword << true;
    QTest::newRow("PKCS #12 without private key") << file("nokey.p12") << withPassword << false;
    QTest::newRow("PKCS #12 sent without password") << file("local.p12") << QByteArray() << false;
    QTest::newRow("PEM certificate") << file("pem.cer") << QByteArray() << true;
    QTest::newRow("DER certificate") << file("der.cer") << QByteArray() << true;
    QTest::newRow("certificate given a password") << file("der.cer") << withPassword << false;
    QTest::newRow("truncated DER") << file("truncated.cer") << QByteArray() << false;
    QTest::newRow("DER followed by other bytes") << file("trailing.cer") << QByteArray() << false;
    QTest::newRow("text file") << file("text.cer") << QByteArray() << false;
    QTest::newRow("missing file") << file("none.cer") << QByteArray() << false;
    QTest::newRow("folder") << file("folder.cer") << QByteArray() << false;
    QTest::newRow("FIFO") << file("fifo.cer") << QByteArray() << false;
    QTest::newRow("empty path") << QByteArray() << QByteArray() << false;
    QTest::newRow("no blank after the path") << file("pem.cer") << QByteArray("x") << false;
}

void TestStandinCerts::importChecksTheFile() {
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, rest);
    QFETCH(bool, accepted);
    const QByteArray reply = run("Cert import AS2Local:1 \"" + file + '"' + rest);
    QVERIFY2(reply.startsWith(accepted ? "<ok>" : "<error>"), reply.constData());
    QCOMPARE(run("cert List"),
             accepted ? QByteArray("<alias>AS2Local:1</alias>\r\n") : QByteArray(" \r\n"));
    QCOMPARE(QFile::exists(QDir(dir_->path()).filePath("keystore.xml")), accepted);
    const QString log = service_->errorText();
    QVERIFY(log.contains("Cert import AS2Local:1"));
    QVERIFY(!log.contains(Password) && !log.contains("n0tIt") && !log.contains("wo rd"));
}

void TestStandinCerts::keyStorePersistsAndKeepsAnAlias() {
    QVERIFY(run("Cert import A:1 \"" + file("local.p12") + "\" " + Password).startsWith("<ok>"));
    QVERIFY(run("Cert import B:1 \"" + file("der.cer") + '"').startsWith("<ok>"));
    const QByteArray both = "<alias>A:1</alias><alias>B:1</alias>\r\n";
    QVERIFY(service_->restart());
    QCOMPARE(run("cert List"), both);

    const QString store = QDir(dir_->path()).filePath("keystore.xml");
    const QByteArray before = readFile(store);
    QVERIFY(run("Cert import C:1 \"" + file("local.p12") + "\" n0tIt").startsWith("<error>"));
    QCOMPARE(readFile(store), before);

    // A second import under an alias the store holds is refused, with a file that would do.
    const QByteArray reply = run("Cert import A:1 \"" + file("pem.cer") + '"');
    QVERIFY2(reply.startsWith("<error>") && reply.contains("A:1"), reply.constData());
    QVERIFY(service_->errorText().contains("holds the alias"));
    QCOMPARE(readFile(store), before);
    QVERIFY(service_->restart());
    QCOMPARE(run("cert List"), both);
    QVERIFY(readFile(store).contains("local.p12"));
}

QTEST_GUILESS_MAIN(TestStandinCerts)
#include "tst_standin_certs.moc"
