// The traffic history: what a scan and an operation leave in it, read back
// from the ring and from its window, its bound, its saved file and its captions.
#include <QFile>
#include <QListView>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

#include <grp.h>
#include <sys/stat.h>

#include "filemodes.h"
#include "fixture.h"
#include "gui/history.h"

namespace {

using Kind = link::TrafficEntry::Kind;

// The entry as a line without its time stamp: "COM3 19200,e,8,1 (Scan reader) closed".
QString Untimed(const link::TrafficEntry& e)
{
    return link::EntryLine(e).section(QLatin1Char(' '), 2);
}

QStringList Untimed(const std::vector<link::TrafficEntry>& entries, int port)
{
    QStringList lines;
    for (const link::TrafficEntry& e : entries)
        if (e.port == port)
            lines << Untimed(e);
    return lines;
}

TfrmHistory& OpenHistory(Fixture& fx)
{
    fx.ui()->mnuHistory->trigger();
    TfrmHistory* h = fx.window().HistoryWindow();
    if (!h)
        qFatal("no history window");
    h->Refresh();
    return *h;
}

QStringList Rows(const TfrmHistory& h)
{
    QStringList rows;
    QAbstractItemModel* m = h.List()->model();
    for (int i = 0; i < m->rowCount(); ++i)
        rows << m->index(i, 0).data().toString();
    return rows;
}

QStringList Lines(const std::vector<link::TrafficEntry>& entries)
{
    QStringList lines;
    for (const link::TrafficEntry& e : entries)
        lines << link::EntryLine(e);
    return lines;
}

} // namespace

class TestHistory : public QObject
{
    Q_OBJECT

private slots:
    // A whole scan over ports that fail each for its own reason, then the
    // reader: every port with its reason, the dead port's tries, the reader's
    // conversation, all of it the scan's; the window shows the same lines.
    void scanWithEveryReason()
    {
        Fixture fx;
        fx.AddDeadPort(1);
        // COM2: no entry at all.
        fx.HoldPort(3);
        QFile plain(fx.portDir() + "/COM4");
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        emu::ReaderModel dead = Reader();
        dead.dead = true;
        emu::ReaderEmulator& locked = fx.AddReader(5, dead);
        QCOMPARE(::chown(locked.SlavePath().c_str(), 0, ::getgrnam("dialout")->gr_gid), 0);
        QCOMPARE(::chmod(locked.SlavePath().c_str(), 0), 0);
        fx.AddReader(6, Reader('A', 19200, "07"));
        TfrmModule& w = fx.OpenWindow();
        TfrmHistory& h = OpenHistory(fx);
        {
            FileModesHonoured modes;
            fx.Click(fx.ui()->btnScan);
        }
        QVERIFY(w.ReaderFound);
        QCOMPARE(w.ScanCommNo, 6);

        const auto entries = w.History().Entries();
        const QString dir = fx.portDir();
        const QString at = QStringLiteral("19200,e,8,1 (Scan reader) ");
        // Two tries on the dead port, each without an answer.
        const QString sent = QStringLiteral("COM1 ") + at + QStringLiteral("sent [09]A00B0A[0D]");
        const QString none =
            QStringLiteral("COM1 ") + at + QStringLiteral("received nothing - deadline passed");
        QCOMPARE(Untimed(entries, 1), (QStringList{"COM1 " + at + "opened " + dir + "/COM1", sent,
                                                   none, sent, none, "COM1 " + at + "closed"}));
        const QStringList reasons[] = {
            {"COM2 " + at + "not opened " + dir + "/COM2: missing"},
            {"COM3 " + at + "not opened " + dir + "/COM3: busy: held by another program"},
            {"COM4 " + at + "not opened " + dir + "/COM4: not a terminal"},
            {"COM5 " + at + "not opened " + dir +
             "/COM5: permission denied: add the account to the dialout group (adduser $USER "
             "dialout), then log in again"},
        };
        for (int port = 2; port <= 5; ++port)
            QCOMPARE(Untimed(entries, port), reasons[port - 2]);
        // The reader: identified, then asked for its version and interface.
        const QString six = "COM6 " + at;
        QCOMPARE(Untimed(entries, 6),
                 (QStringList{six + "opened " + dir + "/COM6", six + "sent [09]A00B0A[0D]",
                              six + "received [0A]A07B1234567806[0D] - accepted", six + "closed",
                              six + "opened " + dir + "/COM6", six + "sent [09]A07V19[0D]",
                              six + "received [0A]A07V05.00-011D[0D] - accepted",
                              six + "sent [09]A07A0E[0D]",
                              six + "received [0A]A07A00100C[0D] - accepted", six + "closed"}));
        QCOMPARE(int(entries.size()),
                 Untimed(entries, 1).size() + 4 + int(Untimed(entries, 6).size()));
        QCOMPARE(w.History().Operation(), QString());

        h.Refresh();
        QCOMPARE(Rows(h), Lines(entries));
        // scripts/history-screenshot.sh keeps this one.
        const QString shots = qEnvironmentVariable("TESMORA_SCREENSHOT_DIR");
        if (!shots.isEmpty()) {
            h.resize(1280, 420);
            h.List()->scrollToTop();
            QVERIFY(h.grab().save(shots + "/history-scan.png"));
        }
    }

    // Every operation of the operation frame names its entries by its title;
    // the outcome of each exchange comes with its bytes.
    void operationsNameTheirEntries()
    {
        Fixture fx;
        emu::ReaderEmulator& r = fx.FoundReader(0);
        TfrmModule& w = fx.window();
        w.History().Clear();
        r.ArmFault(emu::Fault::BadChecksum);
        fx.Click(fx.ui()->btnID);
        r.ArmFault(emu::Fault::PartialThenSilence);
        fx.Click(fx.ui()->btnCardType);
        const auto entries = w.History().Entries();
        QStringList operations;
        for (const link::TrafficEntry& e : entries)
            if (operations.isEmpty() || operations.last() != e.operation)
                operations << e.operation;
        QCOMPARE(operations, (QStringList{"Set reader ID", "Set card type"}));
        QStringList lines;
        for (const link::TrafficEntry& e : entries)
            lines << Untimed(e);
        const QString id = "COM1 19200,e,8,1 (Set reader ID) ";
        const QString type = "COM1 19200,e,8,1 (Set card type) ";
        const QString identify = "sent [09]A01B0B[0D]";
        const QString identified = "received [0A]A01B1234567800[0D] - accepted";
        QCOMPARE(lines, (QStringList{
                            id + "opened " + fx.portDir() + "/COM1",
                            id + identify,
                            id + "received [0A]A01B1234567801[0D] - bad checksum",
                            id + identify,
                            id + identified,
                            id + "sent [09]A01C123456780103[0D]",
                            id + "received [0A]A01C0009[0D] - accepted",
                            id + "closed",
                            type + "opened " + fx.portDir() + "/COM1",
                            type + identify,
                            type + "received [0A]A01B123 - deadline passed, 8 byte(s) had come",
                            type + identify,
                            type + identified,
                            type + "sent [09]A01A038[0D]",
                            type + "received [0A]A01A000B[0D] - accepted",
                            type + "closed",
                        }));
    }

    // A small ring keeps the newest entries, and so does its window.
    void boundKeepsTheNewest()
    {
        Fixture fx;
        fx.AddDeadPort(1);
        TfrmModule& w = fx.OpenWindow();
        TfrmHistory& h = OpenHistory(fx);
        w.History().SetCapacity(4);
        QStringList all;
        w.History().SetListener([&](const link::TrafficEntry& e) { all << link::EntryLine(e); });
        fx.Click(fx.ui()->btnScan);
        w.History().SetListener(nullptr);
        // COM1: opened, two tries of two, closed; COM2-16 missing.
        QCOMPARE(all.size(), 6 + 15);
        const QStringList kept = Lines(w.History().Entries());
        QCOMPARE(kept, all.mid(all.size() - 4));
        h.Refresh();
        QCOMPARE(Rows(h), kept);

        // Cleared from the window: the ring and the list are empty, and fill again.
        h.findChild<QPushButton*>("btnClear")->click();
        QVERIFY(w.History().Entries().empty());
        QCOMPARE(h.List()->model()->rowCount(), 0);
        all.clear();
        w.History().SetListener([&](const link::TrafficEntry& e) { all << link::EntryLine(e); });
        fx.Click(fx.ui()->btnScan);
        w.History().SetListener(nullptr);
        h.Refresh();
        QCOMPARE(Lines(w.History().Entries()), all.mid(all.size() - 4));
        QCOMPARE(Rows(h), all.mid(all.size() - 4));
    }

    // Received entries can hold thousands of characters: the ring is bounded by
    // their size too, the newest kept; and a capacity changed while entries
    // come keeps every entry at its own sequence number.
    void boundBySizeAndChangedWhileAdding()
    {
        link::TrafficHistory big(100, 20000);
        link::TrafficEntry e;
        e.text = QString(1000, 'x');
        for (int i = 0; i < 50; ++i)
            big.Add(e);
        QVERIFY(big.Bytes() <= 20000);
        const size_t fit = 20000 / link::TrafficHistory::Footprint(big.Entries().back());
        QCOMPARE(big.Entries().size(), fit);
        QCOMPARE(big.EndSequence() - big.FirstSequence(), uint64_t(fit));

        link::TrafficHistory ring(100);
        std::thread producer([&] {
            link::TrafficEntry n;
            for (int i = 0; i < 20000; ++i) {
                n.text = QString::number(i);
                ring.Add(n);
            }
        });
        for (int i = 0; i < 2000; ++i)
            ring.SetCapacity(size_t(50 + i % 100));
        producer.join();
        for (uint64_t s = ring.FirstSequence(); s < ring.EndSequence(); ++s)
            QCOMPARE(ring.At(s)->text, QString::number(s));
    }

    // A payload no frame can carry is recorded as refused, with nothing sent.
    void refusedPayloadIsRecorded()
    {
        Fixture fx;
        fx.AddReader(1, Reader('A', 19200, "01"));
        TfrmModule& w = fx.OpenWindow();
        QVERIFY(w.OpenPort(1, QStringLiteral("19200,e,8,1")));
        QVERIFY(!w.Exchange(QStringLiteral("A01") + QChar(0x4E2D)));
        w.ClosePort();
        QCOMPARE(
            Untimed(w.History().Entries(), 1),
            (QStringList{"COM1 19200,e,8,1 opened " + fx.portDir() + "/COM1",
                         "COM1 19200,e,8,1 refused before sending", "COM1 19200,e,8,1 closed"}));
    }

    // The saved file: every entry, one a line, in the order kept.
    void saveWritesOneEntryALine()
    {
        Fixture fx;
        fx.AddDeadPort(1);
        TfrmModule& w = fx.OpenWindow();
        TfrmHistory& h = OpenHistory(fx);
        fx.Click(fx.ui()->btnScan);
        QTemporaryDir dir;
        const QString path = dir.filePath("traffic.txt");
        QVERIFY(h.SaveTo(path));
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(saved.readAll());
        QVERIFY(text.endsWith('\n'));
        QCOMPARE(text.split('\n', Qt::SkipEmptyParts), Lines(w.History().Entries()));
        QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} COM1 ")
                    .match(text)
                    .hasMatch());
        QVERIFY(!h.SaveTo(dir.filePath("no/such/folder.txt")));
    }

    void followsTheLanguage_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("menu");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("save");
        QTest::addColumn<QString>("clear");
        QTest::newRow("simplified") << 1 << "通讯记录(&H)"
                                    << "通讯记录"
                                    << "另存新档..."
                                    << "清除";
        QTest::newRow("traditional") << 2 << "通訊紀錄(&H)"
                                     << "通訊紀錄"
                                     << "另存新檔..."
                                     << "清除";
        QTest::newRow("english") << 0 << "&History"
                                 << "Traffic history"
                                 << "Save as..."
                                 << "Clear";
    }

    // Opened in one language, switched to another: the window follows.
    void followsTheLanguage()
    {
        QFETCH(int, language);
        QFETCH(QString, menu);
        QFETCH(QString, title);
        QFETCH(QString, save);
        QFETCH(QString, clear);
        Fixture fx;
        fx.StoreUser("LanguageFlag", language == 0 ? "ChineseGB" : "English");
        fx.OpenWindow();
        TfrmHistory& h = OpenHistory(fx);
        QAction* items[] = {fx.ui()->mnuEnglish, fx.ui()->mnuSimplified, fx.ui()->mnuTraditional};
        items[language]->trigger();
        QCOMPARE(fx.ui()->mnuHistory->text(), menu);
        QCOMPARE(h.windowTitle(), title);
        QCOMPARE(h.findChild<QPushButton*>("btnSave")->text(), save);
        QCOMPARE(h.findChild<QPushButton*>("btnClear")->text(), clear);
        QCOMPARE(h.font().family(), fx.window().font().family());
    }
};

TESMORA_TEST_MAIN(TestHistory)
#include "tst_history.moc"
