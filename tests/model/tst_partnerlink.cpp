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

// The labels the window gives the settings that go into commands, as far as these tests need.
std::vector<TFieldName> Labels() {
    return {{&TLinkSettings::RemoteAS2ID, "Remote Partner AS2 ID:"},
            {&TLinkSettings::LocalEmail, "Your (Local Partner) Email Address:"},
            {&TLinkSettings::OutgoingAS2URL, "Outgoing (Partner) AS2 URL:"},
            {&TLinkSettings::IncomingHostName, "Your Internet Host Name:"}};
}

// The link over the scripted service holding the sample, with both partners loaded and read.
struct Loaded {
    ServiceFixture fixture;
    TPartnerLink link{fixture.channel, Labels()};
    std::optional<TPartner> local;
    std::optional<TPartner> remote;
    TLinkSettings settings;
    std::string raised; // what Read raised
    std::size_t loadCommands = 0;

    explicit Loaded(const std::function<void(MemoryService&)>& change = {}) {
        Sample::Fill(fixture.memory);
        if (change)
            change(fixture.memory);
        link.Load(DefaultRemotePartnerName, local, remote);
        raised = Raised<EConvertError>([&] { TPartnerLink::Read(*local, *remote, settings); });
        loadCommands = fixture.sent().size();
    }
    // The commands that applying the settings sent.
    Commands apply() {
        link.Apply(local, remote, settings);
        const Commands all = fixture.sent();
        return Commands(all.begin() + static_cast<long>(loadCommands), all.end());
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
    void applyUnchangedSavesBoth();
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
    QVERIFY(&l.local->Partnerships.Items[0] != &l.remote->Partnerships.Items[0]);
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

void TestPartnerLink::applyUnchangedSavesBoth() {
    Loaded l;
    QCOMPARE(l.apply(), Sample::VerifiedSave());
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
    QCOMPARE(l.apply(),
             (Commands{"Partner Delete AS2Local", Sample::LocalAdd, "Partnership Store",
                       "Partnership Delete AS2Local-AS2Remote",
                       "Partnership Delete AS2Remote-AS2Local", "Partner Delete AS2Remote",
                       R"(Partner Add AS2Remote as2_id="R1" email="" x509_alias="")",
                       "Partnership Add AS2Local-AS2Remote AS2Local AS2Remote protocol=\"as2\" "
                       "subject=\"From AS2Local to AS2Remote\" as2_url=\"http://partner:4080\" " +
                           options + " encrypt=\"3des\" sign=\"md5\"",
                       "Partnership Add AS2Remote-AS2Local AS2Remote AS2Local protocol=\"as2\" "
                       "subject=\"From AS2Remote to AS2Local\" as2_url=\"http://me:4080\" " +
                           options + " encrypt=\"3des\" sign=\"md5\"",
                       "Partnership Store", "Partner View AS2Local", "Partner View AS2Remote",
                       "Partnership List", "Partnership View AS2Local-AS2Remote",
                       "Partnership View AS2Remote-AS2Local"}));
}

void TestPartnerLink::readBackRaisesNoFalseAlarm_data() {
    QTest::addColumn<QString>("value"); // of the outgoing "as2_url", sent and held alike
    QTest::addColumn<bool>("extraHeld");
    QTest::newRow("the service holds pairs besides those sent") << "http://partner:5080" << true;
    QTest::newRow("a value holding a comma and a blank") << "http://a, b=c" << false;
    QTest::newRow("a value holding a single quote") << "http://it's" << false;
    QTest::newRow("a value holding a double quote") << "http://\"x" << false;
    QTest::newRow("a value holding a closing brace") << "http://x}y" << false;
}

void TestPartnerLink::readBackRaisesNoFalseAlarm() {
    QFETCH(QString, value);
    QFETCH(bool, extraHeld);
    Loaded l;
    // What a save of these partners would have left on the service.
    l.local->Partnerships.Items[0].SetAttribute("as2_url", value.toStdString());
    l.remote->Partnerships.Items[0].SetAttribute("as2_url", value.toStdString());
    l.fixture.memory.partnerships[0].attributes[1].second = value.toStdString();
    if (extraHeld) {
        l.fixture.memory.partnerships[0].attributes.emplace_back("content_type", "x12");
        l.fixture.memory.partners[0].alias += ", extra=1";
    }
    QCOMPARE(l.link.Differences(*l.local, *l.remote), Commands{});
}

void TestPartnerLink::readBackNamesEachDifference() {
    Loaded l;
    MemoryService& held = l.fixture.memory;
    held.partners[1].as2id = "OTHER";
    held.partnerships[0].attributes.erase(held.partnerships[0].attributes.begin() + 1);
    held.partnerships.pop_back();
    held.partners.erase(held.partners.begin());
    QCOMPARE(l.link.Differences(*l.local, *l.remote),
             (Commands{"Partner AS2Local: missing",
                       "Partner AS2Remote, as2_id: sent \"REMOTEID\", held \"OTHER\"",
                       "Partnership AS2Local-AS2Remote, as2_url: sent \"http://partner:5080\", "
                       "missing",
                       "Partnership AS2Remote-AS2Local: missing"}));
}

void TestPartnerLink::applyAfterFailedLoadSendsNothing() {
    ServiceFixture fixture;
    TPartnerLink link(fixture.channel, Labels());
    std::optional<TPartner> local = TPartner();
    std::optional<TPartner> remote; // its load failed
    const std::string message =
        Raised<EDialogStateError>([&] { link.Apply(local, remote, TLinkSettings()); });
    QVERIFY2(QString::fromStdString(message).contains(QStringLiteral("Nothing was saved")),
             message.c_str());
    QVERIFY(fixture.sent().empty());
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
}

void TestPartnerLink::unsafeRemoteNameLoadsNothing() {
    QFETCH(QString, name);
    QFETCH(QString, told);
    ServiceFixture fixture;
    TPartnerLink link(fixture.channel, Labels());
    std::optional<TPartner> local;
    std::optional<TPartner> remote;
    const std::string message =
        Raised<EUnsafeCommandText>([&] { link.Load(name.toStdString(), local, remote); });
    QVERIFY2(QString::fromStdString(message).startsWith(told), message.c_str());
    QVERIFY(!local && !remote);
    QVERIFY(fixture.sent().empty());
}

void TestPartnerLink::valuesTheRepliesCanCarry_data() {
    QTest::addColumn<QString>("what");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("fault"); // empty: saved and read back equal
    QTest::newRow("a closing brace")
        << "OutgoingAS2URL" << QByteArray("http://partner/as2}x") << "a closing brace \"}\"";
    QTest::newRow("a single quote")
        << "RemoteEmail" << QByteArray("o'brien@example.com") << "a single quote";
    QTest::newRow("a comma and a blank")
        << "RemoteEmail" << QByteArray("c@d, x509_alias=EVIL") << "a comma followed by a blank";
    QTest::newRow("a tilde") << "RemoteAS2ID" << QByteArray("A~B") << "a tilde \"~\"";
    QTest::newRow("a control character") << "RemoteAS2ID"
                                         << QByteArray("A\x01"
                                                       "B")
                                         << "a control character (U+0001)";
    QTest::newRow("a tab") << "IncomingHostName" << QByteArray("my\thost")
                           << "a control character (U+0009)";
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
    const TSettingText setting = what == "OutgoingAS2URL" ? &TLinkSettings::OutgoingAS2URL
                                 : what == "RemoteEmail"  ? &TLinkSettings::RemoteEmail
                                 : what == "RemoteAS2ID"  ? &TLinkSettings::RemoteAS2ID
                                                          : &TLinkSettings::IncomingHostName;
    l.settings.*setting = text;
    const std::string message = Raised<EUnsafeCommandText>([&] { l.apply(); });
    if (fault.isEmpty()) {
        QCOMPARE(message, std::string("<nothing raised>")); // the read-back found it held
        return;
    }
    const QString shown = QString::fromStdString(message);
    QVERIFY2(shown.contains(QStringLiteral(" holds ") + fault), qPrintable(shown));
    QVERIFY2(shown.endsWith(QStringLiteral("Nothing was saved")), qPrintable(shown));
    QCOMPARE(l.fixture.sent().size(), l.loadCommands);
}

void TestPartnerLink::okAgainSendsWhatTheFirstSent() {
    // A remote partner the service does not know: the first OK creates its two partnerships.
    Loaded l([](MemoryService& m) {
        m.partners.resize(1);
        m.partnerships.clear();
    });
    l.settings.RemoteAS2ID = "R1";
    l.fixture.memory.goAfter(3); // the local partner's save, then the service is gone
    QVERIFY(Raised<EServiceError>([&] { l.apply(); }).find("may hold only part") !=
            std::string::npos);
    const std::size_t firstEnd = l.fixture.sent().size();
    l.fixture.memory.goAfter(-1);
    l.loadCommands = firstEnd;
    const Commands second = l.apply();
    const Commands all = l.fixture.sent();
    const Commands first(all.begin() + 3, all.begin() + static_cast<long>(firstEnd));
    // The first OK's save, then its failed read-back; the second OK sends the same save.
    QCOMPARE(Commands(second.begin(), second.begin() + 10),
             Commands(first.begin(), first.begin() + 10));
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
            l.link.Apply(l.local, l.remote, l.settings);
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
