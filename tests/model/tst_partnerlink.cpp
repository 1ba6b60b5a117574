// The partner link without a window: what loading gives the settings, what applying them sends,
// and the texts it refuses to send.

#include "model/partnerlink.h"
#include "platform/exceptions.h"
#include "support/raised.h"
#include "support/sample.h"
#include "support/servicefixture.h"

#include <QtTest>

using Commands = std::vector<std::string>;

namespace {

const QByteArray ConfigText = "sender.as2_id=LOCALID, receiver.as2_id=REMOTEID\r\n";

// The window's words.
TLinkFace WindowWords() {
    return {[](const TSetting& setting) { return std::string(setting.Label); },
            "OK sends the settings again", "OK again retries the file",
            "start the dialog again to read them anew",
            "OK saves nothing; start the dialog again to read them"};
}

// The link over the scripted service holding the sample, with both partners loaded and read.
struct Loaded {
    ServiceFixture fixture;
    QTemporaryDir dir;
    TPartnerLink link{fixture.channel, dir.filePath(QStringLiteral("config.xml")).toStdString(),
                      WindowWords()};
    TLinkSettings settings;
    std::string raised; // what Load or Read raised
    std::size_t loadCommands = 0;
    TApplyOutcome outcome; // of the last apply
    TSaveChoice choice = TSaveChoice::Both;

    explicit Loaded(const std::function<void(MemoryService&)>& change = {}) {
        QFile config(QString::fromStdString(link.ConfigPath()));
        if (config.open(QIODevice::WriteOnly))
            config.write(ConfigText);
        Sample::Fill(fixture.memory);
        if (change)
            change(fixture.memory);
        raised = Raised<Exception>([&] {
            link.Load(DefaultRemotePartnerName);
            link.Read(settings);
        });
        loadCommands = fixture.sent().size();
    }
    ~Loaded() { QFile::remove(QString::fromStdString(TSaveLock::PathFor(link.ConfigPath()))); }
    // The commands that applying the settings sent.
    Commands apply() {
        outcome = TApplyOutcome();
        outcome = link.Apply(settings, choice);
        const Commands all = fixture.sent();
        return Commands(all.begin() + static_cast<long>(loadCommands), all.end());
    }
    // What applying told: what it raised, or its outcome's message ("" when all is held).
    std::string told() {
        const std::string raised = Raised<Exception>([&] { apply(); });
        return raised == "<nothing raised>" ? outcome.Message : raised;
    }
};

} // namespace

class TestPartnerLink : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void loadAndRead();
    void incomingUrlTakenApart_data();
    void incomingUrlTakenApart();
    void mdnPort_data();
    void mdnPort();
    void lastPartnershipOfAKindDecides();
    void applySavesWhatDiffers_data();
    void applySavesWhatDiffers();
    void applyChangedSettings();
    void applyForUnknownRemoteCreatesPartnerships();
    void readBackRaisesNoFalseAlarm_data();
    void readBackRaisesNoFalseAlarm();
    void readBackNamesEachDifference();
    void applyAfterFailedLoadSendsNothing();
    void unsafeRemoteNameLoadsNothing_data();
    void unsafeRemoteNameLoadsNothing();
    void valuesTheRepliesCanCarry_data();
    void valuesTheRepliesCanCarry();
    void passedThroughAsLoaded_data();
    void passedThroughAsLoaded();
    void fileFollowsTheIDsHeld_data();
    void fileFollowsTheIDsHeld();
    void nothingHeldIsLost_data();
    void nothingHeldIsLost();
    void okAgainSendsWhatTheFirstSent();
    void unsafeTextSendsNothing_data();
    void unsafeTextSendsNothing();
};

void TestPartnerLink::loadAndRead() {
    Loaded l;
    QCOMPARE(l.fixture.service.commands(), Sample::LoadCommands);
    QCOMPARE(l.raised, std::string("<nothing raised>"));
    const TLinkSettings& s = l.settings;
    const Commands shown = {s.LocalName,      s.LocalAS2ID,      s.LocalEmail,  s.LocalCertificate,
                            s.RemoteName,     s.RemoteAS2ID,     s.RemoteEmail, s.RemoteCertificate,
                            s.OutgoingAS2URL, s.IncomingHostName};
    QCOMPARE(shown,
             (Commands{"AS2Local", "LOCALID", "me@local", "AS2Local:0", "AS2Remote", "REMOTEID",
                       "you@remote", "AS2Remote:2", "http://partner:5080", "myhost"}));
    QCOMPARE(s.IncomingAS2Port, 4080);
    QCOMPARE(s.IncomingMDNPort, 10090);
    // The two partners hold independent copies of the partnerships between them.
    QVERIFY(&l.link.Local()->Partnerships.Items[0] != &l.link.Remote()->Partnerships.Items[0]);
}

void TestPartnerLink::incomingUrlTakenApart_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("error");
    QTest::newRow("host and port") << "http://localhost:4080"
                                   << "localhost" << 4080 << "<nothing raised>";
    QTest::newRow("https keeps a slash") << "https://localhost:4443"
                                         << "/localhost" << 4443 << "<nothing raised>";
    QTest::newRow("no port") << "http://localhost"
                             << "" << 1 << "'localhost' is not a valid integer value";
    QTest::newRow("a path") << "http://localhost:4080/as2"
                            << "localhost" << 1 << "'4080/as2' is not a valid integer value";
    QTest::newRow("port 70000 read as it is") << "http://h:70000"
                                              << "h" << 70000 << "<nothing raised>";
    QTest::newRow("short text") << "http"
                                << "" << 1 << "'' is not a valid integer value";
}

void TestPartnerLink::incomingUrlTakenApart() {
    QFETCH(QString, url);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, error);
    Loaded l([&](MemoryService& m) { m.partnerships[1].attributes[1].second = url.toStdString(); });
    QCOMPARE(QString::fromStdString(l.raised), error);
    // The host is taken before the port fails.
    QCOMPARE(QString::fromStdString(l.settings.IncomingHostName), host);
    QCOMPARE(l.settings.IncomingAS2Port, port);
}

void TestPartnerLink::mdnPort_data() {
    QTest::addColumn<QString>("mdn");
    QTest::addColumn<int>("port");
    QTest::newRow("absent") << "" << 10081;
    QTest::newRow("no number") << "http://myhost:abc" << 10081;
    QTest::newRow("a path") << "http://myhost:10090/mdn" << 10081;
    QTest::newRow("readable") << "http://myhost:2222" << 2222;
    QTest::newRow("no colon, a number") << "http://3333" << 3333;
}

void TestPartnerLink::mdnPort() {
    QFETCH(QString, mdn);
    QFETCH(int, port);
    Loaded l([&](MemoryService& m) { m.partnerships[0].attributes[2].second = mdn.toStdString(); });
    QCOMPARE(l.settings.IncomingMDNPort, port);
    QCOMPARE(l.raised, std::string("<nothing raised>"));
}

void TestPartnerLink::lastPartnershipOfAKindDecides() {
    Loaded l([](MemoryService& m) {
        m.partnerships.push_back(
            {"Second-Out", "AS2Local", "AS2Remote", {{"as2_url", "http://second:1"}}});
        m.partnerships.push_back(
            {"Third-In", "Elsewhere", "AS2Local", {{"as2_url", "http://third:7000"}}});
    });
    QCOMPARE(l.settings.OutgoingAS2URL, std::string("http://second:1"));
    QCOMPARE(l.settings.IncomingMDNPort, 10090); // the second has no MDN address
    QCOMPARE(l.settings.IncomingHostName, std::string("third"));
    QCOMPARE(l.settings.IncomingAS2Port, 7000);
}

void TestPartnerLink::applySavesWhatDiffers_data() {
    QTest::addColumn<bool>("both");   // the window's choice
    QTest::addColumn<QString>("key"); // a text setting given a new value; empty: none
    QTest::addColumn<QStringList>("saved");
    const QString local = "AS2Local", remote = "AS2Remote";
    QTest::newRow("window, unchanged") << true << "" << QStringList{local, remote};
    QTest::newRow("unchanged") << false << "" << QStringList();
    QTest::newRow("remote e-mail") << false << "remoteEmail" << QStringList{remote};
    QTest::newRow("local e-mail") << false << "localEmail" << QStringList{local};
    QTest::newRow("outgoing URL") << false << "outgoingAS2URL" << QStringList{remote};
    QTest::newRow("incoming host") << false << "incomingHostName" << QStringList{remote};
    // Every partnership with the local partner names its AS2 ID.
    QTest::newRow("local AS2 ID") << false << "localAS2ID" << QStringList{local, remote};
}

void TestPartnerLink::applySavesWhatDiffers() {
    QFETCH(bool, both);
    QFETCH(QString, key);
    QFETCH(QStringList, saved);
    Loaded l;
    l.choice = both ? TSaveChoice::Both : TSaveChoice::Differing;
    for (const TSetting& setting : LinkSettings())
        if (key == setting.Key)
            l.settings.*setting.Text = "http://new:1";
    const Commands sent = l.apply();
    if (both)
        QCOMPARE(sent, Sample::VerifiedSave());
    QCOMPARE(l.outcome.Message, std::string());
    QStringList told;
    for (const std::string& name : l.outcome.Saved)
        told << QString::fromStdString(name);
    QCOMPARE(told, saved);
    for (const QString& name : {QStringLiteral("AS2Local"), QStringLiteral("AS2Remote")})
        QCOMPARE(std::count(sent.begin(), sent.end(), "Partner Delete " + name.toStdString()),
                 long(saved.contains(name)));
    QCOMPARE(std::count(sent.begin(), sent.end(), "Partnership Store"), long(saved.size()));
}

void TestPartnerLink::applyChangedSettings() {
    Loaded l;
    l.settings.RemoteAS2ID = "NEWREMOTE";
    l.settings.RemoteEmail = "b\xc3\xbcro@remote";
    l.settings.OutgoingAS2URL = "http://moved:6080";
    l.settings.IncomingHostName = "me.example";
    l.settings.IncomingAS2Port = 4081;
    l.settings.IncomingMDNPort = 10091;
    Commands expected = Sample::SaveCommands;
    // The local save goes out as loaded; the remote one carries the new settings.
    expected[10] = "Partner Add AS2Remote as2_id=\"NEWREMOTE\" email=\"b\xc3\xbcro@remote\" "
                   "x509_alias=\"AS2Remote:2\"";
    expected[11] =
        R"(Partnership Add AS2Local-AS2Remote AS2Local AS2Remote protocol="as2" as2_url="http://moved:6080" as2_mdn_to="http://me.example:10091")";
    expected[12] =
        R"(Partnership Add AS2Remote-AS2Local AS2Remote AS2Local protocol="as2" as2_url="http://me.example:4081")";
    // The outgoing partnership that both saves sent is compared with the remote partner's.
    QCOMPARE(l.apply(), Sample::VerifiedSave(expected));
}

void TestPartnerLink::applyForUnknownRemoteCreatesPartnerships() {
    Loaded l([](MemoryService& m) {
        m.partners.resize(1); // the service knows AS2Local only
        m.partnerships.clear();
    });
    QCOMPARE(l.loadCommands, size_t(3)); // the unknown remote partner costs one command
    QCOMPARE(l.settings.RemoteName, std::string("AS2Remote"));
    QCOMPARE(l.settings.IncomingMDNPort, 10081);
    l.settings.RemoteAS2ID = "R1";
    l.settings.OutgoingAS2URL = "http://partner:4080";
    l.settings.IncomingHostName = "me";
    l.settings.IncomingAS2Port = 4080;
    const std::string options =
        "as2_mdn_options=\"signed-receipt-protocol=optional,pkcs7-signature; "
        "signed-receipt-micalg=optional,md5\"";
    QCOMPARE(
        l.apply(),
        (Commands{"Partner View AS2Local", "Partner View AS2Remote", "Partnership List",
                  "Partner Delete AS2Local", Sample::LocalAdd, "Partnership Store",
                  "Partnership Delete AS2Local-AS2Remote", "Partnership Delete AS2Remote-AS2Local",
                  "Partner Delete AS2Remote",
                  R"(Partner Add AS2Remote as2_id="R1" email="" x509_alias="")",
                  "Partnership Add AS2Local-AS2Remote AS2Local AS2Remote protocol=\"as2\" "
                  "subject=\"From AS2Local to AS2Remote\" as2_url=\"http://partner:4080\" " +
                      options + " encrypt=\"3des\" sign=\"md5\"",
                  "Partnership Add AS2Remote-AS2Local AS2Remote AS2Local protocol=\"as2\" "
                  "subject=\"From AS2Remote to AS2Local\" as2_url=\"http://me:4080\" " +
                      options + " encrypt=\"3des\" sign=\"md5\"",
                  "Partnership Store", "Partner View AS2Local", "Partner View AS2Remote",
                  "Partnership View AS2Local-AS2Remote", "Partnership View AS2Remote-AS2Local"}));
}

void TestPartnerLink::readBackRaisesNoFalseAlarm_data() {
    QTest::addColumn<QString>("value");   // of the outgoing "as2_url", sent and held alike
    QTest::addColumn<QString>("service"); // what the service does besides
    QTest::newRow("the service holds pairs besides those sent") << "http://partner:5080"
                                                                << "extra";
    QTest::newRow("a value holding a comma and a blank") << "http://a, b=c"
                                                         << "";
    QTest::newRow("a value holding a single quote") << "http://it's"
                                                    << "";
    QTest::newRow("a value holding a double quote") << "http://\"x"
                                                    << "";
    QTest::newRow("a value holding a closing brace") << "http://x}y"
                                                     << "";
    QTest::newRow("empty values left out") << ""
                                           << "omitEmpty";
    QTest::newRow("lists in another order") << "http://partner:5080"
                                            << "listsReversed";
    QTest::newRow("a name repeated") << "http://partner:5080"
                                     << "repeated";
}

void TestPartnerLink::readBackRaisesNoFalseAlarm() {
    QFETCH(QString, value);
    QFETCH(QString, service);
    Loaded l;
    // What a save of these partners would have left on the service.
    MemoryService& held = l.fixture.memory;
    TPartner local = *l.link.Local();
    TPartner remote = *l.link.Remote();
    for (TPartner* partner : {&local, &remote}) {
        partner->Partnerships.Items[0].SetAttribute("as2_url", value.toStdString());
        if (service == "repeated")
            partner->Partnerships.Items[0].AddAttribute("protocol", "as2-second");
    }
    if (service == "omitEmpty")
        remote.SetEmail("");
    held.partnerships[0].attributes[1].second = value.toStdString();
    held.partners[1].email = service == "omitEmpty" ? "" : held.partners[1].email;
    held.omitEmpty = service == "omitEmpty";
    held.listsReversed = service == "listsReversed";
    if (service == "repeated")
        held.partnerships[0].attributes.emplace_back("protocol", "as2-second");
    if (service == "extra") {
        held.partnerships[0].attributes.emplace_back("content_type", "x12");
        held.partners[0].alias += ", extra=1";
    }
    QCOMPARE(l.link.ReadBack(local, remote).Differences, Commands{});
    // The second of a repeated name is compared with the second held.
    if (service == "repeated") {
        held.partnerships[0].attributes.back().second = "other";
        QCOMPARE(l.link.ReadBack(local, remote).Differences,
                 Commands{"Partnership AS2Local-AS2Remote, protocol: sent \"as2-second\", held "
                          "\"other\""});
    }
}

void TestPartnerLink::readBackNamesEachDifference() {
    Loaded l;
    MemoryService& held = l.fixture.memory;
    held.partners[1].as2id = "OTHER";
    held.partnerships[0].attributes.erase(held.partnerships[0].attributes.begin() + 1);
    held.partnerships.pop_back();
    held.partners.erase(held.partners.begin());
    QCOMPARE(l.link.ReadBack(*l.link.Local(), *l.link.Remote()).Differences,
             (Commands{"Partner AS2Local was deleted and not added again (the service did not "
                       "take its settings)",
                       "Partner AS2Remote, as2_id: sent \"REMOTEID\", held \"OTHER\"",
                       "Partnership AS2Local-AS2Remote, sender as2_id: sent \"LOCALID\", held "
                       "\"\"",
                       "Partnership AS2Local-AS2Remote, receiver as2_id: sent \"REMOTEID\", held "
                       "\"OTHER\"",
                       "Partnership AS2Local-AS2Remote, as2_url: sent \"http://partner:5080\", "
                       "missing",
                       "Partnership AS2Remote-AS2Local: missing"}));
}

void TestPartnerLink::applyAfterFailedLoadSendsNothing() {
    ServiceFixture fixture;
    fixture.memory.overrides["Partner View AS2Remote"] = Reply::CloseAtOnce();
    TPartnerLink link(fixture.channel, "", WindowWords());
    QVERIFY(Raised<Exception>([&] { link.Load(DefaultRemotePartnerName); }) != "<nothing raised>");
    QVERIFY(link.Local() && !link.Remote()); // the local partner was kept
    const std::size_t loaded = fixture.sent().size();
    const std::string message =
        Raised<EDialogStateError>([&] { link.Apply(TLinkSettings(), TSaveChoice::Both); });
    QVERIFY2(QString::fromStdString(message).contains(QStringLiteral("Nothing was saved")),
             message.c_str());
    QCOMPARE(fixture.sent().size(), loaded);
}

void TestPartnerLink::unsafeRemoteNameLoadsNothing_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("told");
    QTest::newRow("a blank") << "AS2Remote x509_alias=\"evil\""
                             << "The remote partner name on the command line: \"AS2Remote "
                                "x509_alias=\"evil\"\" holds a blank";
    QTest::newRow("a tilde") << "A~B"
                             << "The remote partner name on the command line: \"A~B\" holds a "
                                "tilde";
    QTest::newRow("empty") << ""
                           << "The remote partner name on the command line is empty. Nothing "
                              "was loaded";
    QTest::newRow("the local partner")
        << "AS2Local"
        << "The remote partner \"AS2Local\" is the local partner; name another partner. "
           "Nothing was loaded";
}

void TestPartnerLink::unsafeRemoteNameLoadsNothing() {
    QFETCH(QString, name);
    QFETCH(QString, told);
    ServiceFixture fixture;
    TPartnerLink link(fixture.channel, "", WindowWords());
    const std::string message = Raised<EUnsafeCommandText>([&] { link.Load(name.toStdString()); });
    QVERIFY2(QString::fromStdString(message).startsWith(told), message.c_str());
    QVERIFY(!link.Local() && !link.Remote());
    QVERIFY(fixture.sent().empty());
}

void TestPartnerLink::valuesTheRepliesCanCarry_data() {
    QTest::addColumn<QString>("what");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("fault"); // empty: saved and read back equal
    QTest::newRow("a closing brace")
        << "OutgoingAS2URL" << QByteArray("http://partner/as2}x") << "a closing brace \"}\"";
    QTest::newRow("a single quote, a pair after it")
        << "RemoteEmail" << QByteArray("o'brien@example.com") << "a single quote";
    QTest::newRow("a single quote in the last pair")
        << "RemoteCertificate" << QByteArray("o'brien:1") << "";
    QTest::newRow("a list's marker, which another order of the lists finds first")
        << "OutgoingAS2URL" << QByteArray("http://h/Receiver IDs = {name=X") << "text, which";
    QTest::newRow("U+FFFE") << "RemoteAS2ID" << QByteArray("A\xEF\xBF\xBE")
                            << "the noncharacter U+FFFE";
    QTest::newRow("a comma and a blank")
        << "RemoteEmail" << QByteArray("c@d, x509_alias=EVIL") << "a comma followed by a blank";
    QTest::newRow("a tilde") << "RemoteAS2ID" << QByteArray("A~B") << "a tilde \"~\"";
    QTest::newRow("a control character") << "RemoteAS2ID"
                                         << QByteArray("A\x01"
                                                       "B")
                                         << "a control character (U+0001)";
    QTest::newRow("U+FFFF") << "RemoteAS2ID" << QByteArray("A\xEF\xBF\xBF")
                            << "the noncharacter U+FFFF";
    QTest::newRow("a byte that is no UTF-8")
        << "RemoteEmail" << QByteArray("a\xC3(z") << "the byte 0xC3, which is no UTF-8 text";
    QTest::newRow("a control character before such a byte")
        << "RemoteAS2ID" << QByteArray("A\x02\xFF") << "a control character (U+0002)";
    QTest::newRow("a tab") << "IncomingHostName" << QByteArray("my\thost") << "";
    QTest::newRow("DEL and a C1 control") << "RemoteEmail" << QByteArray("a\x7F\xC2\x85z") << "";
    QTest::newRow("a comma without a blank, an equals sign")
        << "OutgoingAS2URL" << QByteArray("http://h/?a=b,c") << "";
    QTest::newRow("blanks inside and after") << "RemoteAS2ID" << QByteArray("ID 2 ") << "";
    QTest::newRow("an opening brace, letters beyond ASCII")
        << "RemoteEmail" << QByteArray("{b\xc3\xbcro@x") << "";
    QTest::newRow("nothing at all") << "RemoteEmail" << QByteArray() << "";
}

void TestPartnerLink::valuesTheRepliesCanCarry() {
    QFETCH(QString, what);
    QFETCH(QByteArray, value);
    QFETCH(QString, fault);
    Loaded l;
    const std::string text = value.toStdString();
    const TSettingText setting = what == "OutgoingAS2URL"      ? &TLinkSettings::OutgoingAS2URL
                                 : what == "RemoteEmail"       ? &TLinkSettings::RemoteEmail
                                 : what == "RemoteAS2ID"       ? &TLinkSettings::RemoteAS2ID
                                 : what == "RemoteCertificate" ? &TLinkSettings::RemoteCertificate
                                                               : &TLinkSettings::IncomingHostName;
    l.settings.*setting = text;
    const std::string message = l.told();
    if (fault.isEmpty()) {
        QCOMPARE(message, std::string()); // the read-back found it held
        return;
    }
    const QString shown = QString::fromStdString(message);
    QVERIFY2(shown.contains(QStringLiteral(" holds ") + fault), qPrintable(shown));
    QVERIFY2(shown.endsWith(QStringLiteral("Nothing was saved")), qPrintable(shown));
    QCOMPARE(l.fixture.sent().size(), l.loadCommands);
}

void TestPartnerLink::passedThroughAsLoaded_data() {
    QTest::addColumn<QString>("held");    // what the service holds besides the sample
    QTest::addColumn<QString>("refused"); // words of the message; empty: saved and held
    QTest::newRow("a single quote in a partnership's last pair") << "subject=ACME's orders"
                                                                 << "";
    QTest::newRow("a tab") << "note=a\tb"
                           << "";
    QTest::newRow("a quoted comma, read apart as a tilde")
        << "subject='a, b'"
        << "Partnership AS2Remote-AS2Local, value of attribute subject: the AS2 service holds "
           "\"'a~b'\", which holds a tilde";
    QTest::newRow("an e-mail address whose quote took the pair after it")
        << "email=it's"
        << "Partner AS2Remote, e-mail address: the AS2 service holds";
    QTest::newRow("other partners' partnerships named Bob's and x=1") << "Bob's x=1"
                                                                      << "";
}

void TestPartnerLink::passedThroughAsLoaded() {
    QFETCH(QString, held);
    QFETCH(QString, refused);
    const std::string planted = held.toStdString();
    Loaded l([&](MemoryService& m) {
        const std::size_t equals = planted.find('=');
        if (planted.rfind("email=", 0) == 0)
            m.partners[1].email = planted.substr(6);
        else if (planted == "Bob's x=1")
            m.partnerships.push_back({"Bob's", "Bob", "Carol", {}}),
                m.partnerships.push_back({"x=1", "X", "Y", {{"k", "v"}}});
        else
            m.partnerships[1].attributes.emplace_back(planted.substr(0, equals),
                                                      planted.substr(equals + 1));
    });
    const std::string message = l.told();
    if (refused.isEmpty())
        QCOMPARE(message, std::string()); // and the read-back found it held
    else
        QVERIFY2(QString::fromStdString(message).startsWith(refused), message.c_str());
}

void TestPartnerLink::fileFollowsTheIDsHeld_data() {
    QTest::addColumn<QString>("service"); // what the service does with the save
    QTest::addColumn<QString>("config");  // the file after OK, and after a second OK
    QTest::addColumn<QString>("told");    // words of the box; empty: none
    const QString renamed = "sender.as2_id=LOCALID, receiver.as2_id=R2\r\n";
    QTest::newRow("holds the ID sent") << "" << renamed << "";
    QTest::newRow("holds it, and another e-mail address")
        << "email" << renamed << "the AS2 service must be restarted";
    QTest::newRow("holds it in lower case")
        << "lower"
        << "sender.as2_id=LOCALID, receiver.as2_id=r2\r\n"
        << "The AS2 service holds the AS2 ID \"r2\" for AS2Remote, not the one sent";
    QTest::newRow("holds no remote partner")
        << "drop" << QString(ConfigText) << "Partner AS2Remote was deleted and not added again";
    QTest::newRow("cannot tell: gone after the save")
        << "gone" << QString(ConfigText) << "the configuration file was left as it was";
}

void TestPartnerLink::fileFollowsTheIDsHeld() {
    QFETCH(QString, service);
    QFETCH(QString, config);
    QFETCH(QString, told);
    Loaded l;
    const std::string add = R"(Partner Add AS2Remote as2_id="R2" email="you@remote" )"
                            R"(x509_alias="AS2Remote:2")";
    std::string& rewrite = l.fixture.memory.rewrites[add];
    rewrite = service == "email"   ? R"(Partner Add AS2Remote as2_id="R2" email="x" x509_alias="")"
              : service == "lower" ? R"(Partner Add AS2Remote as2_id="r2" email="you@remote" )"
                                     R"(x509_alias="AS2Remote:2")"
              : service == "drop"  ? ""
                                   : add;
    if (service == "gone")
        l.fixture.memory.goAfter(17); // the check before the save, then the save
    l.settings.RemoteAS2ID = "R2";
    const auto file = [&] {
        QFile f(QString::fromStdString(l.link.ConfigPath()));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    };
    for (int ok = 0; ok < 2; ++ok) { // a second OK never rewrites the file twice
        const std::string message = l.told();
        QVERIFY2(told.isEmpty() ? message.empty()
                                : ok == 1 || QString::fromStdString(message).contains(told),
                 message.c_str());
        QCOMPARE(file(), config);
        QCOMPARE(l.outcome.RestartNeeded() && message.empty(), ok == 0 && service.isEmpty());
    }
}

void TestPartnerLink::nothingHeldIsLost_data() {
    QTest::addColumn<QString>("fault"); // what the service does
    QTest::addColumn<QString>("told");  // words of what the load or OK raises; empty: none
    const QString error = "<error>temporarily unavailable</error>";
    QTest::newRow("an error for Partner View AS2Local, once")
        << "once:Partner View AS2Local"
        << "Partner AS2Local is held by the AS2 service, but was not read";
    QTest::newRow("an error for Partner View AS2Remote, once")
        << "once:Partner View AS2Remote"
        << "Partner AS2Remote is held by the AS2 service, but";
    QTest::newRow("an error for Partnership List") << "load:Partnership List"
                                                   << "holds no";
    QTest::newRow("an error for a Partnership View") << "load:Partnership View AS2Local-AS2Remote"
                                                     << "holds no \"Sender IDs = {\"";
    QTest::newRow("an error for a Partnership View while checking")
        << "check:Partnership View AS2Local-AS2Remote"
        << "Partnership AS2Local-AS2Remote is listed by the AS2 service, but could not be read";
    QTest::newRow("a partner changed since the load")
        << "changed"
        << "Partner AS2Remote, email: read \"you@remote\", held \"new@remote\"";
    QTest::newRow("a partnership gone since the load")
        << "gone"
        << "Partnership AS2Remote-AS2Local is no longer listed";
    QTest::newRow("one to be created, listed since the load")
        << "listed"
        << "Partnership AS2Local-AS2Remote is listed by the AS2 service, but was not read";
    QTest::newRow("a partnership's URL changed since the load")
        << "url"
        << "Partnership AS2Local-AS2Remote, as2_url: read \"http://partner:5080\", held "
           "\"http://moved\"";
    QTest::newRow("a pair added to a partner since the load")
        << "partnerPair"
        << "Partner AS2Local, note: held \"keep me\", not read";
    QTest::newRow("a pair added to a partnership since the load")
        << "partnershipPair"
        << "Partnership AS2Remote-AS2Local, comment: held \"keep me\", not read";
    QTest::newRow("a service that stamps each record, twice") << "stamps"
                                                              << "";
    QTest::newRow("a partnership view that names an old AS2 ID")
        << "staleID"
        << "Partnership AS2Local-AS2Remote, receiver as2_id: sent \"typed\", held "
           "\"REMOTEID\"";
    QTest::newRow("settings the window does not show, kept") << "others"
                                                             << "";
    QTest::newRow("... and compared") << "othersDropped"
                                      << "note: sent \"keep me\", missing";
    QTest::newRow("Partnership Store answered with an error")
        << "store:error"
        << "did not store the settings of partner AS2Local: cannot write";
    QTest::newRow("Partnership Store refused without a line end, its connection left open")
        << "store:unended"
        << "did not store the settings of partner AS2Local: cannot write";
    QTest::newRow("Partnership Store answered with nothing") << "store:silence"
                                                             << "";
    QTest::newRow("Partnership Store closed") << "store:close"
                                              << "";
}

void TestPartnerLink::nothingHeldIsLost() {
    QFETCH(QString, fault);
    QFETCH(QString, told);
    const std::string command = fault.section(':', 1).toStdString();
    std::string loadFailure;
    Loaded l([&](MemoryService& m) {
        if (fault.startsWith("once:") || fault.startsWith("load:"))
            m.overrides[command] = Reply("<error>temporarily unavailable</error>");
        if (fault == "listed")
            m.partners.resize(1), m.partnerships.clear();
        if (fault.startsWith("others"))
            m.partners[1].others = {{"note", "keep me"}};
        if (fault == "stamps") {
            m.stamps = true;
            m.partners[1].others = {{"modified", "0"}};
            m.partnerships[0].attributes.emplace_back("modified", "0");
        }
    });
    MemoryService& m = l.fixture.memory;
    m.overrides.clear();
    if (fault.startsWith("check:"))
        m.overrides[command] = Reply("<error>temporarily unavailable</error>");
    if (fault == "changed")
        m.partners[1].email = "new@remote";
    if (fault == "gone")
        m.partnerships.pop_back();
    if (fault == "url")
        m.partnerships[0].attributes[1].second = "http://moved";
    if (fault == "partnerPair")
        m.partners[0].others = {{"note", "keep me"}};
    if (fault == "partnershipPair")
        m.partnerships[1].attributes.emplace_back("comment", "keep me");
    if (fault == "staleID") {
        m.viewIDs["AS2Remote"] = "REMOTEID";
        l.settings.RemoteAS2ID = "typed";
    }
    if (fault == "listed")
        m.partnerships.push_back({"AS2Local-AS2Remote", "AS2Local", "X", {}});
    if (fault == "othersDropped")
        m.rewrites[Sample::RemoteAdd + " note=\"keep me\""] = Sample::RemoteAdd;
    const std::map<QString, Reply> stores = {
        {"store:error", Reply("<error>cannot write partnerships.xml</error>")},
        {"store:unended", Reply::Chunks({"<error>cannot write</error>"}, 0, Reply::End::Silent)},
        {"store:silence", Reply::Silence()},
        {"store:close", Reply::CloseAtOnce()}};
    if (stores.count(fault))
        m.overrides["Partnership Store"] = stores.at(fault);
    // What a load that read no partner or partnership left empty, the operator types.
    for (std::string* text :
         {&l.settings.IncomingHostName, &l.settings.LocalAS2ID, &l.settings.RemoteAS2ID})
        if (text->empty())
            *text = "typed";
    const std::string raised = fault.startsWith("load:") ? l.raised : l.told();
    if (fault.startsWith("load:")) // nothing was loaded, so OK saves nothing
        QVERIFY(!l.link.Remote() ||
                Raised<EDialogStateError>([&] { l.apply(); }) != "<nothing raised>");
    if (told.isEmpty())
        QCOMPARE(raised, std::string());
    else
        QVERIFY2(QString::fromStdString(raised).count(told) == 1, raised.c_str()); // said once
    const Commands sent = l.fixture.sent();
    const auto count = [&](const std::string& c) {
        return std::count(sent.begin(), sent.end(), c);
    };
    if (fault.startsWith("once:") || fault.startsWith("check:") || fault == "changed" ||
        fault == "gone" || fault == "listed" || fault == "url" || fault.endsWith("Pair"))
        QCOMPARE(count("Partnership Store"), 0); // nothing at all was sent
    if (fault == "stamps")                       // what the read-back found is what the link knows
        QCOMPARE(l.told(), std::string());
    if (fault.startsWith("store:")) // both saves are sent; the file is left as it was
        QCOMPARE(count("Partnership Store"), 2);
    if (fault.startsWith("store:") && !told.isEmpty())
        QVERIFY(l.outcome.StoreRefused && !l.outcome.RestartNeeded());
    if (fault == "others")
        QCOMPARE(count(Sample::RemoteAdd + " note=\"keep me\""), 1);
}

void TestPartnerLink::okAgainSendsWhatTheFirstSent() {
    // A remote partner the service does not know: the first OK creates its two partnerships.
    Loaded l([](MemoryService& m) {
        m.partners.resize(1);
        m.partnerships.clear();
    });
    l.settings.RemoteAS2ID = "R1";
    l.settings.IncomingHostName = "me";
    l.fixture.memory.goAfter(6); // the check, the local partner's save, then the service is gone
    QVERIFY(l.told().find("may hold only part") != std::string::npos);
    const std::size_t firstEnd = l.fixture.sent().size();
    l.fixture.memory.goAfter(-1);
    l.loadCommands = firstEnd;
    const Commands second = l.apply();
    const Commands all = l.fixture.sent();
    const Commands first(all.begin() + 3, all.begin() + static_cast<long>(firstEnd));
    // The first OK's check and save, then its failed read-back; the second OK, whose check finds
    // the service holding part of what the first sent, sends the same save.
    QCOMPARE(Commands(second.begin(), second.begin() + 13),
             Commands(first.begin(), first.begin() + 13));
}

void TestPartnerLink::unsafeTextSendsNothing_data() {
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("named"); // the start of the message
    QTest::newRow("remote AS2 ID") << "RemoteAS2ID"
                                   << R"(x" email="y)"
                                   << "Remote Partner AS2 ID: \"x\" email=\"y\" holds a double "
                                      "quote";
    QTest::newRow("local e-mail") << "LocalEmail"
                                  << "a\"b"
                                  << "Your (Local Partner) Email Address:";
    QTest::newRow("outgoing URL with a line break") << "OutgoingAS2URL"
                                                    << "http://a\nPartner Delete AS2Local"
                                                    << "Outgoing (Partner) AS2 URL:";
    QTest::newRow("host name") << "IncomingHostName"
                               << "h\""
                               << "Your Internet Host Name:";
    QTest::newRow("no local AS2 ID") << "LocalAS2ID"
                                     << ""
                                     << "Your (Local Partner) AS2 ID is empty; AS2 needs it";
    QTest::newRow("no remote AS2 ID") << "RemoteAS2ID"
                                      << ""
                                      << "Remote Partner AS2 ID is empty; AS2 needs it";
    QTest::newRow("remote AS2 ID the local one's, letter case aside")
        << "RemoteAS2ID"
        << "localid"
        << "Remote Partner AS2 ID: \"localid\" is the local partner's AS2 ID \"LOCALID\"";
    QTest::newRow("no host name") << "IncomingHostName"
                                  << ""
                                  << "Your Internet Host Name is empty; AS2 needs it";
    QTest::newRow("import: path with a double quote") << "path"
                                                      << "/certs/a\"b.p12"
                                                      << "Certificate file path:";
    QTest::newRow("import: password with a line break") << "password"
                                                        << "pw\nPartner Delete AS2Local"
                                                        << "Certificate password holds a line "
                                                           "break";
    QTest::newRow("import: alias with a blank") << "alias"
                                                << "my key:0"
                                                << "Certificate alias:";
}

void TestPartnerLink::unsafeTextSendsNothing() {
    QFETCH(QString, what);
    QFETCH(QString, text);
    QFETCH(QString, named);
    Loaded l;
    const std::string t = text.toStdString();
    std::string alias = "k:1";
    std::string path = "/certs/k.p12";
    std::string password = "pw";
    if (what == "RemoteAS2ID")
        l.settings.RemoteAS2ID = t;
    else if (what == "LocalAS2ID")
        l.settings.LocalAS2ID = t;
    else if (what == "LocalEmail")
        l.settings.LocalEmail = t;
    else if (what == "OutgoingAS2URL")
        l.settings.OutgoingAS2URL = t;
    else if (what == "IncomingHostName")
        l.settings.IncomingHostName = t;
    else if (what == "path")
        path = t;
    else if (what == "password")
        password = t;
    else
        alias = t;
    const bool import = what == "path" || what == "password" || what == "alias";
    const QString message = QString::fromStdString(Raised<EUnsafeCommandText>([&] {
        if (import)
            l.link.ImportCertificate(alias, path, &password);
        else
            l.apply();
    }));
    QVERIFY2(message.startsWith(named), qPrintable(message));
    QVERIFY(message.endsWith(import ? QStringLiteral("Nothing was imported")
                                    : QStringLiteral("Nothing was saved")));
    // A password is never repeated in a message.
    QVERIFY(!message.contains(QStringLiteral("pw\n")));
    QCOMPARE(l.fixture.sent().size(), l.loadCommands);
}

QTEST_GUILESS_MAIN(TestPartnerLink)
#include "tst_partnerlink.moc"
