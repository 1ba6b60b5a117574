// How as2-standin handles its connections: one command each, every connection read as its bytes
// arrive, commands one at a time in the order of their connections, bounded.

#include "support/standin.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

class TestStandinConnections : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void silentConnectionsAreHarmless();
    void commandOfAClientThatLeavesIsStillCarriedOut();
    void clientLeavingDuringALargeReply();
    void commandsRunInTheOrderOfTheirConnections_data();
    void commandsRunInTheOrderOfTheirConnections();
    void onlyTheFirstLineIsRead();
    void lineWithoutCrLfIsNotCarriedOut_data();
    void lineWithoutCrLfIsNotCarriedOut();
    void overlongLineIsDropped();
    void stalledLineIsDroppedAfterTheTimeLimit();
    void slowClientsHoldNoSlotBeyondTheLineTime();

private:
    bool alive() { return service_->command("Partnership List").endsWith("\r\n"); }

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<StandIn> service_;
};

void TestStandinConnections::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    service_ = std::make_unique<StandIn>(dir_->path());
    QVERIFY2(service_->start(), qPrintable(service_->errorText()));
}

void TestStandinConnections::cleanup() {
    service_.reset();
    dir_.reset();
}

void TestStandinConnections::silentConnectionsAreHarmless() {
    for (int i = 0; i < 3; ++i) {
        Client c(service_->port());
        QVERIFY(c.connected());
    }
    QVERIFY(alive());
    QCOMPARE(service_->stop(), 0);
}

void TestStandinConnections::commandOfAClientThatLeavesIsStillCarriedOut() {
    {
        Client c(service_->port());
        QVERIFY(c.send(framed(R"(Partner Add P as2_id="1")")));
    }
    QCOMPARE(service_->command("Partner View P"), QByteArray("{name=P, as2_id=1}\r\n"));
}

void TestStandinConnections::clientLeavingDuringALargeReply() {
    // A reply of some 6 MB, more than the socket buffers hold, so the client's side answers the
    // rest with a reset and later writes fail under the service, which must carry on.
    const QByteArray longName(60000, 'n');
    for (int i = 0; i < 100; ++i)
        QVERIFY(service_->command("Partnership Add " + longName + QByteArray::number(i) + " S R ")
                    .startsWith("<ok>"));
    {
        Client leaves(service_->port());
        QVERIFY(leaves.send(framed("Partnership List")));
    }
    QVERIFY(alive());
    {
        Client resets(service_->port(), 4096);
        QVERIFY(resets.send(framed("Partnership List")));
        QVERIFY(!resets.readSome().isEmpty());
        resets.abort();
    }
    QVERIFY(alive());
    QCOMPARE(service_->stop(), 0);
}

void TestStandinConnections::commandsRunInTheOrderOfTheirConnections_data() {
    QTest::addColumn<QByteArray>("first");  // what the first client sends before the second
    QTest::addColumn<QByteArray>("rest");   // what it sends once the second one has sent
    QTest::addColumn<QByteArray>("second"); // the second client's command
    QTest::addColumn<QByteArray>("answer"); // the start of the first client's reply
    QTest::addColumn<QByteArray>("held");   // after a restart, "Partner View P"; empty: none

    const QByteArray view = framed("Partner View Q");
    const QByteArray addQ = R"(Partner Add Q as2_id="2")";
    // Run first, the view finds no Q yet.
    QTest::newRow("connected, silent")
        << QByteArray() << view << addQ << QByteArray("<error>") << QByteArray();
    QTest::newRow("part of a line")
        << view.left(20) << view.mid(20) << addQ << QByteArray("<error>") << QByteArray();
    // A line delivered holds up no one while its client does not read the reply.
    QTest::newRow("not reading its reply") << framed("Partnership List") << QByteArray() << addQ
                                           << QByteArray("<partnership>") << QByteArray();
    // More than one read's worth of line, then the Store on a later connection.
    const QByteArray email(17000, 'e');
    const QByteArray add = framed("Partner Add P email=\"" + email + "\"");
    QTest::newRow("long line, then a Store")
        << add.left(9000) << add.mid(9000) << QByteArray("Partnership Store") << QByteArray("<ok>")
        << "{name=P, email=" + email + "}\r\n";
}

void TestStandinConnections::commandsRunInTheOrderOfTheirConnections() {
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, rest);
    QFETCH(QByteArray, second);
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, held);
    // A reply of some 6 MB, more than the socket buffers hold, for the client that does not read.
    const QByteArray longName(60000, 'n');
    for (int i = 0; i < 100; ++i)
        QVERIFY(service_->command("Partnership Add " + longName + QByteArray::number(i) + " S R ")
                    .startsWith("<ok>"));

    Client quiet(service_->port(), 4096);
    QVERIFY(quiet.connected() && quiet.send(first));
    Client later(service_->port());
    QVERIFY(later.send(framed(second)));
    if (!rest.isEmpty()) {
        // The later command waits for the earlier line.
        QCOMPARE(later.readSome(500), QByteArray());
        QVERIFY(quiet.send(rest));
    }
    QVERIFY(later.readToEnd().startsWith("<ok>"));
    const QByteArray reply = quiet.readToEnd();
    QVERIFY2(reply.startsWith(answer), reply.left(100).constData());
    QVERIFY(reply.endsWith("\r\n") && reply.count("\r\n") == 1);
    if (!held.isEmpty()) {
        QVERIFY(service_->restart());
        QCOMPARE(service_->command("Partner View P"), held);
    }
}

void TestStandinConnections::onlyTheFirstLineIsRead() {
    const QByteArray reply = service_->raw(framed(R"(Partner Add A as2_id="1")") +
                                           framed(R"(Partner Add B as2_id="2")"));
    QCOMPARE(reply.count("\r\n"), 1);
    QVERIFY(reply.startsWith("<ok>"));
    QVERIFY(service_->command("Partner View A").startsWith("{"));
    QVERIFY(service_->command("Partner View B").startsWith("<error>"));
}

void TestStandinConnections::lineWithoutCrLfIsNotCarriedOut_data() {
    QTest::addColumn<QByteArray>("end");
    QTest::addColumn<bool>("closes"); // the client ends its sending side after the line
    QTest::addColumn<bool>("answered");
    QTest::newRow("LF alone") << QByteArray("\n") << false << true;
    QTest::newRow("no line end, then the end of the connection") << QByteArray() << true << false;
    QTest::newRow("CR alone, then the end of the connection") << QByteArray("\r") << true << false;
}

void TestStandinConnections::lineWithoutCrLfIsNotCarriedOut() {
    QFETCH(QByteArray, end);
    QFETCH(bool, closes);
    QFETCH(bool, answered);
    Client c(service_->port());
    QVERIFY(c.send(framed(R"(Partner Add P as2_id="1")").chopped(2) + end));
    if (closes)
        c.shutdownWrite();
    const QByteArray reply = c.readToEnd();
    if (answered) {
        QVERIFY2(reply.startsWith("<error>") && reply.endsWith("</error>\r\n") &&
                     reply.contains("CR LF") && reply.count("\r\n") == 1,
                 reply.constData());
    } else {
        QCOMPARE(reply, QByteArray());
    }
    QVERIFY(service_->command("Partner View P").startsWith("<error>"));
}

void TestStandinConnections::overlongLineIsDropped() {
    // A long value the client can read back is taken; a line longer than any reply is not.
    const QByteArray add = "Partner Add P email=\"" + QByteArray(70000, 'e') + "\"";
    QVERIFY(service_->command(add).startsWith("<ok>"));
    Client c(service_->port());
    // Part of it may not be taken any more once the service has dropped the connection.
    c.send("<command id=\"userID\" password=\"qxv\">Partner View " +
           QByteArray(16 * 1024 * 1024 + 2, 'x'));
    QVERIFY(c.closedByPeer(20000));
    QVERIFY(alive());
    QVERIFY(service_->errorText().contains("longer than"));
}

void TestStandinConnections::stalledLineIsDroppedAfterTheTimeLimit() {
    QElapsedTimer timer;
    timer.start();
    Client stalled(service_->port());
    QVERIFY(stalled.send("<command id=\"userID\""));
    Client next(service_->port());
    QVERIFY(next.send(framed("cert List")));
    QVERIFY(stalled.closedByPeer(10000));
    QVERIFY(timer.elapsed() >= 4000);
    QCOMPARE(next.readToEnd(), QByteArray(" \r\n"));
}

void TestStandinConnections::slowClientsHoldNoSlotBeyondTheLineTime() {
    QCOMPARE(service_->stop(), 0);
    QVERIFY2(service_->start({"--line-time", "1"}), qPrintable(service_->errorText()));
    // More clients than the service's 128 slots, each with a line begun and never silent for
    // the 5 s after which silence alone would drop it.
    std::vector<std::unique_ptr<Client>> slow;
    for (int i = 0; i < 130; ++i) {
        slow.push_back(std::make_unique<Client>(service_->port()));
        QVERIFY(slow.back()->send("<"));
    }
    Client next(service_->port());
    QVERIFY(next.send(framed("cert List")));
    QCOMPARE(next.readToEnd(20000), QByteArray(" \r\n"));
    QVERIFY(slow.front()->closedByPeer(1000));
    // Dropped for the line time, none for silence.
    QVERIFY(service_->errorText().contains("no complete line 1 s after connecting"));
    QVERIFY(!service_->errorText().contains("of silence"));
}

QTEST_GUILESS_MAIN(TestStandinConnections)
#include "tst_standin_connections.moc"
