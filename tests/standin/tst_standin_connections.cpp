// How as2-standin handles its connections: one command each, one at a time, in order, bounded.

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
    void connectionsAreServedOneAtATimeInOrder();
    void onlyTheFirstLineIsRead();
    void lineWithoutCrLfIsNotCarriedOut();
    void overlongLineIsDropped();
    void stalledLineIsDroppedAfterTheTimeLimit();

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

void TestStandinConnections::connectionsAreServedOneAtATimeInOrder() {
    Client first(service_->port());
    Client second(service_->port());
    QVERIFY(first.connected() && second.connected());
    QVERIFY(second.send(framed(R"(Partner Add P as2_id="1")")));
    // The first connection is served first, so the second's add has not happened yet.
    QVERIFY(first.send(framed("Partner View P")));
    QVERIFY(first.readToEnd().startsWith("<error>"));
    QVERIFY(second.readToEnd().startsWith("<ok>"));
    QCOMPARE(service_->command("Partner View P"), QByteArray("{name=P, as2_id=1}\r\n"));
}

void TestStandinConnections::onlyTheFirstLineIsRead() {
    const QByteArray reply = service_->raw(framed(R"(Partner Add A as2_id="1")") +
                                           framed(R"(Partner Add B as2_id="2")"));
    QCOMPARE(reply.count("\r\n"), 1);
    QVERIFY(reply.startsWith("<ok>"));
    QVERIFY(service_->command("Partner View A").startsWith("{"));
    QVERIFY(service_->command("Partner View B").startsWith("<error>"));
}

void TestStandinConnections::lineWithoutCrLfIsNotCarriedOut() {
    for (const QByteArray end : {"", "\n", "\r"}) {
        Client c(service_->port());
        QVERIFY(c.send(framed(R"(Partner Add P as2_id="1")").chopped(2) + end));
        c.shutdownWrite();
        QCOMPARE(c.readToEnd(), QByteArray());
    }
    QVERIFY(service_->command("Partner View P").startsWith("<error>"));
}

void TestStandinConnections::overlongLineIsDropped() {
    Client c(service_->port());
    // Part of it may not be taken any more once the service has dropped the connection.
    c.send("<command id=\"userID\" password=\"qxv\">Partner View " + QByteArray(70000, 'x'));
    QVERIFY(c.closedByPeer(3000));
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

QTEST_GUILESS_MAIN(TestStandinConnections)
#include "tst_standin_connections.moc"
