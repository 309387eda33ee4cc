// The badge desk window over the emulator's queue of cards: the list grows
// with each new card, on its file as it is read; a repeat is told by its low
// double beep and not listed; Stop ends the run and keeps the list; the list
// saved over itself is still appended to; a close or the application's exit
// during a run stops the run first.
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "fixture.h"
#include "gui/badgedesk.h"
#include "ui_badgedesk.h"

namespace {

// The list's rows on the disk, header left out.
QStringList FileRows(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList rows = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    rows.removeFirst();
    return rows;
}

// A desk on a found reader with a box of cards coming, its list asked for as `list`.
struct Desk
{
    Fixture fx;
    QTemporaryDir dir;
    QString list = dir.filePath("box.csv");
    emu::ReaderEmulator* reader = nullptr;
    TfrmBadgeDesk* desk = nullptr;
    Ui::frmBadgeDesk* f = nullptr;

    explicit Desk(const std::function<void(emu::CardQueue&)>& box)
    {
        fx.OpenWindow();
        reader = &fx.FoundReader(0);
        // The box comes once the reader is found, so the scan takes none of it.
        emu::ReaderModel m = reader->Model();
        box(m.queue);
        reader->SetModel(m);
        TfrmBadgeDesk::SetFileHook([this](bool) { return list; });
        fx.window().mnuBadgeDeskClick();
        desk = fx.window().BadgeDesk();
        f = desk->form();
    }
    ~Desk() { TfrmBadgeDesk::SetFileHook({}); }

    // Start, with `during` done once the table has `rows` rows; returns when the run ended.
    void Run(int rows, const std::function<void()>& during)
    {
        QTimer watch;
        watch.setInterval(20);
        bool done = false;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (!done && f->twCards->rowCount() >= rows) {
                done = true;
                during();
            }
        });
        watch.start();
        QTimer::singleShot(20000, [&] { f->btnStop->click(); }); // never hangs
        f->btnStart->click();                                    // returns once stopped
    }
    // The reader hears nothing more.
    void VerifyQuiet()
    {
        const size_t sent = reader->ReceivedPayloads().size();
        QTest::qWait(300);
        QCOMPARE(reader->ReceivedPayloads().size(), sent);
    }
};

} // namespace

class TestBadgeDesk : public QObject
{
    Q_OBJECT

private slots:
    void listAndStop()
    {
        Desk d([](emu::CardQueue& q) {
            q.Em("00BC614E", 300, 100)
                .Em("0012D687", 300, 100)
                .Em("00BC614E", 300, 100)
                .Em("7F3A09C2", 60000, 100);
        });
        Ui::frmBadgeDesk* f = d.f;
        const auto count = [&](int hz) {
            return std::count_if(d.fx.beeps.begin(), d.fx.beeps.end(),
                                 [hz](const std::pair<int, int>& b) { return b.first == hz; });
        };
        QStringList onDisk; // the file as the third card was listed
        d.Run(3, [&] {
            onDisk = FileRows(d.list);
            f->btnStop->click();
        });
        QVERIFY(!d.desk->Running());
        QCOMPARE(f->twCards->rowCount(), 3);
        QCOMPARE(onDisk.size(), 3);
        QVERIFY(onDisk[1].contains(",0012D687,"));
        QCOMPARE(f->twCards->item(1, 1)->text(), QString("0012D687"));
        QCOMPARE(f->twCards->item(1, 2)->text(), QString("18"));
        QCOMPARE(f->twCards->item(2, 0)->text(), QString("3"));
        QVERIFY(f->lblCount->text().endsWith(" 3"));
        QCOMPARE(count(2000), 3);
        QCOMPARE(count(500), 2);
        QVERIFY(f->btnStart->isEnabled());
        QVERIFY(!f->btnStop->isEnabled());
        // Stopped: the reader hears nothing more, and the list stays.
        d.VerifyQuiet();
        QCOMPARE(f->twCards->rowCount(), 3);
    }

    // "Save as CSV..." onto the list itself: the cards after it still go into it.
    void listSavedOverItself()
    {
        Desk d([](emu::CardQueue& q) {
            q.Em("00BC614E", 300, 100).Em("0012D687", 300, 100).Em("7F3A09C2", 60000, 300);
        });
        d.Run(1, [&] {
            QVERIFY(d.desk->SaveList(d.list));
            QTimer::singleShot(1500, [&] { d.f->btnStop->click(); });
        });
        QCOMPARE(d.f->twCards->rowCount(), 3);
        QCOMPARE(FileRows(d.list).size(), 3);
        QVERIFY(FileRows(d.list)[2].contains(",7F3A09C2,"));
    }

    // The desk closed, or the application left, in the middle of a run: the
    // run stops after the read under way, then the window closes; every row
    // is on the disk.
    void closedDuringRun_data()
    {
        QTest::addColumn<bool>("exit");
        QTest::newRow("the desk closed") << false;
        QTest::newRow("File, Exit") << true;
    }
    void closedDuringRun()
    {
        QFETCH(bool, exit);
        Desk d([](emu::CardQueue& q) { q.Em("00BC614E", 300, 100).Em("0012D687", 60000, 300); });
        bool visibleAfterClose = false;
        d.Run(2, [&] {
            if (exit)
                d.fx.window().mnuExitClick();
            else
                d.desk->close();
            visibleAfterClose = d.desk->isVisible();
        });
        QVERIFY(visibleAfterClose); // held until the run stopped
        QVERIFY(!d.desk->Running());
        QVERIFY(!d.desk->isVisible());
        QCOMPARE(d.fx.window().isVisible(), !exit);
        QCOMPARE(FileRows(d.list).size(), 2);
        d.VerifyQuiet();
    }
};

TESMORA_TEST_MAIN(TestBadgeDesk)
#include "tst_badgedesk.moc"
