// COM numbers given any device through the store's Ports group, clicked in the
// real window: a mapped pty, or a reader behind ser2net, is found by the scan,
// and a mapping to something that is no terminal fails like a missing port
// without touching it; a server that never answers leaves the window alive.
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

#include "fixture.h"
#include "link/traffichistory.h"
#include "ser2net.h"
#include "usbreader.h"

namespace {

struct Stamp
{
    qint64 size = -1;
    qint64 mtimeNs = -1;
    bool operator==(const Stamp&) const = default;
};

Stamp StampOf(const QString& path)
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return {qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

} // namespace

class TestPortMap : public QObject
{
    Q_OBJECT

private slots:
    // COM5 is mapped; the port folder has a reader of its own on COM5 (which
    // the map must hide) and one on COM6 (which no entry touches).
    void mappedPort_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("foundOn");
        QTest::addColumn<QString>("id");
        QTest::newRow("pty elsewhere") << "pty" << 5 << "07";
        QTest::newRow("rfc2217 URL") << "rfc2217" << 5 << "07";
        QTest::newRow("regular file") << "file" << 6 << "06";
        QTest::newRow("folder") << "folder" << 6 << "06";
        QTest::newRow("/dev/null") << "/dev/null" << 6 << "06";
    }

    void mappedPort()
    {
        QFETCH(QString, target);
        QFETCH(int, foundOn);
        QFETCH(QString, id);
        Fixture fx;
        emu::ReaderEmulator& hidden = fx.AddReader(5, Reader('A', 19200, "05"));
        emu::ReaderEmulator& unmapped = fx.AddReader(6, Reader('A', 19200, "06"));
        QTemporaryDir elsewhere;
        QVERIFY(elsewhere.isValid());
        emu::ReaderEmulator mapped(Reader('A', 19200, "07"));
        QVERIFY(mapped.Start(elsewhere.path().toStdString(), 1));

        QString path = target;
        std::unique_ptr<Ser2net> server;
        if (target == "pty") {
            path = QString::fromStdString(mapped.SlavePath());
        } else if (target == "rfc2217") {
            if (QStandardPaths::findExecutable("ser2net").isEmpty())
                QSKIP("ser2net is not installed (scripts/setup.sh installs it)");
            std::vector<Ser2net::Entry> e{
                {"telnet(rfc2217),tcp", QString::fromStdString(mapped.SlavePath()), "9600n81"}};
            server = std::make_unique<Ser2net>(elsewhere.path(), e);
            path = QStringLiteral("rfc2217://127.0.0.1:%1").arg(e[0].port);
        } else if (target == "file") {
            path = elsewhere.filePath("reader");
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("not a reader");
        } else if (target == "folder") {
            path = elsewhere.path();
        }
        const Stamp before = StampOf(path);
        QTest::qWait(20); // a write now would move the mtime visibly

        fx.StoreSystem("Ports/COM5", path);
        fx.StoreSystem("ScanCommNo", "5");
        fx.StoreSystem("ScanBaudRateNo", "5");
        fx.StoreSystem("ScanBaudRate", "19200,e,8,1");
        TfrmModule& w = fx.OpenWindow();
        fx.Click(fx.ui()->btnScan);

        QVERIFY(w.ReaderFound);
        QCOMPARE(w.ScanCommNo, foundOn);
        QCOMPARE(w.ReaderIdText, id);
        QVERIFY(hidden.ReceivedPayloads().empty());
        QCOMPARE(unmapped.ReceivedPayloads().empty(), foundOn != 6);
        QCOMPARE(mapped.ReceivedPayloads().empty(), foundOn != 5);
        if (target != "pty" && !server)
            QCOMPARE(StampOf(path), before);
        if (server) {
            // The history names the server, not the COM number's device.
            bool named = false;
            for (const link::TrafficEntry& e : w.History().Entries())
                named = named || (e.port == 5 && link::EntryLine(e).contains(" opened " + path));
            QVERIFY(named);
        }
        mapped.Stop();
    }

    // A COM number mapped to a server that accepts and never says a word: the
    // scan waits out its bounds on it with the window's event loop running,
    // as a 10 ms timer's ticks show, and the history gives the reason.
    void silentServer()
    {
        Fixture fx;
        loopback::Listener silent;
        fx.StoreSystem("Ports/COM5", QStringLiteral("rfc2217://127.0.0.1:%1").arg(silent.port));
        fx.StoreSystem("ScanCommNo", "5");
        TfrmModule& w = fx.OpenWindow();
        QElapsedTimer clock;
        qint64 last = 0, longest = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, [&] {
            longest = std::max(longest, clock.elapsed() - last);
            last = clock.elapsed();
        });
        clock.start();
        tick.start(10);
        fx.Click(fx.ui()->btnScan);
        QVERIFY(!w.ReaderFound);
        QVERIFY(clock.elapsed() > 2500); // the bounds were waited out, not skipped
        longest = std::max(longest, clock.elapsed() - last); // the gap up to the end, too
        QVERIFY2(longest < 100, qPrintable(QString::number(longest)));
        bool told = false;
        for (const link::TrafficEntry& e : w.History().Entries())
            told = told || (e.port == 5 && link::EntryLine(e).contains("no answer"));
        QVERIFY(told);
    }

    // A device plugged in on a COM number, and unplugged, is told in the
    // status bar within a second, in the window's language, the message panel
    // left alone; the history names the adapter when it is opened.
    void plugMessages_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("plugged");
        QTest::addColumn<QString>("unplugged");
        QTest::newRow("English") << 0 << "COM5 plugged in: FT232R USB UART, S/N A1B2C3"
                                 << "COM5 unplugged";
        QTest::newRow("Simplified Chinese") << 1 << "串口 5 已插入: FT232R USB UART, 序号 A1B2C3"
                                            << "串口 5 已拔除";
        QTest::newRow("Traditional Chinese") << 2 << "串口 5 已插入: FT232R USB UART, 序號 A1B2C3"
                                             << "串口 5 已拔除";
    }

    void plugMessages()
    {
        QFETCH(int, language);
        QFETCH(QString, plugged);
        QFETCH(QString, unplugged);
        Fixture fx;
        SysfsTree sys;
        fx.StoreSystem("ScanCommNo", "5");
        TfrmModule& w = fx.OpenWindow();
        w.SetLanguage(language);
        UsbReader usb(fx.portDir(), sys.path(), 5, "A1B2C3");
        const QString panel = fx.ui()->pnMsg->text();
        QVERIFY(usb.Plug());
        QTRY_COMPARE_WITH_TIMEOUT(w.PortMessage(), plugged, 1000);
        QCOMPARE(fx.ui()->pnMsg->text(), panel);
        if (language == 0) {
            fx.Click(fx.ui()->btnScan);
            QVERIFY(w.ReaderFound);
            bool named = false;
            for (const link::TrafficEntry& e : w.History().Entries())
                named = named || link::EntryLine(e).endsWith(
                                     " opened " + usb.Com() +
                                     " (FT232R USB UART (FTDI, 0403:6001, serial A1B2C3), " +
                                     usb.ById() + ")");
            QVERIFY(named);
        }
        const QString before = fx.ui()->pnMsg->text();
        usb.Unplug();
        QTRY_COMPARE_WITH_TIMEOUT(w.PortMessage(), unplugged, 1000);
        QCOMPARE(fx.ui()->pnMsg->text(), before);
    }
};

TESMORA_TEST_MAIN(TestPortMap)
#include "tst_portmap.moc"
