// The box that shows a certificate before it is imported: its words, its default, its answer.

#include "dialog/certbox.h"
#include "support/certfiles.h"
#include "support/modalwatcher.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestCertBox : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void boxShowsTheFile_data();
    void boxShowsTheFile();

private:
    QTemporaryDir dir_;
};

namespace {
const char Again[] = "The AS2 service reads the file itself and may accept it. Import anyway?";
}

void TestCertBox::initTestCase() {
    FixLocaleAndTimeZone();
    QVERIFY(dir_.isValid());
    const QDir d(dir_.path());
    for (const char* days : {"10", "365"})
        QVERIFY(
            openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                     d.filePath(days + QString(".key")), "-out", d.filePath(days + QString(".pem")),
                     "-subj", "/CN=Partner", "-days", days}));
    QVERIFY(
        openssl({"pkcs12", "-export", "-inkey", d.filePath("365.key"), "-in", d.filePath("365.pem"),
                 "-out", d.filePath("local.p12"), "-passout", "pass:s3cret"}));
    QFile text(d.filePath("text.cer"));
    QVERIFY(text.open(QIODevice::WriteOnly) && text.write("not a certificate\n") > 0);
}

void TestCertBox::boxShowsTheFile_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("local");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("importByDefault");
    QTest::addColumn<QString>("detail"); // one line the details hold

    const QString expired = supportDataFile("expired.cer");
    const QString soon = QLocale().toString(QDate::currentDate().addDays(10), "d MMMM yyyy");
    QTest::newRow("expired, remote")
        << expired << false << ""
        << "This certificate expired on 1 January 2021.\n\nImport this certificate?" << false
        << "SHA-256 fingerprint: " + QString::fromLatin1(ExpiredSha256);
    QTest::newRow("expired .cer for the local key")
        << expired << true << "s3cret"
        << "This certificate expired on 1 January 2021.\n\nThis file holds a certificate but no "
           "private key, which the local partner's certificate needs (a .p12 or .pfx "
           "file).\n\nImport this certificate?"
        << false << "Valid until: 1 January 2021";
    QTest::newRow("PEM valid for 10 days, remote")
        << "10.pem" << false << ""
        << "This certificate expires on " + soon + ", in 10 days.\n\nImport this certificate?"
        << true << "Key: RSA, 2048 bits";
    QTest::newRow("PKCS #12, right password")
        << "local.p12" << true << "s3cret"
        << "Import this certificate?" << true << "Subject: CN=Partner";
    QTest::newRow("PKCS #12, wrong password")
        << "local.p12" << true << "n0tIt"
        << QStringLiteral("The dialog cannot open this file with this password: the password is "
                          "wrong, or the file uses an older format. ") +
               Again
        << false << "File: " + QDir(dir_.path()).filePath("local.p12");
    QTest::newRow("no certificate at all")
        << "text.cer" << false << ""
        << QStringLiteral("This file is not a certificate: the dialog finds no certificate in "
                          "it. ") +
               Again
        << false << "File: " + QDir(dir_.path()).filePath("text.cer");
}

void TestCertBox::boxShowsTheFile() {
    QFETCH(QString, file);
    QFETCH(bool, local);
    QFETCH(QString, password);
    QFETCH(QString, text);
    QFETCH(bool, importByDefault);
    QFETCH(QString, detail);
    QWidget window;
    window.show();
    // The operator presses Return: the default button answers.
    ModalWatcher watcher([](QWidget* box) { QTest::keyClick(box, Qt::Key_Return); });
    const std::string typed = password.toStdString();
    const bool imported = ConfirmCertificateImport(
        &window, QDir(dir_.path()).filePath(file).toStdString(), local ? &typed : nullptr);
    QCOMPARE(imported, importByDefault);
    QCOMPARE(watcher.boxes.size(), size_t(1));
    const SeenBox& box = watcher.boxes[0];
    QCOMPARE(box.title, local ? "Import Local Certificate" : "Import Remote Certificate");
    QCOMPARE(box.text, text);
    QCOMPARE(box.buttons, QStringList({"Import", "Cancel"}));
    QCOMPARE(box.defaultButton, importByDefault ? "Import" : "Cancel");
    QCOMPARE(box.icon,
             text == "Import this certificate?" ? QMessageBox::Question : QMessageBox::Warning);
    QVERIFY2(box.details.split('\n').contains(detail), qPrintable(box.details));
    QCOMPARE(box.accessibleDescription, box.details);
    QVERIFY(box.parentVisible);
    window.close();
    QTRY_VERIFY(NoWindowLeft());
}

QTEST_MAIN(TestCertBox)
#include "tst_certbox.moc"
