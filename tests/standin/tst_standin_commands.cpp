// The commands of as2-standin and the shapes of their replies, over its command port.

#include "support/standin.h"

#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestStandinCommands : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void emptyServiceAnswersEmptyLists();
    void partnerRoundTrip_data();
    void partnerRoundTrip();
    void partnershipRoundTrip_data();
    void partnershipRoundTrip();
    void unreadableRecordsAreRefused_data();
    void unreadableRecordsAreRefused();
    void listsHoldOneElementPerRecord();
    void addReplacesAndDeleteRemoves();
    void badInputChangesNothing_data();
    void badInputChangesNothing();
    void dataPersistsOnlyAfterPartnershipStore();
    void failedStoreIsReported();

private:
    QByteArray run(const QByteArray& command) { return service_->command(command); }

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<StandIn> service_;
};

namespace {

const QByteArray Ok = "<ok>";

bool isError(const QByteArray& reply) {
    return reply.startsWith("<error>") && reply.endsWith("</error>\r\n") &&
           reply.count("\r\n") == 1;
}

} // namespace

void TestStandinCommands::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    service_ = std::make_unique<StandIn>(dir_->path());
    QVERIFY2(service_->start(), qPrintable(service_->errorText()));
}

void TestStandinCommands::cleanup() {
    service_.reset();
    dir_.reset();
}

void TestStandinCommands::emptyServiceAnswersEmptyLists() {
    for (const QByteArray command : {"Partnership List", "cert List"}) {
        const QByteArray reply = run(command);
        QCOMPARE(reply, QByteArray(" \r\n"));
        QDomDocument doc;
        const QDomElement root = parsedReply(doc, reply.chopped(2));
        QVERIFY(!root.isNull());
        QCOMPARE(root.childNodes().size(), 0);
    }
    for (const QByteArray command : {"Partner View AS2Local", "Partnership View AS2Local-X"}) {
        const QByteArray reply = run(command);
        QVERIFY2(isError(reply), reply.constData());
        // Without a brace the dialog reads the reply as "no such record".
        QVERIFY(!reply.contains('{') && !reply.contains('}'));
    }
}

void TestStandinCommands::partnerRoundTrip_data() {
    QTest::addColumn<QByteArray>("add");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("view");

    QTest::newRow("plain") << QByteArray(R"(P1 as2_id="ID1" email="a@b.example" x509_alias="P1:0")")
                           << QByteArray("P1")
                           << QByteArray(
                                  "{name=P1, as2_id=ID1, email=a@b.example, x509_alias=P1:0}");
    QTest::newRow("empty values") << QByteArray(R"(P2 as2_id="" email="" x509_alias="")")
                                  << QByteArray("P2")
                                  << QByteArray("{name=P2, as2_id=, email=, x509_alias=}");
    QTest::newRow("blanks, = and ,")
        << QByteArray(R"(P3 as2_id="my id" email="x=y,z" x509_alias=" both ends ")")
        << QByteArray("P3")
        << QByteArray("{name=P3, as2_id=my id, email=x=y,z, x509_alias= both ends }");
    QTest::newRow("non-ASCII")
        << QByteArray(u8R"(Pé as2_id="Zürich-東京" email="ü@example.org" x509_alias="😀:1")")
        << QByteArray(u8"Pé")
        << QByteArray(u8"{name=Pé, as2_id=Zürich-東京, email=ü@example.org, x509_alias=😀:1}");
    QTest::newRow("markup characters escaped")
        << QByteArray(R"(P5 as2_id="a&b" email="<x>" x509_alias="{q;")") << QByteArray("P5")
        << QByteArray("{name=P5, as2_id=a&amp;b, email=&lt;x&gt;, x509_alias={q;}");
    QTest::newRow("other attributes in order")
        << QByteArray(R"(P6 as2_id="1" extra="e" email="2")") << QByteArray("P6")
        << QByteArray("{name=P6, as2_id=1, extra=e, email=2}");
    // A comma ends an item only with a blank after it.
    QTest::newRow("value ending in a comma")
        << QByteArray(R"(P7 email="a," as2_id=",b")") << QByteArray("P7")
        << QByteArray("{name=P7, email=a,, as2_id=,b}");
    QTest::newRow("no attributes")
        << QByteArray("P8") << QByteArray("P8") << QByteArray("{name=P8}");
}

void TestStandinCommands::partnerRoundTrip() {
    QFETCH(QByteArray, add);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, view);
    QVERIFY(run("Partner Add " + add).startsWith(Ok));
    const QByteArray reply = run("Partner View " + name);
    QCOMPARE(reply, view + "\r\n");
    QDomDocument doc;
    const QDomElement root = parsedReply(doc, reply.chopped(2));
    QVERIFY(!root.isNull());
    QCOMPARE(root.childNodes().size(), 1);
}

void TestStandinCommands::partnershipRoundTrip_data() {
    QTest::addColumn<QByteArray>("add");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("view");

    const QByteArray ids = "Sender IDs = {name=S, as2_id=SID} Receiver IDs = {name=R, as2_id=}";
    QTest::newRow("attributes in order")
        << QByteArray(
               R"(S-R S R protocol="as2" subject="From S to R" as2_url="http://localhost:4080")")
        << QByteArray("S-R")
        << ids + " Attributes = {protocol=as2, subject=From S to R, as2_url=http://localhost:4080}";
    QTest::newRow("no attributes, blank after receiver")
        << QByteArray("N1 S R ") << QByteArray("N1") << ids + " Attributes = {}";
    QTest::newRow("no attributes, no blank")
        << QByteArray("N2 S R") << QByteArray("N2") << ids + " Attributes = {}";
    QTest::newRow("punctuation in names")
        << QByteArray(R"(D:1 S R a.b-c:d,e="v" {k="1")") << QByteArray("D:1")
        << ids + " Attributes = {a.b-c:d,e=v, {k=1}";
    QTest::newRow("blanks, =, ; and , in values, non-ASCII")
        << QByteArray(u8R"(V S R as2_mdn_options="a=optional,pkcs7; b=md5" subject="Grüße 東京")")
        << QByteArray("V")
        << ids + u8" Attributes = {as2_mdn_options=a=optional,pkcs7; b=md5, subject=Grüße 東京}";
    // Whatever the client reads back as sent: the client's lists keep every pair as it stands.
    QTest::newRow("empty key, a key twice, tab, DEL, C1, a quote in the last pair")
        << QByteArray("K S R =\"e\" k=\"1\" k=\"2\" t=\"a\tb\" d=\"\x7f\xc2\x85\" "
                      "subject=\"ACME's orders\"")
        << QByteArray("K")
        << ids + " Attributes = {=e, k=1, k=2, t=a\tb, d=\x7f\xc2\x85, subject=ACME's orders}";
}

void TestStandinCommands::partnershipRoundTrip() {
    QFETCH(QByteArray, add);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, view);
    QVERIFY(run(R"(Partner Add S as2_id="SID")").startsWith(Ok));
    QVERIFY(run("Partnership Add " + add).startsWith(Ok));
    const QByteArray reply = run("Partnership View " + name);
    QCOMPARE(reply, view + "\r\n");
    QDomDocument doc;
    QVERIFY(!parsedReply(doc, reply.chopped(2)).isNull());
}

void TestStandinCommands::unreadableRecordsAreRefused_data() {
    QTest::addColumn<QByteArray>("add");
    QTest::addColumn<QByteArray>("reason");
    QTest::addColumn<QByteArray>("view"); // shows the record if it was stored after all

    const QByteArray partner = "Partner Add L ";
    const QByteArray partnership = "Partnership Add L-R L R ";
    QTest::newRow("empty partner name")
        << QByteArray(R"(Partner Add  as2_id="1")") << QByteArray("the partner name is empty")
        << QByteArray("Partner View ");
    QTest::newRow("} in a partner name")
        << QByteArray("Partner Add a}b") << QByteArray(R"(the partner name holds "}")")
        << QByteArray("Partner View a}b");
    QTest::newRow("partner name of white space alone")
        << QByteArray("Partner Add \xc2\xa0") << QByteArray("the partner name is white space alone")
        << QByteArray("Partner View \xc2\xa0");
    QTest::newRow("key that names the partner in the reply")
        << partner + R"(name="M")" << QByteArray(R"(the key "name" is taken)") << QByteArray();
    QTest::newRow("~ in a key") << partner + R"(a~b="v")"
                                << QByteArray(R"(the key "a~b" holds "~")") << QByteArray();
    QTest::newRow("comma and blank in a value")
        << partner + R"(email="a, b")" << QByteArray(R"(the value of "email" holds ", ")")
        << QByteArray();
    QTest::newRow("} in a value") << partner + R"(email="a}")"
                                  << QByteArray(R"(the value of "email" holds "}")")
                                  << QByteArray();
    QTest::newRow("~ in a value") << partner + R"(email="~")"
                                  << QByteArray(R"(the value of "email" holds "~")")
                                  << QByteArray();
    QTest::newRow("single quote in a value, a pair after it")
        << partner + R"(email="it's" x="1")"
        << QByteArray(R"(the value of "email" holds a single quote)") << QByteArray();
    QTest::newRow("empty partnership name")
        << QByteArray("Partnership Add  L R") << QByteArray("the partnership name is empty")
        << QByteArray();
    QTest::newRow("empty sender") << QByteArray("Partnership Add L-R  R")
                                  << QByteArray("the sender name is empty") << QByteArray();
    QTest::newRow("} in a receiver name")
        << QByteArray("Partnership Add X L R}") << QByteArray(R"(the receiver name holds "}")")
        << QByteArray("Partnership View X");
    QTest::newRow("partnership name of white space alone")
        << QByteArray("Partnership Add \xe3\x80\x80 L R")
        << QByteArray("the partnership name is white space alone") << QByteArray();
}

void TestStandinCommands::unreadableRecordsAreRefused() {
    QFETCH(QByteArray, add);
    QFETCH(QByteArray, reason);
    QFETCH(QByteArray, view);
    QVERIFY(run(R"(Partner Add L as2_id="OLD")").startsWith(Ok));
    QVERIFY(run(R"(Partnership Add L-R L R k="v")").startsWith(Ok));
    auto snapshot = [this] {
        return run("Partner View L") + run("Partnership View L-R") + run("Partnership List");
    };
    const QByteArray before = snapshot();

    const QByteArray reply = run(add);
    QVERIFY2(isError(reply) && reply.contains(reason), reply.constData());
    QVERIFY2(service_->errorText().toUtf8().contains(reason), qPrintable(service_->errorText()));
    QCOMPARE(snapshot(), before);
    if (!view.isEmpty())
        QVERIFY(isError(run(view)));
}

void TestStandinCommands::listsHoldOneElementPerRecord() {
    for (const QByteArray name : {"a&b", "x<y>", u8"é"})
        QVERIFY(run("Partnership Add " + name + " S R ").startsWith(Ok));
    const QByteArray reply = run("Partnership List");
    QCOMPARE(reply, QByteArray(u8"<partnership>a&amp;b</partnership><partnership>x&lt;y&gt;"
                               u8"</partnership><partnership>é</partnership>\r\n"));
    QDomDocument doc;
    QCOMPARE(childTexts(parsedReply(doc, reply.chopped(2))),
             QStringList({"a&b", "x<y>", QString::fromUtf8(u8"é")}));
}

void TestStandinCommands::addReplacesAndDeleteRemoves() {
    QVERIFY(run(R"(Partner Add P as2_id="old" email="e")").startsWith(Ok));
    QVERIFY(run(R"(Partner Add P as2_id="new")").startsWith(Ok));
    QCOMPARE(run("Partner View P"), QByteArray("{name=P, as2_id=new}\r\n"));

    QVERIFY(run(R"(Partnership Add one S R k="1")").startsWith(Ok));
    QVERIFY(run("Partnership Add two S R ").startsWith(Ok));
    QVERIFY(run(R"(Partnership Add one R S k="2")").startsWith(Ok));
    QCOMPARE(run("Partnership List"),
             QByteArray("<partnership>one</partnership><partnership>two</partnership>\r\n"));
    QVERIFY(run("Partnership View one").endsWith("Attributes = {k=2}\r\n"));

    QVERIFY(run("Partnership Delete one").startsWith(Ok));
    QCOMPARE(run("Partnership List"), QByteArray("<partnership>two</partnership>\r\n"));
    QVERIFY(run("Partner Delete P").startsWith(Ok));
    QVERIFY(isError(run("Partner View P")));
    // Names that are not there are deleted without complaint, as a save sequence expects.
    QVERIFY(run("Partner Delete P").startsWith(Ok));
    QVERIFY(run("Partnership Delete nothing").startsWith(Ok));
}

void TestStandinCommands::badInputChangesNothing_data() {
    QTest::addColumn<QByteArray>("line");
    const QByteArray start = R"(<command id="userID" password="qxv">)";

    QTest::newRow("no envelope") << QByteArray("Partner Delete L\r\n");
    // Same lengths as the right values, so only a real check refuses them.
    QTest::newRow("wrong id") << QByteArray(
        R"(<command id="userXD" password="qxv">Partner Delete L</command>)"
        "\r\n");
    QTest::newRow("wrong password")
        << QByteArray(R"(<command id="userID" password="qxw">Partner Delete L</command>)"
                      "\r\n");
    QTest::newRow("no closing tag") << start + "Partner Delete L\r\n";
    QTest::newRow("text after the closing tag") << start + "Partner Delete L</command> \r\n";
    QTest::newRow("unknown command") << framed("Partner Remove L");
    QTest::newRow("letter case of a command") << framed("partner delete L");
    QTest::newRow("empty command") << framed("");
    QTest::newRow("list with an argument") << framed("Partnership List L");
    QTest::newRow("store with an argument") << framed("Partnership Store now");
    QTest::newRow("unquoted value") << framed("Partner Add L as2_id=NEW");
    QTest::newRow("unterminated value") << framed(R"(Partner Add L as2_id="NEW)");
    QTest::newRow("no blank between attributes") << framed(R"(Partner Add L as2_id="A"email="B")");
    QTest::newRow("attribute without =") << framed(R"(Partner Add L as2_id="A" email)");
    QTest::newRow("blank in an attribute name") << framed(R"(Partner Add L as 2="A")");
    QTest::newRow("partnership without receiver") << framed("Partnership Add L-R L");
    QTest::newRow("bad attribute in partnership") << framed(R"(Partnership Add L-R L R k="v)");
    QTest::newRow("invalid UTF-8") << framed("Partner Add L as2_id=\"\xff\"");
    QTest::newRow("overlong UTF-8") << framed("Partner Add L as2_id=\"\xc0\xaf\"");
    QTest::newRow("control character") << framed("Partner Add L as2_id=\"a\x01z\"");
    QTest::newRow("lone LF") << framed("Partner Add L as2_id=\"a\nz\"");
    QTest::newRow("noncharacter") << framed("Partner Add L as2_id=\"\xef\xbf\xbe\"");
    QTest::newRow("import without quotes") << framed("Cert import A /tmp/x.cer");
}

void TestStandinCommands::badInputChangesNothing() {
    QFETCH(QByteArray, line);
    QVERIFY(run(R"(Partner Add L as2_id="OLD")").startsWith(Ok));
    QVERIFY(run(R"(Partnership Add L-R L R k="v")").startsWith(Ok));
    const QByteArray before = run("Partner View L") + run("Partnership View L-R") +
                              run("Partnership List") + run("cert List");

    const QByteArray reply = service_->raw(line);
    QVERIFY2(isError(reply), reply.constData());
    QDomDocument doc;
    QVERIFY(!parsedReply(doc, reply.chopped(2)).isNull());

    QCOMPARE(run("Partner View L") + run("Partnership View L-R") + run("Partnership List") +
                 run("cert List"),
             before);
    QVERIFY(!QFile::exists(QDir(dir_->path()).filePath("partnerships.xml")));
    QVERIFY(!QFile::exists(QDir(dir_->path()).filePath("keystore.xml")));
}

void TestStandinCommands::dataPersistsOnlyAfterPartnershipStore() {
    const QByteArray partner = u8"Partner Add AS2Local as2_id=\"ID with blanks\" "
                               u8"email=\"a=b,c\" x509_alias=\"Zürich{x\"";
    const QByteArray partnership = u8"Partnership Add AS2Local-AS2Remote AS2Local AS2Remote "
                                   u8"j=\"\" k=\"東京 & <more>\"";
    auto snapshot = [this] {
        return run("Partner View AS2Local") + run("Partnership View AS2Local-AS2Remote") +
               run("Partnership List");
    };

    QVERIFY(run(partner).startsWith(Ok));
    QVERIFY(run(partnership).startsWith(Ok));
    QVERIFY(service_->restart());
    QVERIFY(isError(run("Partner View AS2Local")));
    QCOMPARE(run("Partnership List"), QByteArray(" \r\n"));

    QVERIFY(run(partner).startsWith(Ok));
    QVERIFY(run(partnership).startsWith(Ok));
    const QByteArray stored = snapshot();
    QVERIFY(run("Partnership Store").startsWith(Ok));
    QVERIFY(service_->restart());
    QCOMPARE(snapshot(), stored);

    // Deleted but not stored: a restart brings the stored data back.
    QVERIFY(run("Partner Delete AS2Local").startsWith(Ok));
    QVERIFY(run("Partnership Delete AS2Local-AS2Remote").startsWith(Ok));
    QVERIFY(service_->restart());
    QCOMPARE(snapshot(), stored);
}

void TestStandinCommands::failedStoreIsReported() {
    QVERIFY(run(R"(Partner Add P as2_id="1")").startsWith(Ok));
    // A directory in the file's place: the write cannot succeed.
    const QString file = QDir(dir_->path()).filePath("partnerships.xml");
    QVERIFY(QDir().mkdir(file));
    QVERIFY(isError(run("Partnership Store")));
    QCOMPARE(run("Partner View P"), QByteArray("{name=P, as2_id=1}\r\n"));
    QVERIFY(QDir().rmdir(file));
    QVERIFY(run("Partnership Store").startsWith(Ok));
    QVERIFY(service_->restart());
    QCOMPARE(run("Partner View P"), QByteArray("{name=P, as2_id=1}\r\n"));
}

QTEST_GUILESS_MAIN(TestStandinCommands)
#include "tst_standin_commands.moc"
