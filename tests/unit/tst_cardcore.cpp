// The whole-card core without a reader: images and their trailers, dump files,
// key files, comparison, value blocks and access rights.
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "mifare/accessrights.h"
#include "mifare/blocks.h"
#include "mifare/cardimage.h"
#include "mifare/dumpfile.h"
#include "mifare/keylist.h"
#include "mifare/valueblock.h"
#include "mifare/wholecard.h"
#include "store/safefile.h"

#include <QDir>
#include <thread>

using namespace mifare;

namespace {

// The card's access tables, written out from the data sheet: per condition
// C1C2C3 the keys for read, write, increment, decrement/transfer/restore of a
// data block, and for read/write key A, read/write access bits, read/write key B.
const char* const kDataTable[8] = {
    "AB AB AB AB", "AB -- -- AB", "AB -- -- --", "B B -- --",    // 000 001 010 011
    "AB B -- --",  "B -- -- --",  "AB B B AB",   "-- -- -- --"}; // 100 101 110 111
const char* const kTrailerTable[8] = {"-- A A -- A A",     "-- A A A A A",     "-- -- A -- A --",
                                      "-- B AB B -- B",    "-- B AB -- -- B",  "-- -- AB B -- --",
                                      "-- -- AB -- -- --", "-- -- AB -- -- --"};

QString Written(const QList<Right>& rights)
{
    static const char* const kWho[] = {"AB", "A", "B", "--"};
    QStringList out;
    for (const Right& r : rights)
        out << QLatin1String(kWho[int(r.who)]);
    return out.join(u' ');
}

// A 4K image with a known sector 1 read by key A, half a block, a trailer
// whose key B is unknown, and the last sector's last block.
CardImage Sample()
{
    CardImage image(CardSize::k4K);
    for (int b = 4; b < 7; ++b) {
        image.SetHex(
            b, QStringLiteral("00112233445566778899aabbccddee%1").arg(b, 2, 10, QLatin1Char('0')));
        image.SetReadBy(b, KeyUse{KeyType::A, "A0A1A2A3A4A5"});
    }
    image.SetTrailerRead(1, "000000000000787788AA000000000000", {KeyType::A, "A0A1A2A3A4A5"});
    image.SetHex(8, "DEADBEEF--------------------CAFE");
    image.SetHex(255, "0123456789ABCDEF0123456789ABCDEF");
    image.SetReadBy(255, KeyUse{KeyType::B, "FFFFFFFFFFFF"});
    return image;
}

} // namespace

class TestCardCore : public QObject
{
    Q_OBJECT

private slots:
    // Sector by sector the blocks follow each other without a gap, each sector
    // ending in its trailer; in the 16-block sectors five data blocks share a condition.
    void numbering()
    {
        int next = 0;
        for (int s = 0; s < SectorCount(CardSize::k4K); ++s) {
            QCOMPARE(FirstBlock(s), next);
            next += BlocksInSector(s);
            QCOMPARE(TrailerBlock(s), next - 1);
            QCOMPARE(SectorOfBlock(next - 1), s);
            QCOMPARE(SectorOfBlock(FirstBlock(s)), s);
            if (s == 15)
                QCOMPARE(next, BlockCount(CardSize::k1K));
        }
        QCOMPARE(next, BlockCount(CardSize::k4K));
        const int groups[16] = {0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 3};
        for (int b = 0; b < 16; ++b)
            QCOMPARE(AccessGroup(33, b), groups[b]);
        QCOMPARE(AccessGroup(31, 3), 3);
    }

    // Key A never comes from the card; key B does only where it may be read.
    void trailerRead_data()
    {
        QTest::addColumn<QString>("read");
        QTest::addColumn<bool>("keyB");
        QTest::addColumn<QString>("expected"); // key A, key B, the four conditions
        QTest::newRow("transport, key A")
            << "000000000000FF078069B0B1B2B3B4B5" << false << "A0A1A2A3A4A5 B0B1B2B3B4B5 0001";
        QTest::newRow("key B hidden, key A")
            << "000000000000787788AA000000000000" << false << "A0A1A2A3A4A5 ? 4443";
        QTest::newRow("key B hidden, key B")
            << "000000000000787788AA000000000000" << true << "? A0A1A2A3A4A5 4443";
        QTest::newRow("access bytes unknown")
            << "--------------------000000000000" << false << "A0A1A2A3A4A5 ? ?";
        QTest::newRow("bad text") << "00" << false << "? ? ?";
    }

    void trailerRead()
    {
        QFETCH(QString, read);
        QFETCH(bool, keyB);
        QFETCH(QString, expected);
        CardImage image;
        image.SetTrailerRead(5, read, {keyB ? KeyType::B : KeyType::A, "A0A1A2A3A4A5"});
        QString conditions = "?";
        if (const auto c = image.AccessConditions(5))
            conditions =
                QStringLiteral("%1%2%3%4").arg((*c)[0]).arg((*c)[1]).arg((*c)[2]).arg((*c)[3]);
        QCOMPARE(image.KeyA(5).value_or("?") + ' ' + image.KeyB(5).value_or("?") + ' ' + conditions,
                 expected);
        QCOMPARE(image.ConditionOf(21).has_value(), conditions != "?");
    }

    void valueBlock_data()
    {
        QTest::addColumn<QString>("hex");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("address");
        QTest::newRow("1 at 5") << "01000000FEFFFFFF0100000005FA05FA" << true << 1 << 5;
        QTest::newRow("-1") << "FFFFFFFF00000000FFFFFFFF07F807F8" << true << -1 << 7;
        QTest::newRow("1000 at 255") << "E803000017FCFFFFE8030000FF00FF00" << true << 1000 << 255;
        QTest::newRow("INT32_MIN") << "00000080FFFFFF7F0000008010EF10EF" << true << INT32_MIN << 16;
        QTest::newRow("INT32_MAX") << "FFFFFF7F00000080FFFFFF7F10EF10EF" << true << INT32_MAX << 16;
        QTest::newRow("lower case") << "01000000feffffff0100000005fa05fa" << true << 1 << 5;
        QTest::newRow("complement broken") << "01000000FEFFFFFE0100000005FA05FA" << false << 0 << 0;
        QTest::newRow("third copy broken") << "01000000FEFFFFFF0200000005FA05FA" << false << 0 << 0;
        QTest::newRow("address broken") << "01000000FEFFFFFF0100000005FA06FA" << false << 0 << 0;
        QTest::newRow("address complement")
            << "01000000FEFFFFFF0100000005FA05FB" << false << 0 << 0;
        QTest::newRow("transport trailer") << "FFFFFFFFFFFFFF078069FFFFFFFFFFFF" << false << 0 << 0;
        QTest::newRow("unknown byte") << "01000000FEFFFFFF0100000005FA05--" << false << 0 << 0;
        QTest::newRow("short") << "01000000FEFFFFFF0100000005FA05" << false << 0 << 0;
    }

    void valueBlock()
    {
        QFETCH(QString, hex);
        QFETCH(bool, valid);
        QFETCH(int, value);
        QFETCH(int, address);
        const auto decoded = DecodeValueBlockHex(hex);
        QCOMPARE(decoded.has_value(), valid);
        if (!valid)
            return;
        QCOMPARE(decoded->value, value);
        QCOMPARE(int(decoded->address), address);
        QCOMPARE(EncodeValueBlockHex(value, uint8_t(address)), hex.toUpper());
    }

    // Both tables as printed, and as they hold on a card: where the trailer
    // lets key B be read, key B's rights are nobody's.
    void accessRights()
    {
        const QList<Condition> readable = {0b000, 0b010, 0b001};
        for (Condition c = 0; c < 8; ++c) {
            QCOMPARE(Written(TableRights(false, c)), QLatin1String(kDataTable[c]));
            QCOMPARE(Written(TableRights(true, c)), QLatin1String(kTrailerTable[c]));
            QCOMPARE(KeyBReadable(c), readable.contains(c));
            for (Condition t = 0; t < 8; ++t) {
                QString data = QLatin1String(kDataTable[c]);
                if (readable.contains(t))
                    data = data.split(u' ')
                               .replaceInStrings(QRegularExpression("^B$"), "--")
                               .replaceInStrings("AB", "A")
                               .join(u' ');
                QCOMPARE(Written(Rights(false, c, t)), data);
            }
        }
        QCOMPARE(
            ConditionWords(1, 0b011),
            "read: key B; write: key B; increment: never; decrement, transfer, restore: never");
    }

    // Which key writes a whole trailer, and what a trailer would fix for good.
    void trailerRisk_data()
    {
        QTest::addColumn<Conditions>("conditions");
        QTest::addColumn<int>("writer");
        QTest::addColumn<bool>("frozen");
        QTest::addColumn<QList<int>>("locked");
        const int A = int(Caption::A), B = int(Caption::B), never = int(Caption::Never);
        QTest::newRow("transport") << Conditions{0, 0, 0, 0b001} << A << false << QList<int>{};
        QTest::newRow("key B writes") << Conditions{4, 4, 4, 0b011} << B << false << QList<int>{};
        QTest::newRow("B writes, B readable")
            << Conditions{4, 0b110, 0b011, 0b001} << A << false << QList<int>{0, 1, 2};
        QTest::newRow("frozen") << Conditions{0, 1, 2, 0b110} << never << true << QList<int>{1, 2};
        QTest::newRow("000 trailer") << Conditions{0, 0, 0, 0} << never << true << QList<int>{};
        QTest::newRow("101 trailer")
            << Conditions{6, 6, 6, 0b101} << never << false << QList<int>{};
        QTest::newRow("100 trailer")
            << Conditions{0, 0, 7, 0b100} << never << true << QList<int>{2};
    }

    void trailerRisk()
    {
        QFETCH(Conditions, conditions);
        QFETCH(int, writer);
        QFETCH(bool, frozen);
        QFETCH(QList<int>, locked);
        QCOMPARE(int(TrailerWriter(conditions[3])), writer);
        const TrailerRisk risk = AssessTrailer(conditions);
        QCOMPARE(risk.accessFrozen, frozen);
        QCOMPARE(risk.lockedBlocks, locked);
        // Read back from the bytes the editor encodes.
        QCOMPARE(DecodeAccessBits(
                     AccessBitsText({conditions[0], conditions[1], conditions[2], conditions[3]})),
                 std::optional<Conditions>(conditions));
    }

    void keyFile_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QString>("error");
        QTest::newRow("comments, blanks, case, CRLF")
            << QByteArray("\xEF\xBB\xBF# site keys\r\n\r\n  ffffffffffff \r\nA0a1A2a3A4a5# door\n")
            << QStringList{"FFFFFFFFFFFF", "A0A1A2A3A4A5"} << "";
        QTest::newRow("11 digits") << QByteArray("FFFFFFFFFFFF\nFFFFFFFFFFF\n") << QStringList{}
                                   << "keys.txt, line 2: not a key of 12 hexadecimal digits: "
                                      "\"FFFFFFFFFFF\"";
        QTest::newRow("13 digits")
            << QByteArray("#\nFFFFFFFFFFFFF") << QStringList{} << "keys.txt, line 2:";
        QTest::newRow("spaced") << QByteArray("FFFF FFFF FFFF") << QStringList{} << "line 1:";
        QTest::newRow("not hex")
            << QByteArray("\n\nFFFFFFFFFFFG # x") << QStringList{}
            << "line 3: not a key of 12 hexadecimal digits: \"FFFFFFFFFFFG # x\"";
        QTest::newRow("escapes, long")
            << "\x1B]0;owned\x07" + QByteArray(80, 'F') << QStringList{}
            << "line 1: not a key of 12 hexadecimal digits: \"[1B]]0;owned[07]" + QString(43, 'F') +
                   "\u2026\"";
    }

    void keyFile()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, keys);
        QFETCH(QString, error);
        QString why;
        const auto parsed = ParseKeyFile(text, "keys.txt", &why);
        QCOMPARE(parsed.has_value(), error.isEmpty());
        QCOMPARE(parsed.value_or(QStringList{}), keys);
        QVERIFY2(why.contains(error), qPrintable(why));
    }

    void mergeKeys()
    {
        const QStringList merged = MergeKeys(
            {DefaultKeys(), {"123456789ABC", "A0A1A2A3A4A5"}, {"123456789abc", "000000000001"}});
        QCOMPARE(merged.mid(0, 6), (QStringList{"FFFFFFFFFFFF", "000000000000", "A0A1A2A3A4A5",
                                                "B0B1B2B3B4B5", "D3F7D3F7D3F7", "AABBCCDDEEFF"}));
        QCOMPARE(merged.mid(DefaultKeys().size()), (QStringList{"123456789ABC", "000000000001"}));
    }

    void badDump_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("error");
        const int mct = int(DumpFormat::Mct), mfd = int(DumpFormat::Mfd);
        const int json = int(DumpFormat::Json);
        const QByteArray zero(32, '0');
        const QByteArray sector0 = "+Sector: 0\n" + zero + '\n' + zero + '\n' + zero + '\n' + zero;
        QTest::newRow("block first") << mct << "# dump\n" + zero << "line 2: a block before";
        QTest::newRow("bad digit")
            << mct << "+Sector: 0\n" + zero + "\n" + QByteArray(31, '0') + 'x'
            << "line 3: not 32 hexadecimal";
        QTest::newRow("half a byte")
            << mct << "+Sector: 0\n  " + zero.left(6) + "0-" + zero.left(24)
            << "line 2, column 9: the byte \"0-\" has one digit known";
        QTest::newRow("escapes") << mct << "+Sector: 0\n\x1B[2J" + zero
                                 << "line 2: not 32 hexadecimal digits or '-': \"[1B][2J" +
                                        QString(32, '0');
        QTest::newRow("31 digits") << mct << "+Sector: 0\n" + zero.left(31) << "line 2: not 32";
        QTest::newRow("sector 40") << mct << QByteArray("+Sector: 40") << "line 1: no sector";
        QTest::newRow("twice") << mct << sector0 + "\n+Sector: 0\n"
                               << "line 6: sector 0 appears twice";
        QTest::newRow("too few") << mct << "\n+Sector: 1\n" + zero + "\n+Sector: 2"
                                 << "line 2: sector 1 has 4 blocks, the file gives 1";
        QTest::newRow("too many") << mct << sector0 + '\n' + zero << "line 6: sector 0 has only 4";
        QTest::newRow("16 short") << mct << "+Sector: 32\n" + zero
                                  << "sector 32 has 16 blocks, the file gives 1";
        QTest::newRow("no sector") << mct << QByteArray("# nothing\n") << "no \"+Sector:\" line";
        QTest::newRow("1023 bytes") << mfd << QByteArray(1023, 0) << "1023 bytes";
        QTest::newRow("empty") << mfd << QByteArray() << "0 bytes";
        const QByteArray good = WriteDump(CardImage(), DumpFormat::Json);
        QByteArray bad = good;
        QTest::newRow("bad JSON") << json << bad.replace(R"({"block":1,)", R"({"block" 1,)")
                                  << "line 3: bad JSON";
        bad = good;
        QTest::newRow("format") << json << bad.replace("tesmora-mifare", "other") << "not a card";
        bad = good;
        QTest::newRow("version") << json << bad.replace("\"version\": 1", "\"version\": 2")
                                 << "format version 2";
        bad = good;
        QTest::newRow("size") << json << bad.replace("1K", "2K") << "size \"2K\"";
        bad = good;
        QTest::newRow("4K short") << json << bad.replace("1K", "4K")
                                  << "64 blocks: a 4K image has 256";
        bad = good;
        QTest::newRow("block hex")
            << json << bad.replace(R"(3,"hex":"--)", R"(3,"hex":"-X)") << "block 3:";
        bad = good;
        bad = good;
        QTest::newRow("half a byte, JSON")
            << json << bad.replace(R"(3,"hex":"--)", R"(3,"hex":"-a)")
            << "block 3, position 1: the byte \"-a\"";
        bad = good;
        QTest::newRow("size escaped")
            << json << bad.replace("1K", "\\u001b]0;x\\u0007") << "size \"[1B]]0;x[07]\"";
        bad = good;
        QTest::newRow("block order")
            << json << bad.replace(R"("block":7)", R"("block":8)") << "block 7:";
        bad = good;
        QTest::newRow("readBy") << json
                                << bad.replace(
                                       R"({"block":9,)",
                                       R"({"readBy":{"type":"C","key":"FFFFFFFFFFFF"},"block":9,)")
                                << "block 9: readBy";
    }

    void badDump()
    {
        QFETCH(int, format);
        QFETCH(QByteArray, data);
        QFETCH(QString, error);
        QString why;
        QVERIFY(!ReadDump(data, DumpFormat(format), &why));
        QVERIFY2(why.contains(error), qPrintable(why));
        QVERIFY(!why.contains(QChar(0x1B)));
    }

    // Through files named by extension: each format brings back what it holds.
    void roundTrip()
    {
        const CardImage image = Sample();
        QTemporaryDir dir;
        QString why;
        for (const char* name : {"a.json", "a.MCT", "a.txt", "a.bin", "a.mfd"}) {
            const QString path = dir.filePath(QLatin1String(name));
            QVERIFY2(SaveDump(path, image, std::nullopt, &why), qPrintable(why));
            const auto back = LoadDump(path, std::nullopt, &why);
            QVERIFY2(back, qPrintable(why));
            QCOMPARE(back->Size(), CardSize::k4K);
            const DumpFormat format = *FormatOfPath(path);
            if (format == DumpFormat::Json) {
                QVERIFY(*back == image);
                QCOMPARE(back->ReadBy(255),
                         std::optional<KeyUse>(KeyUse{KeyType::B, "FFFFFFFFFFFF"}));
                continue;
            }
            for (int b = 0; b < image.Blocks(); ++b) {
                const QString hex = image.Hex(b);
                QCOMPARE(back->Hex(b),
                         format == DumpFormat::Mct ? hex : QString(hex).replace("-", "0"));
                QCOMPARE(back->ReadBy(b), std::nullopt);
            }
        }
        QCOMPARE(image.Hex(7), "A0A1A2A3A4A5787788AA------------");
        QVERIFY(!LoadDump(dir.filePath("none.mct"), std::nullopt, &why));
        QVERIFY2(why.startsWith(dir.filePath("none.mct")), qPrintable(why));
        QVERIFY(!SaveDump(dir.filePath("a.dump"), image, std::nullopt, &why));
        QVERIFY2(why.contains("a.dump: no dump format"), qPrintable(why));
        QVERIFY(SaveDump(dir.filePath("a.dump"), image, FormatNamed("MFD"), &why));

        // Sectors in any order and some missing; 4K as soon as one is above 15.
        const QByteArray zero = QByteArray(32, '0') + '\n';
        QByteArray text = "+Sector: 15\n" + zero.repeated(4) + "#\n+Sector: 2\n" + zero.repeated(4);
        QCOMPARE(ReadDump(text, DumpFormat::Mct)->Size(), CardSize::k1K);
        const auto big = ReadDump(text + "+Sector: 16\n" + zero.repeated(4), DumpFormat::Mct);
        QCOMPARE(big->Size(), CardSize::k4K);
        QVERIFY(big->Known(8) && big->Known(63) && big->Known(64) && !big->AnyKnown(0));
    }

    // Block 0's SAK tells the size; anything else tells nothing.
    void sizeFromSak_data()
    {
        QTest::addColumn<int>("sak");
        QTest::addColumn<int>("size"); // 1, 4, or 0 for none
        for (int sak : {0x08, 0x88, 0x28})
            QTest::addRow("%02X", sak) << sak << 1;
        for (int sak : {0x18, 0x98, 0x38})
            QTest::addRow("%02X", sak) << sak << 4;
        for (int sak : {0x00, 0x09, 0x20, 0xFF})
            QTest::addRow("%02X", sak) << sak << 0;
    }

    void sizeFromSak()
    {
        QFETCH(int, sak);
        QFETCH(int, size);
        const auto told = SizeFromSak(uint8_t(sak));
        QCOMPARE(told ? (*told == CardSize::k4K ? 4 : 1) : 0, size);
    }

    // Block 0 after a 4-byte UID (its check byte, SAK at 5) or a 7-byte one
    // (SAK at 7, ATQA saying "double"): the UID and the size from the SAK.
    void block0Layout_data()
    {
        QTest::addColumn<QString>("block0");
        QTest::addColumn<QString>("uid");
        QTest::addColumn<int>("size");
        QTest::newRow("4 bytes, 1K") << "1A2B3C4D40080400"
                                     << "1A2B3C4D" << 1;
        QTest::newRow("4 bytes, 4K") << "1A2B3C4D40180200"
                                     << "1A2B3C4D" << 4;
        QTest::newRow("7 bytes, 1K") << "04112233445566084400"
                                     << "04112233445566" << 1;
        QTest::newRow("7 bytes, 4K") << "04112233445566184200"
                                     << "04112233445566" << 4;
        // Its fifth byte happens to be the XOR of the first four.
        QTest::newRow("7 bytes, a check byte by chance") << "04112233045566184200"
                                                         << "04112233045566" << 4;
        QTest::newRow("7 bytes, a check byte and single size bits by chance")
            << "04112233040804184200"
            << "04112233040804" << 4;
    }
    void block0Layout()
    {
        QFETCH(QString, block0);
        QFETCH(QString, uid);
        QFETCH(int, size);
        CardImage image;
        image.SetHex(0, block0.leftJustified(32, QLatin1Char('0')));
        QCOMPARE(CardUid(image), uid);
        const auto told = SizeOfCard(image);
        QCOMPARE(told ? (*told == CardSize::k4K ? 4 : 1) : 0, size);
    }

    // Backups made at once, in the same millisecond, each keep their own
    // file; a named file that exists is never written over.
    void backupsNeverCollide()
    {
        QTemporaryDir dir;
        constexpr int kEach = 40;
        auto save = [&](char who) {
            for (int i = 0; i < kEach; ++i)
                QVERIFY(SaveNewFile(dir.path(), "card-01020304", "json",
                                    QByteArray(1, who) + QByteArray::number(i)));
        };
        std::thread a(save, 'a'), b(save, 'b');
        a.join();
        b.join();
        QSet<QByteArray> contents;
        for (const QString& name : QDir(dir.path()).entryList(QDir::Files | QDir::Hidden)) {
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::ReadOnly));
            contents.insert(f.readAll());
        }
        QCOMPARE(contents.size(), 2 * kEach);
        const QString kept = dir.filePath("kept.json");
        QVERIFY(SaveFileAtomically(kept, "good"));
        QString error;
        QVERIFY(!SaveFileExclusively(kept, "new", &error));
        QVERIFY(error.endsWith("exists"));
        QFile f(kept);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("good"));
    }

    void compare()
    {
        CardImage first = Sample(), second = Sample();
        QVERIFY(Compare(first, second).Equal());
        second.SetReadBy(4, std::nullopt);
        second.SetByte(4, 15, 0x99);
        second.SetByte(8, 1, 0xAD);
        second.SetByte(8, 2, std::nullopt);
        second.SetByte(8, 3, 0x12);
        ImageDiff diff = Compare(first, second);
        QCOMPARE(diff.blocks, 256);
        QCOMPARE(diff.differ.size(), 2);
        QCOMPARE(diff.differ[0].block, 4);
        QCOMPARE(diff.differ[0].bytes[15], ByteDiff::Different);
        const std::array<ByteDiff, 4> eight = {ByteDiff::Same, ByteDiff::Same,
                                               ByteDiff::KnownOnlyInFirst, ByteDiff::Different};
        for (int i = 0; i < 4; ++i)
            QCOMPARE(diff.differ[1].bytes[size_t(i)], eight[size_t(i)]);
        QCOMPARE(diff.differ[1].bytes[5], ByteDiff::Same); // unknown on both sides

        // A 1K image against the 4K: blocks it lacks are unknown there.
        CardImage small(CardSize::k1K);
        for (int b = 0; b < 64; ++b)
            small.SetHex(b, first.Hex(b));
        diff = Compare(small, first);
        QCOMPARE(diff.blocks, 256);
        QCOMPARE(diff.differ.size(), 1);
        QCOMPARE(diff.differ[0].block, 255);
        QCOMPARE(diff.differ[0].bytes[0], ByteDiff::KnownOnlyInSecond);
    }
};

QTEST_MAIN(TestCardCore)
#include "tst_cardcore.moc"
