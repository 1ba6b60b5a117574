// The typed queries against a scripted service: the command each sends and what it makes of the
// reply.

#include "channel/cmds.h"
#include "platform/exceptions.h"
#include "support/fakeservice.h"
#include "support/pairs.h"
#include "support/raised.h"

#include <QtTest>
#include <map>
#include <memory>
#include <mutex>

class TestCommandQueries : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void certificateExists();
    void certificateListOfPlainTextMatchesNothing();
    void partnershipNames_data();
    void partnershipNames();
    void partnershipNamesEmpty();
    void partnerAttributes();
    void partnerNameIsAppendedUnchanged();
    void unknownPartnerGivesEmptyArray();
    void unexpectedShapeNamesTheQuestion_data();
    void unexpectedShapeNamesTheQuestion();
    void partnerReplyEmptyElement();
    void partnershipAttributes();
    void partnershipListsInAnyOrder();

private:
    // The service answers each command from Replies (anything else gets an empty line); the
    // responder runs on the service's thread.
    std::mutex Lock;
    std::map<std::string, std::string> Replies;
    void Answer(const std::string& command, const std::string& reply) {
        std::lock_guard<std::mutex> guard(Lock);
        Replies[command] = reply;
    }
    std::unique_ptr<FakeService> Service;
    std::unique_ptr<TCommandHandler> Handler;
};

void TestCommandQueries::init() {
    Replies.clear();
    Service = std::make_unique<FakeService>([this](const std::string& command) -> Reply {
        std::lock_guard<std::mutex> guard(Lock);
        const auto found = Replies.find(command);
        return found != Replies.end() ? found->second : "";
    });
    Handler = std::make_unique<TCommandHandler>(nullptr, FakeService::host, Service->port(), 2000);
}

void TestCommandQueries::cleanup() {
    Handler.reset();
    Service.reset();
}

void TestCommandQueries::certificateExists() {
    Answer("cert List", "<alias>k1</alias> <alias>Local 2</alias><alias>k3 </alias>");
    QVERIFY(Handler->CertificateExists("k1"));
    QVERIFY(Handler->CertificateExists("Local 2"));
    QVERIFY(Handler->CertificateExists("k3 "));
    QVERIFY(!Handler->CertificateExists("K1"));
    QVERIFY(!Handler->CertificateExists("k3"));
    QVERIFY(!Handler->CertificateExists(""));
    Handler.reset();
    QVERIFY(Service->waitForConnections(7));
    QCOMPARE(Service->commands(), std::vector<std::string>(6, "cert List"));
}

void TestCommandQueries::certificateListOfPlainTextMatchesNothing() {
    Answer("cert List", "k1");
    QVERIFY(!Handler->CertificateExists("k1"));
    Answer("cert List", "<none/>");
    QVERIFY(!Handler->CertificateExists("k1"));
}

void TestCommandQueries::partnershipNames_data() {
    QTest::addColumn<QString>("reply");
    QTest::newRow("the service's shape")
        << "<partnership>AS2Local-AS2Remote</partnership><partnership>x</partnership>"
           "<partnership>x</partnership><partnership> y </partnership><partnership></partnership>";
    QTest::newRow("markup escaped, text beyond ASCII")
        << "<p>a&amp;b</p><p>&lt;&gt;&quot;&apos;</p><p>\u00e9 \u6771</p>";
    QTest::newRow("empty element") << "<p/><p>x</p>";
    QTest::newRow("white space alone, a tab, a character reference")
        << "<p>  </p><p>a\tb</p><p>&#65;</p>";
    QTest::newRow("a comment and CDATA") << "<!--c--><p><![CDATA[a<b]]></p>";
    QTest::newRow("an element inside") << "<p>a<b/></p>";
    QTest::newRow("tags that do not match") << "<p>a</q>";
    QTest::newRow("an entity XML does not know") << "<p>&nbsp;</p>";
    QTest::newRow("text beside elements, a processing instruction")
        << "x<p>a</p><?pi data?><p><![CDATA[c]]></p>y";
    QTest::newRow("white space in Unicode's sense, blank CDATA")
        << "<p>\u00a0\u3000</p><p><![CDATA[ ]]></p><p>a</p>";
    QTest::newRow("a comment inside") << "<p>a</p><p>a<!--c--></p><p>b</p>";
    QTest::newRow("elements deeper down") << "<p><q><r>x</r></q></p>";
}

void TestCommandQueries::partnershipNames() {
    // The names are the texts of the reply's children, as the document gives them, though the
    // list is read without one.
    QFETCH(QString, reply);
    const std::string line = reply.toStdString();
    std::string expected;
    try {
        QDomDocument doc;
        const QDomElement root = TCommandHandler::ParseReply(line, doc);
        for (QDomNode child = root.firstChild(); !child.isNull(); child = child.nextSibling())
            expected += TCommandHandler::NodeText(child) + "|";
    } catch (const Exception& failure) {
        expected = failure.Message;
    }
    Answer("Partnership List", line);
    std::string names;
    try {
        for (const std::string& name : Handler->GetPartnershipNames())
            names += name + "|";
    } catch (const Exception& failure) {
        names = failure.Message;
    }
    QVERIFY2(names.size() >= expected.size() &&
                 names.compare(names.size() - expected.size(), expected.size(), expected) == 0,
             (names + " / " + expected).c_str());
}

void TestCommandQueries::partnershipNamesEmpty() {
    Answer("Partnership List", " ");
    QVERIFY(Handler->GetPartnershipNames().empty());
}

void TestCommandQueries::partnerAttributes() {
    Answer("Partner View AS2Local",
           "Partner AS2Local {name=AS2Local, as2_id=ID1, email=, x509_alias=k1}");
    const TNameValueArray attributes = Handler->GetPartnerAttributes("AS2Local");
    const Pairs expected{
        {"name", "AS2Local"}, {"as2_id", "ID1"}, {"email", ""}, {"x509_alias", "k1"}};
    QCOMPARE(AsPairs(attributes), expected);
    QCOMPARE(TCommandHandler::FindValue(attributes, "as2_id"), std::string("ID1"));
}

void TestCommandQueries::partnerNameIsAppendedUnchanged() {
    Answer("Partner View a b&c", "{name=x}");
    QCOMPARE(AsPairs(Handler->GetPartnerAttributes("a b&c")), (Pairs{{"name", "x"}}));
}

void TestCommandQueries::unknownPartnerGivesEmptyArray() {
    Answer("Partner View Nobody", "Partner Nobody not found");
    QVERIFY(Handler->GetPartnerAttributes("Nobody").empty());
}

void TestCommandQueries::unexpectedShapeNamesTheQuestion_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("message");
    const QString mixed = "Element does not contain a single text node";
    const QString noChild = "List index out of bounds (0)";
    QTest::newRow("cert List, an alias of mixed content")
        << "cert List"
        << "<alias>k1</alias><alias>a<b/></alias>"
        << "The AS2 service's answer to \"cert List\" is not a list of aliases: " + mixed;
    QTest::newRow("Partnership List, a name of mixed content")
        << "Partnership List"
        << "<partnership>x</partnership><partnership><b/></partnership>"
        << "The AS2 service's answer to \"Partnership List\" is not a list of partnership names: " +
               mixed;
    QTest::newRow("Partner View, a single blank")
        << "Partner View P"
        << " "
        << "The AS2 service's answer to \"Partner View P\" is not a partner's settings: " + noChild;
    QTest::newRow("Partner View, mixed content")
        << "Partner View P"
        << "<p>{name=P}<b/></p>"
        << "The AS2 service's answer to \"Partner View P\" is not a partner's settings: " + mixed;
    QTest::newRow("Partnership View, a single blank")
        << "Partnership View P"
        << "   "
        << "The AS2 service's answer to \"Partnership View P\" is not a partnership's settings: " +
               noChild;
    QTest::newRow("Partnership View, mixed content")
        << "Partnership View P"
        << "<p>Sender IDs = {name=S}<b/></p>"
        << "The AS2 service's answer to \"Partnership View P\" is not a partnership's settings: " +
               mixed;
    // A partnership the service listed but did not give is no partnership of empty lists.
    QTest::newRow("Partnership View, a list without its marker")
        << "Partnership View P"
        << "Sender IDs = {name=S} Attributes = {a=1}"
        << "The AS2 service's answer to \"Partnership View P\" is not a partnership's settings: it "
           "holds no \"Receiver IDs = {\"";
    QTest::newRow("Partnership View, a list not closed")
        << "Partnership View P"
        << "Sender IDs = {name=S} Receiver IDs = {name=R} Attributes = {a=1"
        << "The AS2 service's answer to \"Partnership View P\" is not a partnership's settings: "
           "the "
           "list after \"Attributes = {\" is not closed";
    QTest::newRow("an error element")
        << "Partnership View P"
        << "<error>temporarily unavailable</error>"
        << "The AS2 service's answer to \"Partnership View P\" is not a partnership's settings: it "
           "holds no \"Sender IDs = {\"";
}

void TestCommandQueries::unexpectedShapeNamesTheQuestion() {
    QFETCH(QString, command);
    QFETCH(QString, reply);
    QFETCH(QString, message);
    Answer(command.toStdString(), reply.toStdString());
    if (command == "cert List")
        QVERIFY(Handler->CertificateExists("k1")); // the scan stops at the match
    const std::string raised = Raised<Exception>([&] {
        if (command == "cert List")
            Handler->CertificateExists("k2");
        else if (command == "Partnership List")
            Handler->GetPartnershipNames();
        else if (command.startsWith("Partner View"))
            Handler->GetPartnerAttributes("P");
        else
            Handler->GetPartnershipAttributes("P");
    });
    QCOMPARE(raised, message.toStdString());
}

void TestCommandQueries::partnerReplyEmptyElement() {
    Answer("Partner View P", "<p></p>");
    QVERIFY(Handler->GetPartnerAttributes("P").empty());
    Answer("Partner View P", "<p><![CDATA[{name=P, as2_id=<&>}]]></p>");
    QCOMPARE(AsPairs(Handler->GetPartnerAttributes("P")),
             (Pairs{{"name", "P"}, {"as2_id", "<&>"}}));
}

void TestCommandQueries::partnershipAttributes() {
    Answer(
        "Partnership View L-R",
        "Partnership L-R Sender IDs = {name=AS2Local, as2_id=ID1} Receiver IDs = {name=AS2Remote} "
        "Attributes = {as2_url=http://h:10080, subject=From L, as2_mdn_to=http://m:10081}");
    const TArrayOfNameValueArrays lists = Handler->GetPartnershipAttributes("L-R");
    QCOMPARE(lists.size(), std::size_t(3));
    QCOMPARE(AsPairs(lists[0]), (Pairs{{"name", "AS2Local"}, {"as2_id", "ID1"}}));
    QCOMPARE(AsPairs(lists[1]), (Pairs{{"name", "AS2Remote"}}));
    QCOMPARE(AsPairs(lists[2]), (Pairs{{"as2_url", "http://h:10080"},
                                       {"subject", "From L"},
                                       {"as2_mdn_to", "http://m:10081"}}));
    Handler.reset();
    QVERIFY(Service->waitForConnections(2));
    QCOMPARE(Service->commands(), std::vector<std::string>{"Partnership View L-R"});
}

void TestCommandQueries::partnershipListsInAnyOrder() {
    Answer("Partnership View P",
           "Attributes = {a=1}&#10;Receiver IDs = {name=R}&#10;Sender IDs = {name=S}");
    const TArrayOfNameValueArrays lists = Handler->GetPartnershipAttributes("P");
    QCOMPARE(AsPairs(lists[0]), (Pairs{{"name", "S"}}));
    QCOMPARE(AsPairs(lists[1]), (Pairs{{"name", "R"}}));
    QCOMPARE(AsPairs(lists[2]), (Pairs{{"a", "1"}}));
}

QTEST_GUILESS_MAIN(TestCommandQueries)
#include "tst_cmds_queries.moc"
