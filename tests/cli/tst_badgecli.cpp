// The badge desk from the command line, over the emulator's queue of cards:
// enrollment (repeats, a resumed list, the Wiegand columns, Ctrl-C) and
// issuing (numbers, a repeated UID, a card taken away mid-write, a trailer
// that would fix a sector for good).
#include <QFile>
#include <QTest>

#include <csignal>

#include "cliworld.h"

namespace {

const QStringList kReader{"--port", "3", "--type", "4", "--mode", "5", "--json"};
const QByteArray kEnrollHeader = "n,time,card,decimal,wiegand,facility,number\n";

QByteArray Contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
}

// The rows of a CSV file, header left out, each without its time (field 1).
QStringList RowsWithoutTime(const QString& path)
{
    QStringList rows;
    const QList<QByteArray> lines = Contents(path).split('\n');
    for (int i = 1; i < lines.size(); ++i) {
        if (lines[i].isEmpty())
            continue;
        QStringList f = QString::fromUtf8(lines[i]).split(',');
        f.removeAt(1);
        rows << f.join(',');
    }
    return rows;
}

emu::MifareCard Card(uint8_t uid)
{
    return emu::MifareCard({uid, uid, uid, uid}, emu::MifareSize::k1K);
}

// A fresh 1K card's image with data in blocks 1, 2, 5, 6, 8 and 9; sector 2's
// trailer with `access`.
QByteArray Template(const char* access = "FF078069")
{
    emu::MifareCard card = Card(0x01);
    for (int b : {1, 2, 5, 6, 8, 9})
        card.SetRawHex(b, QString("%1").arg(b, 32, 16, QChar('0')).toUpper().toStdString());
    card.SetRawHex(11, std::string("FFFFFFFFFFFF") + access + "FFFFFFFFFFFF");
    QByteArray mct;
    for (int s = 0; s < 16; ++s) {
        mct += "+Sector: " + QByteArray::number(s) + "\n";
        for (int b = 4 * s; b < 4 * s + 4; ++b)
            mct += QByteArray::fromStdString(card.RawHex(b)) + "\n";
    }
    return mct;
}

void Write(const QString& path, const QByteArray& text)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text);
}

} // namespace

class BadgeCli : public QObject
{
    Q_OBJECT

private slots:
    // A box with a repeat and keypad keys; facility and number as the reader's
    // Wiegand format decodes them, or as --wiegand says.
    void enrollWithRepeats_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("second");
        QTest::newRow("26 bits, from the reader")
            << "0" << QStringList{} << "12BC614E,0314335566,26,188,24910";
        QTest::newRow("34 bits, from the reader")
            << "1" << QStringList{} << "12BC614E,0314335566,34,4796,24910";
        QTest::newRow("42 bits, given")
            << "0" << QStringList{"--wiegand", "42"} << "12BC614E,0314335566,42,,314335566";
    }
    void enrollWithRepeats()
    {
        QFETCH(QString, setting);
        QFETCH(QStringList, options);
        QFETCH(QString, second);
        World w;
        emu::ReaderModel m;
        m.wiegand = setting.toStdString();
        m.cards.Keys("12");
        m.queue.Em("00BC614E", 300, 100)
            .Em("12BC614E", 300, 100)
            .Em("00BC614E", 300, 100)
            .Em("0012D687", 300, 100);
        w.Add(3, m);
        const QString list = w.dir.filePath("box.csv");
        const Run r =
            w.Cli(QStringList{"enroll", "--output", list, "--count", "3"} + kReader + options);
        QCOMPARE(r.exit, 0);
        const QStringList rows = RowsWithoutTime(list);
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[1], "2," + second);
        QVERIFY(rows[2].startsWith("3,0012D687,0001234567,"));
        QVERIFY(Contents(list).startsWith(kEnrollHeader));
        QCOMPARE(r.lines[2]["kind"].toString(), QString("repeat"));
        QCOMPARE(r.lines[2]["n"].toInt(), 1);
        QCOMPARE(r.lines.last()["enrolled"].toInt(), 3);
        QCOMPARE(QFile(list).permissions() & (QFile::ReadGroup | QFile::ReadOther),
                 QFile::Permissions());
    }

    // An existing list goes on where it ended, its cards enrolled already; a
    // file that is no such list is refused and left as it was.
    void enrollResumed()
    {
        World w;
        emu::ReaderModel m;
        m.queue.Em("00BC614E", 300, 100).Em("0012D687", 300, 100);
        w.Add(3, m);
        const QString list = w.dir.filePath("box.csv");
        const QByteArray before = kEnrollHeader +
                                  "1,2026-12-01T10:00:00+01:00,00BC614E,0012345678,26,188,24910\n"
                                  "7,2026-12-01T10:00:05+01:00,7F3A09C2,2134509954,26,58,2498\n";
        Write(list, before);
        const Run r = w.Cli(QStringList{"enroll", "--output", list, "--count", "1"} + kReader);
        QCOMPARE(r.exit, 0);
        QVERIFY(Contents(list).startsWith(before));
        QCOMPARE(RowsWithoutTime(list).last(), QString("8,0012D687,0001234567,26,18,54919"));
        QVERIFY(r.err.isEmpty() || !r.err.contains("error"));
        QCOMPARE(r.lines[1]["kind"].toString(), QString("repeat"));

        const QString other = w.dir.filePath("notes.csv");
        Write(other, "name,phone\nAnn,123\n");
        QCOMPARE(w.Cli(QStringList{"enroll", "--output", other} + kReader).exit, 2);
        QCOMPARE(Contents(other), QByteArray("name,phone\nAnn,123\n"));
    }

    // Ctrl-C in the middle of a box: exit 0, the count, and every row written.
    void enrollCtrlC()
    {
        World w;
        emu::ReaderModel m;
        m.queue.Em("00BC614E", 250, 50)
            .Em("0012D687", 250, 100)
            .Em("7F3A09C2", 250, 100)
            .Em("0000FFFF", 60000, 100);
        w.Add(3, m);
        const QString list = w.dir.filePath("box.csv");
        QProcess p;
        w.Begin(p, QStringList{"enroll", "--output", list} + kReader);
        QTRY_COMPARE_WITH_TIMEOUT(RowsWithoutTime(list).size(), 4, 10000);
        ::kill(pid_t(p.processId()), SIGINT);
        const Run r = World::Finish(p);
        QCOMPARE(r.exit, 0);
        QCOMPARE(RowsWithoutTime(list).size(), 4);
        QCOMPARE(r.lines.last()["enrolled"].toInt(), 4);
    }

    // Five cards: three issued with running numbers; a UID in the log left
    // alone; a card taken away in the middle of its writes logged as
    // incomplete, its number not used up.
    void issueFiveCards()
    {
        World w;
        emu::ReaderModel m;
        m.queue.MifareUntilRead(Card(0x11), 2)
            .MifareUntilRead(Card(0x22), 2)
            .MifareUntilRead(Card(0x11), 2)
            // Gone after the backup's read and three of its writes.
            .Mifare(Card(0x33), 0, 100, 72)
            .MifareUntilRead(Card(0x44), 2, 1500);
        emu::ReaderEmulator& reader = w.Add(3, m);
        const QString tpl = w.dir.filePath("site.mct");
        Write(tpl, Template());
        const QString log = w.dir.filePath("issued.csv");
        const Run r = w.Cli(QStringList{"mifare", "issue", tpl, "--log", log, "--count", "3",
                                        "--number", "1:0:100"} +
                            kReader);
        QCOMPARE(r.exit, 1); // one card not issued
        QStringList results;
        for (const QString& row : RowsWithoutTime(log))
            results << row.section(',', 0, 3);
        QCOMPARE(results, (QStringList{"1,11111111,100,issued", "2,22222222,101,issued",
                                       "3,33333333,,incomplete", "4,44444444,102,issued"}));
        QVERIFY(RowsWithoutTime(log)[2].contains("went away"));
        QVERIFY(r.out.contains("\"result\":\"repeat\""));
        const emu::CardQueue& q = reader.Model().queue;
        // Each issued card holds its number in block 4 and the template's data.
        const int numbers[] = {100, 101, -1, -1, 102};
        for (int i : {0, 1, 4}) {
            const emu::MifareCard& c = *q.cards[size_t(i)].mifare;
            QCOMPARE(c.RawHex(4), emu::MifareHex(emu::MifareValueBlock(numbers[i], 4).data(), 16));
            QCOMPARE(c.RawHex(9), std::string(31, '0') + "9");
        }
        // The repeat was not written to; the card taken away has its first blocks only.
        QCOMPARE(q.cards[2].mifare->RawHex(1), std::string(32, '0'));
        QCOMPARE(q.cards[3].mifare->RawHex(9), std::string(32, '0'));
    }

    // A template that would fix a sector for good: refused for the batch
    // before the reader is asked, unless allowed.
    void issueRefusesPermanentTrailer()
    {
        World w;
        emu::ReaderEmulator& reader = w.Add(3);
        const QString tpl = w.dir.filePath("site.mct");
        Write(tpl, Template("778788AA"));
        const QString log = w.dir.filePath("issued.csv");
        const Run r = w.Cli(QStringList{"mifare", "issue", tpl, "--log", log} + kReader);
        QCOMPARE(r.exit, 2);
        QVERIFY((r.err + r.out).contains("--allow-permanent"));
        QVERIFY(!QFile::exists(log));
        QCOMPARE(Sent(reader), QString());
    }
};

QTEST_GUILESS_MAIN(BadgeCli)
#include "tst_badgecli.moc"
