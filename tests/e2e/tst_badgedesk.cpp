// The badge desk window over the emulator's queue of cards: the list grows
// with each new card, a repeat is told by its low double beep and not listed,
// and Stop ends the run and keeps the list.
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include "fixture.h"
#include "gui/badgedesk.h"
#include "ui_badgedesk.h"

class TestBadgeDesk : public QObject
{
    Q_OBJECT

private slots:
    void listAndStop()
    {
        Fixture fx;
        fx.OpenWindow();
        emu::ReaderEmulator& r = fx.FoundReader(0);
        // The box comes once the reader is found, so the scan takes none of it.
        emu::ReaderModel m = r.Model();
        m.queue.Em("00BC614E", 300, 100)
            .Em("0012D687", 300, 100)
            .Em("00BC614E", 300, 100)
            .Em("7F3A09C2", 60000, 100);
        r.SetModel(m);
        fx.window().mnuBadgeDeskClick();
        TfrmBadgeDesk& desk = *fx.window().BadgeDesk();
        Ui::frmBadgeDesk* f = desk.form();
        const auto count = [&](int hz) {
            return std::count_if(fx.beeps.begin(), fx.beeps.end(),
                                 [hz](const std::pair<int, int>& b) { return b.first == hz; });
        };
        QTimer stop;
        stop.setInterval(20);
        connect(&stop, &QTimer::timeout, [&] {
            if (f->twCards->rowCount() >= 3)
                f->btnStop->click();
        });
        stop.start();
        QTimer::singleShot(15000, [&] { f->btnStop->click(); }); // never hangs
        f->btnStart->click();                                    // returns once stopped
        stop.stop();
        QVERIFY(!desk.Running());
        QCOMPARE(f->twCards->rowCount(), 3);
        QCOMPARE(f->twCards->item(1, 1)->text(), QString("0012D687"));
        QCOMPARE(f->twCards->item(1, 2)->text(), QString("18"));
        QCOMPARE(f->twCards->item(2, 0)->text(), QString("3"));
        QVERIFY(f->lblCount->text().endsWith(" 3"));
        QCOMPARE(count(2000), 3);
        QCOMPARE(count(500), 2);
        QVERIFY(f->btnStart->isEnabled());
        QVERIFY(!f->btnStop->isEnabled());
        // Stopped: the reader hears nothing more, and the list stays.
        const size_t sent = r.ReceivedPayloads().size();
        QTest::qWait(300);
        QCOMPARE(r.ReceivedPayloads().size(), sent);
        QCOMPARE(f->twCards->rowCount(), 3);
    }
};

TESMORA_TEST_MAIN(TestBadgeDesk)
#include "tst_badgedesk.moc"
