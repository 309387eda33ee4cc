// MIFARE numbering, the trailer check and the access bits editor's table and
// encoding, without a window.
#include <QTest>

#include <set>
#include <vector>

#include "mifare/accessbits.h"
#include "mifare/blocks.h"

using mifare::Condition;
using Conditions = std::array<std::optional<Condition>, 4>;

namespace {

// Reads C1, C2 and C3 of block b back out of the three access bytes, checking
// the inverted copies on the way; independent of the encoder.
std::optional<Condition> Decode(unsigned b6, unsigned b7, unsigned b8, int b)
{
    const unsigned c1 = b7 >> (4 + b) & 1, c2 = b8 >> b & 1, c3 = b8 >> (4 + b) & 1;
    if ((b6 >> b & 1) == c1 || (b6 >> (4 + b) & 1) == c2 || (b7 >> b & 1) == c3)
        return std::nullopt;
    return Condition(c1 << 2 | c2 << 1 | c3);
}

} // namespace

class TestAccessBits : public QObject
{
    Q_OBJECT

private slots:
    void blockNumbers_data()
    {
        QTest::addColumn<int>("sector");
        QTest::addColumn<int>("block");
        QTest::addColumn<QString>("absolute");
        QTest::addColumn<QString>("trailer");
        QTest::newRow("1/0") << 1 << 0 << "04"
                             << "07";
        QTest::newRow("0/0") << 0 << 0 << "00"
                             << "03";
        QTest::newRow("31/3") << 31 << 3 << "7F"
                              << "7F";
        QTest::newRow("32/0") << 32 << 0 << "80"
                              << "8F";
        QTest::newRow("33/2") << 33 << 2 << "92"
                              << "9F";
        QTest::newRow("39/3") << 39 << 3 << "F3"
                              << "FF";
    }

    void blockNumbers()
    {
        QFETCH(int, sector);
        QFETCH(int, block);
        QFETCH(QString, absolute);
        QFETCH(QString, trailer);
        QCOMPARE(mifare::Hex2(mifare::AbsoluteBlock(sector, block)), absolute);
        QCOMPARE(mifare::Hex2(mifare::TrailerBlock(sector)), trailer);
        QCOMPARE(mifare::IsTrailer(sector, block), sector < 32 && block == 3);
    }

    void encoding_data()
    {
        QTest::addColumn<Conditions>("conditions");
        QTest::addColumn<QString>("text");
        QTest::newRow("transport") << Conditions{0b000, 0b000, 0b000, 0b001} << "FF0780AA";
        QTest::newRow("block 1 at 011") << Conditions{0b000, 0b011, 0b000, 0b001} << "DF05A2AA";
        QTest::newRow("trailer at 110") << Conditions{0b000, 0b000, 0b000, 0b110} << "778F08AA";
        QTest::newRow("data 000, trailer 011") << Conditions{0, 0, 0, 0b011} << "7F0788AA";
        QTest::newRow("data 100, trailer 011")
            << Conditions{0b100, 0b100, 0b100, 0b011} << "787788AA";
        QTest::newRow("data 110, trailer 011")
            << Conditions{0b110, 0b110, 0b110, 0b011} << "08778FAA";
        // A block matching no picture adds nothing: it reads as 101.
        QTest::newRow("no picture") << Conditions{std::nullopt, 0, 0, 0b001}
                                    << mifare::AccessBitsText({0b101, 0, 0, 0b001});
    }

    void encoding()
    {
        QFETCH(Conditions, conditions);
        QFETCH(QString, text);
        QCOMPARE(mifare::AccessBitsText(conditions), text);
    }

    // Every one of the 8^4 condition sets comes back out of its bytes, and
    // passes the trailer check.
    void everyConditionSet()
    {
        for (int n = 0; n < 8 * 8 * 8 * 8; ++n) {
            const Conditions c{n & 7, n >> 3 & 7, n >> 6 & 7, n >> 9 & 7};
            const QString text = mifare::AccessBitsText(c);
            QCOMPARE(text.size(), 8);
            QVERIFY(text.endsWith("AA"));
            const unsigned b6 = text.mid(0, 2).toUInt(nullptr, 16);
            const unsigned b7 = text.mid(2, 2).toUInt(nullptr, 16);
            const unsigned b8 = text.mid(4, 2).toUInt(nullptr, 16);
            for (int b = 0; b < 4; ++b)
                QCOMPARE(Decode(b6, b7, b8, b), c[size_t(b)]);
            QVERIFY(mifare::TrailerSound("FFFFFFFFFFFF", text, "FFFFFFFFFFFF"));
        }
    }

    // Over all 2^24 byte triples, the check accepts exactly the encodings of
    // the 8^4 condition sets.
    void consistentExactlyForEncodings()
    {
        std::vector<bool> encoded(1u << 24);
        int distinct = 0;
        for (int n = 0; n < 8 * 8 * 8 * 8; ++n) {
            const QString text =
                mifare::AccessBitsText({n & 7, n >> 3 & 7, n >> 6 & 7, n >> 9 & 7});
            const uint32_t triple = text.left(6).toUInt(nullptr, 16);
            distinct += encoded[triple] ? 0 : 1;
            encoded[triple] = true;
        }
        QCOMPARE(distinct, 4096);
        int wrong = 0;
        uint32_t first = 0;
        for (uint32_t t = 0; t < (1u << 24); ++t) {
            const bool consistent =
                mifare::AccessBytesConsistent(uint8_t(t >> 16), uint8_t(t >> 8), uint8_t(t));
            if (consistent != encoded[t] && wrong++ == 0)
                first = t;
        }
        QVERIFY2(wrong == 0, qPrintable(QStringLiteral("%1 triples wrong, the first %2")
                                            .arg(wrong)
                                            .arg(first, 6, 16, QLatin1Char('0'))));
    }

    void trailerCheck_data()
    {
        QTest::addColumn<QString>("keyA");
        QTest::addColumn<QString>("access");
        QTest::addColumn<QString>("keyB");
        QTest::addColumn<bool>("sound");
        const QString key = "FFFFFFFFFFFF";
        QTest::newRow("transport") << key << "FF078069" << key << true;
        QTest::newRow("any general-purpose byte") << key << "FF0780AB" << key << true;
        // Access bits that lock themselves are a choice, not a fault.
        QTest::newRow("locked for good") << key << "08778F00" << key << true;
        QTest::newRow("byte 6/7 mismatch") << key << "FE0780AA" << key << false;
        QTest::newRow("byte 6/8 mismatch") << key << "FF0781AA" << key << false;
        QTest::newRow("byte 7/8 mismatch") << key << "FF0790AA" << key << false;
        QTest::newRow("short access bits") << key << "FF0780" << key << false;
        QTest::newRow("not hexadecimal") << key << "FF0780AG" << key << false;
        QTest::newRow("short key A") << "FFFFFFFFFF"
                                     << "FF0780AA" << key << false;
        QTest::newRow("key B not hex") << key << "FF0780AA"
                                       << "FFFFFFFFFFFX" << false;
    }

    void trailerCheck()
    {
        QFETCH(QString, keyA);
        QFETCH(QString, access);
        QFETCH(QString, keyB);
        QFETCH(bool, sound);
        QCOMPARE(mifare::TrailerSound(keyA, access, keyB), sound);
        QCOMPARE(mifare::TrailerBlockSound(keyA + access + keyB), sound);
    }

    // The table: 47 distinct buttons, every click brings its block to a picture
    // that holds the clicked button, and every picture is matched as itself,
    // but for the trailer's 111, which looks like 110.
    void editorTable()
    {
        std::set<int> numbers;
        for (const mifare::AccessButton& b : mifare::kAccessButtons) {
            numbers.insert(b.number);
            QCOMPARE(mifare::PictureCaption(b.group, b.selects), b.caption);
        }
        QCOMPARE(int(numbers.size()), mifare::kAccessButtonCount);
        QVERIFY(!numbers.count(18) && !numbers.count(30));
        for (int block = 0; block < 4; ++block) {
            for (Condition c = 0; c < 8; ++c) {
                auto shown = [&](const mifare::AccessButton& b) {
                    return b.caption == mifare::PictureCaption(b.group, c);
                };
                const Condition expected = block == 3 && c == 0b111 ? 0b110 : c;
                QCOMPARE(mifare::BlockCondition(block, shown), std::optional<Condition>(expected));
            }
        }
        // Block 0 with "never" read but "A/B" write is no picture.
        auto odd = [](const mifare::AccessButton& b) {
            return b.block != 0 || b.number == 3 || b.number == 31 || b.number == 9 ||
                   b.number == 10;
        };
        QCOMPARE(mifare::BlockCondition(0, odd), std::nullopt);
    }
};

QTEST_MAIN(TestAccessBits)
#include "tst_accessbits.moc"
