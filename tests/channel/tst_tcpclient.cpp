#include "platform/socketwait.h"
#include "platform/tcpclient.h"
#include "support/fakeservice.h"
#include "support/raised.h"
#include "support/stalledport.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>
#include <memory>
#include <stdexcept>
#include <vector>

class TestTcpClient : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void startsInactive();
    void openConnectsAndCloseClearsBothFlags_data();
    void openConnectsAndCloseClearsBothFlags();
    void keptAddressServesOnlyItsName();
    void refusedConnectionStaysActiveNotConnected();
    void badAddressOrPortDoesNotConnect_data();
    void badAddressOrPortDoesNotConnect();
    void openWhileActiveKeepsTheConnection();
    void shutdownKeepsTheSocket();
    void portLookup_data();
    void portLookup();
    void hostLookup_data();
    void hostLookup();
    void peekLeavesBytesReceiveTakesThem();
    void receiveReportsTheEndOfTheConnection();
    void waitsEndAtTheTimeLimit_data();
    void waitsEndAtTheTimeLimit();
    void whileWaitingRunsBetweenSlicesAndMayEndTheWait_data();
    void whileWaitingRunsBetweenSlicesAndMayEndTheWait();
    void connectingSocketTurnsWritable_data();
    void connectingSocketTurnsWritable();
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

// A peer that leaves the client waiting in one of its waits: "connect" (a listener whose backlog is
// full), "write" (a connection nobody reads) or "read" (a service that never answers).
struct StalledPeer {
    explicit StalledPeer(const QString& wait) {
        if (wait == "connect")
            stalled = std::make_unique<StalledPort>(StalledPort::Backlog::Full);
        else if (wait == "write")
            stalled = std::make_unique<StalledPort>(StalledPort::Backlog::Free);
        else
            service =
                std::make_unique<FakeService>([](const std::string&) { return Reply::Silence(); });
    }
    std::string port() const { return stalled ? stalled->port() : service->port(); }

    std::unique_ptr<StalledPort> stalled;
    std::unique_ptr<FakeService> service;
};

// Points the client at the peer with that time limit; for a wait after the connect, opens it.
void Approach(TTcpClient& client, const StalledPeer& peer, const QString& wait, int timeoutMs) {
    Point(client, peer.port());
    client.TimeoutMs = timeoutMs;
    if (wait != "connect")
        client.Open();
}

// Runs the operation that waits; true when it ended as a time limit ends it.
bool GivesUp(TTcpClient& client, const QString& wait) {
    if (wait == "connect") {
        client.Open();
        return client.Active() && !client.Connected();
    }
    if (wait == "write") {
        // More than the system buffers for a loopback connection.
        const std::string bytes(64 * 1024 * 1024, 'x');
        const long long sent = client.SendBuf(bytes.data(), bytes.size());
        return sent >= 0 && sent < static_cast<long long>(bytes.size());
    }
    client.SendBuf("x\r\n", 3);
    char byte;
    return client.PeekBuf(&byte, 1).Status == TReceiveStatus::TimedOut;
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
    client.Open();
    QVERIFY(client.Active());
    QVERIFY(client.Connected());
    client.Close();
    QVERIFY(!client.Active());
    QVERIFY(!client.Connected());
    QVERIFY(service.waitForConnections(1));
    QCOMPARE(service.connections(), std::vector<std::string>{""});
}

void TestTcpClient::keptAddressServesOnlyItsName() {
    FakeService service;
    TTcpClient client;
    Point(client, service.port(), "localhost");
    client.Open();
    QVERIFY(client.Connected());
    client.Close();
    // An IPv6 address has no IPv4 address, whatever was looked up before.
    client.RemoteHost = "::1";
    client.Open();
    QVERIFY(!client.Connected());
    client.Close();
    client.RemoteHost = "localhost";
    client.Open();
    QVERIFY(client.Connected());
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
    QTest::newRow("port not a number") << "127.0.0.1"
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
    QTest::newRow("service name") << "http" << false << 0;
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

void TestTcpClient::hostLookup_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("found");
    QTest::addColumn<quint32>("address"); // in host order
    QTest::newRow("dotted address") << "192.168.10.1" << true << 0xC0A80A01u;
    QTest::newRow("highest") << "255.255.255.255" << true << 0xFFFFFFFFu;
    QTest::newRow("zeros") << "0.0.0.0" << true << 0u;
    QTest::newRow("part over 255") << "127.0.0.256" << false << 0u;
    QTest::newRow("three parts") << "127.0.1" << false << 0u;
    QTest::newRow("five parts") << "1.2.3.4.5" << false << 0u;
    QTest::newRow("leading zero") << "127.0.0.01" << false << 0u;
    QTest::newRow("trailing dot") << "1.2.3.4." << false << 0u;
    QTest::newRow("empty part") << "1..3.4" << false << 0u;
    QTest::newRow("digit, then a name") << "1host" << false << 0u;
    QTest::newRow("name") << "localhost" << true << 0x7F000001u;
    QTest::newRow("IPv6 address") << "::1" << false << 0u;
    QTest::newRow("empty") << "" << false << 0u;
}

void TestTcpClient::hostLookup() {
    QFETCH(QString, host);
    QFETCH(bool, found);
    QFETCH(quint32, address);
    std::uint32_t result = 0;
    QCOMPARE(TTcpClient::LookupHost(host.toStdString(), result), found);
    if (found)
        QCOMPARE(qFromBigEndian(result), address);
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

void TestTcpClient::waitsEndAtTheTimeLimit_data() {
    QTest::addColumn<QString>("wait");
    QTest::newRow("connect to a listener whose backlog is full") << "connect";
    QTest::newRow("write to a connection nobody reads") << "write";
    QTest::newRow("read from a silent service") << "read";
}

void TestTcpClient::waitsEndAtTheTimeLimit() {
    QFETCH(QString, wait);
    const StalledPeer peer(wait);
    TTcpClient client;
    Approach(client, peer, wait, 300);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(GivesUp(client, wait));
    QVERIFY2(timer.elapsed() >= 250, qPrintable(QString::number(timer.elapsed())));
    // Far above the 300 ms under load, far below the default limit and a wait without end.
    QVERIFY2(timer.elapsed() < 20000, qPrintable(QString::number(timer.elapsed())));
}

void TestTcpClient::whileWaitingRunsBetweenSlicesAndMayEndTheWait_data() {
    waitsEndAtTheTimeLimit_data();
}

void TestTcpClient::whileWaitingRunsBetweenSlicesAndMayEndTheWait() {
    QFETCH(QString, wait);
    const StalledPeer peer(wait);
    TTcpClient client;
    Approach(client, peer, wait, 60000);
    int calls = 0;
    client.WhileWaiting = [&calls] {
        if (++calls == 3)
            throw std::runtime_error("given up");
    };
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(Raised<std::runtime_error>([&] { GivesUp(client, wait); }), std::string("given up"));
    QCOMPARE(calls, 3);
    // Three slices, not the time limit.
    QVERIFY2(timer.elapsed() < 30000, qPrintable(QString::number(timer.elapsed())));

    client.Close();
    QVERIFY(!client.Active());
    FakeService service([](const std::string&) { return "pong"; });
    Point(client, service.port());
    client.Open();
    QVERIFY(client.Connected());
    QCOMPARE(client.SendBuf("ping\r\n", 6), 6LL);
    QCOMPARE(Peek(client, 64), std::string("pong\r\n"));
}

void TestTcpClient::connectingSocketTurnsWritable_data() {
    QTest::addColumn<QString>("peer");
    QTest::addColumn<bool>("writable");
    QTest::newRow("connection made") << "listening" << true;
    QTest::newRow("connection refused") << "refused" << true;
    QTest::newRow("backlog full") << "stalled" << false;
}

void TestTcpClient::connectingSocketTurnsWritable() {
    QFETCH(QString, peer);
    QFETCH(bool, writable);
    std::unique_ptr<FakeService> service;
    std::unique_ptr<StalledPort> stalled;
    std::string port = FakeService::refusedPort();
    if (peer == "listening") {
        service = std::make_unique<FakeService>();
        port = service->port();
    } else if (peer == "stalled") {
        stalled = std::make_unique<StalledPort>(StalledPort::Backlog::Full);
        port = stalled->port();
    }
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    QVERIFY(socket.bind(QHostAddress(QHostAddress::AnyIPv4), 0));
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost),
                         static_cast<quint16>(std::stoi(port)));
    QCOMPARE(socket.state(), QAbstractSocket::ConnectingState);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(WaitUntilWritable(socket.socketDescriptor(), 300), writable);
    if (!writable)
        QVERIFY2(timer.elapsed() >= 250, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(!WaitUntilWritable(-1, 0));
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
