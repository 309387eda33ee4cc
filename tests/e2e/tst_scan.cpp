// The reader scan, clicked in the real window against emulated readers.
#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QSet>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <optional>

#include "fixture.h"

using emu::Fault;

namespace {

int Count(const std::vector<std::string>& payloads, const std::string& p)
{
    return static_cast<int>(std::count(payloads.begin(), payloads.end(), p));
}

// Stores a found reader so that the scan finds it at once on the stored port.
void StorePort(Fixture& fx, int com, int modeNo, const QString& mode)
{
    fx.StoreSystem("ScanCommNo", QString::number(com));
    fx.StoreSystem("ScanBaudRateNo", QString::number(modeNo));
    fx.StoreSystem("ScanBaudRate", mode);
}

} // namespace

class TestScan : public QObject
{
    Q_OBJECT

private slots:
    void foundOnTheStoredPortAtOnce()
    {
        Fixture fx;
        emu::ReaderEmulator& r = fx.AddReader(3, Reader('A', 19200, "07"));
        StorePort(fx, 3, 5, "19200,e,8,1");
        TfrmModule& w = fx.OpenWindow();
        QStringList messages;
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            if (messages.isEmpty() || messages.last() != fx.ui()->pnMsg->text())
                messages << fx.ui()->pnMsg->text();
        });
        probe.start(5);
        QFile store(fx.SystemStorePath());
        QVERIFY(store.open(QIODevice::ReadOnly));
        const QByteArray before = store.readAll();
        store.close();

        fx.Click(fx.ui()->btnScan);
        probe.stop();

        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Reader find ok. (COM : #3)"));
        QVERIFY(messages.contains(QStringLiteral("Scan COM : #3")));
        QVERIFY(w.ReaderFound);
        QCOMPARE(w.ReaderIdText, QStringLiteral("07"));
        QCOMPARE(fx.ui()->pnID->text(), QStringLiteral("07"));
        QCOMPARE(fx.ui()->sbID->value(), 7);
        QCOMPARE(fx.ui()->pnSerial->text(), QStringLiteral("S/N : 12345678"));
        QCOMPARE(fx.ui()->pnVersion->text(), QStringLiteral("VER : 05.00-01"));
        QCOMPARE(w.CommColor(), 0x00FFFFu);
        QCOMPARE(fx.beeps.back(), std::make_pair(1000, 300));
        QVERIFY(w.isEnabled());
        // Type 1: identify at "00", then version and interface at the reader's own ID.
        QCOMPARE(r.ReceivedPayloads(), (std::vector<std::string>{"A00B", "A07V", "A07A"}));
        QVERIFY(store.open(QIODevice::ReadOnly));
        QCOMPARE(store.readAll(), before);
    }

    void storedPortHasThreeTries()
    {
        Fixture fx;
        emu::ReaderEmulator& r = fx.AddReader(3);
        r.ArmFault(Fault::NoAnswer, 2);
        StorePort(fx, 3, 5, "19200,e,8,1");
        TfrmModule& w = fx.OpenWindow();
        fx.Click(fx.ui()->btnScan);
        QVERIFY(w.ReaderFound);
        QCOMPARE(Count(r.ReceivedPayloads(), "A00B"), 3);
        QCOMPARE(w.ScanCommNo, 3);
    }

    // Locked with nothing stored: each mapped port is tried once at the
    // stored line setting, with two tries; no reader leaves the stored index.
    void lockedSearchWithoutReader()
    {
        Fixture fx;
        fx.StoreSystem("ScanBaudRateNo", "3");
        std::vector<emu::ReaderEmulator*> dead;
        for (int com : {1, 2, 16}) {
            emu::ReaderModel m = Reader('A', 9600);
            m.dead = true;
            dead.push_back(&fx.AddReader(com, m));
        }
        TfrmModule& w = fx.OpenWindow();
        QVERIFY(fx.ui()->chkLock->isChecked());
        fx.Click(fx.ui()->btnScan);

        for (emu::ReaderEmulator* d : dead) {
            auto trace = d->Trace();
            int tries = 0;
            for (const auto& e : trace) {
                if (e.kind != emu::TraceEntry::Received)
                    continue;
                QCOMPARE(e.bytes, std::string("A00B"));
                QVERIFY2(e.baudMatched, "tried at another line setting");
                ++tries;
            }
            QCOMPARE(tries, 2);
        }
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Reader not find"));
        QCOMPARE(fx.ui()->cmbBaudRate->currentText(), QStringLiteral("19200,e,8,1"));
        QCOMPARE(w.ScanBaudRateNo, 3);
        QCOMPARE(w.ScanCommNo, 0);
        QVERIFY(!w.ReaderFound);
        QCOMPARE(w.CommColor(), 0x0000FFu);
        QCOMPARE(fx.beeps.back(), std::make_pair(300, 300));
        QVERIFY(w.isEnabled());
    }

    void fastReader230400_data()
    {
        QTest::addColumn<bool>("locked");
        QTest::addColumn<int>("modeNo");
        QTest::addColumn<bool>("found");
        QTest::newRow("unlocked") << false << 5 << false;
        QTest::newRow("locked 12") << true << 12 << true;
        QTest::newRow("locked 13") << true << 13 << true;
    }

    void fastReader230400()
    {
        QFETCH(bool, locked);
        QFETCH(int, modeNo);
        QFETCH(bool, found);
        Fixture fx;
        emu::ReaderEmulator& r = fx.AddReader(1, Reader('A', 230400));
        fx.StoreSystem("ScanBaudRateNo", QString::number(modeNo));
        TfrmModule& w = fx.OpenWindow();
        fx.ui()->chkLock->setChecked(locked);
        fx.Click(fx.ui()->btnScan);
        QCOMPARE(w.ReaderFound, found);
        if (found) {
            QCOMPARE(w.ScanBaudRateNo, modeNo);
            QCOMPARE(fx.StoredSystem("ScanBaudRateNo").toInt(), modeNo);
        } else {
            // Twelve line settings, two tries each, none of them 230400.
            int tries = 0;
            for (const auto& e : r.Trace())
                if (e.kind == emu::TraceEntry::Received) {
                    QVERIFY(!e.baudMatched);
                    ++tries;
                }
            QCOMPARE(tries, 24);
        }
    }

    void identifyAnswerLength_data()
    {
        QTest::addColumn<int>("fault");
        QTest::newRow("15 bytes") << int(Fault::ShortByOne);
        QTest::newRow("17 bytes") << int(Fault::LongByOne);
    }

    void identifyAnswerLength()
    {
        QFETCH(int, fault);
        Fixture fx;
        emu::ReaderEmulator& r = fx.AddReader(1);
        r.ArmFault(Fault(fault), 100);
        TfrmModule& w = fx.OpenWindow();
        fx.Click(fx.ui()->btnScan);
        QVERIFY(!w.ReaderFound);
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Reader not find"));
        QCOMPARE(Count(r.ReceivedPayloads(), "A00B"), 2);
    }

    // Found by the search at an earlier index than the stored one: the store
    // holds where it was found, even though the settings then fail.
    void searchSavesWhereTheReaderWasFound()
    {
        Fixture fx;
        emu::ReaderModel m = Reader('H', 19200);
        m.silentCommands = {"V"};
        fx.AddReader(5, m);
        StorePort(fx, 3, 5, "19200,e,8,1");
        TfrmModule& w = fx.OpenWindow();
        fx.ui()->pcReader->setCurrentIndex(1);
        fx.ui()->chkLock->setChecked(false);
        fx.Click(fx.ui()->btnScan);

        QCOMPARE(w.ScanCommNo, 5);
        QCOMPARE(w.ScanBaudRate, QStringLiteral("19200,n,8,1"));
        QCOMPARE(w.ScanBaudRateNo, 4);
        QCOMPARE(fx.StoredSystem("ScanCommNo").toString(), QStringLiteral("5"));
        QCOMPARE(fx.StoredSystem("ScanBaudRate").toString(), QStringLiteral("19200,n,8,1"));
        QCOMPARE(fx.StoredSystem("ScanBaudRateNo").toString(), QStringLiteral("4"));
        QCOMPARE(fx.StoredSystem("ReaderType").toString(), QStringLiteral("1"));
        QCOMPARE(fx.ui()->cmbBaudRate->currentIndex(), 4);
        // The version went unanswered twice: not found, and said so.
        QVERIFY(!w.ReaderFound);
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Reader data error! (COM : #5)"));
        QCOMPARE(w.CommColor(), 0x0000FFu);
        QCOMPARE(fx.beeps.back(), std::make_pair(300, 300));
        QVERIFY(w.isEnabled());
    }

    void interfaceCardType_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("withCardType");
        QTest::addColumn<int>("cardType");
        QTest::newRow("type 1, 12 bytes") << 0 << true << 2;
        QTest::newRow("type 1, 11 bytes") << 0 << false << 0;
        QTest::newRow("type 2, 12 bytes") << 1 << true << 1;
        // Types without a card type leave the list as it was.
        QTest::newRow("type 3, 12 bytes") << 2 << true << -2;
    }

    void interfaceCardType()
    {
        QFETCH(int, type);
        QFETCH(bool, withCardType);
        QFETCH(int, cardType);
        Fixture fx;
        emu::ReaderModel m = Reader(type % 2 ? 'H' : 'A');
        m.interfaceMode = "1";
        m.wiegand = "2";
        m.rs485 = "3";
        m.cardType = cardType >= 0 ? std::to_string(cardType) : "2";
        m.interfaceWithCardType = withCardType;
        fx.AddReader(1, m);
        StorePort(fx, 1, 5, "19200,e,8,1");
        TfrmModule& w = fx.OpenWindow();
        fx.ui()->pcReader->setCurrentIndex(type);
        fx.ui()->cmbCardType->setCurrentIndex(1);
        fx.Click(fx.ui()->btnScan);
        QVERIFY(w.ReaderFound);
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Reader find ok. (COM : #1)"));
        QCOMPARE(fx.ui()->cmbMode->currentIndex(), 1);
        QCOMPARE(fx.ui()->cmbWiegand->currentIndex(), 2);
        QCOMPARE(fx.ui()->cmbRS485->currentIndex(), 3);
        QCOMPARE(fx.ui()->cmbCardType->currentIndex(), cardType >= 0 ? cardType : 1);
    }

    void type4Settings_data()
    {
        QTest::addColumn<QString>("silent");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("delay");
        QTest::addColumn<int>("sector");
        QTest::addColumn<bool>("keyB");
        QTest::addColumn<int>("keyErr");
        QTest::newRow("all answered") << "" << 5 << 12 << 0x27 << true << 3;
        QTest::newRow("no N") << "N" << 0 << 3 << 0x27 << true << 3;
        QTest::newRow("no a") << "a" << 5 << 12 << 0 << false << 1;
    }

    void type4Settings()
    {
        QFETCH(QString, silent);
        QFETCH(int, status);
        QFETCH(int, delay);
        QFETCH(int, sector);
        QFETCH(bool, keyB);
        QFETCH(int, keyErr);
        Fixture fx;
        emu::ReaderModel m = Reader('H');
        m.keyNumber = "12";
        m.keyParity = "1";
        m.keyStatus = "05";
        m.keyDelay = "12";
        m.idSector = "27";
        m.idBlock = "02";
        m.idByte = "1F";
        m.idKeyType = "01";
        m.idKeyErr = "03";
        if (!silent.isEmpty())
            m.silentCommands = {silent.toStdString()};
        emu::ReaderEmulator& r = fx.AddReader(1, m);
        StorePort(fx, 1, 5, "19200,e,8,1");
        TfrmModule& w = fx.OpenWindow();
        auto* ui = fx.ui();
        ui->pcReader->setCurrentIndex(3);
        ui->sbKeyStatusNumber->setValue(7);
        ui->sbM1IDSector->setValue(9);
        ui->rbM1IDKeyB->setChecked(true);
        fx.Click(ui->btnScan);

        QVERIFY(w.ReaderFound);
        QCOMPARE(ui->pnMsg->text(), QStringLiteral("Reader find ok. (COM : #1)"));
        QCOMPARE(ui->sbKeyNumber->value(), 12);
        QCOMPARE(ui->cmbKeyParity->currentIndex(), 1);
        QCOMPARE(ui->sbKeyStatusNumber->value(), status);
        QCOMPARE(ui->pnKeyStatusNumber->text(), QString::asprintf("%02d", status));
        QCOMPARE(ui->sbKeyDelayTime->value(), delay);
        QCOMPARE(ui->sbM1IDSector->value(), sector);
        QCOMPARE(ui->sbM1IDBlock->value(), sector ? 2 : 0);
        QCOMPARE(ui->sbM1IDByte->value(), sector ? 31 : 0);
        QCOMPARE(ui->rbM1IDKeyB->isChecked(), keyB);
        QCOMPARE(ui->rbM1IDKeyA->isChecked(), !keyB);
        QCOMPARE(ui->cmbM1IDKeyErr->currentIndex(), keyErr);
        QCOMPARE(r.ReceivedPayloads(), (std::vector<std::string>{"H00B", "H01V", "H01A", "H01L",
                                                                 "H01M", "H01N", "H01a"}));
    }

    void keyParityUnansweredSelectsWithParity()
    {
        Fixture fx;
        emu::ReaderModel m = Reader('H');
        m.silentCommands = {"M", "L"};
        fx.AddReader(1, m);
        StorePort(fx, 1, 5, "19200,e,8,1");
        TfrmModule& w = fx.OpenWindow();
        fx.ui()->pcReader->setCurrentIndex(1);
        fx.ui()->sbKeyNumber->setValue(9);
        fx.Click(fx.ui()->btnScan);
        QVERIFY(w.ReaderFound);
        QCOMPARE(fx.ui()->cmbKeyParity->currentIndex(), 1);
        QCOMPARE(fx.ui()->sbKeyNumber->value(), 9);
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Reader find ok. (COM : #1)"));
    }

    void versionButNoInterface()
    {
        Fixture fx;
        emu::ReaderModel m = Reader();
        m.silentCommands = {"A"};
        fx.AddReader(2, m);
        StorePort(fx, 2, 5, "19200,e,8,1");
        TfrmModule& w = fx.OpenWindow();
        fx.Click(fx.ui()->btnScan);
        QVERIFY(w.ReaderFound);
        QCOMPARE(fx.ui()->pnVersion->text(), QStringLiteral("VER : 05.00-01"));
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Reader data error! (COM : #2)"));
        QCOMPARE(w.CommColor(), 0x0000FFu);
        QCOMPARE(fx.beeps.back(), std::make_pair(300, 300));
    }

    // A field that does not convert ends the reads there; earlier fields keep
    // their new values and the outcome is the data error.
    void conversionErrorStopsTheReads_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<bool>("keyNumberRead");
        QTest::newRow("interface") << "interfaceMode" << false;
        QTest::newRow("key number") << "keyNumber" << false;
        QTest::newRow("key parity") << "keyParity" << true;
    }

    void conversionErrorStopsTheReads()
    {
        QFETCH(QString, field);
        QFETCH(bool, keyNumberRead);
        Fixture fx;
        emu::ReaderModel m = Reader('H');
        m.keyNumber = "12";
        if (field == "interfaceMode")
            m.interfaceMode = "X";
        else if (field == "keyNumber")
            m.keyNumber = "1X";
        else
            m.keyParity = "?";
        emu::ReaderEmulator& r = fx.AddReader(1, m);
        StorePort(fx, 1, 5, "19200,e,8,1");
        TfrmModule& w = fx.OpenWindow();
        fx.ui()->pcReader->setCurrentIndex(1);
        fx.Click(fx.ui()->btnScan);
        QVERIFY(w.ReaderFound);
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Reader data error! (COM : #1)"));
        QCOMPARE(fx.ui()->sbKeyNumber->value(), keyNumberRead ? 12 : 4);
        QCOMPARE(w.CommColor(), 0x0000FFu);
        // Nothing is asked after the field that failed.
        const auto payloads = r.ReceivedPayloads();
        QCOMPARE(Count(payloads, "H01M"), field == "keyParity" ? 1 : 0);
        QVERIFY(w.isEnabled());
    }

    void nonDecimalReaderId()
    {
        Fixture fx;
        emu::ReaderEmulator& r = fx.AddReader(1, Reader('A', 19200, "A7"));
        StorePort(fx, 1, 5, "19200,e,8,1");
        TfrmModule& w = fx.OpenWindow();
        fx.ui()->sbID->setValue(12);
        fx.Click(fx.ui()->btnScan);
        QCOMPARE(w.ReaderIdText, QStringLiteral("A7"));
        QCOMPARE(fx.ui()->pnID->text(), QStringLiteral("A7"));
        QCOMPARE(fx.ui()->sbID->value(), 12);
        QVERIFY(w.ReaderFound);
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Reader find ok. (COM : #1)"));
        QCOMPARE(r.ReceivedPayloads(), (std::vector<std::string>{"A00B", "AA7V", "AA7A"}));
        QVERIFY(w.isEnabled());
    }

    void messagesInTheCurrentLanguage()
    {
        Fixture fx;
        fx.AddReader(1);
        StorePort(fx, 1, 5, "19200,e,8,1");
        TfrmModule& w = fx.OpenWindow();
        fx.ui()->mnuTraditional->trigger();
        fx.Click(fx.ui()->btnScan);
        QVERIFY(w.ReaderFound);
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("讀卡機資訊完成. (串口 : #1)"));
        QCOMPARE(fx.ui()->pnSerial->text(), QStringLiteral("序號 : 12345678"));
        QCOMPARE(fx.ui()->pnVersion->text(), QStringLiteral("版本 : 05.00-01"));
        fx.ui()->mnuSimplified->trigger();
        w.ScanCommNo = 0;
        fx.ui()->chkLock->setChecked(true);
        w.ScanBaudRateNo = 0; // the reader does not answer at 4800
        fx.Click(fx.ui()->btnScan);
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("读卡机没有连线"));
    }

    // Unplugged in the middle of an answer: the scan ends with an outcome, the
    // port is closed and the window is usable again.
    void unpluggedDuringTheScan_data()
    {
        QTest::addColumn<char>("letter");
        QTest::newRow("during identify") << 'B';
        QTest::newRow("during version") << 'V';
    }

    void unpluggedDuringTheScan()
    {
        QFETCH(char, letter);
        const bool answered = letter != 'B';
        Fixture fx;
        emu::ReaderEmulator& r = fx.AddReader(1);
        r.ArmFaultFor(letter, Fault::HangUp);
        StorePort(fx, 1, 5, "19200,e,8,1");
        TfrmModule& w = fx.OpenWindow();
        QElapsedTimer t;
        t.start();
        fx.Click(fx.ui()->btnScan);
        QVERIFY(t.elapsed() < 10000);
        QVERIFY(w.isEnabled());
        QVERIFY(!w.PortIsOpen());
        QVERIFY(!w.ReaderFound);
        QCOMPARE(fx.ui()->pnMsg->text(), answered ? QStringLiteral("Reader data error! (COM : #1)")
                                                  : QStringLiteral("Reader not find"));
        QCOMPARE(w.CommColor(), 0x0000FFu);
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

    // A port held by another program fails to open and is skipped at once.
    void heldPortIsSkipped()
    {
        Fixture fx;
        fx.HoldPort(1);
        emu::ReaderEmulator& r = fx.AddReader(2);
        TfrmModule& w = fx.OpenWindow();
        QElapsedTimer t;
        t.start();
        fx.Click(fx.ui()->btnScan);
        QVERIFY(w.ReaderFound);
        QCOMPARE(w.ScanCommNo, 2);
        QCOMPARE(r.ReceivedPayloads().front(), std::string("A00B"));
        // No try was spent on the held port.
        QVERIFY(t.elapsed() < 1000);
    }

    // The search is visible: the start texts, each port tried, and each line
    // setting in cmbBaudRate as it is tried.
    void searchShowsItsProgress()
    {
        Fixture fx;
        fx.AddReader(2, Reader('A', 9600));
        TfrmModule& w = fx.OpenWindow();
        auto* ui = fx.ui();
        ui->chkLock->setChecked(false);
        ui->pnSerial->setText("S/N : 87654321");
        ui->pnID->setText("42");
        QStringList messages, serials, ids;
        QList<int> modes;
        auto sample = [&](QStringList& seen, const QString& text) {
            if (seen.isEmpty() || seen.last() != text)
                seen << text;
        };
        auto look = [&] {
            sample(messages, ui->pnMsg->text());
            sample(serials, ui->pnSerial->text());
            sample(ids, ui->pnID->text());
            if (modes.isEmpty() || modes.last() != ui->cmbBaudRate->currentIndex())
                modes << ui->cmbBaudRate->currentIndex();
        };
        // At every turn of the event loop, when a repaint would show them: a
        // timer's sample could fall between two turns on a busy machine.
        look();
        const auto probe = QObject::connect(QAbstractEventDispatcher::instance(),
                                            &QAbstractEventDispatcher::awake, look);
        fx.Click(ui->btnScan);
        QObject::disconnect(probe);
        look();
        QVERIFY(w.ReaderFound);
        // COM1 has no device: skipped without a message. COM2 answers at index 2.
        QCOMPARE(messages, (QStringList{"Start select reader type.", "Scan reader ....",
                                        "Scan COM : #2", "Reader find ok. (COM : #2)"}));
        QCOMPARE(serials, (QStringList{"S/N : 87654321", "S/N : ________", "S/N : 12345678"}));
        QCOMPARE(ids, (QStringList{"42", "__", "01"}));
        QCOMPARE(modes, (QList<int>{5, 0, 1, 2}));
    }

    // The version has two tries; each command of the settings phase follows
    // the answer before it by at least 100 ms.
    void settingsPhaseTriesAndPauses()
    {
        Fixture fx;
        emu::ReaderEmulator& r = fx.AddReader(1, Reader('H'));
        r.ArmFaultFor('V', Fault::NoAnswer, 1);
        StorePort(fx, 1, 5, "19200,e,8,1");
        TfrmModule& w = fx.OpenWindow();
        fx.ui()->pcReader->setCurrentIndex(3);
        fx.Click(fx.ui()->btnScan);
        QVERIFY(w.ReaderFound);
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Reader find ok. (COM : #1)"));
        QCOMPARE(r.ReceivedPayloads(), (std::vector<std::string>{"H00B", "H01V", "H01V", "H01A",
                                                                 "H01L", "H01M", "H01N", "H01a"}));
        // From the identify answer on: each command comes 100 ms after the last
        // event on the line (an answer, or the command that got none).
        const auto trace = r.Trace();
        std::optional<std::chrono::steady_clock::time_point> last;
        int paced = 0;
        for (const auto& e : trace) {
            if (e.kind == emu::TraceEntry::Received && last) {
                const double gap =
                    std::chrono::duration<double, std::milli>(e.time - *last).count();
                QVERIFY2(gap >= 100.0, qPrintable(QString::fromStdString(e.bytes) + " after " +
                                                  QString::number(gap) + " ms"));
                ++paced;
            }
            if (e.kind == emu::TraceEntry::Sent || last)
                last = e.time;
        }
        QCOMPARE(paced, 7);
    }

    void portWillNotOpenForTheSettings()
    {
        Fixture fx;
        emu::ReaderEmulator& r = fx.AddReader(1);
        r.ArmFaultFor('B', Fault::LinkRemoved);
        StorePort(fx, 1, 5, "19200,e,8,1");
        TfrmModule& w = fx.OpenWindow();
        fx.Click(fx.ui()->btnScan);
        QVERIFY(!w.ReaderFound);
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Reader data error! (COM : #1)"));
        QCOMPARE(fx.ui()->pnSerial->text(), QStringLiteral("S/N : 12345678"));
        QCOMPARE(r.ReceivedPayloads(), std::vector<std::string>{"A00B"});
        QCOMPARE(w.CommColor(), 0x0000FFu);
        QCOMPARE(fx.beeps.back(), std::make_pair(300, 300));
        QVERIFY(w.isEnabled());
    }

    // The hidden types, selected by the stored reader type: their letter, the
    // interface read, and the card type for types 5 and 6 only.
    void hiddenTypes_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<char>("prefix");
        QTest::addColumn<int>("cardType");
        QTest::newRow("Type 5") << 4 << 'J' << 2;
        QTest::newRow("Type 6") << 5 << 'I' << 2;
        QTest::newRow("Type 7") << 6 << 'J' << 1;
        QTest::newRow("Type 8") << 7 << 'I' << 1;
    }

    void hiddenTypes()
    {
        QFETCH(int, type);
        QFETCH(char, prefix);
        QFETCH(int, cardType);
        Fixture fx;
        emu::ReaderModel m = Reader(prefix);
        m.interfaceMode = "1";
        m.wiegand = "2";
        m.cardType = "2";
        emu::ReaderEmulator& r = fx.AddReader(1, m);
        StorePort(fx, 1, 5, "19200,e,8,1");
        fx.StoreSystem("ReaderType", QString::number(type));
        TfrmModule& w = fx.OpenWindow();
        fx.ui()->cmbCardType->setCurrentIndex(1);
        fx.Click(fx.ui()->btnScan);
        QVERIFY(w.ReaderFound);
        const std::string p(1, prefix);
        QCOMPARE(r.ReceivedPayloads(), (std::vector<std::string>{p + "00B", p + "01V", p + "01A"}));
        QCOMPARE(fx.ui()->cmbMode->currentIndex(), 1);
        QCOMPARE(fx.ui()->cmbWiegand->currentIndex(), 2);
        QCOMPARE(fx.ui()->cmbCardType->currentIndex(), cardType);
    }

    // A reader ID byte above ASCII goes back exactly as it came.
    void readerIdByteAboveAscii()
    {
        Fixture fx;
        emu::ReaderEmulator& r = fx.AddReader(1, Reader('A', 19200,
                                                        "\xB0"
                                                        "7"));
        StorePort(fx, 1, 5, "19200,e,8,1");
        TfrmModule& w = fx.OpenWindow();
        fx.Click(fx.ui()->btnScan);
        QVERIFY(w.ReaderFound);
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Reader find ok. (COM : #1)"));
        QCOMPARE(r.ReceivedPayloads(), (std::vector<std::string>{"A00B",
                                                                 "A\xB0"
                                                                 "7V",
                                                                 "A\xB0"
                                                                 "7A"}));
    }

    // A close request in the middle of a scan is refused silently: nothing is
    // saved and the scan ends as usual. Afterwards the window closes.
    void closeRefusedDuringTheScan()
    {
        Fixture fx;
        fx.AddDeadPort(1);
        TfrmModule& w = fx.OpenWindow();
        int requests = 0, refused = 0;
        QTimer::singleShot(200, [&] {
            ++requests;
            refused += !w.close();
        });
        fx.Click(fx.ui()->btnScan);
        QCOMPARE(requests, 1);
        QCOMPARE(refused, 1);
        QVERIFY(w.isVisible());
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Reader not find"));
        QVERIFY(!fx.SystemStoreExists());
        QVERIFY(w.close());
        QVERIFY(fx.SystemStoreExists());
    }

    void busyWhileScanning()
    {
        Fixture fx;
        fx.AddDeadPort(1);
        TfrmModule& w = fx.OpenWindow();
        QSet<uint32_t> colours;
        int samples = 0, enabledSamples = 0;
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            ++samples;
            enabledSamples += w.isEnabled();
            colours.insert(w.CommColor());
            QCOMPARE(QApplication::overrideCursor() ? QApplication::overrideCursor()->shape()
                                                    : Qt::ArrowCursor,
                     Qt::WaitCursor);
        });
        probe.start(50);
        fx.Click(fx.ui()->btnScan);
        probe.stop();
        QVERIFY(samples >= 8);
        QCOMPARE(enabledSamples, 0);
        QVERIFY(colours.contains(0x0000FFu));
        QVERIFY(colours.contains(0x00FFFFu));
        QVERIFY(w.isEnabled());
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }
};

TESMORA_TEST_MAIN(TestScan)
#include "tst_scan.moc"
