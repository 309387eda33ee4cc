// The reader configuration operations, clicked in the real window against an
// emulated reader that a real scan found first.
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <functional>

#include "fixture.h"

using emu::Fault;
using Payloads = std::vector<std::string>;

Q_DECLARE_METATYPE(Payloads)

namespace {

using Setup = std::function<void(Ui::frmModule*)>;
using ModelSetup = std::function<void(emu::ReaderModel&)>;

} // namespace

class TestConfig : public QObject
{
    Q_OBJECT

private slots:
    // Without a scan: the low beep and a red indicator, nothing else.
    void noReaderFound_data()
    {
        QTest::addColumn<QString>("button");
        for (const char* b : {"btnID", "btnBaudRate", "btnMode", "btnTest", "btnCardType",
                              "btnKeyParity", "btnKeyNumber", "btnKeyStatus", "btnFactory"})
            QTest::newRow(b) << b;
    }

    void noReaderFound()
    {
        QFETCH(QString, button);
        Fixture fx;
        emu::ReaderEmulator& r = fx.AddReader(1);
        fx.StoreSystem("ScanCommNo", "1");
        TfrmModule& w = fx.OpenWindow();
        w.SetCommColor(0x00FFFF);
        fx.ui()->pnMsg->setText("before");
        fx.ui()->sbID->setValue(42);
        fx.ui()->cmbMode->setCurrentIndex(1);
        fx.Click(w.findChild<QPushButton*>(button));
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("before"));
        QCOMPARE(w.CommColor(), 0x0000FFu);
        QCOMPARE(fx.beeps, (std::vector<std::pair<int, int>>{{300, 300}}));
        QVERIFY(r.Trace().empty());
        QCOMPARE(fx.ui()->sbID->value(), 42);
        QCOMPARE(fx.ui()->cmbMode->currentIndex(), 1);
        VerifyReleased(fx, r);
    }

    // Each operation's commands, as the reader receives them, and its outcome.
    void operations_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("button");
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<Payloads>("payloads");
        QTest::addColumn<QString>("message");
        auto none = [](Ui::frmModule*) {};
        QTest::newRow("ID 07") << 0 << "btnID"
                               << Setup([](Ui::frmModule* f) { f->sbID->setValue(7); })
                               << Payloads{"A01B", "A01C1234567807"} << "Set reader ID ok.";
        QTest::newRow("baud 11") << 0 << "btnBaudRate" << Setup([](Ui::frmModule* f) {
            f->cmbBaudRate->setCurrentIndex(11);
        }) << Payloads{"A01B", "A01EB"}
                                 << "Set Reader baud rate ok.";
        QTest::newRow("baud 5") << 0 << "btnBaudRate" << Setup(none) << Payloads{"A01B", "A01E5"}
                                << "Set Reader baud rate ok.";
        QTest::newRow("interface 123") << 0 << "btnMode" << Setup([](Ui::frmModule* f) {
            f->cmbMode->setCurrentIndex(1);
            f->cmbWiegand->setCurrentIndex(2);
            f->cmbRS485->setCurrentIndex(3);
        }) << Payloads{"A01B", "A01A123"}
                                       << "Set reader interface ok.";
        QTest::newRow("interface 001") << 0 << "btnMode" << Setup(none)
                                       << Payloads{"A01B", "A01A001"} << "Set reader interface ok.";
        QTest::newRow("card type SECURITY") << 0 << "btnCardType" << Setup([](Ui::frmModule* f) {
            f->cmbCardType->setCurrentIndex(2);
        }) << Payloads{"A01B", "A01A2"} << "Set card type ok.";
        QTest::newRow("key parity")
            << 1 << "btnKeyParity"
            << Setup([](Ui::frmModule* f) { f->cmbKeyParity->setCurrentIndex(1); })
            << Payloads{"H01B", "H01M1"} << "Set key parity ok.";
        QTest::newRow("key number 16")
            << 1 << "btnKeyNumber" << Setup([](Ui::frmModule* f) { f->sbKeyNumber->setValue(16); })
            << Payloads{"H01B", "H01L16"} << "Set key number ok.";
        QTest::newRow("key number 0")
            << 1 << "btnKeyNumber" << Setup([](Ui::frmModule* f) { f->sbKeyNumber->setValue(0); })
            << Payloads{"H01B", "H01L00"} << "Set key number ok.";
        QTest::newRow("key status 5, delay 7")
            << 3 << "btnKeyStatus" << Setup([](Ui::frmModule* f) {
                   f->sbKeyStatusNumber->setValue(5);
                   f->sbKeyDelayTime->setValue(7);
               })
            << Payloads{"H01B", "H01N0507"} << "Set key status code ok.";
        QTest::newRow("key status 0, delay 99")
            << 3 << "btnKeyStatus" << Setup([](Ui::frmModule* f) {
                   f->sbKeyStatusNumber->setValue(0);
                   f->sbKeyDelayTime->setValue(99);
               })
            << Payloads{"H01B", "H01N0099"} << "Set key status code ok.";
        // One frame, the text as typed, no identify: answered or not.
        QTest::newRow("test empty")
            << 0 << "btnTest" << Setup([](Ui::frmModule* f) { f->edTest->clear(); })
            << Payloads{"A01"} << "Command test error!";
        QTest::newRow("test lower case")
            << 0 << "btnTest" << Setup([](Ui::frmModule* f) { f->edTest->setText("a"); })
            << Payloads{"A01a"} << "Command test ok.";
        QTest::newRow("test unanswered")
            << 0 << "btnTest" << Setup(none) << Payloads{"A01H1"} << "Command test error!";
        // Chinese has no single-byte form: refused before anything is sent.
        QTest::newRow("test unsendable")
            << 0 << "btnTest" << Setup([](Ui::frmModule* f) { f->edTest->setText("H1测"); })
            << Payloads{} << "Command test error!";
    }

    void operations()
    {
        QFETCH(int, type);
        QFETCH(QString, button);
        QFETCH(Setup, setup);
        QFETCH(Payloads, payloads);
        QFETCH(QString, message);
        Fixture fx;
        emu::ReaderEmulator& r = fx.FoundReader(type);
        TfrmModule& w = fx.window();
        setup(fx.ui());
        QPushButton* pressed = w.findChild<QPushButton*>(button);
        fx.Click(pressed);
        const bool ok = message.endsWith("ok.");
        QCOMPARE(r.ReceivedPayloads(), payloads);
        VerifyDuring(fx, pressed->text(), payloads);
        VerifyPauses(r);
        QCOMPARE(fx.ui()->pnMsg->text(), message);
        QCOMPARE(w.CommColor(), ok ? 0x00FFFFu : 0x0000FFu);
        QCOMPARE(fx.beeps, (std::vector<std::pair<int, int>>{{ok ? 1000 : 300, 300}}));
        VerifyReleased(fx, r);
    }

    // A value the reader reported that a list does not hold leaves it without a
    // selection: its operation fails at once and sends nothing.
    void listWithoutSelection_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<ModelSetup>("model");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("message");
        QTest::newRow("RS-485 7") << 0 << ModelSetup([](emu::ReaderModel& m) { m.rs485 = "7"; })
                                  << "btnMode"
                                  << "Set reader interface error!";
        QTest::newRow("Wiegand 5")
            << 0 << ModelSetup([](emu::ReaderModel& m) { m.wiegand = "5"; }) << "btnMode"
            << "Set reader interface error!";
        QTest::newRow("card type 5")
            << 0 << ModelSetup([](emu::ReaderModel& m) { m.cardType = "5"; }) << "btnCardType"
            << "Set card type error!";
        QTest::newRow("key parity 2")
            << 1 << ModelSetup([](emu::ReaderModel& m) { m.keyParity = "2"; }) << "btnKeyParity"
            << "Set key parity error!";
        QTest::newRow("key error 04")
            << 2 << ModelSetup([](emu::ReaderModel& m) { m.idKeyErr = "04"; }) << "btnM1IDSector"
            << "Set sector/block/byte error!";
    }

    void listWithoutSelection()
    {
        QFETCH(int, type);
        QFETCH(ModelSetup, model);
        QFETCH(QString, button);
        QFETCH(QString, message);
        Fixture fx;
        emu::ReaderModel m;
        model(m);
        emu::ReaderEmulator& r = fx.FoundReader(type, m);
        fx.Click(fx.window().findChild<QPushButton*>(button));
        QVERIFY(r.Trace().empty());
        QCOMPARE(fx.ui()->pnMsg->text(), message);
        QCOMPARE(fx.window().CommColor(), 0x0000FFu);
        QCOMPARE(fx.beeps, (std::vector<std::pair<int, int>>{{300, 300}}));
        VerifyReleased(fx, r);
    }

    // A valid identify answer of another length fails the attempt before the
    // set command; two of them fail the operation.
    void identifyOfAnotherLength_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("message");
        QTest::newRow("set ID") << 0 << "btnID"
                                << "Set reader ID error!";
        QTest::newRow("key status") << 3 << "btnKeyStatus"
                                    << "Set key status code error!";
        QTest::newRow("factory") << 0 << "btnFactory"
                                 << "Set factory default error!";
    }

    void identifyOfAnotherLength()
    {
        QFETCH(int, type);
        QFETCH(QString, button);
        QFETCH(QString, message);
        Fixture fx;
        emu::ReaderEmulator& r = fx.FoundReader(type);
        r.ArmFaultFor('B', Fault::LongByOne, 2);
        fx.Click(fx.window().findChild<QPushButton*>(button));
        const std::string identify = type == 3 ? "H01B" : "A01B";
        QCOMPARE(r.ReceivedPayloads(), (Payloads{identify, identify}));
        QCOMPARE(fx.ui()->pnMsg->text(), message);
        VerifyReleased(fx, r);
    }

    // The new ID reaches the tool only through a new scan: the next command
    // still carries the old one, while pnID shows the new.
    void newIdKeepsTheOldAddress()
    {
        Fixture fx;
        emu::ReaderEmulator& r = fx.FoundReader(0, Reader('A', 19200, "05"));
        fx.ui()->sbID->setValue(7);
        fx.Click(fx.ui()->btnID);
        fx.Click(fx.ui()->btnMode);
        QCOMPARE(r.ReceivedPayloads(), (Payloads{"A05B", "A05C1234567807", "A05B", "A05A001"}));
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Set reader interface ok."));
        QCOMPARE(fx.window().ReaderIdText, QStringLiteral("05"));
        QCOMPARE(fx.ui()->pnID->text(), QStringLiteral("07"));
        QCOMPARE(r.Model().id, std::string("07"));
    }

    // After a change to 230400 the next operation opens the port at it; nothing
    // is saved until the window closes.
    void baudRateMovesThePort()
    {
        Fixture fx;
        emu::ReaderEmulator& r = fx.FoundReader(0);
        TfrmModule& w = fx.window();
        fx.ui()->cmbBaudRate->setCurrentIndex(12);
        fx.Click(fx.ui()->btnBaudRate);
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Set Reader baud rate ok."));
        QCOMPARE(w.ScanBaudRateNo, 12);
        QCOMPARE(w.ScanBaudRate, QStringLiteral("230400,n,8,1"));
        QCOMPARE(fx.StoredSystem("ScanBaudRateNo").toString(), QStringLiteral("5"));
        QCOMPARE(r.Model().baud, 230400);
        r.ClearTrace();
        fx.Click(fx.ui()->btnMode);
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Set reader interface ok."));
        for (const auto& e : r.Trace())
            QVERIFY(e.baudMatched);
        fx.CloseWindow();
        QCOMPARE(fx.StoredSystem("ScanBaudRateNo").toString(), QStringLiteral("12"));
        QCOMPARE(fx.StoredSystem("ScanBaudRate").toString(), QStringLiteral("230400,n,8,1"));
    }

    void factoryDefault_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("refused");
        QTest::addColumn<bool>("strict");
        QTest::addColumn<Payloads>("payloads");
        QTest::addColumn<bool>("ok");
        QTest::newRow("type 5") << 4 << "" << false
                                << Payloads{"J01B", "J01C1234567801", "J01A001", "J01E5"} << true;
        QTest::newRow("type 4") << 3 << "" << false
                                << Payloads{"H01B",  "H01C1234567801", "H01A001",        "H01L04",
                                            "H01M0", "H01N0003",       "H01a0000000001", "H01E5"}
                                << true;
        QTest::newRow("type 2") << 1 << "" << false
                                << Payloads{"H01B",  "H01C1234567801", "H01A001", "H01L04",
                                            "H01M0", "H01A0",          "H01E5"}
                                << true;
        QTest::newRow("type 3") << 2 << "" << false
                                << Payloads{"A01B", "A01C1234567801", "A01A001", "A01a0000000001",
                                            "A01E5"}
                                << true;
        QTest::newRow("type 1, A0 refused")
            << 0 << "A0" << false << Payloads{"A01B", "A01C1234567801", "A01A001", "A01A0", "A01E5"}
            << true;
        QTest::newRow("type 1, A001 refused")
            << 0 << "A001" << false
            << Payloads{"A01B", "A01C1234567801", "A01A001", "A01B", "A01C1234567801", "A01A001"}
            << false;
        // A reader that takes the new ID at once no longer answers the old one.
        QTest::newRow("type 1, strict ID")
            << 0 << "" << true << Payloads{"A07B", "A07C1234567801", "A07A001", "A07B"} << false;
    }

    void factoryDefault()
    {
        QFETCH(int, type);
        QFETCH(QString, refused);
        QFETCH(bool, strict);
        QFETCH(Payloads, payloads);
        QFETCH(bool, ok);
        Fixture fx;
        emu::ReaderModel m = Reader('A', 19200, strict ? "07" : "01");
        m.strictId = strict;
        if (!refused.isEmpty())
            m.silentCommands = {refused.toStdString()};
        emu::ReaderEmulator& r = fx.FoundReader(type, m);
        auto* f = fx.ui();
        f->sbID->setValue(33);
        f->cmbBaudRate->setCurrentIndex(2);
        f->cmbMode->setCurrentIndex(1);
        f->cmbWiegand->setCurrentIndex(2);
        f->cmbRS485->setCurrentIndex(3);
        f->cmbCardType->setCurrentIndex(2);
        f->sbKeyNumber->setValue(9);
        f->sbKeyStatusNumber->setValue(6);
        f->sbKeyDelayTime->setValue(50);
        f->cmbKeyParity->setCurrentIndex(1);
        f->cmbM1IDKeyErr->setCurrentIndex(3);
        f->sbM1IDByte->setValue(12);
        f->rbM1IDKeyB->setChecked(true);
        fx.Click(f->btnFactory);
        QCOMPARE(r.ReceivedPayloads(), payloads);
        VerifyPauses(r);
        QCOMPARE(f->pnMsg->text(), ok ? QStringLiteral("Set factory default ok.")
                                      : QStringLiteral("Set factory default error!"));
        // The common controls, whatever the outcome.
        QCOMPARE(f->sbID->value(), 1);
        QCOMPARE(f->pnID->text(), QStringLiteral("01"));
        QCOMPARE(f->cmbBaudRate->currentIndex(), 5);
        QCOMPARE(f->cmbMode->currentIndex(), 0);
        QCOMPARE(f->cmbWiegand->currentIndex(), 0);
        QCOMPARE(f->cmbRS485->currentIndex(), 1);
        // The type's own controls: all types set the card type; the keypad types
        // (2 and 4) the key number and parity; type 4 the key status; the MIFARE
        // types (3 and 4) the ID location.
        const bool keypad = type == 1 || type == 3, status = type == 3,
                   mifare = type == 2 || type == 3;
        QCOMPARE(f->cmbCardType->currentIndex(), 0);
        QCOMPARE(f->sbKeyNumber->value(), keypad ? 4 : 9);
        QCOMPARE(f->pnKeyNumber->text(), keypad ? QStringLiteral("04") : QStringLiteral("09"));
        QCOMPARE(f->cmbKeyParity->currentIndex(), keypad ? 0 : 1);
        QCOMPARE(f->sbKeyStatusNumber->value(), status ? 0 : 6);
        QCOMPARE(f->sbKeyDelayTime->value(), status ? 3 : 50);
        QCOMPARE(f->sbM1IDByte->value(), mifare ? 0 : 12);
        QCOMPARE(f->rbM1IDKeyA->isChecked(), mifare);
        QCOMPARE(f->cmbM1IDKeyErr->currentIndex(), mifare ? 1 : 3);
        VerifyReleased(fx, r);
    }

    // A required command of the type that goes unanswered ends the attempt
    // before "E5"; an optional one does not.
    void factoryCommandRequired_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("required");
        const struct
        {
            int type;
            const char* command;
            bool required;
        } rows[] = {
            {1, "A001", true},   {1, "L04", true},          {1, "M0", false},
            {1, "A0", false},    {2, "A001", true},         {2, "a0000000001", false},
            {3, "A001", true},   {3, "L04", true},          {3, "M0", false},
            {3, "N0003", false}, {3, "a0000000001", false}, {4, "A001", true},
            {5, "A001", true},   {6, "A001", true},         {7, "A001", true},
        };
        for (const auto& r : rows)
            QTest::addRow("type %d, %s", r.type + 1, r.command)
                << r.type << r.command << r.required;
    }

    void factoryCommandRequired()
    {
        QFETCH(int, type);
        QFETCH(QString, command);
        QFETCH(bool, required);
        Fixture fx;
        emu::ReaderModel m;
        m.silentCommands = {command.toStdString()};
        emu::ReaderEmulator& r = fx.FoundReader(type, m);
        fx.Click(fx.ui()->btnFactory);
        int identifies = 0, bauds = 0;
        for (const std::string& p : r.ReceivedPayloads()) {
            identifies += p.substr(3) == "B";
            bauds += p.substr(3) == "E5";
        }
        QCOMPARE(identifies, required ? 2 : 1);
        QCOMPARE(bauds, required ? 0 : 1);
        QCOMPARE(fx.ui()->pnMsg->text(), required ? QStringLiteral("Set factory default error!")
                                                  : QStringLiteral("Set factory default ok."));
    }

    // The serial number of the set-ID command is the one of the same attempt's
    // identify answer, also when the second attempt's differs.
    void serialFromTheSameAttempt()
    {
        Fixture fx;
        emu::ReaderEmulator& r = fx.FoundReader(0);
        int identifies = 0;
        r.SetHandler('B', [&identifies](emu::ReaderModel& m, const emu::Command&) {
            m.serial = "1111111" + std::to_string(++identifies);
            return std::optional<emu::Reply>(emu::Reply{m.serial});
        });
        r.ArmFaultFor('C', Fault::NoAnswer);
        fx.ui()->sbID->setValue(7);
        fx.Click(fx.ui()->btnID);
        QCOMPARE(r.ReceivedPayloads(),
                 (Payloads{"A01B", "A01C1111111107", "A01B", "A01C1111111207"}));
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Set reader ID ok."));
    }

    // After a factory default the tool still addresses the old ID at the old
    // line setting, until a new scan: the reader has moved on.
    void factoryDefaultKeepsTheOldAddress()
    {
        Fixture fx;
        emu::ReaderEmulator& r = fx.FoundReader(0, Reader('A', 9600, "07"), "9600,e,8,1");
        fx.Click(fx.ui()->btnFactory);
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Set factory default ok."));
        QCOMPARE(r.Model().id, std::string("01"));
        QCOMPARE(r.Model().baud, 19200);
        r.ClearTrace();
        fx.ui()->edTest->setText("V");
        fx.Click(fx.ui()->btnTest);
        const auto trace = r.Trace();
        QVERIFY(!trace.empty());
        QCOMPARE(trace.front().bytes, std::string("A07V"));
        QVERIFY(!trace.front().baudMatched);
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Command test error!"));
        // A new scan finds it at its factory address.
        fx.ui()->chkLock->setChecked(false);
        fx.Click(fx.ui()->btnScan);
        QCOMPARE(fx.window().ReaderIdText, QStringLiteral("01"));
    }

    // Failures of every kind end in the error outcome with everything put back;
    // a reader unplugged mid-answer costs no spinning.
    void failures_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("button");
        QTest::addColumn<char>("letter"); // the answer that hangs up; 0: see `kind`
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("set ID, unplugged") << 0 << "btnID" << 'C' << ""
                                           << "Set reader ID error!";
        QTest::newRow("baud rate, unplugged") << 0 << "btnBaudRate" << 'E' << ""
                                              << "Set reader baud rate error!";
        QTest::newRow("interface, unplugged") << 0 << "btnMode" << 'A' << ""
                                              << "Set reader interface error!";
        QTest::newRow("command test, unplugged") << 0 << "btnTest" << 'V' << ""
                                                 << "Command test error!";
        QTest::newRow("card type, unplugged") << 0 << "btnCardType" << 'B' << ""
                                              << "Set card type error!";
        QTest::newRow("key parity, unplugged") << 1 << "btnKeyParity" << 'M' << ""
                                               << "Set key parity error!";
        QTest::newRow("key number, unplugged") << 1 << "btnKeyNumber" << 'L' << ""
                                               << "Set key number error!";
        QTest::newRow("key status, unplugged") << 3 << "btnKeyStatus" << 'N' << ""
                                               << "Set key status code error!";
        QTest::newRow("factory, unplugged") << 3 << "btnFactory" << 'L' << ""
                                            << "Set factory default error!";
        QTest::newRow("set ID, silent") << 0 << "btnID" << '\0' << "silent"
                                        << "Set reader ID error!";
        // A port held elsewhere says so, on a line after the message.
        const QString held = "\nBusy: held by another program. (COM : #1)";
        QTest::newRow("factory, port held") << 0 << "btnFactory" << '\0' << "held"
                                            << "Set factory default error!" + held;
        QTest::newRow("command test, port held") << 0 << "btnTest" << '\0' << "held"
                                                 << "Command test error!" + held;
    }

    void failures()
    {
        QFETCH(int, type);
        QFETCH(QString, button);
        QFETCH(char, letter);
        QFETCH(QString, kind);
        QFETCH(QString, message);
        Fixture fx;
        emu::ReaderEmulator& r = fx.FoundReader(type);
        fx.ui()->edTest->setText("V");
        if (letter)
            r.ArmFaultFor(letter, Fault::HangUp);
        emu::ReaderModel m = r.Model();
        m.dead = kind == "silent";
        r.SetModel(m);
        std::unique_ptr<emu::HeldPort> holder;
        if (kind == "held")
            holder = std::make_unique<emu::HeldPort>(r.LinkPath());
        const double cpu = CpuMs();
        QElapsedTimer t;
        t.start();
        fx.Click(fx.window().findChild<QPushButton*>(button));
        const double wall = double(t.elapsed());
        QCOMPARE(fx.ui()->pnMsg->text(), message);
        QCOMPARE(fx.window().CommColor(), 0x0000FFu);
        QCOMPARE(fx.beeps.back(), std::make_pair(300, 300));
        QVERIFY(r.HungUp() == bool(letter));
        if (letter)
            QVERIFY2(CpuMs() - cpu < 0.5 * wall, qPrintable(QString::number(CpuMs() - cpu)));
        if (kind == "held")
            QVERIFY(r.ReceivedPayloads().empty());
        holder.reset();
        VerifyReleased(fx, r);
    }

    // A close request while an operation runs is refused; afterwards it closes.
    void closeRefusedDuringAnOperation()
    {
        Fixture fx;
        fx.FoundReader(0);
        TfrmModule& w = fx.window();
        int refused = 0;
        QTimer::singleShot(150, [&] { refused += !w.close(); });
        fx.Click(fx.ui()->btnFactory);
        QCOMPARE(refused, 1);
        QVERIFY(w.isVisible());
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Set factory default ok."));
        QVERIFY(w.close());
    }
};

TESMORA_TEST_MAIN(TestConfig)
#include "tst_config.moc"
