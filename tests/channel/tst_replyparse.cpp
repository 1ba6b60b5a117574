// Parsing a reply line, the children of its root and the text of a node, without sockets.

#include "channel/cmds.h"
#include "platform/exceptions.h"
#include "support/raised.h"

#include <QElapsedTimer>
#include <QtTest>

class TestReplyParse : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void plainTextIsOneTextChild();
    void elementsAreTheChildren();
    void adjacentTextIsMerged();
    void nodeText_data();
    void nodeText();
    void nodeTextOfOtherNodes();
    void childIndexOutOfRange();
    void parseErrorMessage_data();
    void parseErrorMessage();
    void bareAmpersandMessageFormat();
    void excerptIsAtMost40Characters();
    void invalidUtf8_data();
    void invalidUtf8();
    void validUtf8IsKept();
    void failedParseLeavesTheDocumentEmpty();
    void unreasonableShapesRefusedQuickly_data();
    void unreasonableShapesRefusedQuickly();
    void largestRepliesStayBounded_data();
    void largestRepliesStayBounded();
    void cancelledParseLeavesTheDocumentEmpty();
};

namespace {

std::string ParseErrorOf(const std::string& line) {
    QDomDocument doc;
    return Raised<EDOMParseError>([&] { TCommandHandler::ParseReply(line, doc); });
}

// The parts of "reason CR LF Line: n CR LF excerpt".
struct MessageParts {
    std::string Reason;
    int Line = -1;
    std::string Excerpt;
};

MessageParts Split(const std::string& message) {
    MessageParts parts;
    const std::size_t first = message.find("\r\nLine: ");
    if (first == std::string::npos)
        return parts;
    const std::size_t second = message.find("\r\n", first + 2);
    if (second == std::string::npos)
        return parts;
    parts.Reason = message.substr(0, first);
    parts.Line = std::stoi(message.substr(first + 8, second - first - 8));
    parts.Excerpt = message.substr(second + 2);
    return parts;
}

// ResetPeak starts the process's peak resident memory afresh; PeakMiB is that peak, or -1 where the
// system does not tell.
void ResetPeak() {
    QFile refs("/proc/self/clear_refs");
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

long PeakMiB() {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong() / 1024;
    return -1;
}

// A reply of count times unit; a count of 0 fills the longest reply line.
std::string Repeated(const QByteArray& unit, int count) {
    const std::size_t times =
        count > 0 ? static_cast<std::size_t>(count) : MaxReplyLineBytes / unit.size();
    std::string reply;
    reply.reserve(times * unit.size());
    for (std::size_t i = 0; i < times; ++i)
        reply.append(unit.constData(), unit.size());
    return reply;
}

} // namespace

void TestReplyParse::plainTextIsOneTextChild() {
    QDomDocument doc;
    const QDomElement root = TCommandHandler::ParseReply("abc", doc);
    QCOMPARE(root.tagName(), QStringLiteral("AS2Result"));
    QCOMPARE(root.childNodes().count(), 1);
    QVERIFY(root.firstChild().isText());
    // The line breaks of the source around the reply belong to the text.
    QCOMPARE(TCommandHandler::NodeText(root.firstChild()), std::string("\nabc\n"));
    QCOMPARE(root, doc.documentElement());
}

void TestReplyParse::elementsAreTheChildren() {
    QDomDocument doc;
    const QDomElement root = TCommandHandler::ParseReply("<a/> <b></b>", doc);
    QCOMPARE(root.childNodes().count(), 2);
    QCOMPARE(TCommandHandler::ChildNode(root, 0).nodeName(), QStringLiteral("a"));
    QCOMPARE(TCommandHandler::ChildNode(root, 1).nodeName(), QStringLiteral("b"));
    QCOMPARE(TCommandHandler::NodeText(TCommandHandler::ChildNode(root, 0)), std::string());
    QCOMPARE(TCommandHandler::NodeText(TCommandHandler::ChildNode(root, 1)), std::string());
}

void TestReplyParse::adjacentTextIsMerged() {
    QDomDocument doc;
    const QDomElement root = TCommandHandler::ParseReply("<a>x &amp; &#65;&lt; </a>", doc);
    QCOMPARE(TCommandHandler::NodeText(root.firstChild()), std::string("x & A< "));
}

void TestReplyParse::nodeText_data() {
    QTest::addColumn<QString>("reply");
    QTest::addColumn<bool>("fails");
    QTest::addColumn<QString>("text");
    QTest::newRow("text child") << "<a>k1</a>" << false << "k1";
    QTest::newRow("text with blanks kept") << "<a> k 1 </a>" << false << " k 1 ";
    QTest::newRow("empty element") << "<a></a>" << false << "";
    QTest::newRow("only blanks") << "<a>  </a>" << false << "";
    QTest::newRow("CDATA") << "<a><![CDATA[<k&1>]]></a>" << false << "<k&1>";
    QTest::newRow("CDATA of blanks kept") << "<a><![CDATA[ ]]></a>" << false << " ";
    QTest::newRow("character reference")
        << "<a>&#233;t&#xE9;</a>" << false << QString::fromUtf8("\xC3\xA9t\xC3\xA9");
    QTest::newRow("two element children") << "<a><b>1</b><c>2</c></a>" << true << "";
    QTest::newRow("one element child") << "<a><b>1</b></a>" << true << "";
    QTest::newRow("text and element") << "<a>x<b/></a>" << true << "";
    QTest::newRow("text and CDATA") << "<a>x<![CDATA[y]]></a>" << true << "";
    QTest::newRow("one comment child") << "<a><!-- c --></a>" << true << "";
}

void TestReplyParse::nodeText() {
    QFETCH(QString, reply);
    QFETCH(bool, fails);
    QFETCH(QString, text);
    QDomDocument doc;
    const QDomNode first = TCommandHandler::ParseReply(reply.toStdString(), doc).firstChild();
    if (!fails) {
        QCOMPARE(TCommandHandler::NodeText(first), text.toStdString());
        return;
    }
    QCOMPARE(Raised<EXMLDocError>([&] { TCommandHandler::NodeText(first); }),
             std::string("Element does not contain a single text node"));
}

void TestReplyParse::nodeTextOfOtherNodes() {
    QDomDocument doc;
    const QDomElement root = TCommandHandler::ParseReply("t<!--c--><![CDATA[d]]><?p i?>", doc);
    QCOMPARE(root.childNodes().count(), 4);
    QCOMPARE(TCommandHandler::NodeText(root.childNodes().at(0)), std::string("\nt"));
    QCOMPARE(TCommandHandler::NodeText(root.childNodes().at(1)), std::string("c"));
    QCOMPARE(TCommandHandler::NodeText(root.childNodes().at(2)), std::string("d"));
    QCOMPARE(TCommandHandler::NodeText(root.childNodes().at(3)), std::string("i"));
}

void TestReplyParse::childIndexOutOfRange() {
    QDomDocument doc;
    const QDomElement root = TCommandHandler::ParseReply("<a/><b/>", doc);
    for (const int index : {2, -1, 7})
        QCOMPARE(Raised<EListError>([&] { TCommandHandler::ChildNode(root, index); }),
                 Format("List index out of bounds (%d)", index));
    const QDomElement empty = TCommandHandler::ParseReply("", doc);
    QCOMPARE(Raised<EListError>([&] { TCommandHandler::ChildNode(empty, 0); }),
             std::string("List index out of bounds (0)"));
}

void TestReplyParse::parseErrorMessage_data() {
    QTest::addColumn<QString>("reply");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("excerpt");
    QTest::newRow("bare &") << "a & b" << 2 << "a & b";
    QTest::newRow("bare <") << "a < b" << 2 << "a < b";
    QTest::newRow("XML declaration")
        << "<?xml version=\"1.0\"?><a/>" << 2 << "<?xml version=\"1.0\"?><a/>";
    QTest::newRow("unbalanced: extra end tag")
        << "</AS2Result><AS2Result>" << 2 << "</AS2Result><AS2Result>";
    QTest::newRow("unbalanced: open element") << "<a>" << 3 << "</AS2Result>";
    QTest::newRow("after a lone LF") << "x\n&" << 3 << "&";
    QTest::newRow("after a lone CR") << "x\ry\r&" << 4 << "&";
    QTest::newRow("document type inside") << "<!DOCTYPE a>" << 2 << "<!DOCTYPE a>";
    // The reader is handed the reply in pieces of 64 KiB; this root ends where the first does.
    QTest::newRow("extra end tag at the end of a piece")
        << QString(65517, 'x') + "</AS2Result><AS2Result>" << 2 << QString(40, 'x');
}

void TestReplyParse::parseErrorMessage() {
    QFETCH(QString, reply);
    QFETCH(int, line);
    QFETCH(QString, excerpt);
    const std::string message = ParseErrorOf(reply.toStdString());
    const MessageParts parts = Split(message);
    QVERIFY2(!parts.Reason.empty(), message.c_str());
    QCOMPARE(parts.Line, line);
    QCOMPARE(parts.Excerpt, excerpt.toStdString());
}

void TestReplyParse::bareAmpersandMessageFormat() {
    // reason CR LF "Line" ": " number CR LF excerpt
    const std::string message = ParseErrorOf("&");
    const std::size_t first = message.find("\r\n");
    QVERIFY2(first != std::string::npos && first > 0, message.c_str());
    QCOMPARE(message.substr(first), std::string("\r\nLine: 2\r\n&"));
}

void TestReplyParse::excerptIsAtMost40Characters() {
    // 45 characters, some of them outside the BMP and some two bytes long in UTF-8.
    std::string line = "&";
    for (int i = 0; i < 22; ++i)
        line += i % 2 == 0 ? "\xF0\x9F\x98\x80" : "\xC3\xA9";
    line += std::string(22, 'z');
    const MessageParts parts = Split(ParseErrorOf(line));
    const QString excerpt = QString::fromStdString(parts.Excerpt);
    QCOMPARE(excerpt.toUcs4().size(), 40);
    QCOMPARE(parts.Excerpt, line.substr(0, parts.Excerpt.size()));
}

void TestReplyParse::invalidUtf8_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("line");
    QTest::newRow("Latin-1 byte") << QByteArray("<a>caf\xE9</a>") << 2;
    QTest::newRow("lone continuation byte") << QByteArray("\x80") << 2;
    QTest::newRow("truncated sequence") << QByteArray("<a>\xE2\x82</a>") << 2;
    QTest::newRow("sequence cut by the end of line") << QByteArray("x\xC3") << 2;
    QTest::newRow("overlong form") << QByteArray("\xC0\xAF") << 2;
    QTest::newRow("overlong three bytes") << QByteArray("\xE0\x80\xAF") << 2;
    QTest::newRow("surrogate") << QByteArray("\xED\xA0\x80") << 2;
    QTest::newRow("above U+10FFFF") << QByteArray("\xF4\x90\x80\x80") << 2;
    QTest::newRow("0xFF") << QByteArray("ok\xFF") << 2;
    QTest::newRow("after a lone LF") << QByteArray("ok\n\xFF") << 3;
}

void TestReplyParse::invalidUtf8() {
    QFETCH(QByteArray, reply);
    QFETCH(int, line);
    const std::string message = ParseErrorOf(reply.toStdString());
    const MessageParts parts = Split(message);
    QVERIFY2(parts.Reason.find("UTF-8") != std::string::npos, message.c_str());
    QCOMPARE(parts.Line, line);
    // The message itself stays valid text.
    QVERIFY(QString::fromStdString(message).toStdString() == message);
}

void TestReplyParse::validUtf8IsKept() {
    QDomDocument doc;
    const std::string text = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD\xF4\x8F\xBF\xBF";
    // Long enough that the reader's pieces cut sequences apart.
    for (const std::string& long_ : {text, Repeated(QByteArray::fromStdString(text), 20000)}) {
        const QDomElement root = TCommandHandler::ParseReply("<a>" + long_ + "</a>", doc);
        QCOMPARE(TCommandHandler::NodeText(root.firstChild()), long_);
    }
}

void TestReplyParse::failedParseLeavesTheDocumentEmpty() {
    QDomDocument doc;
    TCommandHandler::ParseReply("<a/>", doc);
    QVERIFY(!doc.isNull());
    for (const std::string reply : {"<a>", "\xFF"}) {
        QVERIFY(Raised<EDOMParseError>([&] {
                    TCommandHandler::ParseReply(reply, doc);
                }).find("\r\nLine: ") != std::string::npos);
        QVERIFY(doc.isNull());
    }
}

void TestReplyParse::unreasonableShapesRefusedQuickly_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("reason"); // empty: it parses
    auto nested = [](int depth) {
        return QByteArray("<a>").repeated(depth) + "x" + QByteArray("</a>").repeated(depth);
    };
    QByteArray attributes = "<e";
    for (int i = 0; i < 100000; ++i)
        attributes += " a" + QByteArray::number(i) + "=\"v\"";
    attributes += "/>";
    QByteArray fewAttributes = "<e";
    for (int i = 0; i < 64; ++i)
        fewAttributes += " a" + QByteArray::number(i) + "=\"v\"";
    fewAttributes += "/>";
    QTest::newRow("100000 levels of nesting")
        << nested(100000) << "The reply's elements are nested more than 64 levels deep";
    QTest::newRow("100000 attributes")
        << attributes << "An element of the reply has more than 64 attributes";
    QTest::newRow("63 levels within the root still parse") << nested(63) << "";
    QTest::newRow("64 attributes still parse") << fewAttributes << "";
    QTest::newRow("many siblings still parse") << QByteArray("<a>x</a>").repeated(100000) << "";
    // Some 300 bytes a node: four million would take over a gigabyte to build.
    QTest::newRow("four million empty elements")
        << QByteArray("<a/>").repeated(4000000)
        << "The reply holds more than 520,000 nodes, more than any reply of the AS2 service (an "
           "element, a text, a comment or a processing instruction counts one, an element's first "
           "attribute 8, each further one 2)";
    QTest::newRow("a list of 250,000 partnerships still parses")
        << QByteArray("<partnership>AS2Local-Partner</partnership>").repeated(250000) << "";
}

void TestReplyParse::unreasonableShapesRefusedQuickly() {
    // The parser takes time that grows with the square of these; without the limits a reply of a
    // megabyte blocks the dialog for minutes.
    QFETCH(QByteArray, reply);
    QFETCH(QString, reason);
    QDomDocument doc;
    QElapsedTimer timer;
    timer.start();
    const std::string message =
        Raised<EDOMParseError>([&] { TCommandHandler::ParseReply(reply.toStdString(), doc); });
    if (reason.isEmpty())
        QCOMPARE(message, std::string("<nothing raised>"));
    else
        QCOMPARE(std::make_pair(Split(message).Reason, Split(message).Line),
                 std::make_pair(reason.toStdString(), 2));
    QVERIFY2(timer.elapsed() < 30000, qPrintable(QString::number(timer.elapsed())));
}

void TestReplyParse::largestRepliesStayBounded_data() {
    QTest::addColumn<QByteArray>("unit");
    QTest::addColumn<int>("count"); // 0: as many as the longest reply line holds
    QTest::addColumn<bool>("refused");
    QByteArray attributes = "<a";
    for (int i = 0; i < 64; ++i)
        attributes += " b" + QByteArray::number(i) + "=\"\"";
    attributes += "/>";
    QTest::newRow("16 MiB of attributes") << attributes << 0 << true;
    QTest::newRow("16 MiB of comments") << QByteArray("<!---->") << 0 << true;
    QTest::newRow("16 MiB of processing instructions") << QByteArray("<?a?>") << 0 << true;
    // Without its texts, half the budget in elements.
    QTest::newRow("16 MiB of texts between elements")
        << QByteArray("<a/>") + QByteArray(60, 'x') << 0 << true;
    QTest::newRow("16 MiB of one attribute per element") << QByteArray("<a b=\"\"/>") << 0 << true;
    QTest::newRow("a comment of 16 MiB")
        << "<!--" + QByteArray(MaxReplyLineBytes - 7, 'c') + "-->" << 1 << false;
    QTest::newRow("250,000 partnerships in 16 MiB")
        << "<partnership>" + QByteArray(40, 'n') + "</partnership>" << 250000 << false;
    // The budget less the root, in elements whose names fill the line, two names taking turns as
    // elements of one name share it: the most memory per byte.
    const QByteArray name = QByteArray(28, 'e');
    QTest::newRow("the budget in elements")
        << "<" + name + "a/><" + name + "b/>" << 259999 << false;
    QTest::newRow("one node more") << QByteArray("<a/>") << 520000 << true;
    // An element's first attribute costs Qt's document far more than the element itself.
    const QByteArray oneAttribute = "<a b=\"\"/>";
    const QByteArray twoAttributes = "<a b=\"\" c=\"\"/>";
    const QByteArray attributeAndText = "<a b=\"\">x</a>";
    QTest::newRow("the budget in elements of one attribute") << oneAttribute << 57777 << false;
    QTest::newRow("one more of one attribute") << oneAttribute << 57778 << true;
    QTest::newRow("the budget in elements of two attributes") << twoAttributes << 47272 << false;
    QTest::newRow("one more of two attributes") << twoAttributes << 47273 << true;
    QTest::newRow("the budget in elements of an attribute and a text")
        << attributeAndText << 51999 << false;
    QTest::newRow("one more of an attribute and a text") << attributeAndText << 52000 << true;
}

void TestReplyParse::largestRepliesStayBounded() {
    QFETCH(QByteArray, unit);
    QFETCH(int, count);
    QFETCH(bool, refused);
    const std::string reply = Repeated(unit, count);
    QVERIFY(reply.size() <= MaxReplyLineBytes);
    long pumps = 0;
    QDomDocument doc;
    ResetPeak();
    const std::string message = Raised<EDOMParseError>(
        [&] { TCommandHandler::ParseReply(reply, doc, [&pumps] { ++pumps; }); });
    const long peak = PeakMiB();
    QCOMPARE(message.rfind("The reply holds more than 520,000 nodes", 0) == 0, refused);
    // The window is let paint between the reader's pieces of 64 KiB, up to a refusal; a token
    // longer than a piece is read in ever longer ones.
    if (!refused && unit.size() < 64 * 1024)
        QVERIFY2(pumps >= static_cast<long>(reply.size() / (64 * 1024)),
                 qPrintable(QString::number(pumps)));
    QVERIFY(pumps >= 1);
#ifndef VANTREL_SANITIZE
    QVERIFY2(peak < 256, qPrintable(QStringLiteral("%1 MiB").arg(peak)));
#else
    Q_UNUSED(peak);
#endif
}

void TestReplyParse::cancelledParseLeavesTheDocumentEmpty() {
    const std::string reply = Repeated("<a>x</a>", 100000);
    QDomDocument doc;
    long pumps = 0;
    TCommandHandler::ParseReply(reply, doc, [&pumps] { ++pumps; });
    // The first call comes before the build, the last from it.
    for (const long stopAt : {1L, pumps}) {
        long calls = 0;
        const auto stop = [&] {
            if (++calls == stopAt)
                throw ECancelled("Cancelled");
        };
        QCOMPARE(Raised<ECancelled>([&] { TCommandHandler::ParseReply(reply, doc, stop); }),
                 std::string("Cancelled"));
        QVERIFY(doc.isNull());
    }
}

QTEST_GUILESS_MAIN(TestReplyParse)
#include "tst_replyparse.moc"
