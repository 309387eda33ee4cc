// Cards and keys of the emulated reader, polled from the tool's side of the pty. Every answer
// is written out by hand and also read back by the tool's rules for its length, so that the
// right bytes in the wrong shape show too.

#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <string>

#include "readeremulator.h"
#include "toolport.h"

Q_DECLARE_METATYPE(emu::CardScript)

namespace {

// What the tool shows for an answer, chosen by its length L alone.
QString Decode(const std::string& f)
{
    const size_t L = f.size();
    auto at = [&](size_t from, size_t to) {
        return QString::fromStdString(f.substr(from, to + 1 - from));
    };
    if (L == 0)
        return "silent";
    if (L < 10)
        return "no card";
    if (f[4] == 'J')
        return "status " + at(5, 6);
    if (f[6] == 'K')
        return "keys " + at(7, L - 4);
    if (L == 26)
        return "card " + at(7, 22);
    if (f[4] == 'I')
        return L > 26 ? "card " + at(7, 22) + " keys " + at(24, L - 4) : "other";
    if (L == 17 || L == 18)
        return "card " + at(L - 11, L - 4);
    return L >= 20 ? "card " + at(7, 14) + " keys " + at(16, L - 4) : "other";
}

} // namespace

class TestCards : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    std::string Dir() const { return dir_.path().toStdString(); }

private slots:
    void polls_data();
    void polls();
    void scramble_data();
    void scramble();
    void queue_data();
    void queue();
    void hangUp();
    void mifareCardId();
    void demo();
};

void TestCards::polls_data()
{
    QTest::addColumn<emu::CardScript>("script");
    QTest::addColumn<QStringList>("commands"); // after prefix and ID
    QTest::addColumn<QStringList>("fields");   // from offset 5; "-": no answer
    QTest::addColumn<QStringList>("shown");
    using S = emu::CardScript;
    QTest::newRow("read card, L = 17, 18, 26")
        << S().Card("00BC614E").Card("bc614e", 18).Card("0123456789ABCDEF", 26)
        << QStringList{"F", "F", "F"}
        << QStringList{"000BC614E", "0000BC614E", "000123456789ABCDEF"}
        << QStringList{"card 00BC614E", "card 00BC614E", "card 0123456789ABCDEF"};
    QTest::newRow("read card with keys, L = 23, 27")
        << S().CardWithKeys("00BC614E", "1234").CardWithKeys("00BC614E", "12345678")
        << QStringList{"F", "F"} << QStringList{"0000BC614E-1234", "0000BC614E-12345678"}
        << QStringList{"card 00BC614E keys 1234", "card 00BC614E keys 12345678"};
    QTest::newRow("keys and raw fields")
        << S().Keys("1234").Keys("").Raw("123").Raw("") << QStringList{"F", "I", "F", "I"}
        << QStringList{"0K1234", "0K", "123", ""}
        << QStringList{"keys 1234", "keys ", "other", "no card"};
    // By hand: 00 00 00 00 00 BC 61 4E XOR 38 E6 0D 7A C4 91 2E 5B (the mask reversed).
    QTest::newRow("two-way cards, acknowledged")
        << S().Card("00BC614E").CardWithKeys("0123456789abcdef", "99").Card("FFFFFFFFFFFFFFFF")
        << QStringList{"I", "J", "I", "J", "I"}
        << QStringList{"0038E60D7AC42D4F15", "00", "0039C5481D4D3AE3B4-99", "00",
                       "00C719F2853B6ED1A4"}
        << QStringList{"card 38E60D7AC42D4F15", "status 00", "card 39C5481D4D3AE3B4 keys 99",
                       "status 00", "card C719F2853B6ED1A4"};
    QTest::newRow("pause, then the empty script")
        << S().Pause(2).Card("00BC614E") << QStringList{"F", "I", "F", "F", "I", "J"}
        << QStringList{"", "", "000BC614E", "", "", "00"}
        << QStringList{"no card", "no card", "card 00BC614E", "no card", "no card", "status 00"};
    QTest::newRow("silence for good")
        << S().Card("1").Silence().Card("2") << QStringList{"F", "F", "I", "J"}
        << QStringList{"000000001", "-", "-", "-"}
        << QStringList{"card 00000001", "silent", "silent", "silent"};
}

void TestCards::polls()
{
    QFETCH(emu::CardScript, script);
    QFETCH(QStringList, commands);
    QFETCH(QStringList, fields);
    QFETCH(QStringList, shown);
    emu::ReaderModel m;
    m.cards = script;
    emu::ReaderEmulator r(m, {true, kTurnaroundMs});
    QVERIFY(r.Start(Dir(), 3));
    ToolPort tool(r.LinkPath());
    int acknowledged = 0;
    for (int i = 0; i < commands.size(); ++i) {
        const std::string command = "A01" + commands[i].toStdString();
        const std::string want =
            fields[i] == "-" ? "" : AnswerFrame(command.substr(0, 4) + fields[i].toStdString());
        const std::string got = tool.Exchange(command, want.empty() ? 60 : 300);
        QCOMPARE(B(got), B(want));
        QCOMPARE(Decode(got), shown[i]);
        acknowledged += command == "A01J" && !got.empty();
    }
    QCOMPARE(r.Model().cards.acknowledged, acknowledged);
}

void TestCards::scramble_data()
{
    QTest::addColumn<QString>("digits");
    QTest::addColumn<QString>("scrambled");
    QTest::newRow("worked example") << "0000000000BC614E"
                                    << "38E60D7AC42D4F15";
    QTest::newRow("lower case") << "0123456789abcdef"
                                << "39C5481D4D3AE3B4";
    QTest::newRow("not hex") << "0000000000BC614G"
                             << "";
    QTest::newRow("8 digits") << "00BC614E"
                              << "";
}

void TestCards::scramble()
{
    QFETCH(QString, digits);
    QFETCH(QString, scrambled);
    QCOMPARE(QString::fromStdString(emu::ScrambleCardHex(digits.toStdString())), scrambled);
}

// Each queued card as the tool meets it ("F", or block 0) with its times; or the refusal.
void TestCards::queue_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("want");
    QTest::newRow("defaults (4K), either case, 7-byte UIDs")
        << "em bc614e\nmifare 1a2b3c4d\nmifare 04112233445566 1 2\nmifare 04112233445566 1k 0"
        << "card 00BC614E 1000 500; 1A2B3C4D401802004659255849102302 1000 500; "
           "04112233445566184200465925584910 1 2; 04112233445566084400465925584910 0 500";
    QTest::newRow("16 digits uncut, comments")
        << "# a box\n\n  em 0123456789 300 # x\nem FFFFFFFFFFFFFFFF 0 86400000"
        << "card 0000000123456789 300 500; card FFFFFFFFFFFFFFFF 0 86400000";
    for (const QString text :
         {"em 1\nem 0123456789ABCDEF0", "em 00BC614G", "mifare 1A2B3C4D5E", "mifare 0411223344556G",
          "em 1 12abc", "em 1 300 -5", "em 1 86400001", "em 1 99999999999"}) {
        const QString want =
            QString("line %1: \"%2\"").arg(text.count('\n') + 1).arg(text.section(' ', -1));
        QTest::newRow(qPrintable(want)) << text << want;
    }
}

void TestCards::queue()
{
    QFETCH(QString, text);
    QFETCH(QString, want);
    emu::ReaderModel m;
    std::string error;
    const bool ok = emu::ParseCardQueue(text.toStdString(), &m.queue, &error);
    QStringList got;
    for (m.queue.onReader = true; ok && !m.queue.Finished(); ++m.queue.next) {
        const emu::QueuedCard& c = m.queue.cards[m.queue.next];
        got << (c.mifare ? QString::fromStdString(c.mifare->RawHex(0))
                         : Decode(emu::ReaderEmulator(m).BuildAnswerFor("A01F"))) +
                   QString(" %1 %2").arg(c.onMs).arg(c.gapMs);
    }
    QCOMPARE(ok ? got.join("; ") : QString::fromStdString(error).left(want.size()), want);
}

void TestCards::hangUp()
{
    emu::ReaderModel m;
    m.cards.Card("00BC614E").HangUp().Card("12345678");
    emu::ReaderEmulator r(m, {true, kTurnaroundMs});
    QVERIFY(r.Start(Dir(), 3));
    ToolPort tool(r.LinkPath());
    QCOMPARE(tool.Exchange("A01F", 300), AnswerFrame("A01F000BC614E"));
    tool.Send("A01F");
    QCOMPARE(tool.Collect(500), std::string("\nA01")); // half of the 8-byte "no card"
    QVERIFY(tool.hungUp);
    QVERIFY(r.HungUp());
    QCOMPARE(r.Model().cards.next, size_t(2));
}

// With the script used up, a MIFARE reader reports the card in its field from
// the ID location that "a" set, and "no card" once the card is gone.
void TestCards::mifareCardId()
{
    emu::ReaderModel m;
    m.mifare.card = emu::MifareCard({0xDE, 0xAD, 0xBE, 0xEF});
    emu::ReaderEmulator r(m, {true, kTurnaroundMs});
    QVERIFY(r.Start(Dir(), 3));
    ToolPort tool(r.LinkPath());
    QCOMPARE(tool.Exchange("A01F", 300), AnswerFrame("A01F00DEADBEEF"));
    QCOMPARE(tool.Exchange("A01a0000010001", 300), AnswerFrame("A01a00")); // from byte 1
    // Bytes 1 to 4 of block 0: the UID's last three bytes and its check byte.
    QCOMPARE(tool.Exchange("A01F", 300), AnswerFrame("A01F00ADBEEF22"));
    m = r.Model();
    m.mifare.card.reset();
    r.SetModel(m);
    QCOMPARE(tool.Exchange("A01F", 300), AnswerFrame("A01F"));
}

void TestCards::demo()
{
    emu::ReaderModel m;
    m.cards.Keys("9").demo = true; // the steps come first
    emu::ReaderEmulator r(m, {true, kTurnaroundMs});
    QVERIFY(r.Start(Dir(), 3));
    ToolPort tool(r.LinkPath());
    QCOMPARE(Decode(tool.Exchange("A01I", 300)), QString("keys 9"));
    QSet<QString> cards; // as "F" shows them (8 digits) and "I" (16, scrambled)
    for (const std::string n : {"00BC614E", "0012D687", "7F3A09C2"})
        cards << QString::fromStdString("card " + n)
              << QString::fromStdString("card " + emu::ScrambleCardHex("00000000" + n));
    QSet<QString> seen; // "no card", and each letter with the length of what it shows
    const auto start = Clock::now();
    auto firstCard = Clock::time_point::max();
    while (Clock::now() - start < 2500ms && seen.size() < 3) {
        for (const QString letter : {"F", "I"}) {
            const QString got = Decode(tool.Exchange("A01" + letter.toStdString(), 300));
            QVERIFY2(got == "no card" || got == "keys 1234" || cards.contains(got),
                     qPrintable(got));
            if (cards.contains(got)) {
                seen << letter + QString::number(got.size());
                firstCard = std::min(firstCard, Clock::now());
            } else if (got == "no card") {
                seen << got;
            }
        }
    }
    QCOMPARE(seen, (QSet<QString>{"F13", "I21", "no card"}));
    QVERIFY2(firstCard - start < 1300ms, qPrintable(QString::number(Ms(firstCard - start))));
}

QTEST_GUILESS_MAIN(TestCards)
#include "tst_cards.moc"
