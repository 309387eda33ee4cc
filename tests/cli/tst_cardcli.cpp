// The whole MIFARE card from the command line, over an emulated reader with a
// card whose sectors differ: a read with keys from two files, the image saved
// and opened in every format and compared; a write onto a card with other
// keys after its backup; a format; and the card taken away mid-read. The files
// refused: tests/unit/tst_cardcore.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include "carddump.h"
#include "cliworld.h"
#include "democard.h"
#include "mifare/dumpfile.h"

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

int Mode(const QString& path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

QByteArray Contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

int Count(const emu::ReaderEmulator& r, const std::string& prefix)
{
    int n = 0;
    for (const std::string& p : r.ReceivedPayloads())
        n += p.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

// An image whose every data block (block 0 aside) differs from a fresh card's, saved as source.mct.
emu::MifareCard EveryDataBlock(const Files& f)
{
    emu::MifareCard source(emu::MifareSize::k1K);
    for (int block = 1; block < 64; ++block)
        if (block % 4 != 3)
            source.SetRaw(block, {0x42, uint8_t(block)});
    f.Write("source.mct", QByteArray::fromStdString(emu::CardDumpText(source)));
    return source;
}

// A restore's counts add up to the card's blocks, block 0 aside.
int Counted(const QJsonObject& summary)
{
    return summary["written"].toInt() + summary["unchanged"].toInt() + summary["skipped"].toInt() +
           summary["notTried"].toInt();
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
        // Saved through a link, which stays.
        QVERIFY(QFile::link("card.mct", f.Path("link.mct")));
        const Run dump = w.Cli(QStringList{"mifare", "dump", "--output", f.Path("link.mct")} +
                               f.Keys() + kReader);
        QVERIFY(QFileInfo(f.Path("link.mct")).isSymLink());
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
    // silent: the run stops where it is, keeps what it read beside the output
    // (a whole dump there stays as it was), sends mode off and frees the port.
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
        const QByteArray whole = "+Sector: 0\n" + QByteArray(32, 'A') + "\n";
        f.Write("card.mct", whole);
        const Run run = w.Cli(QStringList{"mifare", "dump", "--output", f.Path("card.mct")} +
                              f.Keys() + kReader);
        QCOMPARE(run.exit, 1);
        QCOMPARE(run.lines.last()["end"].toString(), QStringLiteral("card gone"));
        QVERIFY(run.lines.last()["endSector"].toInt() > 0);
        QCOMPARE(run.lines.last()["partial"].toString(), f.Path("card.mct.partial"));
        QCOMPARE(r.ReceivedPayloads().back(), std::string("H01b00"));
        QVERIFY(emu::HeldPort(r.LinkPath()).Held());
        QFile part(f.Path("card.mct.partial"));
        QVERIFY(part.open(QIODevice::ReadOnly));
        QVERIFY(part.readAll().contains("FFFFFFFFFFFFFF078069"));
        QCOMPARE(Contents(f.Path("card.mct")), whole);
        if (silent)
            return;
        // A link someone left at the side file's name is not followed.
        World w2;
        w2.Add(3, m);
        Files f2(w2);
        f2.Write("victim", "mine\n");
        QVERIFY(QFile::link(f2.Path("victim"), f2.Path("card.mct.partial")));
        const Run linked = w2.Cli(QStringList{"mifare", "dump", "--output", f2.Path("card.mct")} +
                                  f2.Keys() + kReader);
        QCOMPARE(linked.exit, 1);
        QVERIFY2(linked.out.contains("a symbolic link, not followed"), linked.out.constData());
        QCOMPARE(Contents(f2.Path("victim")), QByteArray("mine\n"));
    }

    // What the user has is never replaced by a run that read nothing or was
    // stopped: the file stays as it was, and the run says so.
    void dumpKeepsAGoodFile_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("signal"); // sent after 1.5 s; 0 none
        QTest::addColumn<int>("exit");
        QTest::newRow("no reader answers") << QStringList{"--id", "99"} << 0 << 1;
        QTest::newRow("no sector opens") << QStringList{"--keys", "WRONG"} << 0 << 1;
        QTest::newRow("Ctrl-C") << QStringList{} << SIGINT << -2;
        QTest::newRow("SIGTERM") << QStringList{} << SIGTERM << -2;
    }

    void dumpKeepsAGoodFile()
    {
        QFETCH(QStringList, options);
        QFETCH(int, signal);
        QFETCH(int, exit);
        World w;
        w.Add(3, WithCard(emu::DemoCard(emu::MifareSize::k1K)));
        Files f(w);
        f.Write("wrong.keys", "123456789ABC\n");
        options.replaceInStrings("WRONG", f.Path("wrong.keys"));
        f.Write("door.mct", "the good dump\n");
        const QStringList args =
            QStringList{"mifare", "dump", "--output", f.Path("door.mct")} + kReader + options +
            (options.contains("--keys") ? QStringList{"--no-default-keys"} : f.Keys());
        QProcess p;
        w.Begin(p, args);
        if (signal) {
            QTest::qWait(1500);
            ::kill(pid_t(p.processId()), signal);
        }
        const Run run = World::Finish(p);
        QCOMPARE(run.exit, exit);
        QCOMPARE(Contents(f.Path("door.mct")), QByteArray("the good dump\n"));
        if (!signal) {
            QCOMPARE(run.lines.last()["saved"].toBool(true), false);
            QVERIFY(!run.lines.last().contains("output"));
        }
    }

    // Ctrl-C or SIGTERM in the middle of a restore's writes: it stops between
    // two blocks, and still names the backup and counts what it did.
    void signalDuringRestore_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGTERM") << SIGTERM;
    }

    void signalDuringRestore()
    {
        QFETCH(int, signal);
        World w;
        emu::ReaderEmulator& r = w.Add(3, WithCard(emu::MifareCard(emu::MifareSize::k1K)));
        Files f(w);
        const emu::MifareCard source = EveryDataBlock(f);
        QProcess p;
        w.Begin(p, QStringList{"mifare", "restore", f.Path("source.mct")} + f.Keys() + kReader);
        QTRY_VERIFY_WITH_TIMEOUT(Count(r, "H01i") >= 3, 30000);
        ::kill(pid_t(p.processId()), signal);
        const Run run = World::Finish(p);
        QCOMPARE(run.exit, -2);
        const QJsonObject summary =
            run.lines.last()["end"].isString() ? run.lines.last() : run.lines[run.lines.size() - 2];
        QCOMPARE(summary["end"].toString(), QStringLiteral("stopped"));
        QVERIFY(summary["written"].toInt() >= 3);
        QVERIFY(summary["notTried"].toInt() > 0);
        // The block in the pause when the signal came was never sent: not tried, not failed.
        QCOMPARE(summary["skipped"].toInt(), 0);
        QCOMPARE(Counted(summary), 63);
        const QString backup = summary["backup"].toString();
        QVERIFY2(QFile::exists(backup), qPrintable(backup));
        QCOMPARE(Mode(backup), 0600);
        // Every block is the old one or the new one whole.
        for (int block = 1; block < 64; ++block)
            if (block % 4 != 3) {
                const std::string now = r.Model().mifare.card->RawHex(block);
                QVERIFY(now == source.RawHex(block) || now == std::string(32, '0'));
            }
    }

    // Every file that holds keys is the user's alone, under umask 022; a
    // backup folder open to others is closed, and the run says so.
    void filesThatHoldKeysArePrivate()
    {
        const mode_t old = ::umask(022);
        World w;
        w.Add(3, WithCard(emu::MifareCard(emu::MifareSize::k1K)));
        Files f(w);
        const QString backups = w.dir.filePath("state/tesmora/backups");
        QVERIFY(QDir().mkpath(backups));
        QVERIFY(QFile::setPermissions(backups, QFile::Permissions(0x7755)));
        const Run format = w.Cli(QStringList{"mifare", "format"} + f.Keys() + kReader);
        const Run dump =
            w.Cli(QStringList{"mifare", "dump", "--output", f.Path("d.json")} + f.Keys() + kReader);
        ::umask(old);
        QCOMPARE(format.exit, 0);
        QCOMPARE(Mode(backups), 0700);
        QVERIFY(format.lines.first()["notice"].toString().contains("0700"));
        QCOMPARE(Mode(format.lines.last()["backup"].toString()), 0600);
        QCOMPARE(dump.exit, 0);
        QCOMPARE(Mode(f.Path("d.json")), 0600);
    }

    // A 4K card without --size is read, formatted and restored as the 4K card
    // it is; where block 0 cannot be read, a dump assumes 1K and says so, and
    // a write refuses.
    void cardSizeFromTheCard_data()
    {
        QTest::addColumn<QString>("verb");
        QTest::addColumn<bool>("block0Readable");
        QTest::addColumn<int>("exit");
        // The format's backup is the card read whole, all 40 sectors of it.
        QTest::newRow("format") << "format" << true << 0;
        QTest::newRow("restore a 1K image") << "restore" << true << 1;
        QTest::newRow("dump, block 0 unread") << "dump" << false << 1;
        QTest::newRow("format, block 0 unread") << "format" << false << 2;
    }

    void cardSizeFromTheCard()
    {
        QFETCH(QString, verb);
        QFETCH(bool, block0Readable);
        QFETCH(int, exit);
        World w;
        emu::MifareCard card(emu::MifareSize::k4K);
        card.SetRaw(20 * 4 + 1, {0x20});
        if (!block0Readable)
            card.SetTrailer(0, {1, 2, 3, 4, 5, 6}, {0xFF, 0x07, 0x80, 0x69}, {1, 2, 3, 4, 5, 6});
        emu::ReaderEmulator& r = w.Add(3, WithCard(card));
        Files f(w);
        f.Write("one.mct", QByteArray::fromStdString(
                               emu::CardDumpText(emu::MifareCard(emu::MifareSize::k1K))));
        QStringList args{"mifare", verb};
        if (verb == "restore")
            args << f.Path("one.mct");
        const Run run = w.Cli(args + f.Keys() + kReader);
        QCOMPARE(run.exit, exit);
        const QJsonObject summary = run.lines.last();
        if (verb == "dump") {
            QCOMPARE(summary["sectors"].toInt(), block0Readable ? 40 : 16);
            QCOMPARE(summary["sizeAssumed"].toBool(), !block0Readable);
            return;
        }
        const bool wrote = exit == 0;
        QCOMPARE(Count(r, "H01i") > 0, wrote);
        QCOMPARE(r.Model().mifare.card->RawHex(81).substr(0, 2), std::string(wrote ? "00" : "20"));
        QCOMPARE(summary.contains("backup"), wrote);
        if (wrote)
            QCOMPARE(mifare::LoadDump(summary["backup"].toString())->Blocks(), 256);
    }

    // Checked before the card is touched: nothing is sent.
    void refusedBeforeTheCard_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("says");
        QTest::newRow("--backup is the source")
            << QStringList{"restore", "SRC", "--backup", "LINK"} << "the image to write";
        QTest::newRow("--backup exists")
            << QStringList{"restore", "SRC", "--backup", "SRC2"} << "exists";
        QTest::newRow("--backup a link to nothing")
            << QStringList{"format", "--backup", "DANGLING"} << "exists";
        QTest::newRow("--backup folder missing")
            << QStringList{"format", "--backup", "/nonexistent/b.json"} << "no folder";
        QTest::newRow("--output folder missing")
            << QStringList{"dump", "--output", "/nonexistent/d.mct"} << "no folder";
        QTest::newRow("--output a folder")
            << QStringList{"dump", "--output", "DIR"} << "a folder, not a file";
        QTest::newRow("--output a pipe")
            << QStringList{"dump", "--output", "PIPE"} << "not a regular file";
        QTest::newRow("--output a link into no folder")
            << QStringList{"dump", "--output", "NOWHERE"} << "no folder";
        QTest::newRow("--size 2k") << QStringList{"dump", "--size", "2k"} << "1k, 4k or auto";
        QTest::newRow("--size 4kb") << QStringList{"format", "--size", "4kb"} << "1k, 4k or auto";
        QTest::newRow("--size against the image")
            << QStringList{"restore", "SRC", "--size", "4k"} << "--size says 4K";
        QTest::newRow("--keys a device")
            << QStringList{"dump", "--keys", "/dev/zero"} << "not a regular file";
        QTest::newRow("format --format")
            << QStringList{"format", "--format", "mfd"} << "Unknown option 'format'";
    }

    void refusedBeforeTheCard()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, says);
        World w;
        emu::ReaderEmulator& r = w.Add(3, WithCard(emu::MifareCard(emu::MifareSize::k1K)));
        Files f(w);
        const QByteArray image =
            QByteArray::fromStdString(emu::CardDumpText(emu::MifareCard(emu::MifareSize::k1K)));
        f.Write("src.mct", image);
        f.Write("src2.mct", image);
        QFile::link(f.Path("src.mct"), f.Path("link.mct"));
        args.replaceInStrings(QRegularExpression("^SRC$"), f.Path("src.mct"));
        args.replaceInStrings("SRC2", f.Path("src2.mct"));
        args.replaceInStrings("LINK", f.Path("link.mct"));
        QFile::link(f.Path("nothing.json"), f.Path("dangling.json"));
        args.replaceInStrings("DANGLING", f.Path("dangling.json"));
        ::mkfifo(QFile::encodeName(f.Path("pipe.mct")).constData(), 0600);
        QDir().mkdir(f.Path("dir.mct"));
        args.replaceInStrings("DIR", f.Path("dir.mct"));
        args.replaceInStrings("PIPE", f.Path("pipe.mct"));
        QFile::link("/nonexistent/d.mct", f.Path("nowhere.mct"));
        args.replaceInStrings("NOWHERE", f.Path("nowhere.mct"));
        const Run run = w.Cli(QStringList{"mifare"} + args + f.Keys() + kReader);
        QCOMPARE(run.exit, 2);
        QVERIFY2(QString::fromUtf8(run.out).contains(says), run.out.constData());
        QVERIFY(r.ReceivedPayloads().empty());
        QCOMPARE(Contents(f.Path("src.mct")), image);
    }

    // With no --output, stdout is the image alone, which the tool itself reads
    // back; what is said about it goes to stderr.
    void dumpToStdout()
    {
        World w;
        w.Add(3, WithCard(emu::DemoCard(emu::MifareSize::k1K)));
        Files f(w);
        QStringList args = QStringList{"mifare", "dump"} + f.Keys() + kReader;
        args.removeAll("--json");
        const Run run = w.Cli(args);
        QCOMPARE(run.exit, 1); // a sector no listed key opens
        QString error;
        QVERIFY2(mifare::ReadDump(run.out, mifare::DumpFormat::Mct, &error), qPrintable(error));
        QVERIFY(run.err.contains("sector 0 read:"));
        QVERIFY(run.err.contains("of 16 sectors opened"));
        // A full disk under stdout loses the image: said, exit 1.
        QProcess full;
        full.setStandardOutputFile("/dev/full");
        w.Begin(full, args);
        const Run lost = World::Finish(full);
        QCOMPARE(lost.exit, 1);
        QVERIFY2(lost.err.contains("cannot write the image to stdout"), qPrintable(lost.err));
    }

    // The card's keys from the lists before the image's own; the key that
    // opened the last sector first on the next: each is loaded only where needed.
    void keysTriedInOrder()
    {
        World w;
        const auto keyed = [](const emu::MifareKey& b) {
            emu::MifareCard card(emu::MifareSize::k1K);
            for (int s = 0; s < 16; ++s)
                card.SetTrailer(s, {0xD3, 0xF7, 0xD3, 0xF7, 0xD3, 0xF7}, {0xFF, 0x07, 0x80, 0x69},
                                b);
            return card;
        };
        emu::ReaderEmulator& r = w.Add(3, WithCard(keyed({0xD3, 0xF7, 0xD3, 0xF7, 0xD3, 0xF7})));
        Files f(w);
        // The image's own key B is another: a write that tried it first would load it.
        emu::MifareCard image = keyed({0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F});
        image.SetRaw(4, {0x44});
        f.Write("image.mct", QByteArray::fromStdString(emu::CardDumpText(image)));
        // site1 lists A0A1A2A3A4A5 first, then B0..., then D3F7...: each is loaded once.
        QCOMPARE(w.Cli(QStringList{"mifare", "dump"} + f.Keys() + kReader).exit, 0);
        QCOMPARE(Count(r, "H01fA0A1A2A3A4A5"), 1);
        r.ClearTrace();
        const Run restore =
            w.Cli(QStringList{"mifare", "restore", f.Path("image.mct"), "--allow-permanent"} +
                  f.Keys() + kReader);
        QCOMPARE(restore.exit, 0);
        QCOMPARE(Count(r, "H01fA0A1A2A3A4A5"), 1);
        QCOMPARE(Count(r, "H01f0A0B0C0D0E0F"), 0);
    }

    // A write whose answer says 00 but echoes other data is not written; a
    // card taken away mid-write ends as "card gone", the rest never tried.
    void writeNotDone_data()
    {
        QTest::addColumn<bool>("otherEcho");
        QTest::addColumn<QString>("end");
        QTest::newRow("other data echoed") << true << "write failed";
        QTest::newRow("card taken away") << false << "card gone";
    }

    void writeNotDone()
    {
        QFETCH(bool, otherEcho);
        QFETCH(QString, end);
        World w;
        emu::ReaderModel m = WithCard(emu::MifareCard(emu::MifareSize::k1K));
        if (!otherEcho)
            m.mifare.removeCardAfter = 120; // past the backup's read, in the writes
        emu::ReaderEmulator& r = w.Add(3, m);
        if (otherEcho)
            r.ArmFaultFor('i', emu::Fault::OtherData);
        Files f(w);
        EveryDataBlock(f);
        const Run run =
            w.Cli(QStringList{"mifare", "restore", f.Path("source.mct")} + f.Keys() + kReader);
        QCOMPARE(run.exit, 1);
        const QJsonObject summary = run.lines.last();
        QCOMPARE(summary["end"].toString(), end);
        if (otherEcho) // the first write stops the run, counted as not written
            QCOMPARE(summary["written"].toInt(), 0);
        QVERIFY(summary["skipped"].toInt() >= 1);
        QVERIFY(summary["notTried"].toInt() > 0);
        QCOMPARE(Counted(summary), 63);
    }

    // A relative XDG_STATE_HOME is no state folder: backups go under ~/.local/state.
    void relativeStateHomeIgnored()
    {
        World w;
        w.Add(3, WithCard(emu::MifareCard(emu::MifareSize::k1K)));
        Files f(w);
        QProcess p;
        w.Begin(p, QStringList{"mifare", "format"} + f.Keys() + kReader, "relative/state",
                w.dir.filePath("home"));
        const Run run = World::Finish(p);
        QCOMPARE(run.exit, 0);
        QVERIFY(run.lines.last()["backup"].toString().startsWith(
            w.dir.filePath("home/.local/state/tesmora/backups/card-")));
    }

    // On a terminal the run counts sectors, and the key it tries during a
    // search; never commands.
    void progressBySectors()
    {
        World w;
        w.Add(3, WithCard(emu::DemoCard(emu::MifareSize::k1K)));
        Files f(w);
        int master = -1, slave = -1;
        char name[64];
        QCOMPARE(::openpty(&master, &slave, name, nullptr, nullptr), 0);
        QProcess p;
        p.setStandardErrorFile(QString::fromLatin1(name));
        QStringList args =
            QStringList{"mifare", "dump", "--output", f.Path("d.mct")} + f.Keys() + kReader;
        args.removeAll("--json");
        w.Begin(p, args);
        QByteArray seen;
        char buffer[4096];
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        while (!p.waitForFinished(50))
            for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
                seen.append(buffer, n);
        for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
            seen.append(buffer, n);
        ::close(master);
        ::close(slave);
        for (const char* shown :
             {"mifare dump: sector 1 of 16", "mifare dump: sector 16 of 16", ": key 2 of 6"})
            QVERIFY2(seen.contains(shown), shown);
        QVERIFY(!seen.contains("commands"));
    }
};

QTEST_GUILESS_MAIN(TestCardCli)
#include "tst_cardcli.moc"
