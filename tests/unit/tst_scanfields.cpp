// Conversions of the reader's answer fields.
#include <QTest>

#include <climits>

#include "link/decimal.h"
#include "reader/scanfields.h"

Q_DECLARE_METATYPE(std::optional<int>)

class TestScanFields : public QObject
{
    Q_OBJECT

private slots:
    void decimal_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<std::optional<int>>("value");
        QTest::newRow("07") << "07" << std::optional<int>(7);
        QTest::newRow("99") << "99" << std::optional<int>(99);
        QTest::newRow("0") << "0" << std::optional<int>(0);
        QTest::newRow("sign") << "-1" << std::optional<int>(-1);
        QTest::newRow("letter") << "0A" << std::optional<int>();
        QTest::newRow("space") << " 1" << std::optional<int>();
        QTest::newRow("empty") << "" << std::optional<int>();
        QTest::newRow("sign only") << "-" << std::optional<int>();
        QTest::newRow("control") << "\r" << std::optional<int>();
        QTest::newRow("overflow") << "99999999999" << std::optional<int>();
        QTest::newRow("int max") << "2147483647" << std::optional<int>(INT_MAX);
        QTest::newRow("int max + 1") << "2147483648" << std::optional<int>();
        QTest::newRow("plus int max") << "+2147483647" << std::optional<int>(INT_MAX);
        QTest::newRow("int min") << "-2147483648" << std::optional<int>(INT_MIN);
        QTest::newRow("int min, leading zeros") << "-0002147483648" << std::optional<int>(INT_MIN);
        QTest::newRow("int min - 1") << "-2147483649" << std::optional<int>();
        QTest::newRow("plus int min") << "+2147483648" << std::optional<int>();
    }

    void decimal()
    {
        QFETCH(QString, text);
        QFETCH(std::optional<int>, value);
        QCOMPARE(link::ParseDecimal(text.toStdString()), value);
    }

    void hex_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<std::optional<int>>("value");
        QTest::newRow("27") << "27" << std::optional<int>(0x27);
        QTest::newRow("FF") << "FF" << std::optional<int>(255);
        QTest::newRow("lower") << "1f" << std::optional<int>(31);
        QTest::newRow("G") << "0G" << std::optional<int>();
        QTest::newRow("empty") << "" << std::optional<int>();
        QTest::newRow("space") << "1 " << std::optional<int>();
    }

    void hex()
    {
        QFETCH(QString, text);
        QFETCH(std::optional<int>, value);
        QCOMPARE(HexField(text.toStdString()), value);
    }

    void fieldsPastTheEndAreShort()
    {
        std::string frame = "\nA01V05.00-0123\r";
        QCOMPARE(AnswerField(frame, 5, 8), std::string("05.00-01"));
        QCOMPARE(AnswerField(frame, 14, 4), std::string("3\r"));
        QCOMPARE(AnswerField(frame, 40, 2), std::string());
    }
};

QTEST_MAIN(TestScanFields)
#include "tst_scanfields.moc"
