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
        const size_t sent = d.reader->ReceivedPayloads().size();
        QTest::qWait(300);
        QCOMPARE(d.reader->ReceivedPayloads().size(), sent);
        QCOMPARE(f->twCards->rowCount(), 3);
    }

    // During a run: "Save as CSV..." onto the list itself, after which the
    // cards still go into it; the desk closed, or the application left, which
    // stops the run after the read under way, then closes. Every row is on disk.
    void duringRun_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("rows");
        QTest::newRow("saved over itself") << "save" << 3;
        QTest::newRow("the desk closed") << "close" << 2;
        QTest::newRow("File, Exit") << "exit" << 2;
    }
    void duringRun()
    {
        QFETCH(QString, action);
        QFETCH(int, rows);
        Desk d([](emu::CardQueue& q) {
            q.Em("00BC614E", 300, 100).Em("0012D687", 300, 100).Em("7F3A09C2", 60000, 300);
        });
        bool heldOpen = false;
        d.Run(action == "save" ? 1 : 2, [&] {
            if (action == "save") {
                QVERIFY(d.desk->SaveList(d.list));
                QTimer::singleShot(1500, [&] { d.f->btnStop->click(); });
            } else {
                action == "exit" ? d.fx.window().mnuExitClick() : void(d.desk->close());
                heldOpen = d.desk->isVisible();
            }
        });
        QVERIFY(!d.desk->Running());
        QCOMPARE(FileRows(d.list).size(), rows);
        QCOMPARE(d.f->twCards->rowCount(), rows);
        QCOMPARE(d.desk->isVisible(), action == "save");
        QCOMPARE(heldOpen, action != "save"); // held until the run stopped
        QCOMPARE(d.fx.window().isVisible(), action != "exit");
    }
};

TESMORA_TEST_MAIN(TestBadgeDesk)
#include "tst_badgedesk.moc"
