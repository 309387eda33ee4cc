// What card-reading answers show, row by row of the decoding rules, with the
// answer frames written out by hand.
#include <QTest>

#include "reader/carddecode.h"
#include "reader/enrollment.h"

namespace {

// A response frame around an answer: 0x0A, the answer, its checksum, 0x0D.
std::string Frame(const std::string& answer)
{
    unsigned x = 0x0A;
    for (unsigned char c : answer)
        x ^= c;
    static const char d[] = "0123456789ABCDEF";
    return "\n" + answer + d[x >> 4] + d[x & 15] + "\r";
}

const QString kCardId = QStringLiteral("Card ID");

} // namespace

class TestCardDecode : public QObject
{
    Q_OBJECT

private slots:
    void decode_data()
    {
        QTest::addColumn<bool>("twoWay");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("light");
        QTest::addColumn<QString>("text"); // "-": unchanged
        QTest::addColumn<bool>("acknowledge");
        // Read card.
        QTest::newRow("L 8") << false << "A01F" << false << "-" << false;
        QTest::newRow("L 9") << false << "A01F0" << false << "-" << false;
        QTest::newRow("L 17") << false << "A01F000BC614E" << true
                              << "Card ID : 0012345678(D)  00BC614E(H)" << false;
        QTest::newRow("L 17, K at 6 is a card")
            << false << "A01F0K234ABCD" << true << "Card ID : 0037006285(D)  K234ABCD(H)" << false;
        QTest::newRow("L 10 key") << false << "A01F0K" << true << "-" << false;
        QTest::newRow("L 14 key") << false << "A01F0K1234" << true << "KEY : 1234" << false;
        QTest::newRow("L 18") << false << "A01F0000BC614E" << true
                              << "Card ID : 0012345678(D)  00BC614E(H)" << false;
        QTest::newRow("L 18 unsigned")
            << false << "A01F00FFFFFFFF" << true << "Card ID : 4294967295(D)  FFFFFFFF(H)" << false;
        QTest::newRow("L 18 top bit")
            << false << "A01F0080000000" << true << "Card ID : 2147483648(D)  80000000(H)" << false;
        QTest::newRow("L 18 lower case")
            << false << "A01F0000bc614e" << true << "Card ID : 0000024896(D)  00bc614e(H)" << false;
        QTest::newRow("L 12") << false << "A01F0000" << true << "-" << false;
        QTest::newRow("L 19") << false << "A01F0000BC614E-" << true << "-" << false;
        QTest::newRow("L 20") << false << "A01F0000BC614E-1" << true
                              << "Card ID : 0012345678(D)  00BC614E(H)  KEY:1" << false;
        QTest::newRow("L 26") << false << "A01F000123456789ABCDEF" << true
                              << "Card ID : 0123456789ABCDEF(H)" << false;
        QTest::newRow("L 28") << false << "A01F0000BC614E-123456789" << true
                              << "Card ID : 0012345678(D)  00BC614E(H)  KEY:123456789" << false;
        // Two-way: the "K" test first, then 16 scrambled digits at 7-22.
        QTest::newRow("2w L 9") << true << "A01I0" << false << "-" << false;
        QTest::newRow("2w L 17 key") << true << "A01I0K2345678" << true << "KEY : 2345678" << false;
        QTest::newRow("2w L 10 key") << true << "A01I0K" << true << "-" << false;
        QTest::newRow("2w card") << true << "A01I0038E60D7AC42D4F15" << true
                                 << "Card ID : 0012345678(D)  0000000000BC614E(H)" << true;
        QTest::newRow("2w card and key")
            << true << "A01I0038E60D7AC42D4F15-1234" << true
            << "Card ID : 0012345678(D)  0000000000BC614E(H)  KEY:1234" << true;
        QTest::newRow("2w 32 bits") << true << "A01I0038E60D7A3B6ED1A4" << true
                                    << "Card ID : 4294967295(D)  00000000FFFFFFFF(H)" << true;
        QTest::newRow("2w 57 bits")
            << true << "A01I0039C5481D4D3AE3B4" << true
            << "Card ID : 81985529216486895(D)  0123456789ABCDEF(H)" << true;
        // Too short for the 16 digits: no card, nothing read past the answer,
        // and still acknowledged, as the reader may wait for it.
        QTest::newRow("2w L 10") << true << "A01I00" << true << "-" << true;
        QTest::newRow("2w L 20") << true << "A01I0038E60D7AC4" << true << "-" << true;
        QTest::newRow("2w L 25") << true << "A01I0038E60D7AC42D4F1" << true << "-" << true;
    }

    void decode()
    {
        QFETCH(bool, twoWay);
        QFETCH(QString, answer);
        QFETCH(bool, light);
        QFETCH(QString, text);
        QFETCH(bool, acknowledge);
        const std::string frame = Frame(answer.toStdString());
        const int length = int(frame.size());
        const reader::CardShown shown = twoWay ? reader::DecodeTwoWay(frame, length, kCardId)
                                               : reader::DecodeReadCard(frame, length, kCardId);
        QCOMPARE(shown.light, light);
        QCOMPARE(shown.text.value_or("-"), text);
        QCOMPARE(shown.acknowledge, acknowledge);
    }

    // Facility and number as an access controller decodes the reader's
    // Wiegand output; -1: no facility.
    void wiegand_data()
    {
        QTest::addColumn<int>("bits");
        QTest::addColumn<quint64>("value");
        QTest::addColumn<qint64>("facility");
        QTest::addColumn<quint64>("number");
        QTest::newRow("26: bits above 24 dropped")
            << 26 << quint64(0x12BC614E) << qint64(0xBC) << quint64(0x614E);
        QTest::newRow("26: all ones") << 26 << quint64(0xFFFFFFFF) << qint64(255) << quint64(65535);
        QTest::newRow("34: 16-bit facility")
            << 34 << quint64(0xAB12BC614E) << qint64(0x12BC) << quint64(0x614E);
        QTest::newRow("42: the whole value")
            << 42 << quint64(0xAB12BC614E) << qint64(-1) << quint64(0xAB12BC614E);
        QTest::newRow("42: 16 digits, the 40 bits a frame carries")
            << 42 << quint64(0x0123456789ABCDEF) << qint64(-1) << quint64(0x6789ABCDEF);
    }
    void wiegand()
    {
        QFETCH(int, bits);
        QFETCH(quint64, value);
        QFETCH(qint64, facility);
        QFETCH(quint64, number);
        const auto fields = reader::DecodeWiegand(bits, value);
        QVERIFY(fields);
        QCOMPARE(fields->facility ? qint64(*fields->facility) : -1, facility);
        QCOMPARE(quint64(fields->number), number);
    }
};

QTEST_MAIN(TestCardDecode)
#include "tst_carddecode.moc"
