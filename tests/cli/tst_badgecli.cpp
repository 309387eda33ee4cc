// The badge desk from the command line, over the emulator's queue of cards:
// enrollment (repeats, a resumed list, the Wiegand columns, Ctrl-C) and
// issuing (numbers, a repeated UID, a card taken away mid-write, a trailer
// that would fix a sector for good).
#include <QDir>
#include <QFile>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

#include "cliworld.h"
#include "filemodes.h"
#include "handlers.h"

namespace {

const QStringList kReader{"--port", "3", "--type", "4", "--mode", "5", "--json"};
// Block 0 of a card issued with Template() is read at its poll, for the backup,
// before sectors 1, 2 and 3 (after writes) and twice in the read-back.
constexpr int kReads = 7;
const QByteArray kEnrollHeader = "n,time,card,decimal,wiegand,facility,number\n";
const QStringList kNoFile{"(no file)"};

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

// A card of a UID given as hexadecimal digits, 8 or 14.
emu::MifareCard Card(const QByteArray& uid)
{
    const QByteArray bytes = QByteArray::fromHex(uid);
    return emu::MifareCard(std::vector<uint8_t>(bytes.begin(), bytes.end()), emu::MifareSize::k1K);
}

// A log's end rows (its "writing" rows too, where asked), without their time:
// n, uid, number, result.
QStringList Ends(const QString& log, bool writing = false)
{
    QStringList ends;
    for (const QString& row : RowsWithoutTime(log))
        if (writing || row.section(',', 3, 3) != "writing")
            ends << row.section(',', 0, 3);
    return ends;
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

    // `mifare issue` of Template(access), numbered from 100, on the world's reader,
    // --count `count` (0: none); `interrupt`: Ctrl-C once the first card's run has ended.
    // "FULL" among `options`: the disk takes the log's header and no row.
    static Run Issue(World& w, int count, const QString& log, QStringList options = {},
                     const char* access = "FF078069", bool interrupt = false)
    {
        const QString tpl = w.dir.filePath("site.mct");
        Write(tpl, Template(access));
        QProcess p;
        if (options.removeAll("FULL") > 0)
            p.setChildProcessModifier([] {
                const rlimit limit{100, 100};
                ::setrlimit(RLIMIT_FSIZE, &limit);
                ::signal(SIGXFSZ, SIG_IGN);
            });
        QStringList args{"mifare", "issue", tpl, "--log", log, "--number", "1:0:100"};
        if (count > 0)
            args << "--count" << QString::number(count);
        w.Begin(p, args + kReader + options);
        for (int waited = 0; interrupt && Ends(log).isEmpty() && waited < 60000; waited += 50)
            QTest::qWait(50);
        if (interrupt && p.processId() > 0)
            ::kill(pid_t(p.processId()), SIGINT);
        return World::Finish(p);
    }

private slots:
    // A box with a repeat and keypad keys; facility and number as the reader's
    // Wiegand format decodes them, or as --wiegand says. A card whose facility
    // and number equal an enrolled one's is that credential again, not a row.
    void enrollWithRepeats_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("rows");        // the list's rows without their time
        QTest::addColumn<bool>("sameCredential"); // 12BC614E gives 00BC614E's credential
        QTest::newRow("26 bits, from the reader")
            << "0" << QStringList{}
            << "1,00BC614E,0012345678,26,188,24910 2,0012D687,0001234567,26,18,54919" << true;
        QTest::newRow("34 bits, from the reader")
            << "1" << QStringList{}
            << "1,00BC614E,0012345678,34,188,24910 2,12BC614E,0314335566,34,4796,24910 "
               "3,0012D687,0001234567,34,18,54919"
            << false;
        QTest::newRow("42 bits, given") << "0" << QStringList{"--wiegand", "42"}
                                        << "1,00BC614E,0012345678,42,,12345678 "
                                           "2,12BC614E,0314335566,42,,314335566 "
                                           "3,0012D687,0001234567,42,,1234567"
                                        << false;
    }
    void enrollWithRepeats()
    {
        QFETCH(QString, setting);
        QFETCH(QStringList, options);
        QFETCH(QString, rows);
        QFETCH(bool, sameCredential);
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
        const QStringList expected = rows.split(' ');
        const Run r = w.Cli(
            QStringList{"enroll", "--output", list, "--count", QString::number(expected.size())} +
            kReader + options);
        QCOMPARE(r.exit, 0);
        QCOMPARE(RowsWithoutTime(list), expected);
        QVERIFY(Contents(list).startsWith(kEnrollHeader));
        QCOMPARE(r.lines[1]["sameCredential"].toBool(), sameCredential);
        QCOMPARE(r.lines[2]["kind"].toString(), QString("repeat"));
        QCOMPARE(r.lines[2]["n"].toInt(), 1);
        // Facility and number as numbers, as a script compares them.
        QCOMPARE(r.lines[0]["number"].toInteger(), expected[0].section(',', 5).toLongLong());
        if (sameCredential)
            QCOMPARE(r.lines[1]["facility"].toInteger(-1), 188);
        QCOMPARE(r.lines.last()["enrolled"].toInt(), int(expected.size()));
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

    // What a list on the disk may be: a last line without its newline (a
    // whole row kept, a cut one set aside), another Wiegand format, none yet
    // and no port, held by another run, on a full disk; and a run that ends
    // by its --seconds. Whatever happens, the list holds whole rows.
    void enrollListEdges_data()
    {
        QTest::addColumn<QByteArray>("before"); // "" for no file
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QStringList>("rows"); // after, without their time
        QTest::addColumn<QString>("said");
        const QByteArray first =
            kEnrollHeader + "1,2026-12-01T10:00:00+01:00,00BC614E,0012345678,26,188,24910";
        const QString next = "0012D687,0001234567,26,18,54919";
        QTest::newRow("a last row without its newline")
            << first << QStringList{"--count", "1"} << 0
            << QStringList{"1,00BC614E,0012345678,26,188,24910", "2," + next} << "resumed";
        QTest::newRow("a last row cut short") << first.chopped(2) << QStringList{"--count", "1"}
                                              << 0 << QStringList{"1," + next} << "box.csv.partial";
        QTest::newRow("another format")
            << first + "\n"
            << QStringList{"--wiegand", "34"} << 2
            << QStringList{"1,00BC614E,0012345678,26,188,24910"} << "26-bit";
        QTest::newRow("no port, no new list")
            << QByteArray() << QStringList{"--port", "9"} << 3 << kNoFile << "COM9";
        QTest::newRow("no answer, no new list")
            << QByteArray() << QStringList{"--id", "01", "--wiegand", "26", "--mode", "2"} << 1
            << kNoFile << "the reader did not answer";
        QTest::newRow("held by another run")
            << QByteArray() << QStringList{"HELD"} << 2 << QStringList{} << "in use by another run";
        QTest::newRow("a list at the largest row")
            << kEnrollHeader +
                   "2147483647,2026-12-01T10:00:00+01:00,00BC614E,0012345678,26,188,24910\n"
            << QStringList{} << 2 << QStringList{"2147483647,00BC614E,0012345678,26,188,24910"}
            << "start a new list";
        QTest::newRow("the disk full") << kEnrollHeader << QStringList{"FULL"} << 1
                                       << QStringList{"1," + next} << "cannot write the list";
        QTest::newRow("--seconds") << QByteArray() << QStringList{"--seconds", "2"} << 0
                                   << QStringList{} << "\"enrolled\":0";
    }
    void enrollListEdges()
    {
        QFETCH(QByteArray, before);
        QFETCH(QStringList, options);
        QFETCH(int, exit);
        QFETCH(QStringList, rows);
        QFETCH(QString, said);
        World w;
        emu::ReaderModel m;
        if (!options.contains("--seconds") && !options.contains("HELD"))
            m.queue.Em("0012D687", 300, 100).Em("7F3A09C2", 300, 100);
        w.Add(3, m);
        const QString list = w.dir.filePath("box.csv");
        if (!before.isEmpty())
            Write(list, before);
        const QStringList args = QStringList{"enroll", "--output", list} + kReader;
        QProcess held, p;
        if (options.removeAll("HELD") > 0) {
            w.Begin(held, args);
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(list), 10000);
        }
        if (options.removeAll("FULL") > 0)
            p.setChildProcessModifier([size = before.size()] {
                // The file may grow by one row and half of the next.
                const rlimit limit{rlim_t(size + 100), rlim_t(size + 100)};
                ::setrlimit(RLIMIT_FSIZE, &limit);
                ::signal(SIGXFSZ, SIG_IGN);
            });
        w.Begin(p, args + options);
        const Run r = World::Finish(p);
        if (held.processId() > 0) {
            ::kill(pid_t(held.processId()), SIGINT);
            World::Finish(held);
        }
        QCOMPARE(r.exit, exit);
        QVERIFY2((r.err + r.out).contains(said), qPrintable(r.err + r.out));
        QCOMPARE(QFile::exists(list), rows != kNoFile);
        if (rows != kNoFile)
            QVERIFY(RowsWithoutTime(list) == rows && Contents(list).endsWith('\n'));
        if (said.endsWith(".partial"))
            QCOMPARE(Contents(list + ".partial"), before.mid(kEnrollHeader.size()) + "\n");
        else if (exit == 2 && !before.isEmpty())
            QCOMPARE(Contents(list), before);
    }

    // Five cards: three issued with running numbers; one laid on as the last
    // left; a UID in the log left alone; a card swapped for another in the
    // middle of its writes, logged as incomplete with the number it got; the
    // other card has its own poll, backup, row and the next number.
    void issueFiveCards()
    {
        World w;
        emu::ReaderModel m;
        m.queue.MifareUntilRead(Card(0x11), kReads + 1)
            .MifareUntilRead(Card(0x22), kReads, 0)
            .MifareUntilRead(Card(0x11), 4)
            // Gone after the backup's read and three of its writes, the next one there at once.
            .Mifare(Card(0x33), 0, 100, 73)
            .MifareUntilRead(Card(0x44), kReads + 2, 0);
        emu::ReaderEmulator& reader = w.Add(3, m);
        const QString log = w.dir.filePath("issued.csv");
        const Run r = Issue(w, 3, log);
        QCOMPARE(r.exit, 1); // one card not issued
        // Each card's row goes in before its first write, and again at its end.
        QCOMPARE(Ends(log, true),
                 (QStringList{"1,11111111,100,writing", "1,11111111,100,issued",
                              "2,22222222,101,writing", "2,22222222,101,issued",
                              "3,33333333,102,writing", "3,33333333,102,incomplete",
                              "4,44444444,103,writing", "4,44444444,103,issued"}));
        const QString swapped = RowsWithoutTime(log)[5];
        QVERIFY2(swapped.contains("written 1 2; then 44444444 on the reader, which may have "
                                  "taken 4 5 6 instead;") &&
                     swapped.contains("; another card came"),
                 qPrintable(swapped));
        QVERIFY(r.out.contains("\"result\":\"repeat\""));
        const emu::ReaderModel after = reader.Model();
        const emu::CardQueue& q = after.queue;
        // The count reached, the run ended without waiting for the last card to leave.
        QVERIFY(q.OnReader() == &q.cards[4]);
        const auto card = [&](int i) {
            return i == 4 ? *after.mifare.card : *q.cards[size_t(i)].mifare;
        };
        // Each card holds its own number in block 4, and the issued ones the template's data.
        const int numbers[] = {100, 101, -1, 102, 103};
        for (int i : {0, 1, 3, 4})
            QCOMPARE(card(i).RawHex(4),
                     emu::MifareHex(emu::MifareValueBlock(numbers[i], 4).data(), 16));
        for (int i : {0, 1, 4})
            QCOMPARE(card(i).RawHex(9), std::string(31, '0') + "9");
        // The repeat was not written to; the card taken away has its first blocks only.
        QCOMPARE(q.cards[2].mifare->RawHex(1), std::string(32, '0'));
        QCOMPARE(q.cards[3].mifare->RawHex(9), std::string(32, '0'));
        // A backup each, and no temporary file (it would hold keys) beside them.
        const QDir backups(w.dir.filePath("state/tesmora/backups"));
        QCOMPARE(backups.entryList(QDir::Files | QDir::Hidden).size(), 4);
    }

    // One card each: a template whose data only key B reads; a card whose
    // block reads back otherwise than written; a 7-byte UID whose first four
    // bytes are a logged card's; --again over a logged card; numbers at the
    // largest a value block holds, refused before anything is sent or ended at.
    void issueOneCard_data()
    {
        QTest::addColumn<QByteArray>("uid");
        QTest::addColumn<QByteArray>("access");
        QTest::addColumn<QByteArray>("logged"); // a row of the log before the run
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("end"); // uid,number,result; "" where refused
        const QByteArray row = "1,2026-12-01T10:00:00Z,%1,7,issued,written 9; verified\n";
        const QByteArray fresh = "FF078069";
        QTest::newRow("key B reads the data")
            << QByteArray("44444444") << QByteArray("0F00FF69") << QByteArray() << QStringList{}
            << "44444444,100,issued";
        QTest::newRow("read back otherwise") << QByteArray("BADBAD00") << fresh << QByteArray()
                                             << QStringList{} << "BADBAD00,100,failed";
        QTest::newRow("7-byte UID") << QByteArray("04112233445566") << fresh
                                    << QByteArray(row).replace("%1", "04112233FFFFFF")
                                    << QStringList{} << "04112233445566,100,issued";
        QTest::newRow("again") << QByteArray("22222222") << fresh
                               << QByteArray(row).replace("%1", "22222222")
                               << QStringList{"--again"} << "22222222,100,issued";
        QTest::newRow("two from the largest")
            << QByteArray("11111111") << fresh << QByteArray()
            << QStringList{"--number", "1:0:2147483647", "--count", "2"} << "";
        QTest::newRow("a log at the largest")
            << QByteArray("11111111") << fresh
            << QByteArray(row).replace("%1", "22222222").replace(",7,", ",2147483647,")
            << QStringList{} << "";
        // A row count that the next card would wrap is refused as the numbers are.
        QTest::newRow("a log at the largest row")
            << QByteArray("11111111") << fresh
            << "2147483647" + QByteArray(row).mid(1).replace("%1", "22222222") << QStringList{}
            << "";
        // A log of 23,000 cards, as long as whole cards' rows, resumes: read as a stream.
        QByteArray log;
        for (int n = 1; n < 23000; ++n)
            log += QByteArray::number(n) + ",2026-12-01T10:00:00+01:00," +
                   QByteArray::number(0x50000000 + n, 16) + "," + QByteArray::number(n) +
                   ",issued,written" + QByteArray(" 99").repeated(47) +
                   "; backup /home/technician/.local/state/tesmora/backups/card-12345678-"
                   "20261201T090000.000Z.json; verified\n";
        QTest::newRow("23,000 rows, the last one's run ended while it was written")
            << QByteArray("11111111") << fresh
            << log + "23000,2026-12-01T10:00:00Z,5FFFFFFF,23000,writing,backup /b.json; writing\n"
            << QStringList{} << "11111111,23001,issued";
        QTest::newRow("the disk full") << QByteArray("11111111") << fresh << QByteArray()
                                       << QStringList{"FULL"} << "cannot write the log";
        QTest::newRow("the largest, then used up")
            << QByteArray("11111111") << fresh << QByteArray()
            << QStringList{"--number", "1:0:2147483647", "NOCOUNT"} << "11111111,2147483647,issued";
    }
    void issueOneCard()
    {
        QFETCH(QByteArray, uid);
        QFETCH(QByteArray, access);
        QFETCH(QByteArray, logged);
        QFETCH(QStringList, options);
        QFETCH(QString, end);
        World w;
        emu::ReaderModel m;
        m.queue.MifareUntilRead(Card(uid), kReads);
        emu::ReaderEmulator& reader = w.Add(3, m);
        if (uid == "BADBAD00") {
            // The card keeps block 9 as written, the reader reads it back changed.
            std::map<char, emu::Handler> built;
            emu::AddMifareHandlers(built);
            reader.SetHandler('h', [h = built['h']](emu::ReaderModel& m, const emu::Command& c) {
                auto reply = h(m, c);
                if (reply && c.params == "6009")
                    reply->fields.back() = '0';
                return reply;
            });
        }
        const QString log = w.dir.filePath("issued.csv");
        if (!logged.isEmpty())
            Write(log, "n,time,uid,number,result,detail\n" + logged);
        const bool failed = end.endsWith("failed");
        const int count = options.removeAll("NOCOUNT") ? 0 : 1;
        const Run r = Issue(w, count, log, options, access.constData(), failed);
        if (end.isEmpty()) {
            QCOMPARE(r.exit, 2);
            QVERIFY2((r.err + r.out).contains("2147483647"), qPrintable(r.err + r.out));
            QCOMPARE(Sent(reader), QString());
            QCOMPARE(QFile::exists(log), !logged.isEmpty());
            return;
        }
        if (!end.contains(',')) {
            QCOMPARE(r.exit, 1);
            QVERIFY2(r.out.contains(end.toUtf8()), r.out.constData());
            return;
        }
        QCOMPARE(r.exit, failed ? -2 : 0);
        QCOMPARE(Ends(log).last().section(',', 1), end);
        QCOMPARE(r.lines.last()["numbersUsedUp"].toBool(), end.contains("2147483647"));
        if (failed)
            QVERIFY(RowsWithoutTime(log).last().contains("; not read back as written 9;"));
        if (logged.contains(",writing,"))
            QVERIFY(Ends(log).contains("23000,5FFFFFFF,23000,incomplete") &&
                    Contents(log).contains("/b.json; the run ended while it was written\n"));
        // Written onto the card whatever the end: the template's number and data.
        const int number = end.section(',', 1, 1).toInt();
        QCOMPARE(reader.Model().mifare.card->RawHex(4),
                 emu::MifareHex(emu::MifareValueBlock(number, 4).data(), 16));
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
