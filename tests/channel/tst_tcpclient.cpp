#include "platform/tcpclient.h"
#include "support/fakeservice.h"

#include <QElapsedTimer>
#include <QtTest>
#include <arpa/inet.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

class TestTcpClient : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void startsInactive();
    void openConnectsAndCloseClearsBothFlags_data();
    void openConnectsAndCloseClearsBothFlags();
    void refusedConnectionStaysActiveNotConnected();
    void badAddressOrPortDoesNotConnect_data();
    void badAddressOrPortDoesNotConnect();
    void openWhileActiveKeepsTheConnection();
    void shutdownKeepsTheSocket();
    void portLookup_data();
    void portLookup();
    void portLookupByServiceName();
    void peekLeavesBytesReceiveTakesThem();
    void receiveReportsTheEndOfTheConnection();
    void silenceTimesOut();
    void transferWithoutConnectionFails();
    void closedPeerNeverKillsTheProcess();
};

namespace {

void Point(TTcpClient& client, const std::string& port,
           const std::string& host = FakeService::host) {
    client.RemoteHost = host;
    client.RemotePort = port;
    client.TimeoutMs = 2000;
}

std::string Peek(TTcpClient& client, std::size_t size) {
    std::string buffer(size, '\0');
    const TReceiveResult got = client.PeekBuf(buffer.data(), size);
    return got.Status == TReceiveStatus::Data ? buffer.substr(0, got.Count) : "<none>";
}

std::string Receive(TTcpClient& client, std::size_t size) {
    std::string buffer(size, '\0');
    const TReceiveResult got = client.ReceiveBuf(buffer.data(), size);
    return got.Status == TReceiveStatus::Data ? buffer.substr(0, got.Count) : "<none>";
}

} // namespace

void TestTcpClient::startsInactive() {
    TTcpClient client;
    QVERIFY(!client.Active());
    QVERIFY(!client.Connected());
    QCOMPARE(client.RemoteHost, std::string("localhost"));
    QCOMPARE(client.RemotePort, std::string("4321"));
}

void TestTcpClient::openConnectsAndCloseClearsBothFlags_data() {
    QTest::addColumn<QString>("host");
    QTest::newRow("dotted address") << "127.0.0.1";
    QTest::newRow("host name") << "localhost";
}

void TestTcpClient::openConnectsAndCloseClearsBothFlags() {
    QFETCH(QString, host);
    FakeService service;
    TTcpClient client;
    Point(client, service.port(), host.toStdString());
    client.SetActive(true);
    QVERIFY(client.Active());
    QVERIFY(client.Connected());
    client.SetActive(false);
    QVERIFY(!client.Active());
    QVERIFY(!client.Connected());
    QVERIFY(service.waitForConnections(1));
    QCOMPARE(service.connections(), std::vector<std::string>{""});
}

void TestTcpClient::refusedConnectionStaysActiveNotConnected() {
    TTcpClient client;
    Point(client, FakeService::refusedPort());
    client.Open();
    QVERIFY(client.Active());
    QVERIFY(!client.Connected());
    client.Close();
    QVERIFY(!client.Active());
}

void TestTcpClient::badAddressOrPortDoesNotConnect_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    QTest::newRow("not a dotted address") << "999.0.0.1"
                                          << "4321";
    QTest::newRow("digits then a name") << "1host"
                                        << "4321";
    QTest::newRow("port out of range") << "127.0.0.1"
                                       << "70000";
    QTest::newRow("port neither service nor number") << "127.0.0.1"
                                                     << "no-such-service-x";
}

void TestTcpClient::badAddressOrPortDoesNotConnect() {
    QFETCH(QString, host);
    QFETCH(QString, port);
    TTcpClient client;
    Point(client, port.toStdString(), host.toStdString());
    client.Open();
    QVERIFY(client.Active());
    QVERIFY(!client.Connected());
}

void TestTcpClient::openWhileActiveKeepsTheConnection() {
    FakeService service;
    TTcpClient client;
    Point(client, service.port());
    client.Open();
    client.Open();
    QVERIFY(client.Connected());
    client.Close();
    QVERIFY(service.waitForConnections(1));
    QCOMPARE(service.connections().size(), std::size_t(1));
}

void TestTcpClient::shutdownKeepsTheSocket() {
    FakeService service;
    TTcpClient client;
    Point(client, service.port());
    client.Open();
    client.Shutdown();
    QVERIFY(client.Active());
    QVERIFY(!client.Connected());
    // The service sees the end of the connection before the socket is closed.
    QVERIFY(service.waitForConnections(1));
    client.Close();
    QVERIFY(!client.Active());
}

void TestTcpClient::portLookup_data() {
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("found");
    QTest::addColumn<int>("number");
    QTest::newRow("number") << "4321" << true << 4321;
    QTest::newRow("leading zero") << "08080" << true << 8080;
    QTest::newRow("highest") << "65535" << true << 65535;
    QTest::newRow("too high") << "65536" << false << 0;
    QTest::newRow("empty") << "" << false << 0;
    QTest::newRow("sign") << "+80" << false << 0;
    QTest::newRow("blank") << " 80" << false << 0;
    QTest::newRow("trailing letters") << "80x" << false << 0;
}

void TestTcpClient::portLookup() {
    QFETCH(QString, port);
    QFETCH(bool, found);
    QFETCH(int, number);
    std::uint16_t result = 0;
    QCOMPARE(TTcpClient::LookupPort(port.toStdString(), result), found);
    if (found)
        QCOMPARE(int(result), number);
}

void TestTcpClient::portLookupByServiceName() {
    const servent* known = getservbyname("http", "tcp");
    if (known == nullptr)
        QSKIP("this machine has no service database entry for http");
    std::uint16_t result = 0;
    QVERIFY(TTcpClient::LookupPort("http", result));
    QCOMPARE(int(result), 80);
}

void TestTcpClient::peekLeavesBytesReceiveTakesThem() {
    FakeService service([](const std::string&) { return Reply::Chunks({"hello\r\nworld"}); });
    TTcpClient client;
    Point(client, service.port());
    client.Open();
    const std::string line = "ping\r\n";
    QCOMPARE(client.SendBuf(line.data(), line.size()), static_cast<long long>(line.size()));

    QTRY_COMPARE(Peek(client, 64), std::string("hello\r\nworld"));
    QCOMPARE(Peek(client, 3), std::string("hel"));
    QCOMPARE(Receive(client, 7), std::string("hello\r\n"));
    QCOMPARE(Peek(client, 64), std::string("world"));
    QCOMPARE(Receive(client, 64), std::string("world"));
    client.Close();
    QVERIFY(service.waitForConnections(1));
    QCOMPARE(service.connections(), std::vector<std::string>{line});
    QCOMPARE(service.commands(), std::vector<std::string>{"ping"});
}

void TestTcpClient::receiveReportsTheEndOfTheConnection() {
    FakeService service([](const std::string&) { return Reply::CloseAtOnce(); });
    TTcpClient client;
    Point(client, service.port());
    client.Open();
    client.SendBuf("x\r\n", 3);
    char byte;
    QCOMPARE(client.PeekBuf(&byte, 1).Status, TReceiveStatus::Closed);
    QCOMPARE(client.ReceiveBuf(&byte, 1).Status, TReceiveStatus::Closed);
}

void TestTcpClient::silenceTimesOut() {
    FakeService service([](const std::string&) { return Reply::Silence(); });
    TTcpClient client;
    Point(client, service.port());
    client.TimeoutMs = 300;
    client.Open();
    client.SendBuf("x\r\n", 3);
    QElapsedTimer timer;
    timer.start();
    char byte;
    QCOMPARE(client.PeekBuf(&byte, 1).Status, TReceiveStatus::TimedOut);
    QVERIFY2(timer.elapsed() >= 250, qPrintable(QString::number(timer.elapsed())));
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
}

void TestTcpClient::transferWithoutConnectionFails() {
    TTcpClient client;
    char byte = 'x';
    QCOMPARE(client.SendBuf(&byte, 1), -1LL);
    QCOMPARE(client.PeekBuf(&byte, 1).Status, TReceiveStatus::Failed);
    Point(client, FakeService::refusedPort());
    client.Open();
    QCOMPARE(client.SendBuf(&byte, 1), -1LL);
    QCOMPARE(client.ReceiveBuf(&byte, 1).Status, TReceiveStatus::Failed);
}

void TestTcpClient::closedPeerNeverKillsTheProcess() {
    // Writing to a connection the peer has reset raises SIGPIPE unless the client prevents it;
    // reaching the end of this test is the check.
    FakeService service([](const std::string&) { return Reply::CloseAtOnce(); });
    TTcpClient client;
    Point(client, service.port());
    client.Open();
    client.SendBuf("x\r\n", 3);
    char byte;
    QCOMPARE(client.PeekBuf(&byte, 1).Status, TReceiveStatus::Closed);
    QTRY_VERIFY(client.SendBuf("more", 4) < 4);
    QVERIFY(client.SendBuf("more", 4) < 4);
}

QTEST_GUILESS_MAIN(TestTcpClient)
#include "tst_tcpclient.moc"
