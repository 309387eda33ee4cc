// The MIFARE page and the access bits editor, clicked in the real window
// against an emulated reader with a MIFARE Classic 4K card in its field.
#include <QRadioButton>
#include <QTest>

#include <functional>
#include <map>

#include "fixture.h"
#include "gui/beep.h"

using emu::Fault;
using Payloads = std::vector<std::string>;
using Setup = std::function<void(Ui::frmModule*, emu::ReaderEmulator&)>;

Q_DECLARE_METATYPE(Payloads)

namespace {

const std::string kFF = "FFFFFFFFFFFF";
const QString kData = "00112233445566778899AABBCCDDEEFF";

// A type 3 reader with a fresh card, found by a scan.
emu::ReaderEmulator& CardReader(Fixture& fx)
{
    emu::ReaderModel m;
    m.mifare.card = emu::MifareCard();
    return fx.FoundReader(2, m);
}

QRadioButton* Radio(Fixture& fx, int number)
{
    return fx.ui()->GroupBox2->findChild<QRadioButton*>(
        QStringLiteral("RadioButton%1").arg(number));
}

void ClickRadio(Fixture& fx, int number)
{
    QRadioButton* r = Radio(fx, number);
    QTest::mouseClick(r, Qt::LeftButton, {}, QPoint(6, r->height() / 2));
}

QString Access(Fixture& fx)
{
    return fx.ui()->edM1CardKeyAccess->text();
}

} // namespace

class TestMifareOps : public QObject
{
    Q_OBJECT

private slots:
    // Each operation's commands as the reader receives them, and the outcome.
    void operations_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<Payloads>("payloads");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("read"); // edM1Read afterwards
        auto none = [](Ui::frmModule*, emu::ReaderEmulator&) {};
        QTest::newRow("EEPROM, sector 39, key B")
            << "btnM1Key" << Setup([](Ui::frmModule* f, emu::ReaderEmulator&) {
                   f->sbM1E2Sector->setValue(39);
                   f->rbM1KeyB->setChecked(true);
               })
            << Payloads{"A01B", "A01d6127" + kFF} << "Set key EEPROM ok."
            << "before";
        QTest::newRow("EEPROM, status 01")
            << "btnM1Key" << Setup([](Ui::frmModule*, emu::ReaderEmulator& r) {
                   r.ArmFaultFor('d', Fault::BadStatus, 2);
               })
            << Payloads{"A01B", "A01d6001" + kFF, "A01B", "A01d6001" + kFF}
            << "Set key EEPROM error!"
            << "before";
        QTest::newRow("EEPROM, 16-byte answer")
            << "btnM1Key" << Setup([](Ui::frmModule*, emu::ReaderEmulator& r) {
                   r.SetHandler('d', [](emu::ReaderModel&, const emu::Command&) {
                       return std::optional<emu::Reply>(emu::Reply{"00000000", true});
                   });
               })
            << Payloads{"A01B", "A01d6001" + kFF, "A01B", "A01d6001" + kFF}
            << "Set key EEPROM error!"
            << "before";
        QTest::newRow("ID location, defaults")
            << "btnM1IDSector" << Setup(none) << Payloads{"A01B", "A01a0000000001"}
            << "Set sector/block/byte ok."
            << "before";
        QTest::newRow("ID location, 39/3/31, key B, BEEP+LED")
            << "btnM1IDSector" << Setup([](Ui::frmModule* f, emu::ReaderEmulator&) {
                   f->sbM1IDSector->setValue(39);
                   f->sbM1IDBlock->setValue(3);
                   f->sbM1IDByte->setValue(31);
                   f->rbM1IDKeyB->setChecked(true);
                   f->cmbM1IDKeyErr->setCurrentIndex(3);
               })
            << Payloads{"A01B", "A01a27031F0103"} << "Set sector/block/byte ok."
            << "before";
        QTest::newRow("read block 4")
            << "btnM1Read" << Setup(none)
            << Payloads{"A01B", "A01b01", "A01f" + kFF, "A01h6004", "A01b00"}
            << "Read card data ok." << QString(32, '0');
        // Key B may be read under the transport trailer, so it cannot authenticate.
        QTest::newRow("read with key B")
            << "btnM1Read" << Setup([](Ui::frmModule* f, emu::ReaderEmulator&) {
                   f->rbM1RWKeyB->setChecked(true);
               })
            << Payloads{"A01B",   "A01b01",     "A01f" + kFF, "A01h6104", "A01B",
                        "A01b01", "A01f" + kFF, "A01h6104",   "A01b00"}
            << "Read card data error!"
            << "before";
        QTest::newRow("write block 146")
            << "btnM1Write" << Setup([](Ui::frmModule* f, emu::ReaderEmulator&) {
                   f->sbM1Sector->setValue(33);
                   f->sbM1Block->setValue(2);
                   f->edM1Write->setText(kData);
               })
            << Payloads{"A01B", "A01b01", "A01f" + kFF, "A01i6092" + kData.toStdString(), "A01b00"}
            << "Write card data ok." << kData;
        QTest::newRow("write, echo differs")
            << "btnM1Write" << Setup([](Ui::frmModule*, emu::ReaderEmulator& r) {
                   r.SetHandler('i', [](emu::ReaderModel&, const emu::Command&) {
                       return std::optional<emu::Reply>(
                           emu::Reply{"00" + std::string(32, 'F') + "0", true});
                   });
               })
            << Payloads{"A01B",  "A01b01", "A01f" + kFF, "A01i6004" + std::string(32, 'F'),
                        "A01B",  "A01b01", "A01f" + kFF, "A01i6004" + std::string(32, 'F'),
                        "A01b00"}
            << "Write card data error!"
            << "before";
        QTest::newRow("identify fails twice")
            << "btnM1Read" << Setup([](Ui::frmModule*, emu::ReaderEmulator& r) {
                   emu::ReaderModel m = r.Model();
                   m.silentCommands = {"B"};
                   r.SetModel(m);
               })
            << Payloads{"A01B", "A01B", "A01b00"} << "Read card data error!"
            << "before";
        QTest::newRow("trailer, initial values")
            << "btnM1CardKey" << Setup(none)
            << Payloads{"A01B", "A01b01", "A01i60" + kFF + "07" + kFF + "FF0780AA" + kFF, "A01b00"}
            << "Set card key ok."
            << "before";
        QTest::newRow("trailer, old key B")
            << "btnM1CardKey" << Setup([](Ui::frmModule* f, emu::ReaderEmulator&) {
                   f->rbM1CardKeyB->setChecked(true);
                   f->sbM1CardSector->setValue(39);
               })
            << Payloads{"A01B",  "A01b01", "A01i61" + kFF + "FF" + kFF + "FF0780AA" + kFF,
                        "A01B",  "A01b01", "A01i61" + kFF + "FF" + kFF + "FF0780AA" + kFF,
                        "A01b00"}
            << "Set card key error!"
            << "before";
        // Access bits that can never be written again are a choice; they go.
        QTest::newRow("trailer locked on purpose")
            << "btnM1CardKey" << Setup([](Ui::frmModule* f, emu::ReaderEmulator&) {
                   f->edM1CardKeyAccess->setText("08778F00");
               })
            << Payloads{"A01B", "A01b01", "A01i60" + kFF + "07" + kFF + "08778F00" + kFF, "A01b00"}
            << "Set card key ok."
            << "before";
        // A trailer that would block its sector for good is refused unsent.
        QTest::newRow("trailer, inconsistent access bits")
            << "btnM1CardKey" << Setup([](Ui::frmModule* f, emu::ReaderEmulator&) {
                   f->edM1CardKeyAccess->setText("FF0781AA");
               })
            << Payloads{}
            << "Set card key error! Access bits inconsistent: the sector would be blocked."
            << "before";
        QTest::newRow("trailer, short access bits")
            << "btnM1CardKey" << Setup([](Ui::frmModule* f, emu::ReaderEmulator&) {
                   f->edM1CardKeyAccess->setText("FF0780");
               })
            << Payloads{} << "Set card key error! Access bits must be 8 hexadecimal digits."
            << "before";
        QTest::newRow("trailer, short key and short access bits: the keys first")
            << "btnM1CardKey" << Setup([](Ui::frmModule* f, emu::ReaderEmulator&) {
                   f->edM1CardKeyB->setText("FFFF");
                   f->edM1CardKeyAccess->setText("FF07");
               })
            << Payloads{} << "Set card key error! Keys must be 12 hexadecimal digits."
            << "before";
        QTest::newRow("block write to a trailer, inconsistent")
            << "btnM1Write" << Setup([](Ui::frmModule* f, emu::ReaderEmulator&) {
                   f->sbM1Block->setValue(3);
                   f->edM1Write->setText(QString::fromStdString(kFF) + "7F0789AA" +
                                         QString::fromStdString(kFF));
               })
            << Payloads{}
            << "Write card data error! Access bits inconsistent: the sector would be blocked."
            << "before";
    }

    void operations()
    {
        QFETCH(QString, button);
        QFETCH(Setup, setup);
        QFETCH(Payloads, payloads);
        QFETCH(QString, message);
        QFETCH(QString, read);
        Fixture fx;
        emu::ReaderEmulator& r = CardReader(fx);
        fx.ui()->edM1Read->setText("before");
        setup(fx.ui(), r);
        QPushButton* pressed = fx.window().findChild<QPushButton*>(button);
        fx.Click(pressed);
        QCOMPARE(r.ReceivedPayloads(), payloads);
        VerifyDuring(fx, pressed->text(), payloads);
        VerifyPauses(r);
        QCOMPARE(fx.ui()->pnMsg->text(), message);
        const bool ok = message.endsWith("ok.");
        QCOMPARE(fx.window().CommColor(), ok ? 0x00FFFFu : 0x0000FFu);
        QCOMPARE(fx.beeps, (std::vector<std::pair<int, int>>{{ok ? 1000 : 300, 300}}));
        QCOMPARE(fx.ui()->edM1Read->text(), read);
        VerifyReleased(fx, r);
    }

    // The block's data is shown before the outcome: it is there when the beep sounds.
    void blockDataBeforeTheOutcome_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("read") << "btnM1Read";
        QTest::newRow("write") << "btnM1Write";
    }

    void blockDataBeforeTheOutcome()
    {
        QFETCH(QString, button);
        Fixture fx;
        CardReader(fx);
        auto* f = fx.ui();
        f->edM1Write->setText(kData);
        QStringList atBeep;
        SetBeepHook([&](int, int) {
            atBeep << f->edM1Read->text();
            return true;
        });
        fx.Click(fx.window().findChild<QPushButton*>(button));
        const QString expected = button == "btnM1Read" ? QString(32, '0') : kData;
        QCOMPARE(atBeep, QStringList{expected});
    }

    // Every button of the editor, clicked once: the condition its block takes,
    // the check marks that show it, and the captions, against the editor's
    // pictures as written out here.
    void everyAccessButton()
    {
        // The groups of a data block and of the trailer, in picture order.
        enum G {
            Read,
            Write,
            Inc,
            Dec,
            KeyARead,
            KeyAWrite,
            AccRead,
            AccWrite,
            KeyBRead,
            KeyBWrite
        };
        struct Button
        {
            int number;
            int block;
            G group;
            const char* caption;
            const char* selects; // C1C2C3
        };
        const Button buttons[] = {
            {1, 0, Read, "A/B", "110"},         {2, 0, Read, "B", "011"},
            {3, 0, Read, "never", "111"},       {31, 0, Write, "A/B", "000"},
            {32, 0, Write, "B", "100"},         {33, 0, Write, "never", "001"},
            {7, 0, Inc, "A/B", "000"},          {11, 0, Inc, "B", "110"},
            {9, 0, Inc, "never", "101"},        {8, 0, Dec, "A/B", "110"},
            {10, 0, Dec, "never", "010"},       {4, 1, Read, "A/B", "110"},
            {5, 1, Read, "B", "011"},           {6, 1, Read, "never", "111"},
            {19, 1, Write, "A/B", "000"},       {20, 1, Write, "B", "100"},
            {21, 1, Write, "never", "001"},     {13, 1, Inc, "A/B", "000"},
            {15, 1, Inc, "B", "110"},           {14, 1, Inc, "never", "101"},
            {16, 1, Dec, "A/B", "110"},         {17, 1, Dec, "never", "010"},
            {22, 2, Read, "A/B", "110"},        {23, 2, Read, "B", "011"},
            {24, 2, Read, "never", "111"},      {34, 2, Write, "A/B", "000"},
            {35, 2, Write, "B", "100"},         {36, 2, Write, "never", "001"},
            {25, 2, Inc, "A/B", "000"},         {27, 2, Inc, "B", "110"},
            {26, 2, Inc, "never", "101"},       {28, 2, Dec, "A/B", "110"},
            {29, 2, Dec, "never", "010"},       {38, 3, KeyARead, "never", "001"},
            {46, 3, KeyAWrite, "A", "000"},     {47, 3, KeyAWrite, "B", "011"},
            {12, 3, KeyAWrite, "never", "101"}, {42, 3, AccRead, "A", "010"},
            {49, 3, AccRead, "A/B", "100"},     {43, 3, AccWrite, "A", "001"},
            {44, 3, AccWrite, "B", "011"},      {45, 3, AccWrite, "never", "110"},
            {48, 3, KeyBRead, "A", "001"},      {37, 3, KeyBRead, "never", "011"},
            {39, 3, KeyBWrite, "A", "001"},     {40, 3, KeyBWrite, "B", "011"},
            {41, 3, KeyBWrite, "never", "110"},
        };
        // What each condition checks: Read, Write, Increment, Decrement of a data
        // block; key A read and write, access bits read and write, key B read and
        // write of the trailer (110 and 111 look alike there).
        const std::map<QString, QStringList> dataPictures = {
            {"000", {"A/B", "A/B", "A/B", "A/B"}},
            {"010", {"A/B", "never", "never", "never"}},
            {"100", {"A/B", "B", "never", "never"}},
            {"110", {"A/B", "B", "B", "A/B"}},
            {"001", {"A/B", "never", "never", "A/B"}},
            {"011", {"B", "B", "never", "never"}},
            {"101", {"B", "never", "never", "never"}},
            {"111", {"never", "never", "never", "never"}},
        };
        const std::map<QString, QStringList> trailerPictures = {
            {"000", {"never", "A", "A", "never", "A", "A"}},
            {"010", {"never", "never", "A", "never", "A", "never"}},
            {"100", {"never", "B", "A/B", "never", "never", "B"}},
            {"110", {"never", "never", "A/B", "never", "never", "never"}},
            {"001", {"never", "A", "A", "A", "A", "A"}},
            {"011", {"never", "B", "A/B", "B", "never", "B"}},
            {"101", {"never", "never", "A/B", "B", "never", "never"}},
        };
        QCOMPARE(int(std::size(buttons)), 47);

        Fixture fx;
        fx.OpenWindow();
        fx.ui()->pcReader->setCurrentIndex(2);
        fx.ui()->pcOther->setCurrentWidget(fx.ui()->tsMifareKey);
        QString dataCaption = "A/B"; // of the twelve "A/B" buttons of the data blocks
        for (const Button& clicked : buttons) {
            ClickRadio(fx, clicked.number);
            const QString access = Access(fx);
            const unsigned b7 = access.mid(2, 2).toUInt(nullptr, 16);
            const unsigned b8 = access.mid(4, 2).toUInt(nullptr, 16);
            const int bit = clicked.block;
            const QString condition = QString::number(b7 >> (4 + bit) & 1) +
                                      QString::number(b8 >> bit & 1) +
                                      QString::number(b8 >> (4 + bit) & 1);
            QVERIFY2(
                condition == clicked.selects,
                qPrintable(QStringLiteral("RadioButton%1: %2").arg(clicked.number).arg(condition)));
            if (clicked.number == 42 || clicked.number == 43)
                dataCaption = "A";
            if (clicked.number == 49 || clicked.number == 44)
                dataCaption = "A/B";
            const QStringList picture = clicked.block < 3 ? dataPictures.at(clicked.selects)
                                                          : trailerPictures.at(clicked.selects);
            for (const Button& b : buttons) {
                const bool shown = b.block < 3 && QString(b.caption) == "A/B";
                QCOMPARE(Radio(fx, b.number)->text(), shown ? dataCaption : QString(b.caption));
                if (b.block != clicked.block)
                    continue;
                const int column = b.block < 3 ? int(b.group) : int(b.group) - int(KeyARead);
                QVERIFY2(Radio(fx, b.number)->isChecked() == (picture[column] == b.caption),
                         qPrintable(QStringLiteral("RadioButton%1 after RadioButton%2")
                                        .arg(b.number)
                                        .arg(clicked.number)));
            }
        }
    }

    void panels()
    {
        Fixture fx;
        fx.OpenWindow();
        auto* f = fx.ui();
        QCOMPARE(f->pnM1IDByte->text(), QStringLiteral("00"));
        f->sbM1IDByte->setValue(1);
        f->sbM1IDByte->setValue(0);
        QCOMPARE(f->pnM1IDByte->text(), QStringLiteral("0"));
        f->sbM1E2Sector->setValue(39);
        QCOMPARE(f->pnM1E2Sector->text(), QStringLiteral("39"));
    }

    // The editor by mouse and keyboard: one block changes at a time, the text
    // follows every change, and four trailer buttons relabel the "A/B" ones.
    void editor()
    {
        Fixture fx;
        fx.OpenWindow();
        auto* f = fx.ui();
        f->pcReader->setCurrentIndex(2);
        f->pcOther->setCurrentWidget(f->tsMifareKey);
        QCOMPARE(Access(fx), QStringLiteral("FF0780AA"));
        ClickRadio(fx, 5);
        QCOMPARE(Access(fx), QStringLiteral("DF05A2AA"));
        for (int n : {5, 20, 14, 17})
            QVERIFY(Radio(fx, n)->isChecked());
        for (int n : {1, 31, 7, 8, 22, 34, 25, 28})
            QVERIFY(Radio(fx, n)->isChecked()); // blocks 0 and 2 untouched
        ClickRadio(fx, 19);                     // block 1 back to 000
        QCOMPARE(Access(fx), QStringLiteral("FF0780AA"));
        ClickRadio(fx, 45);
        QCOMPARE(Access(fx), QStringLiteral("778F08AA"));

        auto captions = [&] {
            QStringList c;
            for (int n : {1, 31, 7, 8, 4, 19, 13, 16, 22, 34, 25, 28})
                c << Radio(fx, n)->text();
            return c;
        };
        ClickRadio(fx, 42);
        QCOMPARE(captions(), QStringList(12, "A"));
        ClickRadio(fx, 46);
        QCOMPARE(captions(), QStringList(12, "A"));
        ClickRadio(fx, 49);
        QCOMPARE(captions(), QStringList(12, "A/B"));

        // Typed text stays until the next click, which replaces all of it.
        f->edM1CardKeyAccess->setText("1234");
        ClickRadio(fx, 46);
        QCOMPARE(Access(fx), mifare::AccessBitsText({0, 0, 0, 0}));

        // The keyboard applies the same rule: an arrow key moves the check in
        // block 1's Read group from "A/B" to "B", the space bar picks "B" to write.
        Radio(fx, 4)->setFocus();
        QTest::keyClick(Radio(fx, 4), Qt::Key_Down);
        QVERIFY(Radio(fx, 5)->isChecked());
        QCOMPARE(Access(fx), mifare::AccessBitsText({0, 0b011, 0, 0}));
        QVERIFY(Radio(fx, 17)->isChecked());
        Radio(fx, 32)->setFocus();
        QTest::keyClick(Radio(fx, 32), Qt::Key_Space);
        QCOMPARE(Access(fx), mifare::AccessBitsText({0b100, 0b011, 0, 0}));
        QVERIFY(Radio(fx, 9)->isChecked() && Radio(fx, 10)->isChecked());
    }

    // Round trip on the card: a trailer composed in the editor sets new keys and
    // "read A/B, write B" for the data blocks; the keys then do what it says.
    void roundTrip()
    {
        Fixture fx;
        emu::ReaderEmulator& r = CardReader(fx);
        auto* f = fx.ui();
        f->pcOther->setCurrentWidget(f->tsMifareKey);
        for (int n : {32, 20, 35, 44})
            ClickRadio(fx, n);
        QCOMPARE(Access(fx), QStringLiteral("787788AA"));
        f->edM1CardKeyA->setText("A0A1A2A3A4A5");
        f->edM1CardKeyB->setText("B0B1B2B3B4B5");
        fx.Click(f->btnM1CardKey);
        QCOMPARE(f->pnMsg->text(), QStringLiteral("Set card key ok."));
        QCOMPARE(QString::fromStdString(r.Model().mifare.card->RawHex(7)).mid(12, 8),
                 QStringLiteral("787788AA"));

        auto access = [&](QPushButton* button, const QString& key, bool keyB) {
            f->edM1RWKey->setText(key);
            (keyB ? f->rbM1RWKeyB : f->rbM1RWKeyA)->setChecked(true);
            fx.Click(button);
            return f->pnMsg->text();
        };
        f->edM1Write->setText(kData);
        QCOMPARE(access(f->btnM1Read, QString::fromStdString(kFF), false),
                 QStringLiteral("Read card data error!"));
        QCOMPARE(access(f->btnM1Read, "A0A1A2A3A4A5", false), QStringLiteral("Read card data ok."));
        QCOMPARE(access(f->btnM1Write, "A0A1A2A3A4A5", false),
                 QStringLiteral("Write card data error!"));
        QCOMPARE(access(f->btnM1Write, "B0B1B2B3B4B5", true),
                 QStringLiteral("Write card data ok."));
        QCOMPARE(f->edM1Read->text(), kData);
        QCOMPARE(access(f->btnM1Read, "A0A1A2A3A4A5", false), QStringLiteral("Read card data ok."));
        QCOMPARE(f->edM1Read->text(), kData);
    }
};

TESMORA_TEST_MAIN(TestMifareOps)
#include "tst_mifareops.moc"
