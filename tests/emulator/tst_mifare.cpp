// The emulated MIFARE reader and its Classic 4K card, driven from the tool's side of the pty.
// Expected answers are written out here, down to the checksum, not taken from the emulator.

#include <QTemporaryDir>
#include <QTest>

#include <string>

#include "readeremulator.h"
#include "toolport.h"

namespace {

const std::string kZeros(32, '0');
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

// Sends each "payload expected-fields" step (separated by "; ") as reader A01; a lone status
// for "h" or "i" stands for that status and 32 zeros. Answers the first mismatch, or nothing.
std::string Run(const std::string& link, const QString& steps)
{
    ToolPort tool(link);
    if (!tool.ok())
        return "cannot open " + link;
    for (const QString& step : steps.split("; ", Qt::SkipEmptyParts)) {
        const std::string payload = step.section(' ', 0, 0).toStdString();
        std::string fields = step.section(' ', 1).toStdString();
        const bool block = payload[0] == 'h' || payload[0] == 'i';
        if (block && fields.size() == 2)
            fields += kZeros;
        const std::string got = tool.Exchange("A01" + payload, 300);
        if (got.size() != (block ? 42u : 10u) ||
            got != AnswerFrame("A01" + payload.substr(0, 1) + fields))
            return payload + " answered " +
                   QByteArray::fromStdString(got).toPercentEncoding().toStdString();
    }
    return {};
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
    const std::string error = Run(r.LinkPath(), steps);
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
    const std::string error = Run(r.LinkPath(), steps);
    QVERIFY2(error.empty(), error.c_str());
    const std::optional<std::string> got = emu::MifareCardId(r.Model());
    QCOMPARE(got.has_value(), id.size() > 8);
    QCOMPARE(QString::fromStdString(got.value_or("")), id.mid(9));
}

QTEST_GUILESS_MAIN(TestMifare)
#include "tst_mifare.moc"
