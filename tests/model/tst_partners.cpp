// The partner model against a scripted service: what it sends, in which order, and what it
// refuses to send.

#include "model/partners.h"
#include "platform/exceptions.h"
#include "support/raised.h"
#include "support/servicefixture.h"
#include "support/standin.h"

#include <QTemporaryDir>
#include <QtTest>
#include <future>

using Commands = std::vector<std::string>;
Q_DECLARE_METATYPE(Commands)

namespace {

TPartnership MakePartnership(const std::string& name, const std::string& sender,
                             const std::string& receiver,
                             std::vector<std::pair<std::string, std::string>> attrs) {
    TPartnership p(name, sender, receiver);
    for (auto& a : attrs)
        p.AddAttribute(a.first, a.second);
    return p;
}

TPartner MakePartner(const std::string& name, const std::string& id, const std::string& email,
                     const std::string& alias) {
    TPartner partner;
    partner.Name = name;
    partner.AS2ID = id;
    partner.Email = email;
    partner.X509Alias = alias;
    return partner;
}

void FillSample(MemoryService& s) {
    s.partners = {{"AS2Local", "LOCALID", "local@example.com", "AS2Local:0"},
                  {"AS2Remote", "REMOTEID", "remote@example.com", "AS2Remote:3"},
                  {"Other", "OTHERID", "", ""}};
    s.partnerships = {
        {"AS2Local-AS2Remote",
         "AS2Local",
         "AS2Remote",
         {{"protocol", "as2"}, {"as2_url", "http://remote:4080"}}},
        {"Other-Third", "Other", "Third", {{"protocol", "as2"}}},
        {"AS2Remote-AS2Local", "AS2Remote", "AS2Local", {{"as2_url", "http://localhost:4080"}}},
        {"lower", "as2local", "Other", {}},
        {"Self", "AS2Local", "AS2Local", {{"a", "1"}, {"a", "2"}}},
    };
}

} // namespace

class TestPartners : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void saveSequence_data();
    void saveSequence();
    void loadUnknownPartnerSendsOneCommand();
    void loadKnownPartnerFiltersExactly();
    void loadPartnerWithoutNameUsesEmptyName();
    void partnershipMissingMarkersReadsEmpty();
    void unsafeNameInTheListStopsTheLoad();
    void attributeOperations();
    void unsafeTextRefused_data();
    void unsafeTextRefused();
    void failedSendStopsSequence();
    void roundTripThroughStandin();
};

void TestPartners::saveSequence_data() {
    QTest::addColumn<int>("partnerships");
    QTest::addColumn<Commands>("expected");
    const std::string add =
        R"(Partner Add AS2Remote as2_id="REMOTE ID" email="" x509_alias="AS2Remote:1")";
    QTest::newRow("no partnerships")
        << 0 << Commands{"Partner Delete AS2Remote", add, "Partnership Store"};
    QTest::newRow("one partnership, no attributes")
        << 1
        << Commands{"Partnership Delete A-B", "Partner Delete AS2Remote", add,
                    "Partnership Add A-B AS2Local AS2Remote ", "Partnership Store"};
    QTest::newRow("two partnerships, repeated and empty attribute names")
        << 2
        << Commands{
               "Partnership Delete A-B",
               "Partnership Delete B-A",
               "Partner Delete AS2Remote",
               add,
               "Partnership Add A-B AS2Local AS2Remote ",
               R"(Partnership Add B-A AS2Remote AS2Local protocol="as2" subject="x=y,z" subject="second" ="empty name" k="")",
               "Partnership Store"};
}

void TestPartners::saveSequence() {
    QFETCH(int, partnerships);
    QFETCH(Commands, expected);
    ServiceFixture fixture;
    TPartner partner = MakePartner("AS2Remote", "REMOTE ID", "", "AS2Remote:1");
    if (partnerships >= 1)
        partner.Partnerships.Add(MakePartnership("A-B", "AS2Local", "AS2Remote", {}));
    if (partnerships >= 2)
        partner.Partnerships.Add(MakePartnership("B-A", "AS2Remote", "AS2Local",
                                                 {{"protocol", "as2"},
                                                  {"subject", "x=y,z"},
                                                  {"subject", "second"},
                                                  {"", "empty name"},
                                                  {"k", ""}}));
    partner.SavePartner(fixture.channel);
    QCOMPARE(fixture.sent(), expected);
    // Each command travelled on a connection of its own, after the unused start-up one.
    QCOMPARE(fixture.service.connections().size(), expected.size() + 1);
}

void TestPartners::loadUnknownPartnerSendsOneCommand() {
    ServiceFixture fixture;
    FillSample(fixture.memory);
    const TPartner partner = TPartner::LoadPartner(fixture.channel, "Nobody");
    QCOMPARE(fixture.sent(), Commands{"Partner View Nobody"});
    QCOMPARE(partner.Name, std::string("Nobody"));
    QVERIFY(partner.AS2ID.empty() && partner.Email.empty() && partner.X509Alias.empty());
    QVERIFY(partner.Partnerships.Items.empty());
}

void TestPartners::loadKnownPartnerFiltersExactly() {
    ServiceFixture fixture;
    FillSample(fixture.memory);
    const TPartner partner = TPartner::LoadPartner(fixture.channel, "AS2Local");
    // 2 + M commands: every listed partnership is fetched before it can be tested.
    QCOMPARE(fixture.sent(),
             (Commands{"Partner View AS2Local", "Partnership List",
                       "Partnership View AS2Local-AS2Remote", "Partnership View Other-Third",
                       "Partnership View AS2Remote-AS2Local", "Partnership View lower",
                       "Partnership View Self"}));
    QCOMPARE(partner.AS2ID, std::string("LOCALID"));
    QCOMPARE(partner.Email, std::string("local@example.com"));
    QCOMPARE(partner.X509Alias, std::string("AS2Local:0"));
    QStringList names;
    for (const auto& p : partner.Partnerships.Items)
        names << QString::fromStdString(p.Name);
    // The lower-case sender does not match; the partnership with itself on both ends stands once.
    QCOMPARE(names, (QStringList{"AS2Local-AS2Remote", "AS2Remote-AS2Local", "Self"}));
    const TPartnership& self = partner.Partnerships.Items[2];
    QCOMPARE(self.Attributes.size(), size_t(2));
    QCOMPARE(self.GetAttribute("a"), std::string("1"));
}

void TestPartners::loadPartnerWithoutNameUsesEmptyName() {
    ServiceFixture fixture;
    FillSample(fixture.memory);
    fixture.memory.partnerships.push_back({"Anon", "", "Other", {}});
    fixture.memory.overrides["Partner View Ghost"] = Reply("Partner Ghost {as2_id=G}");
    const TPartner partner = TPartner::LoadPartner(fixture.channel, "Ghost");
    QCOMPARE(partner.Name, std::string());
    QCOMPARE(partner.AS2ID, std::string("G"));
    QCOMPARE(partner.Partnerships.Items.size(), size_t(1));
    QCOMPARE(partner.Partnerships.Items[0].Name, std::string("Anon"));
}

void TestPartners::partnershipMissingMarkersReadsEmpty() {
    // A listed partnership the service did not give is a failed read, not another partner's.
    ServiceFixture fixture;
    fixture.memory.overrides["Partnership View X"] =
        Reply("Sender IDs = {name=A} Attributes = {k=v}");
    QVERIFY(Raised<EListError>([&] {
                TPartnership::LoadPartnership(fixture.channel, "X");
            }).find("holds no \"Receiver IDs = {\"") != std::string::npos);
}

void TestPartners::unsafeNameInTheListStopsTheLoad() {
    ServiceFixture fixture;
    FillSample(fixture.memory);
    fixture.memory.overrides["Partnership List"] =
        Reply("<p>bad&#13;&#10;Partner Delete AS2Local</p><p>AS2Local-AS2Remote</p>");
    QCOMPARE(
        Raised<EUnsafeCommandText>([&] { TPartner::LoadPartner(fixture.channel, "AS2Local"); }),
        std::string("The partnership name in the AS2 service's list: \"bad\\r\\nPartner Delete "
                    "AS2Local\" holds a line break, which the AS2 service would misread. "
                    "Nothing was loaded"));
    QCOMPARE(fixture.sent(), (Commands{"Partner View AS2Local", "Partnership List"}));
}

void TestPartners::attributeOperations() {
    TPartnership p("N", "S", "R");
    QVERIFY(p.Attributes.empty());
    p.AddAttribute("a", "1");
    p.AddAttribute("b", "");
    p.AddAttribute("a", "2");
    QCOMPARE(p.GetAttribute("a"), std::string("1"));
    QCOMPARE(p.GetAttribute("b"), std::string());
    QCOMPARE(p.GetAttribute("absent"), std::string());
    QCOMPARE(p.GetAttribute("A"), std::string());
    p.SetAttribute("a", "changed");
    QCOMPARE(p.Attributes[0].Value, std::string("changed"));
    QCOMPARE(p.Attributes[2].Value, std::string("2"));
    p.SetAttribute("c", "new");
    QCOMPARE(p.Attributes.size(), size_t(4));
    QCOMPARE(p.Attributes[3].Name, std::string("c"));
    TPartnershipList list;
    list.Add(TPartnership("N", "S", "R"));
    list.Add(TPartnership("N", "S", "R"));
    QCOMPARE(list.Items.size(), size_t(2));
}

void TestPartners::unsafeTextRefused_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("named"); // words the message must hold
    QTest::newRow("AS2 ID closing its quote") << "as2id"
                                              << R"(x" email="y)"
                                              << "AS2 ID";
    QTest::newRow("e-mail with a line break") << "email"
                                              << "a@b\r\nPartner Delete X"
                                              << "e-mail";
    QTest::newRow("alias with LF") << "alias"
                                   << "k\n"
                                   << "certificate alias";
    QTest::newRow("partner name with a blank") << "name"
                                               << "AS2 Remote"
                                               << "name";
    QTest::newRow("empty partner name") << "name"
                                        << ""
                                        << "Partner , name is empty";
    QTest::newRow("sender name with a tilde") << "sender"
                                              << "S~T"
                                              << "a tilde";
    QTest::newRow("partnership name with =") << "pname"
                                             << "a=b"
                                             << "Partnership";
    QTest::newRow("sender with a quote") << "sender"
                                         << "S\""
                                         << "sender name";
    QTest::newRow("receiver with CR") << "receiver"
                                      << "R\r"
                                      << "receiver name";
    QTest::newRow("attribute name with a blank") << "aname"
                                                 << "as2 url"
                                                 << "attribute name";
    QTest::newRow("attribute value with a quote") << "avalue"
                                                  << "http://\"x"
                                                  << "as2_url";
}

void TestPartners::unsafeTextRefused() {
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(QString, named);
    const std::string t = text.toStdString();
    ServiceFixture fixture;
    TPartner partner = MakePartner("AS2Remote", "ID", "e@x", "k:1");
    auto p = MakePartnership("AS2Local-AS2Remote", "AS2Local", "AS2Remote",
                             {{"as2_url", "http://h:1"}, {"", "empty names stay allowed"}});
    if (field == "as2id")
        partner.SetAS2ID(t);
    else if (field == "email")
        partner.SetEmail(t);
    else if (field == "alias")
        partner.SetX509Alias(t);
    else if (field == "name")
        partner.Name = t;
    else if (field == "pname")
        p.Name = t;
    else if (field == "sender")
        p.SenderName = t;
    else if (field == "receiver")
        p.ReceiverName = t;
    else if (field == "aname")
        p.Attributes[0].Name = t;
    else if (field == "avalue")
        p.SetAttribute("as2_url", t);
    partner.Partnerships.Add(std::move(p));
    const QString message = QString::fromStdString(
        Raised<EUnsafeCommandText>([&] { partner.SavePartner(fixture.channel); }));
    QVERIFY2(message.contains(named), qPrintable(message));
    // A line break is quoted as \n, so that the message's line stays one.
    QVERIFY2(message.contains(QString(text).replace('\r', "\\r").replace('\n', "\\n")),
             qPrintable(message));
    QVERIFY(fixture.sent().empty());
}

void TestPartners::failedSendStopsSequence() {
    // The service takes "Partner Delete" and then stays busy with it until the test lets it go,
    // so the next command, too large for the socket buffers, cannot be delivered within the time
    // limit. The save must stop there with the service error: "Partnership Store" is never sent.
    // (Should the test fail first, the service gives up waiting after 10 s.)
    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    ServiceFixture fixture(
        [released](const std::string& command) {
            if (command.rfind("Partner Delete", 0) == 0)
                released.wait_for(std::chrono::seconds(10));
            return Reply("<ok/>");
        },
        300);
    const TPartner partner = MakePartner("AS2Remote", std::string(24 * 1024 * 1024, 'x'), "", "");
    QVERIFY(QString::fromStdString(Raised<EServiceError>([&] {
                partner.SendSave(fixture.channel, partner.SaveCommands());
            })).contains(QStringLiteral("could not be sent")));
    release.set_value();
    QCOMPARE(fixture.sent(), Commands{"Partner Delete AS2Remote"});

    // A port where nobody listens fails on the first command.
    TCommandHandler refused(nullptr, FakeService::host, FakeService::refusedPort(), 300);
    QVERIFY(QString::fromStdString(Raised<EServiceError>([&] {
                partner.SendSave(refused, partner.SaveCommands());
            })).contains(QStringLiteral("Cannot connect")));
}

void TestPartners::roundTripThroughStandin() {
    if (standinProgram().isEmpty())
        QSKIP("as2-standin is not built");
    QTemporaryDir data;
    StandIn standin(data.path());
    QVERIFY(standin.initSample() && standin.start());
    TCommandHandler channel(nullptr, "127.0.0.1", standin.portText(), 5000);
    TPartner remote = TPartner::LoadPartner(channel, "AS2Remote");
    QVERIFY(!remote.AS2ID.empty());
    QVERIFY(!remote.Partnerships.Items.empty());
    remote.SetAS2ID("NEW REMOTE ID");
    remote.SetEmail("b\xc3\xbcro@example.com");
    remote.SetX509Alias("AS2Remote:7");
    remote.Partnerships.Items[0].SetAttribute("as2_url", "http://partner.example:5080");
    remote.Partnerships.Items[0].AddAttribute("note", "a=b,c");
    remote.SavePartner(channel);

    TPartner again = TPartner::LoadPartner(channel, "AS2Remote");
    QCOMPARE(again.AS2ID, std::string("NEW REMOTE ID"));
    QCOMPARE(again.Email, std::string("b\xc3\xbcro@example.com"));
    QCOMPARE(again.X509Alias, std::string("AS2Remote:7"));
    QCOMPARE(again.Partnerships.Items.size(), remote.Partnerships.Items.size());
    const TPartnership& first = again.Partnerships.Items[0];
    QCOMPARE(first.Name, remote.Partnerships.Items[0].Name);
    QCOMPARE(first.GetAttribute("as2_url"), std::string("http://partner.example:5080"));
    QCOMPARE(first.GetAttribute("note"), std::string("a=b,c"));
    QCOMPARE(first.Attributes.size(), remote.Partnerships.Items[0].Attributes.size());
}

QTEST_MAIN(TestPartners)
#include "tst_partners.moc"
