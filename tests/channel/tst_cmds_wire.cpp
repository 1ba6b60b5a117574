// The command channel on the wire: connections, the envelope, reading the reply line, and the
// ways a reply can fail to arrive.

#include "channel/cmds.h"
#include "platform/exceptions.h"
#include "support/fakeservice.h"
#include "support/raised.h"
#include "support/stalledport.h"

#include <QElapsedTimer>
#include <QtTest>
#include <memory>

Q_DECLARE_METATYPE(Reply)

class TestCommandWire : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void startUpConnectionIsSilentAndUnused();
    void startUpWithNobodyListeningIsSilent();
    void queryBytesOnTheWire();
    void commandTextIsSentUnchanged();
    void eachCommandHasItsOwnConnection();
    void replyLineIsRead_data();
    void replyLineIsRead();
    void replyDocumentIsReplacedEachTime();

    void refusedQueryRaisesServiceError();
    void refusedSendRaisesServiceError();
    void undeliveredCommandRaisesServiceError_data();
    void undeliveredCommandRaisesServiceError();
    void replyMissingRaisesServiceError_data();
    void replyMissingRaisesServiceError();
    void silentServiceTimesOut_data();
    void silentServiceTimesOut();
    void oversizeReplyRaisesServiceError_data();
    void oversizeReplyRaisesServiceError();
    void lineOfTheLongestSizeIsRead();
    void invalidUtf8IsAParseError();
};

namespace {

const std::string Envelope = "<command id=\"userID\" password=\"qxv\">";

std::unique_ptr<TCommandHandler> Handler(const FakeService& service, int timeoutMs = 2000) {
    return std::make_unique<TCommandHandler>(nullptr, FakeService::host, service.port(), timeoutMs);
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace

void TestCommandWire::startUpConnectionIsSilentAndUnused() {
    FakeService service;
    Handler(service).reset();
    QVERIFY(service.waitForConnections(1));
    QCOMPARE(service.connections(), std::vector<std::string>{""});
    QVERIFY(service.commands().empty());
}

void TestCommandWire::startUpWithNobodyListeningIsSilent() {
    TCommandHandler handler(nullptr, FakeService::host, FakeService::refusedPort(), 300);
    QVERIFY(handler.TcpClient.Active());
    QVERIFY(!handler.TcpClient.Connected());
    QVERIFY(handler.xmlDoc.isNull());
}

void TestCommandWire::queryBytesOnTheWire() {
    FakeService service([](const std::string&) { return "<a>k1</a>"; });
    auto handler = Handler(service);
    handler->ExecuteCommand("cert List");
    handler.reset();
    QVERIFY(service.waitForConnections(2));
    const std::vector<std::string> expected{
        "", "<command id=\"userID\" password=\"qxv\">cert List</command>\r\n"};
    QCOMPARE(service.connections(), expected);
}

void TestCommandWire::commandTextIsSentUnchanged() {
    FakeService service;
    auto handler = Handler(service);
    handler->SendCommand("Partner Add name=\"a<b&c\" as2_id=&amp;");
    handler.reset();
    QVERIFY(service.waitForConnections(2));
    QCOMPARE(service.connections().at(1),
             Envelope + "Partner Add name=\"a<b&c\" as2_id=&amp;</command>\r\n");
}

void TestCommandWire::eachCommandHasItsOwnConnection() {
    FakeService service;
    auto handler = Handler(service);
    handler->SendCommand("one");
    // The start-up connection has ended; the first command's stays open until the next begins.
    QVERIFY(service.waitForConnections(1));
    QVERIFY(!service.waitForConnections(2, 100));
    handler->SendCommand("two");
    QVERIFY(service.waitForConnections(2));
    QVERIFY(!service.waitForConnections(3, 100));
    handler.reset();
    QVERIFY(service.waitForConnections(3));
    const std::vector<std::string> expected{"", Envelope + "one</command>\r\n",
                                            Envelope + "two</command>\r\n"};
    QCOMPARE(service.connections(), expected);
    QCOMPARE(service.commands(), (std::vector<std::string>{"one", "two"}));
}

void TestCommandWire::replyLineIsRead_data() {
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QString>("text"); // the text of the root's first child
    QTest::addColumn<int>("children");

    const std::string long700(700, 'x');
    QTest::newRow("one line") << Reply("<a>k1</a>") << "k1" << 1;
    QTest::newRow("empty lines before the reply")
        << Reply::Chunks({"\r\n\r\n", "\r\n<a>k1</a>\r\n"}, 20) << "k1" << 1;
    QTest::newRow("split across writes")
        << Reply::Chunks({"<a>k", "1</a><b", "/>\r\n"}, 20) << "k1" << 2;
    QTest::newRow("CR LF split between writes")
        << Reply::Chunks({"<a>k1</a>\r", "\n<z/>\r\n"}, 50) << "k1" << 1;
    QTest::newRow("CR, pause, then not LF")
        << Reply::Chunks({"<a>k\r", "1</a>\r\n"}, 50) << "k\n1" << 1;
    QTest::newRow("no CR LF, then close") << Reply::Chunks({"<a>k1</a>"}) << "k1" << 1;
    QTest::newRow("two lines: only the first")
        << Reply::Chunks({"<a>1</a>\r\n<a>2</a>\r\n"}) << "1" << 1;
    QTest::newRow("longer than 511 bytes") << Reply::Chunks({"<a>" + long700 + "</a>\r\n<b/>\r\n"})
                                           << QString::fromStdString(long700) << 1;
    // The reply read in pieces of 511: the CR LF falls at the end of a piece, across two pieces,
    // and wholly in the next piece.
    for (const int before : {509, 510, 511, 1021, 1022}) {
        const std::string text(std::size_t(before) - 7, 'y');
        QTest::addRow("CR LF after %d bytes", before)
            << Reply::Chunks({"<a>" + text + "</a>\r\n<b/>"}) << QString::fromStdString(text) << 1;
    }
    QTest::newRow("lone LF and CR stay in the line") << Reply("<a>x</a>\n<b>y</b>\r") << "x" << 2;
    QTest::newRow("plain text") << Reply("abc") << "\nabc\n" << 1;
}

void TestCommandWire::replyLineIsRead() {
    QFETCH(Reply, reply);
    QFETCH(QString, text);
    QFETCH(int, children);
    FakeService service([&](const std::string&) { return reply; });
    auto handler = Handler(service);
    const QDomElement root = handler->ExecuteCommand("q");
    QCOMPARE(root.tagName(), QStringLiteral("AS2Result"));
    QCOMPARE(root.childNodes().count(), children);
    QCOMPARE(TCommandHandler::NodeText(root.firstChild()), text.toStdString());
    QCOMPARE(root.ownerDocument(), handler->xmlDoc);
}

void TestCommandWire::replyDocumentIsReplacedEachTime() {
    int count = 0;
    FakeService service([&](const std::string&) { return ++count == 1 ? "<a>1</a>" : "<b>&</b>"; });
    auto handler = Handler(service);
    const QDomElement first = handler->ExecuteCommand("q");
    QCOMPARE(handler->xmlDoc.documentElement().firstChildElement().tagName(), QStringLiteral("a"));
    QVERIFY(Contains(Raised<EDOMParseError>([&] { handler->ExecuteCommand("q"); }), "Line: "));
    QVERIFY(handler->xmlDoc.isNull());
    QCOMPARE(first.firstChildElement().tagName(), QStringLiteral("a"));
}

void TestCommandWire::refusedQueryRaisesServiceError() {
    const std::string port = FakeService::refusedPort();
    TCommandHandler handler(nullptr, FakeService::host, port, 300);
    const std::string message = Raised<EServiceError>([&] { handler.ExecuteCommand("cert List"); });
    QVERIFY2(Contains(message, std::string("127.0.0.1:") + port), message.c_str());
    QVERIFY2(Contains(message, "may not be running"), message.c_str());
}

void TestCommandWire::refusedSendRaisesServiceError() {
    const std::string port = FakeService::refusedPort();
    TCommandHandler handler(nullptr, FakeService::host, port, 300);
    const std::string message =
        Raised<EServiceError>([&] { handler.SendCommand("Partnership Store"); });
    QVERIFY2(Contains(message, std::string("127.0.0.1:") + port), message.c_str());
    QVERIFY2(Contains(message, "may not be running"), message.c_str());
}

void TestCommandWire::undeliveredCommandRaisesServiceError_data() {
    QTest::addColumn<int>("backlog"); // StalledPort::Backlog
    QTest::addColumn<QString>("message");
    QTest::newRow("backlog full: never connected")
        << int(StalledPort::Backlog::Full) << "Cannot connect to the AS2 service";
    QTest::newRow("nobody reads: not taken whole")
        << int(StalledPort::Backlog::Free) << "could not be sent to the AS2 service";
}

void TestCommandWire::undeliveredCommandRaisesServiceError() {
    QFETCH(int, backlog);
    QFETCH(QString, message);
    const StalledPort stalled(static_cast<StalledPort::Backlog>(backlog));
    TCommandHandler handler(nullptr, FakeService::host, stalled.port(), 300);
    // More than the system buffers for a loopback connection.
    const std::string command(64 * 1024 * 1024, 'x');
    QElapsedTimer timer;
    timer.start();
    const std::string raised = Raised<EServiceError>([&] { handler.SendCommand(command); });
    QVERIFY2(Contains(raised, message.toStdString()), raised.c_str());
    QVERIFY2(Contains(raised, "127.0.0.1:" + stalled.port()), raised.c_str());
    QVERIFY2(Contains(raised, "may not be running"), raised.c_str());
    QVERIFY2(timer.elapsed() >= 250, qPrintable(QString::number(timer.elapsed())));
    // Far above the 300 ms under load, far below the default limit of 30 s.
    QVERIFY2(timer.elapsed() < 20000, qPrintable(QString::number(timer.elapsed())));
}

void TestCommandWire::replyMissingRaisesServiceError_data() {
    QTest::addColumn<Reply>("reply");
    QTest::newRow("immediate close") << Reply::CloseAtOnce();
    QTest::newRow("close without writing") << Reply();
    QTest::newRow("only empty lines, then close") << Reply::Chunks({"\r\n", "\r\n"}, 20);
}

void TestCommandWire::replyMissingRaisesServiceError() {
    QFETCH(Reply, reply);
    FakeService service([&](const std::string&) { return reply; });
    auto handler = Handler(service);
    const std::string message =
        Raised<EServiceError>([&] { handler->ExecuteCommand("cert List"); });
    QVERIFY2(Contains(message, "127.0.0.1:" + service.port()), message.c_str());
    QVERIFY2(Contains(message, "may not be running"), message.c_str());
}

void TestCommandWire::silentServiceTimesOut_data() {
    QTest::addColumn<Reply>("reply");
    QTest::newRow("nothing") << Reply::Silence();
    QTest::newRow("part of a line") << Reply::Chunks({"<a>"}, 0, Reply::End::Silent);
    QTest::newRow("empty lines") << Reply::Chunks({"\r\n"}, 0, Reply::End::Silent);
    // The limit is for the reply, however its bytes trickle in.
    // 50 s of them, more than the bound below.
    QTest::newRow("a byte every 50 ms")
        << Reply::Chunks(std::vector<std::string>(1000, " "), 50, Reply::End::Silent);
    QTest::newRow("an empty line every 50 ms")
        << Reply::Chunks(std::vector<std::string>(1000, "\r\n"), 50, Reply::End::Silent);
}

void TestCommandWire::silentServiceTimesOut() {
    QFETCH(Reply, reply);
    FakeService service([&](const std::string&) { return reply; });
    auto handler = Handler(service, 300);
    QElapsedTimer timer;
    timer.start();
    const std::string message =
        Raised<EServiceError>([&] { handler->ExecuteCommand("cert List"); });
    QVERIFY2(Contains(message, "did not answer within 300 ms"), message.c_str());
    QVERIFY2(Contains(message, "127.0.0.1:" + service.port()), message.c_str());
    QVERIFY(timer.elapsed() >= 250);
    QVERIFY(timer.elapsed() < 20000);
}

void TestCommandWire::oversizeReplyRaisesServiceError_data() {
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QString>("told");
    // One byte over the limit, and the service then waits: the client must stop by itself.
    QTest::newRow("a line longer than 16 MiB")
        << QByteArray("\r\n") + QByteArray(MaxReplyLineBytes + 1, 'x') + "\r\n"
        << "sent a reply line longer than 16 MiB";
    QTest::newRow("16 MiB of empty lines") << QByteArray("\r\n").repeated(MaxReplyLineBytes / 2 + 2)
                                           << "sent more than 16 MiB without a reply line";
}

void TestCommandWire::oversizeReplyRaisesServiceError() {
    QFETCH(QByteArray, sent);
    QFETCH(QString, told);
    FakeService service([&](const std::string&) {
        return Reply::Chunks({sent.toStdString()}, 0, Reply::End::Silent);
    });
    auto handler = Handler(service);
    const std::string message =
        Raised<EServiceError>([&] { handler->ExecuteCommand("cert List"); });
    QVERIFY2(Contains(message, told.toStdString()), message.c_str());
}

void TestCommandWire::lineOfTheLongestSizeIsRead() {
    const std::string text(MaxReplyLineBytes - 7, 'x');
    FakeService service([&](const std::string&) { return "<a>" + text + "</a>"; });
    auto handler = Handler(service);
    const QDomElement root = handler->ExecuteCommand("cert List");
    QCOMPARE(TCommandHandler::NodeText(root.firstChild()).size(), text.size());
}

void TestCommandWire::invalidUtf8IsAParseError() {
    FakeService service([](const std::string&) { return "<a>caf\xE9</a>"; });
    auto handler = Handler(service);
    const std::string message =
        Raised<EDOMParseError>([&] { handler->ExecuteCommand("cert List"); });
    QVERIFY2(Contains(message, "UTF-8"), message.c_str());
    QVERIFY2(Contains(message, "\r\nLine: 2\r\n"), message.c_str());
}

QTEST_GUILESS_MAIN(TestCommandWire)
#include "tst_cmds_wire.moc"
