// The whole MIFARE card from the command line, over an emulated reader with a
// card whose sectors differ: a read with keys from two files, the image saved
// and opened in every format and compared; a write onto a card with other
// keys after its backup; a format; and the card taken away mid-read. The files
// refused: tests/unit/tst_cardcore.
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QTest>

#include "carddump.h"
#include "cliworld.h"
#include "democard.h"

namespace {

// Two key files, between them every public key of the demo card and no other.
const char kSite1[] = "# the doors\nA0A1A2A3A4A5\nb0b1b2b3b4b5  # key B\n\nD3F7D3F7D3F7\n";
const char kSite2[] = "AABBCCDDEEFF\n000000000000\nFFFFFFFFFFFF\n";

QString Hex(const std::array<uint8_t, 6>& key)
{
    return QString::fromStdString(emu::MifareHex(key.data(), key.size()));
}

class Files
{
public:
    explicit Files(const World& w) : dir_(w.dir.path())
    {
        Write("site1.keys", kSite1);
        Write("site2.keys", kSite2);
    }
    QString Path(const QString& name) const { return dir_ + '/' + name; }
    void Write(const QString& name, const QByteArray& text) const
    {
        QFile f(Path(name));
        f.open(QIODevice::WriteOnly);
        f.write(text);
    }
    QStringList Keys() const
    {
        return {"--keys", Path("site1.keys"), "--keys", Path("site2.keys"), "--no-default-keys"};
    }

private:
    QString dir_;
};

const QStringList kReader{"--port", "3", "--type", "4", "--mode", "5", "--json"};

emu::ReaderModel WithCard(const emu::MifareCard& card)
{
    emu::ReaderModel m;
    m.mifare.card = card;
    return m;
}

} // namespace

class TestCardCli : public QObject
{
    Q_OBJECT

private slots:
    // Every sector opened by the keys that open it, the others said; the image
    // in all three formats, each opened again; a value block read as a number.
    void dumpSaveOpenCompare()
    {
        World w;
        w.Add(3, WithCard(emu::DemoCard(emu::MifareSize::k1K)));
        Files f(w);
        const Run dump = w.Cli(QStringList{"mifare", "dump", "--output", f.Path("card.mct")} +
                               f.Keys() + kReader);
        // Two sectors no listed key opens: the image is saved all the same.
        QCOMPARE(dump.exit, 1);
        QCOMPARE(dump.lines.size(), 17);
        for (const emu::DemoSector& s : emu::DemoCardSectors(emu::MifareSize::k1K)) {
            const QJsonObject o = dump.lines[s.sector];
            const bool listed = QString(kSite1).contains(Hex(s.keyA), Qt::CaseInsensitive) ||
                                QString(kSite2).contains(Hex(s.keyA));
            QCOMPARE(o["keyA"].toString(), listed ? Hex(s.keyA) : QString());
            QCOMPARE(o["read"].toInt(), listed ? 4 : 0);
        }
        QCOMPARE(dump.lines[4]["keyB"].toString(), QStringLiteral("000000000000"));
        QCOMPARE(dump.lines[2]["keyB"].toString(), QStringLiteral("B0B1B2B3B4B5"));
        QCOMPARE(dump.lines[16]["opened"].toInt(), 14);

        // Every format back to text: JSON keeps all, the binary dump makes the
        // unknown bytes known zeros.
        for (const char* other : {"card.json", "card.mfd"}) {
            const Run to =
                w.Cli({"mifare", "convert", f.Path("card.mct"), f.Path(other), "--json"});
            QCOMPARE(to.exit, 0);
            QCOMPARE(to.lines[0]["unknownAsZero"].toInt(), QString(other) == "card.json" ? 0 : 128);
            QCOMPARE(w.Cli({"mifare", "convert", f.Path(other), f.Path("back.mct")}).exit, 0);
            const Run diff =
                w.Cli({"mifare", "diff", f.Path("card.mct"), f.Path("back.mct"), "--json"});
            QCOMPARE(diff.exit, QString(other) == "card.json" ? 0 : 1);
        }
        const Run diff =
            w.Cli({"mifare", "diff", f.Path("card.mct"), f.Path("back.mct"), "--json"});
        QCOMPARE(diff.lines.last()["differ"].toInt(), 8); // the four blocks of sectors 8 and 9
        QCOMPARE(diff.lines[0]["bytes"].toArray().size(), 16);
        QFile mct(f.Path("card.mct"));
        QVERIFY(mct.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = mct.readAll().split('\n');
        const int index = lines.indexOf("+Sector: 7") + 2; // block 29
        const Run value = w.Cli({"mifare", "value", "decode", lines[index], "--json"});
        QCOMPARE(value.lines[0]["value"].toInt(), 100);
        QCOMPARE(value.lines[0]["address"].toInt(), 1);
        // A negative value as written, not an option.
        const Run negative = w.Cli({"mifare", "value", "encode", "-5", "1", "--json"});
        QCOMPARE(negative.lines.value(0)["data"].toString(), "FBFFFFFF04000000FBFFFFFF01FE01FE");
    }

    // Onto a card with other keys: its backup first; data blocks with the
    // card's own keys (key B found where only it may write); block 0 never;
    // trailers refused that are inconsistent, half known or fixed for good
    // unless allowed.
    void restoreOntoOtherKeys()
    {
        World w;
        emu::MifareCard target(emu::MifareSize::k1K);
        target.SetTrailer(1, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}, {0x78, 0x77, 0x88, 0x69},
                          {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5});
        target.SetRaw(5, {0x55});
        emu::ReaderEmulator& r = w.Add(3, WithCard(target));
        const std::string block0 = target.RawHex(0);
        Files f(w);
        // The source: a card whose sector 1 holds data, sector 3 a trailer that
        // fixes its access bits for good, sector 6 a key B unknown, sector 7
        // inconsistent access bits.
        emu::MifareCard source(emu::MifareSize::k1K);
        source.SetRawHex(0, "0102030404080400626364656667686A");
        source.SetRawHex(4, "00112233445566778899AABBCCDDEEFF");
        source.SetRawHex(15, "FFFFFFFFFFFF778F0869FFFFFFFFFFFF");
        source.SetRawHex(31, "FFFFFFFFFFFFFF0781AAFFFFFFFFFFFF");
        QString text = QString::fromStdString(emu::CardDumpText(source));
        text.replace("FFFFFFFFFFFFFF078069FFFFFFFFFFFF\n+Sector: 7",
                     "FFFFFFFFFFFFFF078069------------\n+Sector: 7");
        f.Write("source.mct", text.toUtf8());

        const QStringList restore = QStringList{"mifare", "restore", f.Path("source.mct"),
                                                "--backup", f.Path("backup.json")} +
                                    f.Keys() + kReader;
        Run run = w.Cli(restore);
        QCOMPARE(run.exit, 1);
        QVERIFY(QFile::exists(f.Path("backup.json")));
        QCOMPARE(r.Model().mifare.card->RawHex(4), std::string("00112233445566778899AABBCCDDEEFF"));
        QCOMPARE(r.Model().mifare.card->RawHex(5), std::string(32, '0'));
        QCOMPARE(r.Model().mifare.card->RawHex(0), block0);
        QStringList reasons;
        for (const QJsonObject& o : run.lines)
            for (const QJsonValue& s : o["skipped"].toArray())
                reasons
                    << QStringLiteral("%1 %2").arg(s["block"].toInt()).arg(s["reason"].toString());
        QCOMPARE(reasons,
                 (QStringList{"15 it would fix the sector for good; allow that to write it",
                              "27 the image does not know both its keys",
                              "31 access bits inconsistent: the sector would be blocked"}));
        QCOMPARE(run.lines.last()["backup"].toString(), f.Path("backup.json"));

        // The backup is the card as it was.
        QFile backup(f.Path("backup.json"));
        QVERIFY(backup.open(QIODevice::ReadOnly));
        const QJsonArray blocks = QJsonDocument::fromJson(backup.readAll())["blocks"].toArray();
        QCOMPARE(blocks[5]["hex"].toString(), QStringLiteral("55") + QString(30, '0'));
        QCOMPARE(blocks[7]["hex"].toString(), QStringLiteral("A0A1A2A3A4A578778869B0B1B2B3B4B5"));
        // Allowed, the trailer that fixes the access bits goes too; a backup
        // that exists is never written over.
        QStringList again = restore;
        again.replace(again.indexOf(f.Path("backup.json")), f.Path("backup2.json"));
        QCOMPARE(w.Cli(again + QStringList{"--allow-permanent"}).exit, 1);
        QCOMPARE(r.Model().mifare.card->RawHex(15).substr(12, 8), std::string("778F0869"));
    }

    // Every sector back to its delivery state with the keys found, block 0
    // aside, the backup in the state folder.
    void format()
    {
        World w;
        emu::MifareCard card(emu::MifareSize::k1K);
        card.SetRaw(5, {0x55});
        card.SetTrailer(2, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}, {0x78, 0x77, 0x88, 0x69},
                        {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5});
        card.SetRaw(9, {0x99});
        emu::ReaderEmulator& r = w.Add(3, WithCard(card));
        Files f(w);
        const Run run = w.Cli(QStringList{"mifare", "format"} + f.Keys() + kReader);
        QCOMPARE(run.exit, 0);
        const emu::ReaderModel model = r.Model();
        const emu::MifareCard& now = *model.mifare.card;
        QCOMPARE(now.RawHex(0), card.RawHex(0));
        for (int block : {5, 9})
            QCOMPARE(now.RawHex(block), std::string(32, '0'));
        for (int sector = 0; sector < 16; ++sector)
            QCOMPARE(now.RawHex(4 * sector + 3), std::string("FFFFFFFFFFFFFF078069FFFFFFFFFFFF"));
        QVERIFY(QFileInfo(run.lines.last()["backup"].toString())
                    .absolutePath()
                    .endsWith("state/tesmora/backups"));
    }

    // A lost answer or a broken frame is asked for once more: the read goes on
    // whole.
    void answerAskedForAgain_data()
    {
        QTest::addColumn<int>("fault");
        QTest::newRow("no answer") << int(emu::Fault::NoAnswer);
        QTest::newRow("bad checksum") << int(emu::Fault::BadChecksum);
        QTest::newRow("short frame") << int(emu::Fault::ShortByOne);
    }

    void answerAskedForAgain()
    {
        QFETCH(int, fault);
        World w;
        emu::ReaderEmulator& r = w.Add(3, WithCard(emu::MifareCard(emu::MifareSize::k1K)));
        r.ArmFaultFor('h', emu::Fault(fault));
        const Run run = w.Cli(QStringList{"mifare", "dump", "--size", "1k"} + kReader);
        QCOMPARE(run.exit, 0);
        QCOMPARE(run.lines.last()["complete"].toBool(), true);
    }

    // The card taken away in the middle of a read, the reader refusing or
    // silent: the run stops where it is, keeps what it read, sends mode off and
    // frees the port.
    void cardTakenAway_data()
    {
        QTest::addColumn<bool>("silent");
        QTest::newRow("refused") << false;
        QTest::newRow("no answer") << true;
    }

    void cardTakenAway()
    {
        QFETCH(bool, silent);
        World w;
        emu::ReaderModel m = WithCard(emu::MifareCard(emu::MifareSize::k1K));
        m.mifare.removeCardAfter = 24;
        m.mifare.noCardSilent = silent;
        emu::ReaderEmulator& r = w.Add(3, m);
        Files f(w);
        const Run run = w.Cli(QStringList{"mifare", "dump", "--output", f.Path("part.mct")} +
                              f.Keys() + kReader);
        QCOMPARE(run.exit, 1);
        QCOMPARE(run.lines.last()["end"].toString(), QStringLiteral("card gone"));
        QVERIFY(run.lines.last()["endSector"].toInt() > 0);
        QCOMPARE(r.ReceivedPayloads().back(), std::string("H01b00"));
        emu::HeldPort again(r.LinkPath());
        QVERIFY(again.Held());
        QFile part(f.Path("part.mct"));
        QVERIFY(part.open(QIODevice::ReadOnly));
        QVERIFY(part.readAll().contains("FFFFFFFFFFFFFF078069"));
    }
};

QTEST_GUILESS_MAIN(TestCardCli)
#include "tst_cardcli.moc"
