// The emulated MIFARE reader and its Classic 4K card, driven from the tool's side of the pty.
// Expected answers are written out here, down to the checksum, not taken from the emulator.

#include <QTemporaryDir>
#include <QTest>

#include <string>
#include <vector>

#include "democard.h"
#include "readeremulator.h"
#include "toolport.h"

namespace {

// Sector 1's trailer with byte 8 off by one bit: a write the fresh conditions allow.
const QString kBlockSector1 =
    "i6007FFFFFFFFFFFFFF078169FFFFFFFFFFFF 00000000000000FF078169000000000000";

// Card C0FFEE15 with set-ups in sectors the fresh-card checks leave alone.
emu::ReaderModel Prepared(bool card, bool* ok)
{
    emu::ReaderModel m;
    *ok = true;
    if (!card)
        return m;
    emu::MifareCard c({0xC0, 0xFF, 0xEE, 0x15});
    const std::pair<int, const char*> raw[] = {
        {11, "FFFFFFFFFFFFFF0F0069FFFFFFFFFFFF"}, // sector 2: trailer 000
        {15, "FFFFFFFFFFFF7F0F0869FFFFFFFFFFFF"}, // sector 3: trailer 010
        {16, "F00DFACE0123456789ABCDEF00000000"},
        {19, "FFFFFFFFFFFFF78F0069B0B1B2B3B4B5"}, // sector 4: trailer 100
        {21, "00112233445566778899AABBCCDDEEFF"},
        {22, "102132435465768798A9BACBDCEDFE0F"},
        {143, "FFFFFFFFFFFF5965AA69B0B1B2B3B4B5"}, // sector 32: 000, 111, 100; trailer 011
        {254, "000102030405060708090A0B0C0D0E0F"},
        {255, "A0A1A2A3A4A5FF078069FFFFFFFFFFFF"}, // sector 39: key A A0A1A2A3A4A5
    };
    for (const auto& [block, hex] : raw)
        *ok = *ok && c.SetRawHex(block, hex);
    m.mifare.card = c;
    return m;
}

} // namespace

class TestMifare : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;

private slots:
    void commands_data();
    void commands();
    void cardId_data();
    void cardId();
    void demoKeys_data();
    void demoKeys();
};

void TestMifare::commands_data()
{
    QTest::addColumn<bool>("card");
    QTest::addColumn<QString>("steps");
    const QString on = "b01 00; fFFFFFFFFFFFF 00; ", z(32, '0'), ones(32, '1');
    const QString fresh = "000000000000FF078069FFFFFFFFFFFF";
    const QString block0 = "C0FFEE15C41802004659255849102302"; // UID, BCC, SAK, ATQA, maker
    const QString data = "000102030405060708090A0B0C0D0E0F";

    QTest::newRow("fresh card") << true
                                << on + "h6000 00" + block0 + "; h6003 00" + fresh + "; h60EF 00" +
                                       fresh + "; h6004 00" + z + "; h6100 03";
    QTest::newRow("block 0 read-only") << true << on + "i6000" + ones + " 04; h6000 00" + block0;
    QTest::newRow("mode off") << true
                              << "fFFFFFFFFFFFF 00; h6004 05; i6004" + ones +
                                     " 05; b01 00; h6004 00" + z + "; b00 00; h6004 05; b02 01";
    QTest::newRow("no card") << false
                             << on + "h6000 02; i6004" + ones + " 02; i60FFFFFFFFFFFF07" + fresh +
                                    " 02";
    QTest::newRow("bad parameters")
        << true
        << on + "h60 01; h6200 01; h600a 01; i6004" + ones.left(31) + " 01; i60FFFFFFFFFFFF04" +
               ones + " 01; fffffffffffff 01; h6000 03; fFFFFFFFFFFF 01";
    // Sector 1 to data 100 (read A|B, write B) and trailer 011, through the trailer form
    // while a wrong key is loaded: it must use the old key it carries.
    const QString sector1 = "00000000000078778869000000000000";
    QTest::newRow("round trip")
        << true
        << "b01 00; f123456789ABC 00; i60FFFFFFFFFFFF07A0A1A2A3A4A578778869B0B1B2B3B4B5 00" +
               sector1 + "; fFFFFFFFFFFFF 00; h6004 03; fA0A1A2A3A4A5 00; h6004 00" + z +
               "; i6004" + data + " 04; h6104 03; fB0B1B2B3B4B5 00; i6104" + data + " 00" + data +
               "; h6004 03; h6107 00" + sector1 + "; i60A0A1A2A3A4A507" + fresh +
               " 04; fA0A1A2A3A4A5 00; h6004 00" + data + "; h6007 00" + sector1;
    // Trailer 100: key B writes both keys but not the access bits.
    QTest::newRow("partial trailer write")
        << true
        << "b01 00; fB0B1B2B3B4B5 00; i6113A0A1A2A3A4A5FF078069C0C1C2C3C4C5 "
           "00000000000000F78F0069000000000000; h6113 03; fC0C1C2C3C4C5 00; h6110 "
           "00F00DFACE0123456789ABCDEF00000000; fA0A1A2A3A4A5 00; h6013 "
           "00000000000000F78F0069000000000000";
    QTest::newRow("key B where readable")
        << true
        << on + "h6104 03; h6108 03; h610C 03; h600B 00000000000000FF0F0069FFFFFFFFFFFF; h600F "
                "000000000000007F0F0869FFFFFFFFFFFF; fB0B1B2B3B4B5 00; h6110 "
                "00F00DFACE0123456789ABCDEF00000000";
    QTest::newRow("blocked sector")
        << true << on + kBlockSector1 + "; h6004 03; h6007 03; i6007" + fresh + " 03; h6008 00" + z;
    // Sector 32: blocks 0-4 data 000, 5-9 111, 10-14 100, trailer 011.
    QTest::newRow("16-block sector")
        << true
        << on + "h6084 00" + z + "; h6085 04; h6087 04; h6089 04; h608A 00" + z + "; h608E 00" + z +
               "; i608E" + data +
               " 04; h608F 000000000000005965AA69000000000000; "
               "fB0B1B2B3B4B5 00; i618A" +
               data + " 00" + data + "; i6187" + data + " 04; i6184" + data + " 00" + data;
}

void TestMifare::commands()
{
    QFETCH(bool, card);
    QFETCH(QString, steps);
    bool ok = false;
    emu::ReaderEmulator r(Prepared(card, &ok), {true, 1});
    QVERIFY(ok);
    QVERIFY2(r.Start(dir_.path().toStdString(), 3), r.LastError().c_str());
    const std::string error = RunSteps(r.LinkPath(), steps);
    QVERIFY2(error.empty(), error.c_str());
}

void TestMifare::cardId_data()
{
    QTest::addColumn<bool>("card");
    QTest::addColumn<QString>("id"); // location (sector, block, byte, key type), then the ID
    QTest::addColumn<QString>("steps");
    const QString none;
    QTest::newRow("UID") << true << "00000000 C0FFEE15" << none;
    QTest::newRow("within a block") << true << "05010400 44556677" << none;
    QTest::newRow("into the next block") << true << "05010E00 EEFF1021" << none;
    QTest::newRow("offset past a block") << true << "05011400 54657687" << none;
    QTest::newRow("out of the sector") << true << "05030E00" << none;
    QTest::newRow("key B of the EEPROM") << true << "04000001 F00DFACE"
                                         << "d6104B0B1B2B3B4B5 00";
    QTest::newRow("key B not stored") << true << "04000001" << none;
    QTest::newRow("key A wrong") << true << "00000000"
                                 << "d6000A0A1A2A3A4A5 00";
    QTest::newRow("16-block sector") << true << "270E0C00 0C0D0E0F"
                                     << "d6027A0A1A2A3A4A5 00";
    QTest::newRow("bad key storage changes nothing")
        << true << "00000000 C0FFEE15"
        << "d6028A0A1A2A3A4A5 01; d6200A0A1A2A3A4A5 01; d60 01; d6000a0a1a2a3a4a5 01; "
           "d6000A0A1A2A3A4 01; d6000A0A1A2A3A4A5A6 01";
    QTest::newRow("no card") << false << "00000000" << none;
    QTest::newRow("blocked sector") << true << "01000000"
                                    << "b01 00; fFFFFFFFFFFFF 00; " + kBlockSector1;
}

void TestMifare::cardId()
{
    QFETCH(bool, card);
    QFETCH(QString, id);
    QFETCH(QString, steps);
    bool ok = false;
    emu::ReaderModel m = Prepared(card, &ok);
    QVERIFY(ok);
    m.idSector = id.mid(0, 2).toStdString();
    m.idBlock = id.mid(2, 2).toStdString();
    m.idByte = id.mid(4, 2).toStdString();
    m.idKeyType = id.mid(6, 2).toStdString();
    emu::ReaderEmulator r(m, {true, 1});
    QVERIFY2(r.Start(dir_.path().toStdString(), 3), r.LastError().c_str());
    const std::string error = RunSteps(r.LinkPath(), steps);
    QVERIFY2(error.empty(), error.c_str());
    const std::optional<std::string> got = emu::MifareCardId(r.Model());
    QCOMPARE(got.has_value(), id.size() > 8);
    QCOMPARE(QString::fromStdString(got.value_or("")), id.mid(9));
}

// Each sector of the demo card opens with exactly the keys its table row gives, no readable
// key B opens anything, and the public default keys leave just these sectors closed.
void TestMifare::demoKeys_data()
{
    QTest::addColumn<int>("sectors");
    QTest::addColumn<QList<int>>("closed");
    QTest::newRow("1K") << 16 << QList<int>{8, 9};
    QTest::newRow("4K") << 40 << QList<int>{8, 9, 39};
}

void TestMifare::demoKeys()
{
    QFETCH(int, sectors);
    QFETCH(QList<int>, closed);
    const auto size = sectors == 16 ? emu::MifareSize::k1K : emu::MifareSize::k4K;
    const emu::MifareCard card = emu::DemoCard(size);
    const std::vector<emu::DemoSector> table = emu::DemoCardSectors(size);
    QCOMPARE(int(table.size()), sectors);
    std::vector<emu::MifareKey> keys(6); // the public default keys, then the table's
    const std::string hex =
        "FFFFFFFFFFFF000000000000A0A1A2A3A4A5B0B1B2B3B4B5D3F7D3F7D3F7AABBCCDDEEFF";
    for (size_t k = 0; k < 6; ++k)
        QVERIFY(emu::MifareParseHex(hex.substr(12 * k, 12), keys[k].data(), 6));
    for (const emu::DemoSector& d : table)
        keys.insert(keys.end(), {d.keyA, d.keyB});
    QList<int> shut;
    for (const emu::DemoSector& d : table) {
        bool opened = false;
        for (size_t k = 0; k < keys.size(); ++k)
            for (const auto t : {emu::MifareKeyType::A, emu::MifareKeyType::B}) {
                emu::MifareBlock out{};
                const bool ok = card.Read(emu::MifareCard::TrailerOf(d.sector), t, keys[k], &out) ==
                                emu::kMifareOk;
                const bool want = t == emu::MifareKeyType::A ? keys[k] == d.keyA
                                                             : keys[k] == d.keyB && !d.keyBReadable;
                QVERIFY2(ok == want, qPrintable(QString("sector %1, key %2").arg(d.sector).arg(k)));
                opened = opened || (ok && k < 6);
            }
        if (!opened)
            shut << d.sector;
    }
    QCOMPARE(shut, closed);
}

QTEST_GUILESS_MAIN(TestMifare)
#include "tst_mifare.moc"
