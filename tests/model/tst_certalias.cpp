#include "model/certalias.h"
#include "platform/exceptions.h"
#include "support/raised.h"

#include <QtTest>

class TestCertAlias : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void nextAlias_data();
    void nextAlias();
    void badCounter_data();
    void badCounter();
    void successiveImportsCountUp();
};

void TestCertAlias::nextAlias_data() {
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QByteArray>("alias");

    QTest::newRow("no colon") << QByteArray("AS2Local") << QByteArray("AS2Local:0");
    QTest::newRow("counter zero") << QByteArray("AS2Local:0") << QByteArray("AS2Local:1");
    QTest::newRow("leading zeros dropped")
        << QByteArray("AS2Local:007") << QByteArray("AS2Local:8");
    QTest::newRow("negative") << QByteArray("AS2Local:-1") << QByteArray("AS2Local:0");
    QTest::newRow("negative stays negative") << QByteArray("x:-5") << QByteArray("x:-4");
    QTest::newRow("leading blank") << QByteArray("AS2Local: 7") << QByteArray("AS2Local:8");
    QTest::newRow("plus sign") << QByteArray("AS2Local:+4") << QByteArray("AS2Local:5");
    QTest::newRow("hex dollar") << QByteArray("AS2Local:$1F") << QByteArray("AS2Local:32");
    QTest::newRow("hex 0x") << QByteArray("AS2Local:0x1f") << QByteArray("AS2Local:32");
    QTest::newRow("hex pattern minus one") << QByteArray("p:$FFFFFFFF") << QByteArray("p:0");
    QTest::newRow("empty base") << QByteArray(":5") << QByteArray(":6");
    QTest::newRow("wraps at the top")
        << QByteArray("AS2Local:2147483647") << QByteArray("AS2Local:-2147483648");
    QTest::newRow("hex top wraps") << QByteArray("p:$7FFFFFFF") << QByteArray("p:-2147483648");
    QTest::newRow("lowest") << QByteArray("p:-2147483648") << QByteArray("p:-2147483647");
    QTest::newRow("empty field") << QByteArray("") << QByteArray(":0");
    QTest::newRow("blank in base kept") << QByteArray("AS2 Local") << QByteArray("AS2 Local:0");
    QTest::newRow("trailing blank without colon")
        << QByteArray("AS2Local ") << QByteArray("AS2Local :0");
    QTest::newRow("UTF-8 base kept")
        << QByteArray("Z\xC3\xBCrich:1") << QByteArray("Z\xC3\xBCrich:2");
    QTest::newRow("remote example") << QByteArray("partner:4") << QByteArray("partner:5");
}

void TestCertAlias::nextAlias() {
    QFETCH(QByteArray, field);
    QFETCH(QByteArray, alias);
    QCOMPARE(QByteArray::fromStdString(NextCertificateAlias(field.toStdString())), alias);
}

void TestCertAlias::badCounter_data() {
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QByteArray>("counter");

    QTest::newRow("empty counter") << QByteArray("AS2Local:") << QByteArray("");
    QTest::newRow("colon alone") << QByteArray(":") << QByteArray("");
    QTest::newRow("further colons belong to the counter")
        << QByteArray("a:1:2") << QByteArray("1:2");
    QTest::newRow("double colon") << QByteArray("AS2Local::1") << QByteArray(":1");
    QTest::newRow("trailing blank") << QByteArray("AS2Local:7 ") << QByteArray("7 ");
    QTest::newRow("letters") << QByteArray("AS2Local:abc") << QByteArray("abc");
    QTest::newRow("sign alone") << QByteArray("AS2Local:-") << QByteArray("-");
    QTest::newRow("out of range") << QByteArray("AS2Local:2147483648") << QByteArray("2147483648");
    QTest::newRow("hex over 32 bits")
        << QByteArray("AS2Local:$100000000") << QByteArray("$100000000");
}

void TestCertAlias::badCounter() {
    QFETCH(QByteArray, field);
    QFETCH(QByteArray, counter);
    QCOMPARE(Raised<EConvertError>([&] { NextCertificateAlias(field.toStdString()); }),
             ("'" + counter + "' is not a valid integer value").toStdString());
}

void TestCertAlias::successiveImportsCountUp() {
    std::string field = "AS2Local";
    QStringList seen;
    for (int i = 0; i < 3; ++i) {
        field = NextCertificateAlias(field);
        seen << QString::fromStdString(field);
    }
    QCOMPARE(seen, QStringList({"AS2Local:0", "AS2Local:1", "AS2Local:2"}));
}

QTEST_APPLESS_MAIN(TestCertAlias)
#include "tst_certalias.moc"
