// Certificate import as the operator does it: the real file dialog and password prompt, driven
// from the test, and the exact command that reaches the service.

#include "dialog/main.h"
#include "platform/exceptions.h"
#include "support/certfiles.h"
#include "support/dialogfixture.h"
#include "support/modalwatcher.h"
#include "support/raised.h"
#include "support/servicefixture.h"
#include "support/standin.h"

#include <QFile>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using Commands = std::vector<std::string>;

namespace {

// What the operator does in each modal window that comes up, in order.
struct Operator {
    QString file;     // chosen in the file dialog; empty: cancel it
    QString password; // typed into the prompt
    bool cancelPrompt = false;
    QString certificateAnswer = QStringLiteral("Import"); // the button pressed in the box that
                                                          // shows the file (the watcher keeps it)
    // Seen on the way:
    QStringList fileDialogStartNames;
    QList<QLineEdit::EchoMode> promptEchoModes;
    QStringList promptLabels;
    QStringList promptTitles;
    std::vector<SeenBox> boxes;

    std::function<void(QWidget*)> act() {
        return [this](QWidget* w) {
            if (auto* dialog = qobject_cast<QFileDialog*>(w)) {
                auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                fileDialogStartNames << (name ? name->text() : QStringLiteral("<none>"));
                if (file.isEmpty()) {
                    dialog->reject();
                    return;
                }
                // The operator opens the folder and types the file's name.
                dialog->setDirectory(QFileInfo(file).absolutePath());
                if (name)
                    name->setText(QFileInfo(file).fileName());
                else
                    dialog->selectFile(file);
                QMetaObject::invokeMethod(dialog, "accept");
            } else if (auto* prompt = qobject_cast<QInputDialog*>(w)) {
                promptEchoModes << prompt->textEchoMode();
                promptLabels << prompt->labelText();
                promptTitles << prompt->windowTitle();
                prompt->setTextValue(password);
                if (cancelPrompt)
                    prompt->reject();
                else
                    prompt->accept();
            } else if (auto* box = qobject_cast<QMessageBox*>(w);
                       box && box->windowTitle().endsWith(QLatin1String(" Certificate"))) {
                for (QAbstractButton* button : box->buttons())
                    if (button->text() == certificateAnswer)
                        button->click();
            } else if (auto* box = qobject_cast<QMessageBox*>(w)) {
                SeenBox seen;
                seen.title = box->windowTitle();
                seen.text = box->text();
                seen.icon = box->icon();
                boxes.push_back(seen);
                box->buttons().front()->click();
            }
        };
    }
};

// A window whose name fields show the two partners, over the scripted service.
struct Rig {
    ServiceFixture service;
    DialogFixture dialog{service.channel};
    TMainForm& form = *dialog.form;
    MemoryService& memory = service.memory;

    Rig() {
        form.LocalName->setText(QStringLiteral("AS2Local"));
        form.RemoteName->setText(QStringLiteral("AS2Remote"));
    }

    // A file of bytes that are no certificate, or a copy of the expired certificate.
    QString makeFile(const QString& name, bool certificate = false) {
        const QString path = dialog.dir.filePath(name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (certificate)
            QFile::copy(supportDataFile(QStringLiteral("expired.cer")), path);
        QFile f(path);
        if (!certificate && f.open(QIODevice::WriteOnly))
            f.write("certificate bytes");
        return path;
    }
    Commands sent() { return service.sent(); }
};

} // namespace

class TestImport : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { FixLocaleAndTimeZone(); }
    void cleanup() { QTRY_VERIFY(NoWindowLeft()); }

    void remoteImportCountsUp();
    void localImportConfirmed();
    void importNotConfirmed_data();
    void importNotConfirmed();
    void cancelledImportsSendNothing_data();
    void cancelledImportsSendNothing();
    void counterThatDoesNotConvert();
    void fileShownBeforeImport_data();
    void fileShownBeforeImport();
    void againstStandin();
};

void TestImport::remoteImportCountsUp() {
    Rig rig;
    const QString path = rig.makeFile(QStringLiteral("partner cert.cer"), true);
    rig.form.RemoteCertificate->setText(QStringLiteral("partner:4"));
    Operator op;
    op.file = path;
    ModalWatcher watcher(op.act());
    rig.form.ImportRemoteClick(rig.form.ImportRemote);
    QCOMPARE(rig.form.RemoteCertificate->text(), QStringLiteral("partner:5"));
    rig.form.ImportRemoteClick(rig.form.ImportRemote);
    QCOMPARE(rig.form.RemoteCertificate->text(), QStringLiteral("partner:6"));
    const std::string p = path.toStdString();
    // Each import is confirmed by the alias listing, as the local one is.
    QCOMPARE(rig.sent(),
             (Commands{"cert List", "Cert import partner:5 \"" + p + "\"", "cert List", "cert List",
                       "Cert import partner:6 \"" + p + "\"", "cert List"}));
    // The dialog starts from its pattern each time, not from the file chosen before.
    QCOMPARE(op.fileDialogStartNames, (QStringList{"*.cer", "*.cer"}));
    QCOMPARE(watcher.boxes.size(), size_t(2)); // each import shows its file first
}

void TestImport::localImportConfirmed() {
    Rig rig;
    rig.memory.aliases = {"AS2Local:0", "AS2Local:1"};
    const QString path = rig.makeFile(QStringLiteral("my key.p12"));
    rig.form.LocalCertificate->setText(QStringLiteral("AS2Local:0"));
    Operator op;
    op.file = path;
    op.password = QStringLiteral("se cret \"quoted\"");
    ModalWatcher watcher(op.act());
    rig.form.ImportLocalClick(rig.form.ImportLocal);
    // AS2Local:1 is held already (an import whose dialog was cancelled): the count goes past it.
    QCOMPARE(rig.form.LocalCertificate->text(), QStringLiteral("AS2Local:2"));
    QCOMPARE(rig.sent(),
             (Commands{"cert List",
                       "Cert import AS2Local:2 \"" + path.toStdString() + "\" se cret \"quoted\"",
                       "cert List"}));
    QCOMPARE(op.promptEchoModes, QList<QLineEdit::EchoMode>{QLineEdit::Password});
    QCOMPARE(op.promptTitles, QStringList{"Import Local Certificate"});
    QCOMPARE(op.promptLabels, QStringList{"Please Enter The Password"});
    QCOMPARE(op.fileDialogStartNames, QStringList{"*.p12"});
    QVERIFY(op.boxes.empty());
}

void TestImport::importNotConfirmed_data() {
    QTest::addColumn<bool>("local");
    QTest::addColumn<QString>("text");
    QTest::newRow("local") << true
                           << "Unable to import Certificate. Please check Password and try again";
    QTest::newRow("remote") << false
                            << "Unable to import Certificate. Please check the file and try again";
}

void TestImport::importNotConfirmed() {
    QFETCH(bool, local);
    QFETCH(QString, text);
    Rig rig;
    rig.memory.aliases = {"as2local:0", "as2remote:0"}; // letter case counts
    const QString path = rig.makeFile(local ? QStringLiteral("k.p12") : QStringLiteral("k.cer"));
    const std::string command = local
                                    ? "Cert import AS2Local:0 \"" + path.toStdString() + "\" wrong"
                                    : "Cert import AS2Remote:0 \"" + path.toStdString() + "\"";
    rig.memory.rewrites[command] = ""; // the service refuses the file
    Operator op;
    op.file = path;
    op.password = QStringLiteral("wrong");
    ModalWatcher watcher(op.act());
    QLineEdit* field = local ? rig.form.LocalCertificate : rig.form.RemoteCertificate;
    const auto import = [&] {
        if (local)
            rig.form.ImportLocalClick(rig.form.ImportLocal);
        else
            rig.form.ImportRemoteClick(rig.form.ImportRemote);
    };
    import();
    QCOMPARE(op.boxes.size(), size_t(1));
    QCOMPARE(op.boxes[0].title, QStringLiteral("Error"));
    QCOMPARE(op.boxes[0].text, text);
    QCOMPARE(op.boxes[0].icon, QMessageBox::Critical);
    // The empty field took the partner's name and keeps it; a retry tries the same alias.
    QCOMPARE(field->text(), local ? QStringLiteral("AS2Local") : QStringLiteral("AS2Remote"));
    import();
    QCOMPARE(rig.sent(),
             (Commands{"cert List", command, "cert List", "cert List", command, "cert List"}));
}

void TestImport::cancelledImportsSendNothing_data() {
    QTest::addColumn<bool>("local");
    QTest::addColumn<bool>("chooseFile");
    QTest::addColumn<bool>("cancelPrompt");
    QTest::addColumn<QString>("password");
    QTest::newRow("local: file dialog cancelled") << true << false << false << "pw";
    QTest::newRow("local: prompt cancelled") << true << true << true << "typed then cancelled";
    QTest::newRow("local: empty password") << true << true << false << "";
    QTest::newRow("remote: file dialog cancelled") << false << false << false << "";
}

void TestImport::cancelledImportsSendNothing() {
    QFETCH(bool, local);
    QFETCH(bool, chooseFile);
    QFETCH(bool, cancelPrompt);
    QFETCH(QString, password);
    Rig rig;
    Operator op;
    op.file = chooseFile ? rig.makeFile(QStringLiteral("c.p12")) : QString();
    op.password = password;
    op.cancelPrompt = cancelPrompt;
    ModalWatcher watcher(op.act());
    if (local)
        rig.form.ImportLocalClick(rig.form.ImportLocal);
    else
        rig.form.ImportRemoteClick(rig.form.ImportRemote);
    QVERIFY(rig.sent().empty());
    QVERIFY(op.boxes.empty());
    QCOMPARE(rig.form.LocalCertificate->text(), QString());
    QCOMPARE(rig.form.RemoteCertificate->text(), QString());
}

void TestImport::counterThatDoesNotConvert() {
    Rig rig;
    Operator op;
    op.file = rig.makeFile(QStringLiteral("c.cer"));
    ModalWatcher watcher(op.act());
    rig.form.RemoteCertificate->setText(QStringLiteral("AS2Remote:7 "));
    QCOMPARE(Raised<EConvertError>([&] { rig.form.ImportRemoteClick(rig.form.ImportRemote); }),
             std::string("'7 ' is not a valid integer value"));
    QVERIFY(rig.sent().empty());
    QVERIFY(watcher.boxes.empty()); // an import that cannot be sent shows no file
}

void TestImport::fileShownBeforeImport_data() {
    QTest::addColumn<bool>("local");
    QTest::addColumn<bool>("certificate"); // the expired certificate, else bytes that are none
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("says");
    QTest::addColumn<QString>("detail");
    QTest::newRow("expired remote certificate, cancelled")
        << false << true << "Cancel"
        << "This certificate expired on 1 January 2021."
        << "SHA-256 fingerprint: " + QString::fromLatin1(ExpiredSha256);
    QTest::newRow(".cer for the local key, cancelled")
        << true << true << "Cancel"
        << "This file holds a certificate but no private key"
        << "Subject: CN=Expired Partner, O=Acme Trading";
    QTest::newRow("no certificate, imported anyway") << false << false << "Import"
                                                     << "Import anyway?"
                                                     << "File: ";
}

void TestImport::fileShownBeforeImport() {
    QFETCH(bool, local);
    QFETCH(bool, certificate);
    QFETCH(QString, answer);
    QFETCH(QString, says);
    QFETCH(QString, detail);
    Rig rig;
    Operator op;
    op.file = rig.makeFile(QStringLiteral("partner.cer"), certificate);
    op.password = QStringLiteral("pw");
    op.certificateAnswer = answer;
    ModalWatcher watcher(op.act());
    QLineEdit* field = local ? rig.form.LocalCertificate : rig.form.RemoteCertificate;
    if (local)
        rig.form.ImportLocalClick(rig.form.ImportLocal);
    else
        rig.form.ImportRemoteClick(rig.form.ImportRemote);
    QCOMPARE(watcher.boxes.size(), size_t(1));
    const SeenBox& box = watcher.boxes[0];
    QCOMPARE(box.title, local ? "Import Local Certificate" : "Import Remote Certificate");
    QVERIFY2(box.text.contains(says), qPrintable(box.text));
    QVERIFY2(box.details.contains(detail), qPrintable(box.details));
    QCOMPARE(box.defaultButton, QStringLiteral("Cancel"));
    // Cancel sends nothing and leaves the field; Import imports as without the box.
    const std::string command = "Cert import AS2Remote:0 \"" + op.file.toStdString() + "\"";
    QCOMPARE(rig.sent(),
             answer == "Cancel" ? Commands() : (Commands{"cert List", command, "cert List"}));
    QCOMPARE(field->text(), answer == "Cancel" ? QString() : QStringLiteral("AS2Remote:0"));
}

void TestImport::againstStandin() {
    if (standinProgram().isEmpty())
        QSKIP("as2-standin is not built");
    QTemporaryDir files;
    auto openssl = [&](const QStringList& args) {
        QProcess p;
        p.setWorkingDirectory(files.path());
        p.start(QStringLiteral("openssl"), args);
        return p.waitForFinished(30000) && p.exitCode() == 0;
    };
    QVERIFY(openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out",
                     "cert.pem", "-days", "2", "-subj", "/CN=import test"}));
    QVERIFY(openssl({"pkcs12", "-export", "-inkey", "key.pem", "-in", "cert.pem", "-out",
                     "local key.p12", "-passout", "pass:right pw"}));
    QVERIFY(openssl({"x509", "-in", "cert.pem", "-outform", "DER", "-out", "remote.cer"}));

    QTemporaryDir data;
    StandIn standin(data.path());
    QVERIFY(standin.start());
    TCommandHandler handler(nullptr, "127.0.0.1", standin.portText(), 5000);
    DialogFixture dialog(handler);
    TMainForm& form = *dialog.form;
    form.LocalName->setText(QStringLiteral("AS2Local"));
    form.RemoteName->setText(QStringLiteral("AS2Remote"));

    Operator op;
    op.file = files.filePath(QStringLiteral("local key.p12"));
    op.password = QStringLiteral("wrong pw");
    ModalWatcher watcher(op.act());
    form.ImportLocalClick(form.ImportLocal);
    QCOMPARE(op.boxes.size(), size_t(1));
    QCOMPARE(op.boxes[0].title, QStringLiteral("Error"));
    QVERIFY(!handler.CertificateExists("AS2Local:0"));

    op.password = QStringLiteral("right pw");
    form.ImportLocalClick(form.ImportLocal);
    QCOMPARE(op.boxes.size(), size_t(1));
    QCOMPARE(form.LocalCertificate->text(), QStringLiteral("AS2Local:0"));

    op.file = files.filePath(QStringLiteral("remote.cer"));
    form.ImportRemoteClick(form.ImportRemote);
    QCOMPARE(form.RemoteCertificate->text(), QStringLiteral("AS2Remote:0"));
    QVERIFY(handler.CertificateExists("AS2Remote:0"));
    QVERIFY(handler.CertificateExists("AS2Local:0"));

    // A file that holds no certificate: the service refuses it, and the field says so by
    // keeping what it showed.
    QFile junk(files.filePath(QStringLiteral("junk.cer")));
    QVERIFY(junk.open(QIODevice::WriteOnly) && junk.write("no certificate") > 0);
    junk.close();
    op.file = junk.fileName();
    form.ImportRemoteClick(form.ImportRemote);
    QCOMPARE(op.boxes.size(), size_t(2));
    QCOMPARE(op.boxes[1].text,
             QStringLiteral("Unable to import Certificate. Please check the file and try again"));
    QCOMPARE(form.RemoteCertificate->text(), QStringLiteral("AS2Remote:0"));
    QVERIFY(!handler.CertificateExists("AS2Remote:1"));
}

QTEST_MAIN(TestImport)
#include "tst_import.moc"
