#include "platform/exceptions.h"
#include "platform/strtoint.h"
#include "support/raised.h"

#include <QtTest>

#include <limits>

class TestStrToInt : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void conversion_data();
    void conversion();
    void decimalAndHexRoundTrip();
};

void TestStrToInt::conversion_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("value");

    const int min = std::numeric_limits<int32_t>::min();
    const int max = std::numeric_limits<int32_t>::max();

    // decimal
    QTest::newRow("zero") << QByteArray("0") << true << 0;
    QTest::newRow("plain") << QByteArray("4321") << true << 4321;
    QTest::newRow("leading zeros") << QByteArray("007") << true << 7;
    QTest::newRow("many leading zeros at the top")
        << QByteArray("0000000000002147483647") << true << max;
    QTest::newRow("plus") << QByteArray("+7") << true << 7;
    QTest::newRow("minus") << QByteArray("-1") << true << -1;
    QTest::newRow("minus zero") << QByteArray("-0") << true << 0;
    QTest::newRow("leading blanks") << QByteArray("   42") << true << 42;
    QTest::newRow("blanks then sign") << QByteArray("  -8") << true << -8;
    QTest::newRow("highest") << QByteArray("2147483647") << true << max;
    QTest::newRow("lowest") << QByteArray("-2147483648") << true << min;
    QTest::newRow("one above highest") << QByteArray("2147483648") << false << 0;
    QTest::newRow("plus one above highest") << QByteArray("+2147483648") << false << 0;
    QTest::newRow("one below lowest") << QByteArray("-2147483649") << false << 0;
    QTest::newRow("2^32") << QByteArray("4294967296") << false << 0;
    QTest::newRow("2^32 + 1 does not wrap to 1") << QByteArray("4294967297") << false << 0;
    QTest::newRow("far too long") << QByteArray("99999999999999999999999999") << false << 0;

    // hexadecimal
    QTest::newRow("dollar") << QByteArray("$1F") << true << 31;
    QTest::newRow("dollar lower case digits") << QByteArray("$1f") << true << 31;
    QTest::newRow("x") << QByteArray("x1F") << true << 31;
    QTest::newRow("X") << QByteArray("XaB") << true << 0xAB;
    QTest::newRow("0x") << QByteArray("0x1F") << true << 31;
    QTest::newRow("0X") << QByteArray("0X1f") << true << 31;
    QTest::newRow("hex zero") << QByteArray("$0") << true << 0;
    QTest::newRow("blanks then hex") << QByteArray("  $A") << true << 10;
    QTest::newRow("hex highest") << QByteArray("$7FFFFFFF") << true << max;
    QTest::newRow("hex pattern lowest") << QByteArray("$80000000") << true << min;
    QTest::newRow("hex pattern minus one") << QByteArray("$FFFFFFFF") << true << -1;
    QTest::newRow("0x pattern minus one") << QByteArray("0xffffffff") << true << -1;
    QTest::newRow("minus hex") << QByteArray("-$1") << true << -1;
    QTest::newRow("plus hex") << QByteArray("+$10") << true << 16;
    QTest::newRow("minus 0x") << QByteArray("-0x10") << true << -16;
    QTest::newRow("minus applies to the pattern") << QByteArray("-$FFFFFFFF") << true << 1;
    QTest::newRow("minus lowest pattern") << QByteArray("-$80000000") << true << min;
    QTest::newRow("nine hex digits with leading zero") << QByteArray("$000000001") << true << 1;
    QTest::newRow("many hex leading zeros") << QByteArray("$0000000000FFFFFFFF") << true << -1;
    QTest::newRow("hex needs 33 bits") << QByteArray("$100000000") << false << 0;
    QTest::newRow("hex far too long") << QByteArray("$FFFFFFFFFFFFFFFFFFFF") << false << 0;
    QTest::newRow("hex 2^32 + 1 does not wrap") << QByteArray("0x100000001") << false << 0;

    // no number
    QTest::newRow("empty") << QByteArray("") << false << 0;
    QTest::newRow("blanks alone") << QByteArray("   ") << false << 0;
    QTest::newRow("plus alone") << QByteArray("+") << false << 0;
    QTest::newRow("minus alone") << QByteArray("-") << false << 0;
    QTest::newRow("dollar alone") << QByteArray("$") << false << 0;
    QTest::newRow("x alone") << QByteArray("x") << false << 0;
    QTest::newRow("0x alone") << QByteArray("0x") << false << 0;
    QTest::newRow("sign then prefix alone") << QByteArray("-$") << false << 0;
    QTest::newRow("trailing blank") << QByteArray("7 ") << false << 0;
    QTest::newRow("hex trailing blank") << QByteArray("$1F ") << false << 0;
    QTest::newRow("blank after sign") << QByteArray("- 1") << false << 0;
    QTest::newRow("blank after prefix") << QByteArray("0x 1") << false << 0;
    QTest::newRow("two signs") << QByteArray("+-1") << false << 0;
    QTest::newRow("double minus") << QByteArray("--1") << false << 0;
    QTest::newRow("sign behind prefix") << QByteArray("$-1") << false << 0;
    QTest::newRow("two prefixes") << QByteArray("0x$1") << false << 0;
    QTest::newRow("zero before 0x") << QByteArray("00x1") << false << 0;
    QTest::newRow("leading tab is no blank") << QByteArray("\t7") << false << 0;
    QTest::newRow("trailing line break") << QByteArray("7\n") << false << 0;
    QTest::newRow("hex digit without prefix") << QByteArray("1F") << false << 0;
    QTest::newRow("not a hex digit") << QByteArray("$1G") << false << 0;
    QTest::newRow("letters") << QByteArray("abc") << false << 0;
    QTest::newRow("exponent") << QByteArray("1e3") << false << 0;
    QTest::newRow("fraction") << QByteArray("1.0") << false << 0;
    QTest::newRow("thousands separator") << QByteArray("1,000") << false << 0;
    QTest::newRow("embedded NUL") << QByteArray("7\0"
                                                "1",
                                                3)
                                  << false << 0;
    QTest::newRow("full-width digit") << QByteArray("\xEF\xBC\x91") << false << 0;
}

void TestStrToInt::conversion() {
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);
    QFETCH(int, value);
    const std::string input = text.toStdString();

    int32_t converted = 12345; // untouched on failure
    QCOMPARE(TryStrToInt(input, converted), valid);
    QCOMPARE(converted, valid ? value : 12345);

    if (valid) {
        QCOMPARE(StrToInt(input), value);
    } else {
        QCOMPARE(Raised<EConvertError>([&] { StrToInt(input); }),
                 ("'" + text + "' is not a valid integer value").toStdString());
    }
}

// Every value the counters can hold reads back from its own decimal and hexadecimal text.
void TestStrToInt::decimalAndHexRoundTrip() {
    const int32_t edges[] = {std::numeric_limits<int32_t>::min(),
                             std::numeric_limits<int32_t>::min() + 1,
                             -65536,
                             -10,
                             -1,
                             0,
                             1,
                             9,
                             10,
                             65535,
                             std::numeric_limits<int32_t>::max() - 1,
                             std::numeric_limits<int32_t>::max()};
    for (const int32_t v : edges) {
        int32_t out = 0;
        QVERIFY2(TryStrToInt(std::to_string(v), out) && out == v, std::to_string(v).c_str());
        const std::string hex =
            "$" + QByteArray::number(static_cast<uint32_t>(v), 16).toUpper().toStdString();
        QVERIFY2(TryStrToInt(hex, out) && out == v, hex.c_str());
    }
}

QTEST_APPLESS_MAIN(TestStrToInt)
#include "tst_strtoint.moc"
