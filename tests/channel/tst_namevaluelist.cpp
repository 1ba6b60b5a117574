// The brace lists inside partner and partnership replies, and looking names up in them.

#include "channel/cmds.h"
#include "support/pairs.h"

#include <QtTest>

Q_DECLARE_METATYPE(Pairs)

class TestNameValueList : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void parse_data();
    void parse();
    void scanItems_data();
    void scanItems();
    void findValue();
    void pairCopiesNameAndValue();
};

void TestNameValueList::parse_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("marker");
    QTest::addColumn<Pairs>("pairs");

    const QString brace = QStringLiteral("{");
    QTest::newRow("partner reply")
        << "Partner P1 {name=P1, as2_id=ID1, email=, x509_alias=k1}" << brace
        << Pairs{{"name", "P1"}, {"as2_id", "ID1"}, {"email", ""}, {"x509_alias", "k1"}};
    QTest::newRow("empty list") << "{}" << brace << Pairs{};
    QTest::newRow("blank list") << "{ }" << brace << Pairs{};
    QTest::newRow("no closing brace") << "{a=1, b=2" << brace << Pairs{};
    QTest::newRow("no braces at all") << "Partner P1 not found" << brace << Pairs{};
    QTest::newRow("no opening brace: from the start")
        << "a=1, b=2}" << brace << Pairs{{"a", "1"}, {"b", "2"}};
    QTest::newRow("empty text") << "" << brace << Pairs{};
    QTest::newRow("comma without blank does not split")
        << "{a=1,b=2}" << brace << Pairs{{"a", "1,b=2"}};
    QTest::newRow("empty item dropped") << "{a=1, , b=2}" << brace << Pairs{{"a", "1"}, {"b", "2"}};
    QTest::newRow("runs of separators") << "{, , a=1, , , }" << brace << Pairs{{"a", "1"}};
    QTest::newRow("no =") << "{x}" << brace << Pairs{{"", "x"}};
    QTest::newRow("empty name") << "{=v}" << brace << Pairs{{"", "v"}};
    QTest::newRow("empty value") << "{k=}" << brace << Pairs{{"k", ""}};
    QTest::newRow("= in the value") << "{k=a=b}" << brace << Pairs{{"k", "a=b"}};
    QTest::newRow("blanks: only the leading one goes")
        << "{ k = v }" << brace << Pairs{{"k ", " v "}};
    QTest::newRow("blanks after the separator")
        << "{a=1,   b=2}" << brace << Pairs{{"a", "1"}, {"b", "2"}};
    QTest::newRow("tab is ordinary")
        << "{\ta=1, b=\t}" << brace << Pairs{{"\ta", "1"}, {"b", "\t"}};
    QTest::newRow("single quotes keep ', '")
        << "{a='x, y', b=2}" << brace << Pairs{{"a", "'x~y'"}, {"b", "2"}};
    QTest::newRow("double quotes keep ', '")
        << "{a=\"x, y\", b=2}" << brace << Pairs{{"a", "\"x~y\""}, {"b", "2"}};
    QTest::newRow("other quote inside quotes")
        << "{a=\"it's\", b=2}" << brace << Pairs{{"a", "\"it's\""}, {"b", "2"}};
    QTest::newRow("unmatched quote runs to the end")
        << "{a=it's, b=2}" << brace << Pairs{{"a", "it's~b=2"}};
    QTest::newRow("line breaks in quotes stay")
        << "{a='x\r\ny', b=2}" << brace << Pairs{{"a", "'x\r\ny'"}, {"b", "2"}};
    QTest::newRow("tilde separates too") << "{a=1~b=2}" << brace << Pairs{{"a", "1"}, {"b", "2"}};
    QTest::newRow("repeated names kept") << "{a=1, a=2}" << brace << Pairs{{"a", "1"}, {"a", "2"}};
    QTest::newRow("} in a value ends the list") << "{a=x}y, b=2}" << brace << Pairs{{"a", "x"}};
    QTest::newRow("line breaks separate") << "{\r\na=1\r\nb=2\nc=3\rd=4\r\n}" << brace
                                          << Pairs{{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}};
    QTest::newRow("first marker counts") << "{a=1} {b=2}" << brace << Pairs{{"a", "1"}};

    const QString sender = QStringLiteral("Sender IDs = {");
    const QString receiver = QStringLiteral("Receiver IDs = {");
    const QString attributes = QStringLiteral("Attributes = {");
    const QString view =
        QStringLiteral("Partnership L-R Sender IDs = {name=L, as2_id=1} "
                       "Receiver IDs = {name=R} Attributes = {as2_url=http://h:1}");
    QTest::newRow("sender IDs") << view << sender << Pairs{{"name", "L"}, {"as2_id", "1"}};
    QTest::newRow("receiver IDs") << view << receiver << Pairs{{"name", "R"}};
    QTest::newRow("attributes") << view << attributes << Pairs{{"as2_url", "http://h:1"}};
    QTest::newRow("long marker missing") << "{name=L} Attributes = {a=1}" << receiver << Pairs{};
    QTest::newRow("long marker must match case")
        << "receiver ids = {name=R}" << receiver << Pairs{};
}

void TestNameValueList::parse() {
    QFETCH(QString, text);
    QFETCH(QString, marker);
    QFETCH(Pairs, pairs);
    QCOMPARE(AsPairs(TCommandHandler::ParseNameValueList(text.toStdString(), marker.toStdString())),
             pairs);
}

void TestNameValueList::scanItems_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("items");
    QTest::newRow("empty") << "" << QStringList{};
    QTest::newRow("blanks only") << "  \r\n " << QStringList{};
    QTest::newRow("one") << "a" << QStringList{"a"};
    QTest::newRow("separators") << "a~b~~c~" << QStringList{"a", "b", "c"};
    QTest::newRow("leading blanks skipped, trailing kept") << "  a  ~ b" << QStringList{"a  ", "b"};
    QTest::newRow("quotes stay") << "'a~b'~\"c~d\"" << QStringList{"'a~b'", "\"c~d\""};
    QTest::newRow("quote in the middle") << "x'a~b'y~z" << QStringList{"x'a~b'y", "z"};
    QTest::newRow("unclosed quote") << "a~'b~c" << QStringList{"a", "'b~c"};
}

void TestNameValueList::scanItems() {
    QFETCH(QString, text);
    QFETCH(QStringList, items);
    QStringList scanned;
    for (const std::string& item : ScanItems(text.toStdString(), '~', ' '))
        scanned << QString::fromStdString(item);
    QCOMPARE(scanned, items);
}

void TestNameValueList::findValue() {
    const TNameValueArray pairs =
        TCommandHandler::ParseNameValueList("{a=1, a=2, email=, B=3, x}", "{");
    QCOMPARE(TCommandHandler::FindValue(pairs, "a"), std::string("1"));
    QCOMPARE(TCommandHandler::FindValue(pairs, "A"), std::string());
    QCOMPARE(TCommandHandler::FindValue(pairs, "B"), std::string("3"));
    QCOMPARE(TCommandHandler::FindValue(pairs, "b"), std::string());
    QCOMPARE(TCommandHandler::FindValue(pairs, "email"), std::string());
    QCOMPARE(TCommandHandler::FindValue(pairs, "a "), std::string());
    QCOMPARE(TCommandHandler::FindValue(pairs, ""), std::string("x"));
    QCOMPARE(TCommandHandler::FindValue({}, "a"), std::string());
}

void TestNameValueList::pairCopiesNameAndValue() {
    std::string name = "n";
    std::string value = "v";
    const TNameValuePair pair(name, value);
    name = "changed";
    value = "changed";
    QCOMPARE(pair.Name, std::string("n"));
    QCOMPARE(pair.Value, std::string("v"));
}

QTEST_GUILESS_MAIN(TestNameValueList)
#include "tst_namevaluelist.moc"
