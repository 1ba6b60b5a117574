// The dialog at work against a scripted service: what FormShow and OK send, what the controls
// show, the configuration file, and what the dialog refuses to do.

#include "cmds.h"
#include "exceptions.h"
#include "fakeservice.h"
#include "main.h"
#include "memoryservice.h"
#include "modalwatcher.h"
#include "serviceconfig.h"
#include "standinprocess.h"

#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

using Commands = std::vector<std::string>;

namespace {

const char* const LocalAdd =
    R"(Partner Add AS2Local as2_id="LOCALID" email="me@local" x509_alias="AS2Local:0")";
const char* const Outgoing =
    R"(Partnership Add AS2Local-AS2Remote AS2Local AS2Remote protocol="as2" as2_url="http://partner:5080" as2_mdn_to="http://myhost:10090")";
const char* const Incoming =
    R"(Partnership Add AS2Remote-AS2Local AS2Remote AS2Local protocol="as2" as2_url="http://myhost:4080")";

const char* const ConfigText = "<config>\r\n"
                               "  sender.as2_id=LOCALID, receiver.as2_id=REMOTEID\r\n"
                               "  <module classname=\"org.corvane.processor.receiver."
                               "AS2DirectoryPollingModule\"\r\n"
                               "</config>\r\n";

void Fill(MemoryService& s) {
    s.partners = {{"AS2Local", "LOCALID", "me@local", "AS2Local:0"},
                  {"AS2Remote", "REMOTEID", "you@remote", "AS2Remote:2"}};
    s.partnerships = {
        {"AS2Local-AS2Remote",
         "AS2Local",
         "AS2Remote",
         {{"protocol", "as2"},
          {"as2_url", "http://partner:5080"},
          {"as2_mdn_to", "http://myhost:10090"}}},
        {"AS2Remote-AS2Local",
         "AS2Remote",
         "AS2Local",
         {{"protocol", "as2"}, {"as2_url", "http://myhost:4080"}}},
    };
}

// One dialog against one scripted service, with its own configuration file.
struct Rig {
    MemoryService memory;
    FakeService service{memory.responder()};
    TCommandHandler handler{nullptr, FakeService::host, service.port(), 2000};
    QTemporaryDir dir;
    QString configPath = dir.filePath(QStringLiteral("config.xml"));
    std::unique_ptr<TMainForm> form;

    explicit Rig(bool fill = true) {
        if (fill)
            Fill(memory);
        CommandHandler = &handler;
        ResetDialogState();
        writeConfig(ConfigText);
        form = std::make_unique<TMainForm>();
        form->ServiceConfigPath = configPath.toStdString();
        form->Arguments = QStringList{QStringLiteral("vantrel-config")};
    }
    ~Rig() {
        form.reset();
        ResetDialogState();
        CommandHandler = nullptr;
    }

    void writeConfig(const QByteArray& bytes) {
        QFile f(configPath);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QByteArray config() const {
        QFile f(configPath);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    // The commands sent since `from`; waits for the last connection to be closed by a probe.
    Commands sentSince(size_t from) {
        Commands all = service.commands();
        return Commands(all.begin() + std::min(from, all.size()), all.end());
    }
};

QString Shown(const QLineEdit* e) {
    return e->text();
}

} // namespace

class TestDialog : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void formShowLoadsBothPartners();
    void formShowRunsOnShow();
    void remoteNameFromFirstArgument();
    void incomingUrlTakenApart_data();
    void incomingUrlTakenApart();
    void unreadableMdnPortLeftAtDefault_data();
    void unreadableMdnPortLeftAtDefault();
    void lastPartnershipOfAKindDecides();
    void okUnchangedSavesBothAndCloses();
    void okChangedRemoteIdRewritesConfig();
    void okCaseChangeCounts();
    void okForUnknownRemoteCreatesPartnerships();
    void okAfterBadIncomingPortCountsIdsChanged();
    void cancelSendsNothing();
    void okAfterFailedLoadSavesNothing();
    void badRemoteNameRefused();
    void unsafeFieldRefused_data();
    void unsafeFieldRefused();
    void configFailureStopsOk();
    void againstStandin();
};

void TestDialog::formShowLoadsBothPartners() {
    Rig rig;
    rig.form->FormShow(rig.form.get());
    QCOMPARE(
        rig.service.commands(),
        (Commands{"Partner View AS2Local", "Partnership List",
                  "Partnership View AS2Local-AS2Remote", "Partnership View AS2Remote-AS2Local",
                  "Partner View AS2Remote", "Partnership List",
                  "Partnership View AS2Local-AS2Remote", "Partnership View AS2Remote-AS2Local"}));
    TMainForm& f = *rig.form;
    QCOMPARE(Shown(f.LocalName), QStringLiteral("AS2Local"));
    QCOMPARE(Shown(f.LocalAS2ID), QStringLiteral("LOCALID"));
    QCOMPARE(Shown(f.LocalEmail), QStringLiteral("me@local"));
    QCOMPARE(Shown(f.LocalCertificate), QStringLiteral("AS2Local:0"));
    QCOMPARE(Shown(f.RemoteName), QStringLiteral("AS2Remote"));
    QCOMPARE(Shown(f.RemoteAS2ID), QStringLiteral("REMOTEID"));
    QCOMPARE(Shown(f.RemoteEmail), QStringLiteral("you@remote"));
    QCOMPARE(Shown(f.RemoteCertificate), QStringLiteral("AS2Remote:2"));
    QCOMPARE(Shown(f.OutgoingAS2URL), QStringLiteral("http://partner:5080"));
    QCOMPARE(Shown(f.IncomingHostName), QStringLiteral("myhost"));
    QCOMPARE(f.IncomingAS2Port->value(), 4080);
    QCOMPARE(f.IncomingMDNPort->value(), 10090);
    QCOMPARE(OldLocalAS2ID, std::string("LOCALID"));
    QCOMPARE(OldRemoteAS2ID, std::string("REMOTEID"));
    // The two partners hold independent copies of the partnerships between them.
    QVERIFY(LocalPartner->Partnerships->Items[0].get() !=
            RemotePartner->Partnerships->Items[0].get());
}

void TestDialog::formShowRunsOnShow() {
    Rig rig;
    ModalWatcher watcher;
    rig.form->show();
    QTRY_COMPARE(Shown(rig.form->RemoteAS2ID), QStringLiteral("REMOTEID"));
    QVERIFY(watcher.boxes.empty());
    QVERIFY(QApplication::overrideCursor() == nullptr); // the wait cursor is gone again
}

void TestDialog::remoteNameFromFirstArgument() {
    Rig rig;
    rig.memory.partners.push_back({"Partner7", "P7", "", ""});
    rig.form->Arguments = QStringList{"vantrel-config", "Partner7", "ignored"};
    rig.form->FormShow(rig.form.get());
    QCOMPARE(Shown(rig.form->RemoteName), QStringLiteral("Partner7"));
    QCOMPARE(rig.service.commands().at(4), std::string("Partner View Partner7"));
}

void TestDialog::incomingUrlTakenApart_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("error"); // empty: none
    QTest::newRow("host and port") << "http://localhost:4080"
                                   << "localhost" << 4080 << "";
    QTest::newRow("https keeps a slash") << "https://localhost:4443"
                                         << "/localhost" << 4443 << "";
    QTest::newRow("no port") << "http://localhost"
                             << "" << 1 << "'localhost' is not a valid integer value";
    QTest::newRow("a path") << "http://localhost:4080/as2"
                            << "localhost" << 1 << "'4080/as2' is not a valid integer value";
    QTest::newRow("port 0 shows 1") << "http://h:0"
                                    << "h" << 1 << "";
    QTest::newRow("port 70000 shows 65535") << "http://h:70000"
                                            << "h" << 65535 << "";
    QTest::newRow("short text") << "http"
                                << "" << 1 << "'' is not a valid integer value";
}

void TestDialog::incomingUrlTakenApart() {
    QFETCH(QString, url);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, error);
    Rig rig;
    rig.memory.partnerships[1].attributes[1].second = url.toStdString();
    QString raised;
    try {
        rig.form->FormShow(rig.form.get());
    } catch (const EConvertError& e) {
        raised = QString::fromStdString(e.Message);
    }
    QCOMPARE(raised, error);
    QCOMPARE(Shown(rig.form->IncomingHostName), host);
    QCOMPARE(rig.form->IncomingAS2Port->value(), port);
    // A failed conversion stops FormShow before it records the loaded IDs.
    QCOMPARE(OldLocalAS2ID.empty(), !error.isEmpty());
}

void TestDialog::unreadableMdnPortLeftAtDefault_data() {
    QTest::addColumn<QString>("mdn");
    QTest::addColumn<int>("port");
    QTest::newRow("absent") << "" << 10081;
    QTest::newRow("no number") << "http://myhost:abc" << 10081;
    QTest::newRow("a path") << "http://myhost:10090/mdn" << 10081;
    QTest::newRow("readable") << "http://myhost:2222" << 2222;
    QTest::newRow("no colon, a number") << "http://3333" << 3333;
}

void TestDialog::unreadableMdnPortLeftAtDefault() {
    QFETCH(QString, mdn);
    QFETCH(int, port);
    Rig rig;
    rig.memory.partnerships[0].attributes[2].second = mdn.toStdString();
    rig.form->FormShow(rig.form.get());
    QCOMPARE(rig.form->IncomingMDNPort->value(), port);
    QCOMPARE(OldLocalAS2ID, std::string("LOCALID"));
}

void TestDialog::lastPartnershipOfAKindDecides() {
    Rig rig;
    rig.memory.partnerships.push_back(
        {"Second-Out", "AS2Local", "AS2Remote", {{"as2_url", "http://second:1"}}});
    rig.memory.partnerships.push_back(
        {"Third-In", "Elsewhere", "AS2Local", {{"as2_url", "http://third:7000"}}});
    rig.form->FormShow(rig.form.get());
    QCOMPARE(Shown(rig.form->OutgoingAS2URL), QStringLiteral("http://second:1"));
    QCOMPARE(rig.form->IncomingMDNPort->value(), 10090); // the second has no MDN address
    QCOMPARE(Shown(rig.form->IncomingHostName), QStringLiteral("third"));
    QCOMPARE(rig.form->IncomingAS2Port->value(), 7000);
}

void TestDialog::okUnchangedSavesBothAndCloses() {
    Rig rig;
    rig.form->FormShow(rig.form.get());
    const size_t loaded = rig.service.commands().size();
    ModalWatcher watcher;
    QSignalSpy finished(rig.form.get(), &QDialog::finished);
    rig.form->OKClick(rig.form->OK);
    QVERIFY(rig.service.waitForConnections(1 + loaded + 14 - 1));
    rig.handler.TcpClient.Close();
    QVERIFY(rig.service.waitForConnections(1 + loaded + 14));
    const char* remoteAdd =
        R"(Partner Add AS2Remote as2_id="REMOTEID" email="you@remote" x509_alias="AS2Remote:2")";
    QCOMPARE(
        rig.sentSince(loaded),
        (Commands{"Partnership Delete AS2Local-AS2Remote", "Partnership Delete AS2Remote-AS2Local",
                  "Partner Delete AS2Local", LocalAdd, Outgoing, Incoming, "Partnership Store",
                  "Partnership Delete AS2Local-AS2Remote", "Partnership Delete AS2Remote-AS2Local",
                  "Partner Delete AS2Remote", remoteAdd, Outgoing, Incoming, "Partnership Store"}));
    QVERIFY(watcher.boxes.empty());
    QCOMPARE(finished.count(), 1);
    QCOMPARE(rig.config(), QByteArray(ConfigText));
}

void TestDialog::okChangedRemoteIdRewritesConfig() {
    Rig rig;
    rig.form->FormShow(rig.form.get());
    const size_t loaded = rig.service.commands().size();
    rig.form->RemoteAS2ID->setText(QStringLiteral("NEWREMOTE"));
    rig.form->RemoteEmail->setText(QStringLiteral("b\u00fcro@remote"));
    rig.form->OutgoingAS2URL->setText(QStringLiteral("http://moved:6080"));
    rig.form->IncomingHostName->setText(QStringLiteral("me.example"));
    rig.form->IncomingAS2Port->setValue(4081);
    rig.form->IncomingMDNPort->setValue(10091);
    ModalWatcher watcher;
    QSignalSpy finished(rig.form.get(), &QDialog::finished);
    rig.form->OKClick(rig.form->OK);
    rig.handler.TcpClient.Close();
    QVERIFY(rig.service.waitForConnections(1 + loaded + 14));
    const Commands sent = rig.sentSince(loaded);
    QCOMPARE(sent.size(), size_t(14));
    // The local save goes out as loaded; the remote one carries the new settings.
    QCOMPARE(sent[4], std::string(Outgoing));
    QCOMPARE(sent[10],
             std::string("Partner Add AS2Remote as2_id=\"NEWREMOTE\" email=\"b\xc3\xbcro@remote\" "
                         "x509_alias=\"AS2Remote:2\""));
    const std::string outgoing =
        R"(Partnership Add AS2Local-AS2Remote AS2Local AS2Remote protocol="as2" as2_url="http://moved:6080" as2_mdn_to="http://me.example:10091")";
    const std::string incoming =
        R"(Partnership Add AS2Remote-AS2Local AS2Remote AS2Local protocol="as2" as2_url="http://me.example:4081")";
    QCOMPARE(sent[11], outgoing);
    QCOMPARE(sent[12], incoming);
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QCOMPARE(watcher.boxes[0].title, QStringLiteral("Information"));
    QCOMPARE(watcher.boxes[0].text,
             QStringLiteral(
                 "The Changes you made won't take effect until the AS2 Service is restarted."));
    QCOMPARE(watcher.boxes[0].icon, QMessageBox::Information);
    QCOMPARE(watcher.boxes[0].buttons.size(), 1);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(rig.config(), QByteArray("<config>\r\n"
                                      "  sender.as2_id=LOCALID, receiver.as2_id=NEWREMOTE\r\n"
                                      "  <module classname=\"org.corvane.processor.receiver."
                                      "AS2DirectoryPollingModule\"\r\n"
                                      "</config>\r\n"));
}

void TestDialog::okCaseChangeCounts() {
    Rig rig;
    rig.form->FormShow(rig.form.get());
    rig.form->LocalAS2ID->setText(QStringLiteral("localid"));
    ModalWatcher watcher;
    rig.form->OKClick(rig.form->OK);
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QVERIFY(rig.config().contains("sender.as2_id=localid"));
}

void TestDialog::okForUnknownRemoteCreatesPartnerships() {
    Rig rig;
    rig.memory.partners.resize(1); // the service knows AS2Local only
    rig.memory.partnerships.clear();
    rig.form->FormShow(rig.form.get());
    QCOMPARE(Shown(rig.form->RemoteName), QStringLiteral("AS2Remote"));
    QCOMPARE(rig.form->IncomingMDNPort->value(), 10081);
    const size_t loaded = rig.service.commands().size();
    QCOMPARE(loaded, size_t(3)); // the unknown remote partner costs one command
    rig.form->RemoteAS2ID->setText(QStringLiteral("R1"));
    rig.form->OutgoingAS2URL->setText(QStringLiteral("http://partner:4080"));
    rig.form->IncomingHostName->setText(QStringLiteral("me"));
    rig.form->IncomingAS2Port->setValue(4080);
    ModalWatcher watcher;
    rig.form->OKClick(rig.form->OK);
    rig.handler.TcpClient.Close();
    QVERIFY(rig.service.waitForConnections(1 + loaded + 3 + 7));
    const std::string options =
        "as2_mdn_options=\"signed-receipt-protocol=optional,pkcs7-signature; "
        "signed-receipt-micalg=optional,md5\"";
    const Commands expected = {
        "Partner Delete AS2Local",
        LocalAdd,
        "Partnership Store",
        "Partnership Delete AS2Local-AS2Remote",
        "Partnership Delete AS2Remote-AS2Local",
        "Partner Delete AS2Remote",
        R"(Partner Add AS2Remote as2_id="R1" email="" x509_alias="")",
        "Partnership Add AS2Local-AS2Remote AS2Local AS2Remote protocol=\"as2\" "
        "subject=\"From AS2Local to AS2Remote\" as2_url=\"http://partner:4080\" " +
            options + " encrypt=\"3des\" sign=\"md5\"",
        "Partnership Add AS2Remote-AS2Local AS2Remote AS2Local protocol=\"as2\" "
        "subject=\"From AS2Remote to AS2Local\" as2_url=\"http://me:4080\" " +
            options + " encrypt=\"3des\" sign=\"md5\"",
        "Partnership Store"};
    QCOMPARE(rig.sentSince(loaded), expected);
    // Old remote ID empty, new one set: the polling module block goes in.
    QVERIFY(rig.config().contains("outboxdir=\"%home%/toR1/\"\r\n"));
}

void TestDialog::okAfterBadIncomingPortCountsIdsChanged() {
    Rig rig;
    rig.memory.partnerships[1].attributes[1].second = "http://myhost:x";
    QVERIFY_THROWS_EXCEPTION(EConvertError, rig.form->FormShow(rig.form.get()));
    QVERIFY(OldLocalAS2ID.empty() && OldRemoteAS2ID.empty());
    ModalWatcher watcher;
    rig.form->OKClick(rig.form->OK);
    // Both IDs count as changed: the notice shows; an empty old local ID is no search text, so
    // the bare keys are not prefixed with the ID.
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QVERIFY(!rig.config().contains("LOCALIDLOCALID"));
    QVERIFY(rig.config().contains("sender.as2_id=LOCALID, receiver.as2_id=REMOTEID"));
}

void TestDialog::cancelSendsNothing() {
    Rig rig;
    rig.form->FormShow(rig.form.get());
    const size_t loaded = rig.service.commands().size();
    rig.form->RemoteAS2ID->setText(QStringLiteral("CHANGED"));
    QSignalSpy finished(rig.form.get(), &QDialog::finished);
    rig.form->Cancel->click();
    QCOMPARE(finished.count(), 1);
    rig.handler.TcpClient.Close();
    QTest::qWait(50);
    QCOMPARE(rig.service.commands().size(), loaded);
    QCOMPARE(rig.config(), QByteArray(ConfigText));
}

void TestDialog::okAfterFailedLoadSavesNothing() {
    Rig rig;
    TCommandHandler refused(nullptr, FakeService::host, FakeService::refusedPort(), 300);
    CommandHandler = &refused;
    QVERIFY_THROWS_EXCEPTION(EServiceError, rig.form->FormShow(rig.form.get()));
    QVERIFY(!LocalPartner);
    CommandHandler = &rig.handler;
    QSignalSpy finished(rig.form.get(), &QDialog::finished);
    ModalWatcher watcher;
    rig.form->OK->click(); // through the guard, as the operator would
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QVERIFY(watcher.boxes[0].text.contains(QStringLiteral("could not be read")));
    QVERIFY(watcher.boxes[0].text.contains(QStringLiteral("Nothing was saved")));
    QCOMPARE(finished.count(), 0);
    rig.handler.TcpClient.Close();
    QTest::qWait(50);
    QVERIFY(rig.service.commands().empty());
    QCOMPARE(rig.config(), QByteArray(ConfigText));
}

void TestDialog::badRemoteNameRefused() {
    Rig rig;
    rig.form->Arguments = QStringList{"vantrel-config", "AS2Remote x509_alias=\"evil\""};
    try {
        rig.form->FormShow(rig.form.get());
        QFAIL("an unsafe remote name was used");
    } catch (const EUnsafeCommandText& e) {
        QVERIFY(QString::fromStdString(e.Message).contains(QStringLiteral("remote partner name")));
    }
    QVERIFY_THROWS_EXCEPTION(EDialogStateError, rig.form->OKClick(rig.form->OK));
    rig.handler.TcpClient.Close();
    QTest::qWait(50);
    QVERIFY(rig.service.commands().empty());
}

void TestDialog::unsafeFieldRefused_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("label");
    QTest::newRow("remote AS2 ID") << "RemoteAS2ID"
                                   << R"(x" email="y)"
                                   << "Remote Partner AS2 ID:";
    QTest::newRow("local e-mail") << "LocalEmail"
                                  << "a\"b"
                                  << "Your (Local Partner) Email Address:";
    QTest::newRow("outgoing URL with a line break") << "OutgoingAS2URL"
                                                    << "http://a\nPartner Delete AS2Local"
                                                    << "Outgoing (Partner) AS2 URL:";
    QTest::newRow("host name") << "IncomingHostName"
                               << "h\""
                               << "Your Internet Host Name:";
}

void TestDialog::unsafeFieldRefused() {
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(QString, label);
    Rig rig;
    rig.form->FormShow(rig.form.get());
    const size_t loaded = rig.service.commands().size();
    rig.form->findChild<QLineEdit*>(field)->setText(text);
    try {
        rig.form->OKClick(rig.form->OK);
        QFAIL("unsafe text was sent");
    } catch (const EUnsafeCommandText& e) {
        QVERIFY2(QString::fromStdString(e.Message).startsWith(label), e.Message.c_str());
    }
    rig.handler.TcpClient.Close();
    QTest::qWait(50);
    QCOMPARE(rig.service.commands().size(), loaded);
}

void TestDialog::configFailureStopsOk() {
    Rig rig;
    rig.form->FormShow(rig.form.get());
    rig.form->ServiceConfigPath = rig.dir.filePath(QStringLiteral("missing.xml")).toStdString();
    rig.form->LocalAS2ID->setText(QStringLiteral("L2"));
    QSignalSpy finished(rig.form.get(), &QDialog::finished);
    ModalWatcher watcher;
    rig.form->OK->click();
    QCOMPARE(watcher.boxes.size(), size_t(1)); // the error, not the notice
    QVERIFY(watcher.boxes[0].text.startsWith(QStringLiteral("Cannot open file \"")));
    QCOMPARE(watcher.boxes[0].title, QString());
    QCOMPARE(finished.count(), 0);
    QVERIFY(!QFile::exists(rig.dir.filePath(QStringLiteral("missing.xml"))));
}

void TestDialog::againstStandin() {
    if (StandinProcess::binary().isEmpty())
        QSKIP("as2-standin is not built");
    StandinProcess standin;
    QVERIFY(standin.start());
    const std::string port = standin.port;
    QTemporaryDir& data = standin.data;

    TCommandHandler handler(nullptr, "127.0.0.1", port, 5000);
    CommandHandler = &handler;
    auto reset = qScopeGuard([] {
        CommandHandler = nullptr;
        ResetDialogState();
    });
    ResetDialogState();
    TMainForm form;
    form.Arguments = QStringList{"vantrel-config"};
    form.ServiceConfigPath = data.filePath(QStringLiteral("config.xml")).toStdString();
    QFile config(data.filePath(QStringLiteral("config.xml")));
    QVERIFY(config.open(QIODevice::ReadOnly));
    const QByteArray before = config.readAll();
    config.close();

    form.FormShow(&form);
    const QString oldRemote = form.RemoteAS2ID->text();
    QVERIFY(!oldRemote.isEmpty());
    QVERIFY(before.contains(oldRemote.toUtf8()));
    form.RemoteAS2ID->setText(QStringLiteral("FRESH-REMOTE"));
    ModalWatcher watcher;
    form.OKClick(form.OK);
    QCOMPARE(watcher.boxes.size(), size_t(1));

    QVERIFY(config.open(QIODevice::ReadOnly));
    const QByteArray after = config.readAll();
    // Behind both keys the old ID gave way to the new one.
    QVERIFY(after.contains("sender.as2_id=FRESH-REMOTE"));
    QVERIFY(after.contains("receiver.as2_id=FRESH-REMOTE"));
    QVERIFY(!after.contains("as2_id=" + oldRemote.toUtf8()));

    ResetDialogState();
    TMainForm again;
    again.Arguments = QStringList{"vantrel-config"};
    again.FormShow(&again);
    QCOMPARE(again.RemoteAS2ID->text(), QStringLiteral("FRESH-REMOTE"));
    QCOMPARE(again.OutgoingAS2URL->text(), form.OutgoingAS2URL->text());
    QCOMPARE(again.IncomingAS2Port->value(), form.IncomingAS2Port->value());
}

QTEST_MAIN(TestDialog)
#include "tst_dialog.moc"
