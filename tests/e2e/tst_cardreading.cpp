// Reading cards and keys, plain and two-way, in the real window against an
// emulated reader that presents them from a script.
#include <QApplication>
#include <QElapsedTimer>
#include <QMenuBar>
#include <QTest>
#include <QTimer>

#include <functional>

#include "fixture.h"
#include "link/serialport.h"
#include "usbreader.h"

using emu::Fault;

namespace {

// What the window showed while a run went on, sampled every few milliseconds.
struct Watch
{
    QStringList messages;
    bool lit = false;
    bool blinked = false;
    QTimer timer;

    explicit Watch(Fixture& fx)
    {
        auto look = [this, &fx] {
            const QString text = fx.ui()->pnMsg->text();
            if (messages.isEmpty() || messages.last() != text)
                messages << text;
            lit |= fx.ui()->shCard->brushColor() == 0x00FFFFu;
            blinked |= fx.window().tmrBusy->isActive();
        };
        look();
        QObject::connect(&timer, &QTimer::timeout, look);
        timer.start(3);
    }
};

int Polls(const emu::ReaderEmulator& r, char letter)
{
    int n = 0;
    for (const std::string& p : r.ReceivedPayloads())
        n += p.size() == 4 && p[3] == letter;
    return n;
}

// Presses `button` again, as the stop, once `done` holds.
void StopWhen(QPushButton* button, std::function<bool()> done, QTimer& timer)
{
    QObject::connect(&timer, &QTimer::timeout, [button, done, &timer] {
        if (done()) {
            timer.stop();
            button->click();
        }
    });
    timer.start(5);
}

} // namespace

class TestCardReading : public QObject
{
    Q_OBJECT

private slots:
    void beforeAnyScan_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("read card") << "btnReadCard";
        QTest::newRow("two-way") << "btnEncode";
    }

    void beforeAnyScan()
    {
        QFETCH(QString, button);
        Fixture fx;
        emu::ReaderEmulator& r = fx.AddReader(1);
        TfrmModule& w = fx.OpenWindow();
        fx.ui()->pnMsg->setText("before");
        fx.Click(w.findChild<QPushButton*>(button));
        QCOMPARE(fx.beeps, (std::vector<std::pair<int, int>>{{300, 300}}));
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("before"));
        QCOMPARE(w.CommColor(), 0x0000FFu);
        QCOMPARE(fx.ui()->btnReadCard->text(), QStringLiteral("Read card"));
        QVERIFY(fx.ui()->btnScan->isEnabled());
        QVERIFY(!w.CardReadRunning);
        QVERIFY(r.Trace().empty());
    }

    // One answer, then no card until the stop: what it shows and whether it
    // lights the indicator; polling goes on after it.
    void oneAnswer_data()
    {
        QTest::addColumn<bool>("twoWay");
        QTest::addColumn<QString>("fields");
        QTest::addColumn<QString>("shown"); // after the stop
        QTest::addColumn<bool>("lit");
        QTest::addColumn<int>("acks"); // "J" sent
        QTest::newRow("17 bytes, K at 6") << false << "0K234ABCD"
                                          << "Card ID : 0037006285(D)  K234ABCD(H)" << true << 0;
        QTest::newRow("00BC614E") << false << "0000BC614E"
                                  << "Card ID : 0012345678(D)  00BC614E(H)" << true << 0;
        QTest::newRow("26 bytes") << false << "000123456789ABCDEF"
                                  << "Card ID : 0123456789ABCDEF(H)" << true << 0;
        QTest::newRow("keypad, 10 bytes") << false << "0K"
                                          << "" << true << 0;
        QTest::newRow("9 bytes") << false << "0"
                                 << "" << false << 0;
        // Two-way: a stop shows "Card ID"; the key test comes first.
        QTest::newRow("two-way, 17 bytes, K at 6") << true << "0K2345678"
                                                   << "Card ID" << true << 0;
        // Without "K" every two-way answer is acknowledged, a card shown or not.
        QTest::newRow("two-way, 17 bytes") << true << "012345678"
                                           << "Card ID" << true << 1;
        QTest::newRow("two-way, 10 bytes") << true << "00"
                                           << "Card ID" << true << 1;
    }

    void oneAnswer()
    {
        QFETCH(bool, twoWay);
        QFETCH(QString, fields);
        QFETCH(QString, shown);
        QFETCH(bool, lit);
        QFETCH(int, acks);
        Fixture fx;
        emu::ReaderModel m;
        m.cards.Raw(fields.toStdString());
        emu::ReaderEmulator& r = fx.FoundReader(0, m);
        const char letter = twoWay ? 'I' : 'F';
        QPushButton* button = twoWay ? fx.ui()->btnEncode : fx.ui()->btnReadCard;
        Watch watch(fx);
        QTimer stop;
        StopWhen(
            button, [&] { return Polls(r, letter) >= 3; }, stop);
        fx.Click(button);
        QCOMPARE(watch.lit, lit);
        QCOMPARE(fx.ui()->pnMsg->text(), shown);
        if (twoWay && acks == 0)
            QVERIFY(watch.messages.contains("KEY : 2345678"));
        if (twoWay && acks > 0) // no card to show: the panel keeps its text until the stop
            QCOMPARE(watch.messages, QStringList{"Reader find ok. (COM : #1)"});
        QVERIFY(Polls(r, letter) >= 3);
        QCOMPARE(Polls(r, 'J'), acks);
        VerifyReleased(fx, r);
    }

    // A run of cards and keys: each shown as it comes, the controls locked and
    // the indicator lit meanwhile; a stop ends it in yellow with the high beep,
    // the last card still shown, and everything restored.
    void readCardRun()
    {
        Fixture fx;
        emu::ReaderModel m;
        m.cards.Card("00BC614E").Keys("1234").Raw("0").Card("0123456789ABCDEF", 26).Pause(1);
        emu::ReaderEmulator& r = fx.FoundReader(0, m);
        TfrmModule& w = fx.window();
        auto* f = fx.ui();
        f->pnMsg->setText("before");
        Watch watch(fx);
        bool locked = true, captioned = true, held = true;
        QTimer stop;
        StopWhen(
            f->btnReadCard,
            [&] {
                locked &= !f->btnEncode->isEnabled() && !f->btnScan->isEnabled() &&
                          !f->btnFactory->isEnabled() && !f->btnID->isEnabled() &&
                          !f->btnBaudRate->isEnabled() && !f->btnMode->isEnabled() &&
                          !f->pcReader->isEnabled() && !f->gbOther->isEnabled() &&
                          f->btnReadCard->isEnabled() && w.isEnabled() && w.menuBar()->isEnabled();
                captioned &= f->btnReadCard->text() == "Cancel read card";
                link::SerialPort other;
                held &= !other.OpenPath(r.LinkPath(), "19200,e,8,1"); // the run holds the port
                return r.Model().cards.Finished();
            },
            stop);
        fx.Click(f->btnReadCard);
        QVERIFY(locked);
        QVERIFY(captioned);
        QVERIFY(held);
        QVERIFY(watch.blinked);
        QVERIFY(watch.lit);
        QCOMPARE(watch.messages.mid(0, 5),
                 (QStringList{"before", "", "Card ID : 0012345678(D)  00BC614E(H)", "KEY : 1234",
                              "Card ID : 0123456789ABCDEF(H)"}));
        QCOMPARE(f->pnMsg->text(), QStringLiteral("Card ID : 0123456789ABCDEF(H)"));
        QCOMPARE(w.CommColor(), 0x00FFFFu);
        QCOMPARE(fx.beeps, (std::vector<std::pair<int, int>>{{1000, 300}}));
        QCOMPARE(f->shCard->brushColor(), 0xFFFFFFu);
        QCOMPARE(f->btnReadCard->text(), QStringLiteral("Read card"));
        for (QWidget* c : QList<QWidget*>{f->btnEncode, f->btnScan, f->btnFactory, f->btnID,
                                          f->btnBaudRate, f->btnMode, f->pcReader, f->gbOther})
            QVERIFY(c->isEnabled());
        QVERIFY(!w.tmrBusy->isActive());
        VerifyReleased(fx, r);
    }

    // Two-way: each card unscrambled and answered with "J" 30 ms after it; the
    // stop shows "Card ID".
    void twoWayRun()
    {
        Fixture fx;
        emu::ReaderModel m;
        m.cards.Card("00BC614E").CardWithKeys("0123456789ABCDEF", "12").Pause(1);
        emu::ReaderEmulator& r = fx.FoundReader(0, m);
        Watch watch(fx);
        QTimer stop;
        StopWhen(
            fx.ui()->btnEncode, [&] { return r.Model().cards.Finished(); }, stop);
        fx.Click(fx.ui()->btnEncode);
        QCOMPARE(watch.messages.mid(0, 3),
                 (QStringList{"Reader find ok. (COM : #1)",
                              "Card ID : 0012345678(D)  0000000000BC614E(H)",
                              "Card ID : 81985529216486895(D)  0123456789ABCDEF(H)  KEY:12"}));
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Card ID"));
        QCOMPARE(r.Model().cards.acknowledged, 2);
        // "J" follows its card's answer by 30 ms at least, the next poll follows "J".
        const auto trace = r.Trace();
        for (size_t i = 1; i < trace.size(); ++i) {
            if (trace[i].kind == emu::TraceEntry::Received && trace[i].bytes == "A01J") {
                const double gap =
                    std::chrono::duration<double, std::milli>(trace[i].time - trace[i - 1].end)
                        .count();
                QVERIFY2(gap >= 30.0, qPrintable(QString::number(gap)));
            }
        }
        QCOMPARE(fx.ui()->btnEncode->text(), QStringLiteral("Read card two-way"));
        VerifyReleased(fx, r);
    }

    // A card held to the reader is seen at every poll; the indicator still goes
    // white once a second, because a running period is not restarted.
    void indicatorWithACardHeld()
    {
        Fixture fx;
        emu::ReaderModel m;
        // Long enough for two periods of the indicator, also on a loaded machine.
        for (int i = 0; i < 32; ++i)
            m.cards.Card("00BC614E");
        emu::ReaderEmulator& r = fx.FoundReader(0, m);
        int whiteAfterLit = 0;
        bool wasLit = false;
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, [&] {
            const bool lit = fx.ui()->shCard->brushColor() == 0x00FFFFu;
            whiteAfterLit += wasLit && !lit && fx.window().CardReadRunning;
            wasLit = lit;
        });
        look.start(2);
        QTimer stop;
        StopWhen(
            fx.ui()->btnReadCard, [&] { return r.Model().cards.Finished(); }, stop);
        fx.Click(fx.ui()->btnReadCard);
        QVERIFY2(whiteAfterLit >= 1, "the indicator's period was restarted by every card");
        QCOMPARE(fx.ui()->shCard->brushColor(), 0xFFFFFFu);
    }

    // A stop pressed while an exchange waits is honoured at the next cycle:
    // that exchange's card is still shown, and no poll follows.
    void stopDuringAnExchange()
    {
        Fixture fx;
        emu::ReaderModel m;
        m.cards.Card("00BC614E");
        emu::Options slow;
        slow.turnaroundMs = 150;
        fx.StoreSystem("ScanCommNo", "1");
        emu::ReaderEmulator& r = fx.AddReader(1, m, slow);
        fx.OpenWindow();
        fx.Click(fx.ui()->btnScan);
        QVERIFY(fx.window().ReaderFound);
        r.ClearTrace();
        QTimer stop;
        StopWhen(
            fx.ui()->btnReadCard, [&] { return Polls(r, 'F') == 1; }, stop);
        fx.Click(fx.ui()->btnReadCard);
        QCOMPARE(Polls(r, 'F'), 1);
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Card ID : 0012345678(D)  00BC614E(H)"));
        QCOMPARE(fx.window().CommColor(), 0x00FFFFu);
    }

    // Presses while a run stops are ignored: one run at a time, one outcome.
    void pressWhileStopping()
    {
        Fixture fx;
        emu::ReaderModel m;
        m.cards.Card("00BC614E");
        emu::ReaderEmulator& r = fx.FoundReader(0, m);
        QPushButton* button = fx.ui()->btnReadCard;
        int pollsAtStop = 0;
        QTimer stop;
        QObject::connect(&stop, &QTimer::timeout, [&] {
            if (Polls(r, 'F') < 3)
                return;
            stop.stop();
            pollsAtStop = Polls(r, 'F');
            button->click(); // the stop
            button->click(); // while it stops
        });
        stop.start(5);
        // Ends a second run, should one have started.
        QTimer::singleShot(1500, [&] {
            if (fx.window().CardReadRunning)
                button->click();
        });
        fx.Click(button);
        QTest::qWait(1600);
        QCOMPARE(fx.beeps, (std::vector<std::pair<int, int>>{{1000, 300}}));
        QCOMPARE(fx.window().CommColor(), 0x00FFFFu);
        QVERIFY(Polls(r, 'F') <= pollsAtStop + 1);
        QCOMPARE(button->text(), QStringLiteral("Read card"));
        VerifyReleased(fx, r);
    }

    // The reader stops answering, or is unplugged, in the middle of a run: it
    // ends after one deadline with "Reader not find", without spinning.
    void readerGoneMidRun_data()
    {
        QTest::addColumn<bool>("hangUp");
        QTest::addColumn<bool>("twoWay");
        QTest::newRow("silent") << false << false;
        QTest::newRow("unplugged") << true << false;
        QTest::newRow("two-way, unplugged") << true << true;
    }

    void readerGoneMidRun()
    {
        QFETCH(bool, hangUp);
        QFETCH(bool, twoWay);
        Fixture fx;
        emu::ReaderModel m;
        m.cards.Card("00BC614E").Pause(1);
        if (hangUp)
            m.cards.HangUp();
        else
            m.cards.Silence();
        emu::ReaderEmulator& r = fx.FoundReader(0, m);
        const double cpu = CpuMs();
        QElapsedTimer t;
        t.start();
        fx.Click(twoWay ? fx.ui()->btnEncode : fx.ui()->btnReadCard);
        const double wall = double(t.elapsed());
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Reader not find"));
        QCOMPARE(fx.window().CommColor(), 0x0000FFu);
        QCOMPARE(fx.beeps, (std::vector<std::pair<int, int>>{{300, 300}}));
        QCOMPARE(r.HungUp(), hangUp);
        // Three polls and their pacing, one deadline, the two-way pauses.
        QVERIFY2(wall < 3 * 80 + 300 + 250 + (twoWay ? 60 : 0), qPrintable(QString::number(wall)));
        QVERIFY2(CpuMs() - cpu < 0.5 * wall, qPrintable(QString::number(CpuMs() - cpu)));
        QCOMPARE(fx.ui()->btnReadCard->text(), QStringLiteral("Read card"));
        QVERIFY(fx.ui()->btnScan->isEnabled());
        VerifyReleased(fx, r);
    }

    // A reader unplugged in the middle of a run is waited for, the status bar
    // saying so: another device plugged in on its port is left alone, and the
    // same one (its serial number, its by-id name) is read on within 2 s of
    // its return; or Stop ends the wait.
    void readingAcrossUnplug_data()
    {
        QTest::addColumn<bool>("back");
        QTest::newRow("back") << true;
        QTest::newRow("stopped while waiting") << false;
    }

    void readingAcrossUnplug()
    {
        QFETCH(bool, back);
        Fixture fx;
        SysfsTree sys;
        emu::ReaderModel card;
        card.cards.Card("00BC614E");
        UsbReader first(fx.portDir(), sys.path(), 1, "R1"),
            other(fx.portDir(), sys.path(), 1, "R2"),
            again(fx.portDir(), sys.path(), 1, "R1", card);
        QVERIFY(first.Plug());
        fx.StoreSystem("ScanCommNo", "1");
        TfrmModule& w = fx.OpenWindow();
        fx.Click(fx.ui()->btnScan);
        QVERIFY(w.ReaderFound);
        fx.beeps.clear();
        const QString waiting = QStringLiteral("reader unplugged, waiting for it");
        int step = 0, otherPolls = -1;
        qint64 resumedAfter = -1;
        QElapsedTimer clock;
        QTimer steps;
        connect(&steps, &QTimer::timeout, [&] {
            if (step == 0 && Polls(first.Reader(), 'F') >= 2) {
                first.Unplug();
                ++step;
            } else if (step == 1 && w.PortMessage() == waiting) {
                if (!back) {
                    fx.ui()->btnReadCard->click();
                    steps.stop();
                    return;
                }
                QVERIFY(other.Plug());
                clock.start();
                ++step;
            } else if (step == 2 && clock.elapsed() > 500) {
                otherPolls = Polls(other.Reader(), 'F');
                other.Unplug();
                QVERIFY(again.Plug());
                clock.start();
                ++step;
            } else if (step == 3 && fx.ui()->pnMsg->text().startsWith("Card ID : ")) {
                resumedAfter = clock.elapsed();
                fx.ui()->btnReadCard->click();
                steps.stop();
            }
        });
        steps.start(5);
        fx.Click(fx.ui()->btnReadCard);
        QVERIFY(!w.CardReadRunning);
        QVERIFY(w.PortMessage() != waiting);
        QCOMPARE(fx.beeps, (std::vector<std::pair<int, int>>{{1000, 300}}));
        if (!back)
            return;
        QCOMPARE(otherPolls, 0);
        QVERIFY2(resumedAfter >= 0 && resumedAfter < 2000,
                 qPrintable(QString::number(resumedAfter)));
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Card ID : 0012345678(D)  00BC614E(H)"));
        VerifyReleased(fx, again.Reader());
    }

    // The port held elsewhere: the run does not start; the next press starts
    // at once once it is free, and the window can be closed after the stop.
    void portWillNotOpen()
    {
        Fixture fx;
        emu::ReaderEmulator& r = fx.FoundReader(0);
        {
            emu::HeldPort holder(r.LinkPath());
            fx.Click(fx.ui()->btnReadCard);
        }
        QCOMPARE(fx.ui()->pnMsg->text(),
                 QStringLiteral("Open COM : 1 Error\nBusy: held by another program. (COM : #1)"));
        QCOMPARE(fx.window().CommColor(), 0x0000FFu);
        QCOMPARE(fx.beeps, (std::vector<std::pair<int, int>>{{300, 300}}));
        QVERIFY(r.Trace().empty());
        VerifyReleased(fx, r);
        QCOMPARE(fx.ui()->btnReadCard->text(), QStringLiteral("Read card"));
        QVERIFY(fx.ui()->btnEncode->isEnabled());

        QTimer stop;
        StopWhen(
            fx.ui()->btnReadCard, [&] { return Polls(r, 'F') >= 1; }, stop);
        fx.Click(fx.ui()->btnReadCard);
        QVERIFY(Polls(r, 'F') >= 1);
        QVERIFY(fx.window().close());
    }

    // Closing is refused while reading runs; a language switch takes effect
    // with the next card, and the captions follow it.
    void closeAndLanguageWhileReading()
    {
        Fixture fx;
        emu::ReaderModel m;
        m.cards.Pause(2).Card("00BC614E").Pause(1);
        emu::ReaderEmulator& r = fx.FoundReader(0, m);
        TfrmModule& w = fx.window();
        int refused = 0;
        QString caption;
        QTimer::singleShot(60, [&] {
            refused += !w.close();
            fx.ui()->mnuSimplified->trigger();
            caption = fx.ui()->btnReadCard->text();
        });
        QTimer stop;
        StopWhen(
            fx.ui()->btnReadCard, [&] { return r.Model().cards.Finished(); }, stop);
        fx.Click(fx.ui()->btnReadCard);
        QCOMPARE(refused, 1);
        QVERIFY(w.isVisible());
        QCOMPARE(caption, QStringLiteral("取消读卡"));
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("卡片ID : 0012345678(D)  00BC614E(H)"));
        QCOMPARE(fx.ui()->btnReadCard->text(), QStringLiteral("读取卡片"));
        QVERIFY(w.close());
    }
};

TESMORA_TEST_MAIN(TestCardReading)
#include "tst_cardreading.moc"
