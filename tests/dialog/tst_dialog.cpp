// The window at work against a scripted service: what FormShow puts into the controls, what OK
// takes from them, the configuration file and the restart notice, and what the window refuses.
// What the partner link itself decides is tested without a window, in its own suite.

#include "dialog/main.h"
#include "dialog/servicework.h"
#include "platform/exceptions.h"
#include "platform/guard.h"
#include "platform/savelock.h"
#include "support/dialogfixture.h"
#include "support/modalwatcher.h"
#include "support/raised.h"
#include "support/sample.h"
#include "support/servicefixture.h"
#include "support/standin.h"

#include <QAccessible>
#include <QContextMenuEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <optional>
#include <unistd.h>

using Commands = std::vector<std::string>;

namespace {

// One window over the scripted service holding the sample.
struct Rig {
    ServiceFixture service;
    DialogFixture dialog{service.channel};
    TMainForm& form = *dialog.form;

    Rig() { Sample::Fill(service.memory); }
    // The commands sent since the load.
    Commands sentAfterLoad() {
        const Commands all = service.sent();
        const std::size_t loaded = std::min(Sample::LoadCommands.size(), all.size());
        return Commands(all.begin() + static_cast<long>(loaded), all.end());
    }
};

const QByteArray ConfigText = DialogFixture::Config;

} // namespace

class TestDialog : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { QTRY_VERIFY(NoWindowLeft()); }

    void formShowFillsTheControls();
    void formShowRunsOnShow();
    void remoteNameFromFirstArgument();
    void controlsShowWhatWasReadBeforeAFailure();
    void okUnchangedSavesBothAndCloses();
    void okTakesTheControls();
    void okCaseChangeCounts();
    void fileBehindToldAndBroughtInLine();
    void okOnAServiceThatLeavesOutEmptyValues();
    void okThatTheServiceDoesNotHoldKeepsTheDialog_data();
    void okThatTheServiceDoesNotHoldKeepsTheDialog();
    void stoppedLoadKeepsIdsUnchanged();
    void longValueLoadedAndSavedWhole();
    void cancelSendsNothing();
    void okAfterFailedLoadSavesNothing();
    void unsafeFieldNamedByItsLabel();
    void configFailureStopsOk();
    void againstStandin();
    void withoutADisplay_data();
    void withoutADisplay();
    void progressShownOnlyForASlowService_data();
    void progressShownOnlyForASlowService();
    void windowPaintedDuringAWait();
    void cancelledLoadSavesNothing();
    void cancelledReadBackIsNoSave();
    void okWaitsForAnotherSave_data();
    void okWaitsForAnotherSave();
    void oneActionAtATime_data();
    void oneActionAtATime();
    void nestedBusyScopeLeavesTheOuterPumping();
};

void TestDialog::formShowFillsTheControls() {
    Rig rig;
    rig.form.FormShow(&rig.form);
    QCOMPARE(rig.service.sent(), Sample::LoadCommands);
    const TMainForm& f = rig.form;
    const QStringList shown = {
        f.LocalName->text(),        f.LocalAS2ID->text(),        f.LocalEmail->text(),
        f.LocalCertificate->text(), f.RemoteName->text(),        f.RemoteAS2ID->text(),
        f.RemoteEmail->text(),      f.RemoteCertificate->text(), f.OutgoingAS2URL->text(),
        f.IncomingHostName->text(), f.IncomingAS2Port->text(),   f.IncomingMDNPort->text()};
    QCOMPARE(shown, (QStringList{"AS2Local", "LOCALID", "me@local", "AS2Local:0", "AS2Remote",
                                 "REMOTEID", "you@remote", "AS2Remote:2", "http://partner:5080",
                                 "myhost", "4080", "10090"}));
    QCOMPARE(OldLocalAS2ID, std::string("LOCALID"));
    QCOMPARE(OldRemoteAS2ID, std::string("REMOTEID"));
}

void TestDialog::formShowRunsOnShow() {
    Rig rig;
    ModalWatcher watcher;
    rig.form.show();
    QTRY_COMPARE(rig.form.RemoteAS2ID->text(), QStringLiteral("REMOTEID"));
    QVERIFY(watcher.boxes.empty());
    QVERIFY(QApplication::overrideCursor() == nullptr); // the wait cursor is gone again
    rig.form.hide();
}

void TestDialog::remoteNameFromFirstArgument() {
    Rig rig;
    rig.service.memory.partners.push_back({"Partner7", "P7", "", ""});
    TDialogOptions options = TDialogOptions::FromProgram({"vantrel-config", "Partner7", "ignored"});
    options.ServiceConfigPath = rig.dialog.configPath.toStdString();
    rig.form.Open(rig.service.channel, options);
    rig.form.FormShow(&rig.form);
    QCOMPARE(rig.form.RemoteName->text(), QStringLiteral("Partner7"));
    QCOMPARE(rig.service.sent().at(4), std::string("Partner View Partner7"));
}

void TestDialog::controlsShowWhatWasReadBeforeAFailure() {
    Rig rig;
    rig.service.memory.partnerships[1].attributes[1].second = "http://elsewhere:x";
    QCOMPARE(Raised<EConvertError>([&] { rig.form.FormShow(&rig.form); }),
             std::string("'x' is not a valid integer value"));
    QCOMPARE(rig.form.RemoteAS2ID->text(), QStringLiteral("REMOTEID"));
    QCOMPARE(rig.form.IncomingHostName->text(), QStringLiteral("elsewhere"));
    QCOMPARE(rig.form.IncomingAS2Port->value(), 1);
    QCOMPARE(rig.form.IncomingMDNPort->value(), 10090);
}

void TestDialog::okUnchangedSavesBothAndCloses() {
    Rig rig;
    rig.form.FormShow(&rig.form);
    ModalWatcher watcher;
    QSignalSpy finished(&rig.form, &QDialog::finished);
    rig.form.OKClick(rig.form.OK);
    QCOMPARE(rig.sentAfterLoad(), Sample::VerifiedSave());
    QVERIFY(watcher.boxes.empty());
    QCOMPARE(finished.count(), 1);
    QCOMPARE(rig.dialog.config(), ConfigText);
}

void TestDialog::okTakesTheControls() {
    Rig rig;
    rig.form.FormShow(&rig.form);
    rig.form.RemoteAS2ID->setText(QStringLiteral("NEWREMOTE"));
    rig.form.RemoteEmail->setText(QStringLiteral("b\u00fcro@remote"));
    rig.form.OutgoingAS2URL->setText(QStringLiteral("http://moved:6080"));
    rig.form.IncomingHostName->setText(QStringLiteral("me.example"));
    rig.form.IncomingAS2Port->setValue(4081);
    rig.form.IncomingMDNPort->setValue(10091);
    ModalWatcher watcher;
    QSignalSpy finished(&rig.form, &QDialog::finished);
    rig.form.OKClick(rig.form.OK);
    const Commands sent = rig.sentAfterLoad();
    QCOMPARE(sent.size(), Sample::VerifiedSave().size());
    const std::size_t remoteAdd = Sample::CheckCommands.size() + 10; // in the save
    QCOMPARE(sent[remoteAdd],
             std::string("Partner Add AS2Remote as2_id=\"NEWREMOTE\" email=\"b\xc3\xbcro@remote\" "
                         "x509_alias=\"AS2Remote:2\""));
    const std::string outgoing =
        R"(Partnership Add AS2Local-AS2Remote AS2Local AS2Remote protocol="as2" as2_url="http://moved:6080" as2_mdn_to="http://me.example:10091")";
    const std::string incoming =
        R"(Partnership Add AS2Remote-AS2Local AS2Remote AS2Local protocol="as2" as2_url="http://me.example:4081")";
    QCOMPARE(sent[remoteAdd + 1], outgoing);
    QCOMPARE(sent[remoteAdd + 2], incoming);
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QCOMPARE(watcher.boxes[0].title, QStringLiteral("Information"));
    QCOMPARE(watcher.boxes[0].text,
             QStringLiteral(
                 "The Changes you made won't take effect until the AS2 Service is restarted."));
    QCOMPARE(watcher.boxes[0].icon, QMessageBox::Information);
    QCOMPARE(watcher.boxes[0].buttons.size(), 1);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(rig.dialog.config(),
             QByteArray("<config>\r\n"
                        "  sender.as2_id=LOCALID, receiver.as2_id=NEWREMOTE\r\n"
                        "  <module classname=\"org.corvane.processor.receiver."
                        "AS2DirectoryPollingModule\"\r\n"
                        "</config>\r\n"));
}

void TestDialog::okThatTheServiceDoesNotHoldKeepsTheDialog_data() {
    QTest::addColumn<int>("goneAfter");     // commands of the save the service carries out; -1: all
    QTest::addColumn<QString>("dropped");   // a command it leaves out
    QTest::addColumn<QString>("changedTo"); // ... or carries out as this one instead
    QTest::addColumn<QString>("told");
    QTest::addColumn<QString>("held"); // the remote AS2 ID the file then names
    const QString remoteAdd = QString::fromStdString(Sample::RemoteAdd)
                                  .replace(QStringLiteral("REMOTEID"), QStringLiteral("NEWREMOTE"));
    const QString partial = "may hold only part of the changes";
    QTest::newRow("gone before the check before the save") << 0 << ""
                                                           << ""
                                                           << "Nothing was saved"
                                                           << "REMOTEID";
    QTest::newRow("gone after 5 of 14") << 8 << ""
                                        << "" << partial << "REMOTEID";
    QTest::newRow("gone after the last Partnership Store") << 17 << ""
                                                           << "" << partial << "REMOTEID";
    QTest::newRow("a Partnership Add dropped")
        << -1 << QString::fromStdString(Sample::Outgoing) << ""
        << "The AS2 service does not hold what was saved:\n"
           "Partnership AS2Local-AS2Remote: missing\nOK sends the settings again\nThe "
           "configuration file now names the AS2 IDs the AS2 service holds"
        << "NEWREMOTE";
    QTest::newRow("a Partner Add dropped")
        << -1 << remoteAdd << ""
        << "The AS2 service does not hold what was saved:\nPartner AS2Remote was deleted and "
           "not added again"
        << "REMOTEID";
    // An error element is the one answer the command port gives to a store: the service would
    // start with its old records, so the file keeps naming their IDs.
    QTest::newRow("Partnership Store refused")
        << -1 << "Partnership Store"
        << "<error>cannot write partnerships.xml</error>"
        << "did not store the settings of partner AS2Local: cannot write partnerships.xml"
        << "REMOTEID";
    QTest::newRow("a value changed")
        << -1 << remoteAdd << QString(remoteAdd).replace("NEWREMOTE", "NEWREMOTE2")
        << "Partner AS2Remote, as2_id: sent \"NEWREMOTE\", held \"NEWREMOTE2\""
        << "NEWREMOTE2";
}

void TestDialog::okThatTheServiceDoesNotHoldKeepsTheDialog() {
    QFETCH(int, goneAfter);
    QFETCH(QString, dropped);
    QFETCH(QString, changedTo);
    QFETCH(QString, told);
    QFETCH(QString, held);
    Rig rig;
    rig.form.FormShow(&rig.form);
    rig.form.RemoteAS2ID->setText(QStringLiteral("NEWREMOTE"));
    MemoryService& memory = rig.service.memory;
    memory.goAfter(goneAfter);
    if (changedTo.startsWith('<'))
        memory.overrides[dropped.toStdString()] = Reply(changedTo.toStdString());
    else if (!dropped.isEmpty())
        memory.rewrites[dropped.toStdString()] = changedTo.toStdString();
    QSignalSpy finished(&rig.form, &QDialog::finished);
    {
        ModalWatcher watcher;
        rig.form.OK->click();
        QCOMPARE(watcher.boxes.size(), size_t(1)); // the error, and no notice
        QVERIFY2(watcher.boxes[0].text.contains(told), qPrintable(watcher.boxes[0].text));
        QCOMPARE(watcher.boxes[0].icon, QMessageBox::Critical);
    }
    QCOMPARE(finished.count(), 0);
    // The file follows the AS2 IDs the service holds, and only those.
    QCOMPARE(rig.dialog.config(), QByteArray(ConfigText).replace("REMOTEID", held.toUtf8()));

    // The service is well again: OK sends everything again, verifies it and closes.
    memory.goAfter(-1);
    memory.rewrites.clear();
    memory.overrides.clear();
    const std::size_t before = rig.service.sent().size();
    ModalWatcher watcher;
    rig.form.OK->click();
    // The restart notice, unless the box of the first OK asked for it already.
    QCOMPARE(watcher.boxes.size(), size_t(held == "NEWREMOTE" ? 0 : 1));
    QVERIFY(watcher.boxes.empty() || watcher.boxes[0].title == QStringLiteral("Information"));
    QCOMPARE(finished.count(), 1);
    const Commands all = rig.service.sent();
    QCOMPARE(all.size() - before, Sample::VerifiedSave().size());
    QVERIFY(rig.dialog.config().contains("receiver.as2_id=NEWREMOTE"));
}

void TestDialog::okOnAServiceThatLeavesOutEmptyValues() {
    Rig rig;
    rig.service.memory.omitEmpty = true;
    rig.service.memory.partners[1].email.clear();
    rig.form.FormShow(&rig.form);
    rig.form.RemoteAS2ID->setText(QStringLiteral("NEWREMOTE"));
    ModalWatcher watcher;
    rig.form.OK->click();
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QCOMPARE(watcher.boxes[0].title, QStringLiteral("Information")); // the notice, no error
    QVERIFY(rig.dialog.config().contains("receiver.as2_id=NEWREMOTE"));
}

void TestDialog::okCaseChangeCounts() {
    Rig rig;
    rig.form.FormShow(&rig.form);
    rig.form.LocalAS2ID->setText(QStringLiteral("localid"));
    ModalWatcher watcher;
    rig.form.OKClick(rig.form.OK);
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QVERIFY(rig.dialog.config().contains("sender.as2_id=localid"));
}

// A save the service finished after the window gave up left the file behind it.
void TestDialog::fileBehindToldAndBroughtInLine() {
    Rig rig;
    rig.dialog.writeConfig(QByteArray(ConfigText).replace("REMOTEID", "PARTNER-8"));
    ModalWatcher watcher;
    rig.form.FormShow(&rig.form);
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QCOMPARE(watcher.boxes[0].title, QStringLiteral("Vantrel Lite Configuration"));
    QCOMPARE(watcher.boxes[0].icon, QMessageBox::Information);
    QCOMPARE(watcher.boxes[0].text,
             QStringLiteral("The configuration file names the AS2 ID \"PARTNER-8\" for AS2Remote, "
                            "but the AS2 service holds \"REMOTEID\". OK brings the file in line; "
                            "the AS2 service must then be restarted."));
    rig.form.OKClick(rig.form.OK); // nothing changed
    QCOMPARE(watcher.boxes.size(), size_t(2));
    QVERIFY(watcher.boxes[1].text.contains(QStringLiteral("until the AS2 Service is restarted")));
    QCOMPARE(rig.dialog.config(), ConfigText);
}

void TestDialog::stoppedLoadKeepsIdsUnchanged() {
    Rig rig;
    rig.service.memory.partnerships[1].attributes[1].second = "http://myhost"; // no port
    QCOMPARE(Raised<EConvertError>([&] { rig.form.FormShow(&rig.form); }),
             std::string("'myhost' is not a valid integer value"));
    // Both partners loaded: their IDs as loaded are known, so an unchanged OK changes none.
    QCOMPARE(OldLocalAS2ID, std::string("LOCALID"));
    QCOMPARE(OldRemoteAS2ID, std::string("REMOTEID"));
    rig.form.IncomingHostName->setText(QStringLiteral("myhost")); // AS2 needs one
    ModalWatcher watcher;
    QSignalSpy finished(&rig.form, &QDialog::finished);
    rig.form.OKClick(rig.form.OK);
    QVERIFY(watcher.boxes.empty());
    QCOMPARE(finished.count(), 1);
    QCOMPARE(rig.dialog.config(), ConfigText);
}

void TestDialog::longValueLoadedAndSavedWhole() {
    Rig rig;
    const std::string email(40000, 'e');
    rig.service.memory.partners[1].email = email;
    rig.form.FormShow(&rig.form);
    QCOMPARE(rig.form.RemoteEmail->text().size(), 40000);
    rig.form.RemoteEmail->end(false);
    QTest::keyClicks(rig.form.RemoteEmail, QStringLiteral("@x")); // typed onto the end
    ModalWatcher watcher;
    rig.form.OKClick(rig.form.OK);
    const Commands sent = rig.sentAfterLoad();
    QCOMPARE(sent.at(Sample::CheckCommands.size() + 10),
             "Partner Add AS2Remote as2_id=\"REMOTEID\" email=\"" + email +
                 "@x\" x509_alias=\"AS2Remote:2\"");
    QVERIFY(watcher.boxes.empty()); // and the service holds it whole
}

void TestDialog::cancelSendsNothing() {
    Rig rig;
    rig.form.FormShow(&rig.form);
    rig.form.RemoteAS2ID->setText(QStringLiteral("CHANGED"));
    QSignalSpy finished(&rig.form, &QDialog::finished);
    rig.form.Cancel->click();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(rig.service.sent(), Sample::LoadCommands);
    QCOMPARE(rig.dialog.config(), ConfigText);
}

void TestDialog::okAfterFailedLoadSavesNothing() {
    ServiceFixture service;
    TCommandHandler refused(nullptr, FakeService::host, FakeService::refusedPort(), 300);
    DialogFixture dialog(refused);
    TMainForm& form = *dialog.form;
    QVERIFY(QString::fromStdString(Raised<EServiceError>([&] {
                form.FormShow(&form);
            })).contains(QStringLiteral("Cannot connect")));
    QVERIFY(!LocalPartner);
    form.Open(service.channel, {DefaultRemotePartnerName, dialog.configPath.toStdString()}); // back
    QSignalSpy finished(&form, &QDialog::finished);
    ModalWatcher watcher;
    form.OK->click(); // through the guard, as the operator would
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QVERIFY(watcher.boxes[0].text.contains(QStringLiteral("could not be read")));
    QVERIFY(watcher.boxes[0].text.contains(QStringLiteral("Nothing was saved")));
    QCOMPARE(finished.count(), 0);
    QVERIFY(service.sent().empty());
    QCOMPARE(dialog.config(), ConfigText);
}

void TestDialog::unsafeFieldNamedByItsLabel() {
    Rig rig;
    rig.form.FormShow(&rig.form);
    const std::pair<QLineEdit*, QString> named[] = {
        {rig.form.LocalAS2ID, "Your (Local Partner) AS2 ID:"},
        {rig.form.LocalEmail, "Your (Local Partner) Email Address:"},
        {rig.form.RemoteAS2ID, "Remote Partner AS2 ID:"},
        {rig.form.RemoteEmail, "Remote Partner Email Address:"},
        {rig.form.OutgoingAS2URL, "Outgoing (Partner) AS2 URL:"},
        {rig.form.IncomingHostName, "Your Internet Host Name:"}};
    for (const auto& [edit, label] : named) {
        const QString before = edit->text();
        edit->setText(QStringLiteral("a\"b"));
        const QString message = QString::fromStdString(
            Raised<EUnsafeCommandText>([&] { rig.form.OKClick(rig.form.OK); }));
        QVERIFY2(message.startsWith(label + QStringLiteral(" \"a\"b\" holds")),
                 qPrintable(message));
        edit->setText(before);
    }
    // Text that UTF-8 cannot hold is named before it is converted.
    rig.form.RemoteEmail->setText(QChar(0xD83D) + QStringLiteral("x"));
    QVERIFY(Raised<EUnsafeCommandText>([&] {
                rig.form.OKClick(rig.form.OK);
            }).find("holds a lone surrogate (U+D83D)") != std::string::npos);
    QCOMPARE(rig.service.sent(), Sample::LoadCommands);
}

void TestDialog::configFailureStopsOk() {
    Rig rig;
    rig.form.Open(rig.service.channel,
                  {DefaultRemotePartnerName,
                   rig.dialog.dir.filePath(QStringLiteral("missing.xml")).toStdString()});
    rig.form.FormShow(&rig.form);
    rig.form.LocalAS2ID->setText(QStringLiteral("L2"));
    QSignalSpy finished(&rig.form, &QDialog::finished);
    ModalWatcher watcher;
    rig.form.OK->click();
    QCOMPARE(watcher.boxes.size(), size_t(1)); // the error, not the notice
    QVERIFY(watcher.boxes[0].text.startsWith(QStringLiteral("Cannot open file \"")));
    // The partners were saved before the file: the operator learns that, and what OK does.
    QVERIFY2(watcher.boxes[0].text.endsWith(QStringLiteral(
                 "The AS2 service holds the AS2 IDs \"L2\" (AS2Local) and \"REMOTEID\" "
                 "(AS2Remote), but the configuration file still names \"LOCALID\" and "
                 "\"REMOTEID\"; OK again retries the file.")),
             qPrintable(watcher.boxes[0].text));
    QCOMPARE(watcher.boxes[0].title, QString());
    QCOMPARE(finished.count(), 0);
    QVERIFY(!QFile::exists(rig.dialog.dir.filePath(QStringLiteral("missing.xml"))));
}

void TestDialog::againstStandin() {
    if (standinProgram().isEmpty())
        QSKIP("as2-standin is not built");
    QTemporaryDir data;
    StandIn standin(data.path());
    QVERIFY(standin.initSample() && standin.start());
    TCommandHandler channel(nullptr, "127.0.0.1", standin.portText(), 5000);
    const QString configPath = data.filePath(QStringLiteral("config.xml"));
    const QByteArray before = DialogFixture(channel, configPath).config();
    // OK with nothing changed: saved, read back and held; no notice, the file untouched.
    {
        DialogFixture dialog(channel, configPath);
        TMainForm& form = *dialog.form;
        form.FormShow(&form);
        ModalWatcher watcher;
        QSignalSpy finished(&form, &QDialog::finished);
        form.OKClick(form.OK);
        QVERIFY(watcher.boxes.empty());
        QCOMPARE(finished.count(), 1);
        QCOMPARE(dialog.config(), before);
    }
    // A new remote ID: saved, held, the file rewritten and the notice shown.
    QString oldRemote;
    {
        DialogFixture dialog(channel, configPath);
        TMainForm& form = *dialog.form;
        form.FormShow(&form);
        oldRemote = form.RemoteAS2ID->text();
        QVERIFY(!oldRemote.isEmpty());
        QVERIFY(before.contains(oldRemote.toUtf8()));
        form.RemoteAS2ID->setText(QStringLiteral("FRESH-REMOTE"));
        ModalWatcher watcher;
        form.OKClick(form.OK);
        QCOMPARE(watcher.boxes.size(), size_t(1));
        QCOMPARE(watcher.boxes[0].title, QStringLiteral("Information"));
    }
    const QByteArray after = DialogFixture(channel, configPath).config();
    // Behind both keys the old ID gave way to the new one.
    QVERIFY(after.contains("sender.as2_id=FRESH-REMOTE"));
    QVERIFY(after.contains("receiver.as2_id=FRESH-REMOTE"));
    QVERIFY(!after.contains("as2_id=" + oldRemote.toUtf8()));
    DialogFixture again(channel, configPath);
    again.form->FormShow(again.form.get());
    QCOMPARE(again.form->RemoteAS2ID->text(), QStringLiteral("FRESH-REMOTE"));
    again.form.reset();

    // A data folder the service cannot write: it answers the store with an error, and the
    // dialog says so, stays open and leaves the file as it was.
    if (::geteuid() != 0)
        QSKIP("only root can run the stand-in as another user");
    for (const QString& name : QDir(data.path()).entryList(QDir::Files))
        QFile::setPermissions(data.filePath(name),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                  QFileDevice::ReadOther | QFileDevice::ReadGroup);
    QFile::setPermissions(data.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                           QFileDevice::ExeOther | QFileDevice::ReadGroup |
                                           QFileDevice::ExeGroup);
    standin.runAsNobody();
    QVERIFY2(standin.restart(), qPrintable(standin.errorText()));
    TCommandHandler nobodys(nullptr, "127.0.0.1", standin.portText(), 5000);
    DialogFixture dialog(nobodys, configPath);
    TMainForm& form = *dialog.form;
    form.FormShow(&form);
    form.RemoteAS2ID->setText(QStringLiteral("UNSTORED"));
    ModalWatcher watcher;
    QSignalSpy finished(&form, &QDialog::finished);
    form.OK->click();
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QVERIFY2(watcher.boxes[0].text.contains(QStringLiteral("did not store the settings")),
             qPrintable(watcher.boxes[0].text));
    QCOMPARE(finished.count(), 0);
    QCOMPARE(dialog.config(), after);
}

void TestDialog::withoutADisplay_data() {
    QTest::addColumn<QString>("display"); // empty: not set
    QTest::addColumn<QString>("told");    // our line, then Qt's reason
    QTest::newRow("DISPLAY not set")
        << ""
        << "vantrel-config: cannot open a display; run it from a desktop session or set "
           "DISPLAY\ncould not connect to display \n";
    QTest::newRow("a display that is not there")
        << ":97"
        << "vantrel-config: cannot open the display :97\ncould not connect to display :97\n";
}

void TestDialog::withoutADisplay() {
    QFETCH(QString, display);
    QFETCH(QString, told);
    const QString program = qEnvironmentVariable("VANTREL_CONFIG_EXE");
    if (!QFileInfo::exists(program))
        QSKIP("vantrel-config is not built");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    if (!display.isEmpty())
        environment.insert(QStringLiteral("DISPLAY"), display);
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, {});
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    const QString said = QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(said.startsWith(told), qPrintable(said));
    QVERIFY2(!said.contains(QStringLiteral("Reinstalling")), qPrintable(said));
}

namespace {

// Watches for the progress dialog: what it said, and cancels it when asked to.
struct ProgressWatch {
    explicit ProgressWatch(bool cancel = false)
        : watcher([this, cancel](QWidget* modal) {
              auto* progress = qobject_cast<QProgressDialog*>(modal);
              if (progress == nullptr) {
                  if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                      boxes << box->text();
                      box->buttons().front()->click();
                  }
                  return;
              }
              labels << progress->labelText();
              cancelShown = progress->findChild<QPushButton*>()->isVisible();
              if (cancel)
                  progress->findChild<QPushButton*>()->click();
          }) {}
    QStringList labels;
    QStringList boxes;
    bool cancelShown = false;
    ModalWatcher watcher;
};

} // namespace

void TestDialog::progressShownOnlyForASlowService_data() {
    QTest::addColumn<int>("delayMs"); // for each reply
    QTest::addColumn<bool>("shown");
    QTest::newRow("fast") << 0 << false;
    QTest::newRow("slow") << 300 << true;
}

void TestDialog::progressShownOnlyForASlowService() {
    QFETCH(int, delayMs);
    QFETCH(bool, shown);
    Rig rig;
    rig.service.memory.delayMs = [delayMs](const std::string&) {
        return delayMs;
    };
    ProgressWatch watch;
    rig.form.FormShow(&rig.form);
    QCOMPARE(rig.form.RemoteAS2ID->text(), QStringLiteral("REMOTEID"));
    QCOMPARE(!watch.labels.isEmpty(), shown);
    if (shown) {
        // Half a second in, the load was at its second or third question.
        QVERIFY2(watch.labels.front().startsWith(QStringLiteral("Reading ")),
                 qPrintable(watch.labels.front()));
        QVERIFY(watch.cancelShown);
    }
    QTRY_VERIFY(QApplication::activeModalWidget() == nullptr); // gone with the work
}

void TestDialog::windowPaintedDuringAWait() {
    Rig rig;
    rig.form.show();
    QTRY_COMPARE(rig.form.RemoteAS2ID->text(), QStringLiteral("REMOTEID"));
    // Load again from a service that takes its time, while something asks for a repaint.
    rig.service.memory.delayMs = [](const std::string&) {
        return 150;
    };
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            paints += event->type() == QEvent::Paint;
            return false;
        }
    } counter;
    rig.form.installEventFilter(&counter);
    QTimer repaint;
    QObject::connect(&repaint, &QTimer::timeout, &rig.form, [&] { rig.form.update(); });
    repaint.start(50);
    ProgressWatch watch;
    rig.form.FormShow(&rig.form);
    QVERIFY2(counter.paints > 0, "the window was not painted while it waited");
    rig.form.hide();
}

void TestDialog::cancelledLoadSavesNothing() {
    Rig rig;
    rig.service.memory.delayMs = [](const std::string& command) {
        return command == "Partner View AS2Remote" ? 60000 : 0;
    };
    ProgressWatch watch(true);
    QElapsedTimer waited;
    waited.start();
    const std::string message = Raised<ECancelled>([&] { rig.form.FormShow(&rig.form); });
    QVERIFY2(waited.elapsed() < 30000, "the cancel took effect only when the reply came");
    QCOMPARE(message, std::string("Cancelled while reading partner AS2Remote. The settings were "
                                  "not read, so OK saves nothing; start the dialog again to read "
                                  "them"));
    rig.service.memory.delayMs = nullptr;
    rig.form.OK->click();
    QCOMPARE(watch.boxes.size(), 1);
    QVERIFY(watch.boxes[0].contains(QStringLiteral("nothing to save")));
    const Commands sent = rig.service.sent();
    QCOMPARE(sent.size(), size_t(5)); // the local partner, and the question for the remote one
}

void TestDialog::cancelledReadBackIsNoSave() {
    Rig rig;
    rig.form.FormShow(&rig.form);
    rig.form.RemoteAS2ID->setText(QStringLiteral("NEWREMOTE"));
    int lists = 0;
    rig.service.memory.delayMs = [&lists](const std::string& command) {
        return command == "Partner View AS2Local" && ++lists == 2 ? 20000 : 0; // the read-back's
    };
    ProgressWatch watch(true);
    QSignalSpy finished(&rig.form, &QDialog::finished);
    rig.form.OK->click();
    QCOMPARE(watch.boxes.size(), 1);
    QVERIFY2(watch.boxes[0].startsWith(QStringLiteral("Cancelled while checking what the AS2 "
                                                      "service holds")),
             qPrintable(watch.boxes[0]));
    QVERIFY(watch.boxes[0].contains(QStringLiteral("may hold only part of the changes")));
    QCOMPARE(finished.count(), 0);
    QCOMPARE(rig.dialog.config(), ConfigText);
}

void TestDialog::okWaitsForAnotherSave_data() {
    QTest::addColumn<bool>("cancel"); // else the other save ends
    QTest::newRow("other save ends") << false;
    QTest::newRow("Cancel") << true;
}

// OK while another program saves waits before its check, says for whom, and sends nothing.
void TestDialog::okWaitsForAnotherSave() {
    QFETCH(bool, cancel);
    Rig rig;
    rig.form.FormShow(&rig.form);
    TSaveLock other(rig.dialog.configPath.toStdString());
    other.Take([](const std::string&) { throw ECancelled("held"); });
    ProgressWatch watch(cancel);
    std::optional<Commands> whileWaiting; // once the progress shows; then the other save ends
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!watch.labels.isEmpty() && !whileWaiting) {
            whileWaiting = rig.sentAfterLoad();
            other.Release();
        }
    });
    poll.start(10);
    rig.form.OK->click();
    const QString waiting = "aiting for another save to finish: tst_dialog, process " +
                            QString::number(QCoreApplication::applicationPid());
    QCOMPARE(watch.labels.value(0), "W" + waiting);
    QVERIFY(watch.cancelShown && whileWaiting && whileWaiting->empty());
    QCOMPARE(watch.boxes,
             cancel ? QStringList{"Cancelled while w" + waiting + "."} : QStringList());
    QCOMPARE(rig.sentAfterLoad().empty(), cancel);
}

namespace {
enum Phase { Load, ReadBack, Import };
enum Intrusion { AccessiblePress, PostedClick, RightClick, Close, Stop };
} // namespace

void TestDialog::oneActionAtATime_data() {
    QTest::addColumn<int>("phase");
    QTest::addColumn<int>("intrusion");
    QTest::addColumn<QString>("told"); // the start of the one box shown; empty: none
    QTest::addColumn<bool>("closed");
    const char* phases[] = {"load", "read-back", "import"};
    const char* intrusions[] = {"accessible press of OK", "click posted to OK", "right click",
                                "close()", "SIGTERM"};
    const QString notice = "The Changes you made";
    const QString checking = "Cancelled while checking what the AS2 service holds";
    // The phase ends as if nothing came in, but close(): it stops a load, which writes nothing,
    // and a read, which the handler reports; and a stop request: it stops a read and closes the
    // window once the handler has ended.
    const QString told[][3] = {{"", "", ""},
                               {notice, checking, checking},
                               {"", "Cancelled while reading the certificate list", ""}};
    for (int phase : {Load, ReadBack, Import})
        for (int intrusion : {AccessiblePress, PostedClick, RightClick, Close, Stop})
            QTest::addRow("%s during the %s", intrusions[intrusion], phases[phase])
                << phase << intrusion
                << told[phase][intrusion == Close  ? 1
                               : intrusion == Stop ? 2
                                                   : 0]
                << (intrusion == Stop ||
                    (phase == Load ? intrusion == Close : phase == ReadBack && intrusion != Close));
}

void TestDialog::oneActionAtATime() {
    QFETCH(int, phase);
    QFETCH(int, intrusion);
    QFETCH(QString, told);
    QFETCH(bool, closed);
    Rig rig;
    TMainForm& form = rig.form;
    QFile(rig.dialog.dir.filePath(QStringLiteral("partner.cer"))).open(QIODevice::WriteOnly);
    ModalWatcher watcher([&](QWidget* modal) {
        if (auto* files = qobject_cast<QFileDialog*>(modal)) {
            files->setDirectory(rig.dialog.dir.path());
            files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText("partner.cer");
            QMetaObject::invokeMethod(files, "accept");
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            box->buttons().front()->click();
        }
    });
    if (phase != Load) {
        form.show();
        QTRY_VERIFY(!HandlerRunning() && form.RemoteAS2ID->text() == "REMOTEID");
        form.LocalAS2ID->setText(QStringLiteral("LOCALID2")); // the old ID begins the new one
    }
    // The phase's slow answer (OK's and an import's second read of it: the first is the check
    // before the save, or the alias list); the intrusion comes while the window waits for it.
    const std::string slow = phase == Load       ? "Partner View AS2Remote"
                             : phase == ReadBack ? "Partner View AS2Local"
                                                 : "cert List";
    std::atomic<int> asked{phase == Load ? 1 : 0};
    std::atomic<bool> waiting{false};
    rig.service.memory.delayMs = [&](const std::string& command) {
        return command == slow && ++asked == 2 && !waiting.exchange(true) ? 700 : 0;
    };
    bool intruded = false;
    bool popup = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (QWidget* menu = QApplication::activePopupWidget())
            popup = menu->close();
        if (intruded || !waiting)
            return;
        intruded = true;
        if (intrusion == AccessiblePress)
            QAccessible::queryAccessibleInterface(form.OK)->actionInterface()->doAction(
                QAccessibleActionInterface::pressAction());
        else if (intrusion == PostedClick)
            QMetaObject::invokeMethod(form.OK, &QPushButton::click, Qt::QueuedConnection);
        else if (intrusion == RightClick)
            QCoreApplication::postEvent(
                form.RemoteEmail,
                new QContextMenuEvent(QContextMenuEvent::Mouse, QPoint(5, 5),
                                      form.RemoteEmail->mapToGlobal(QPoint(5, 5))));
        else if (intrusion == Stop)
            form.StopRequested(); // as the program does on SIGTERM or SIGHUP
        else
            form.close();
    });
    poll.start(5);
    QSignalSpy finished(&form, &QDialog::finished);
    if (phase == Load)
        form.show();
    else
        (phase == ReadBack ? form.OK : form.ImportRemote)->click();
    QTRY_VERIFY(intruded && !HandlerRunning());
    QTest::qWait(200); // what the intrusion queued comes now, or never

    const Commands sent = rig.service.sent();
    const auto count = [&sent](const std::string& prefix) {
        return std::count_if(sent.begin(), sent.end(),
                             [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
    };
    QCOMPARE(count("Partnership Store"), phase == ReadBack ? 2 : 0); // one save of each partner
    QCOMPARE(count("Cert import"), phase == Import ? 1 : 0);
    QCOMPARE(rig.dialog.config(), phase == ReadBack && intrusion != Close && intrusion != Stop
                                      ? QByteArray(ConfigText).replace("LOCALID", "LOCALID2")
                                      : ConfigText);
    const size_t fileShown = phase == Import ? 1 : 0; // the box that shows the file, answered
    QCOMPARE(watcher.boxes.size(), fileShown + (told.isEmpty() ? 0 : 1));
    QVERIFY(told.isEmpty() || watcher.boxes[fileShown].text.startsWith(told));
    QVERIFY(!popup);
    QCOMPARE(finished.count(), closed ? 1 : 0);
    QCOMPARE(form.isVisible(), !closed);
    form.hide();
}

// A busy scope opened and closed inside another gives the channel's waits back to the outer one.
void TestDialog::nestedBusyScopeLeavesTheOuterPumping() {
    Rig rig;
    rig.service.memory.delayMs = [](const std::string&) {
        return 300;
    };
    const TServiceWork outer(&rig.form, rig.service.channel);
    { const TServiceWork inner(&rig.form, rig.service.channel); }
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&ticks] { ++ticks; });
    tick.start(10);
    rig.service.channel.ExecuteCommand("Partner View AS2Local");
    QVERIFY2(ticks > 0, "the outer scope no longer lets events in while the channel waits");
}

QTEST_MAIN(TestDialog)
#include "tst_dialog.moc"
