// The lock that keeps two saves apart: a holder that died holds nothing, a waiter sees what the
// holder noted, and what another user or a link put in the lock file's place is never written.

#include "platform/exceptions.h"
#include "platform/savelock.h"
#include "support/raised.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <unistd.h>

namespace {

// What another lock on the same file sees: the holder's note, or "<taken>".
std::string Holder(const std::string& config) {
    std::string noted = "<taken>";
    Raised<ECancelled>([&] {
        TSaveLock(config).Take([&](const std::string& holder) {
            noted = holder;
            throw ECancelled(holder);
        });
    });
    return noted;
}

} // namespace

class TestSaveLock : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void take_data() {
        QTest::addColumn<QString>("before");  // what is in the lock file's place
        QTest::addColumn<QString>("failure"); // the end of the message; empty: taken at once
        QTest::addColumn<QByteArray>("held"); // the file's text while it is held
        const QByteArray left = "vantrel-link, process 7\n";
        QTest::newRow("left by a holder that died")
            << "dead"
            << ""
            << "tst_savelock, process " + QByteArray::number(::getpid()) + "\n";
        QTest::newRow("another user's") << "nobody"
                                        << "" << left;
        QTest::newRow("a link") << "link"
                                << "Too many levels of symbolic links" << left;
    }
    void take() {
        QFETCH(QString, before);
        QFETCH(QString, failure);
        QFETCH(QByteArray, held);
        const QTemporaryDir dir;
        const std::string config = dir.filePath(QStringLiteral("config.xml")).toStdString();
        const QString path = QString::fromStdString(TSaveLock::PathFor(config));
        const auto removed = qScopeGuard([&] { QFile::remove(path); });
        QProcess holder; // takes the lock, and is killed
        if (before == "dead") {
            holder.start(QStringLiteral("flock"), {"--no-fork", path, "sleep", "60"});
            QTRY_VERIFY(Holder(config) != "<taken>");
        }
        QFile file(before == "link" ? dir.filePath(QStringLiteral("target")) : path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("vantrel-link, process 7\n") > 0);
        file.close();
        QVERIFY(before != "link" || QFile::link(file.fileName(), path));
        if (before == "nobody" && ::chown(QFile::encodeName(path), 65534, 65534) != 0)
            QSKIP("Only root can give the lock file to another user");
        if (before == "dead") {
            QCOMPARE(Holder(config), std::string("vantrel-link, process 7"));
            holder.kill();
            QVERIFY(holder.waitForFinished());
        }

        TSaveLock lock(config);
        const QString message = QString::fromStdString(Raised<EFOpenError>(
            [&] { lock.Take([](const std::string&) { throw ECancelled("waited"); }); }));
        QVERIFY2(message.endsWith(failure.isEmpty() ? "<nothing raised>" : failure),
                 qPrintable(message));
        QCOMPARE(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(), held);
        QVERIFY(!failure.isEmpty() || Holder(config) == held.trimmed().toStdString());
    }
};

QTEST_GUILESS_MAIN(TestSaveLock)
#include "tst_savelock.moc"
