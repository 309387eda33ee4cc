// The card window over an emulated reader: a whole card read with two key
// files, kept in the three dump formats and compared; a read cancelled; a
// write and a format with their question, backup and report. And the access
// bits editor of the MIFARE key page, typed into.
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>

#include <sys/stat.h>

#include "carddump.h"
#include "democard.h"
#include "fixture.h"
#include "gui/cardtable.h"
#include "gui/cardwindow.h"
#include "gui/issuedialog.h"
#include "mifare/accessbits.h"
#include "mifare/dumpfile.h"
#include "store/statefolder.h"
#include "ui_cardwindow.h"
#include "ui_issuedialog.h"

using mifare::ByteDiff;
using Pictures = QList<int>; // the condition each block's buttons show, -1 for none

namespace {

emu::ReaderEmulator& CardReader(Fixture& fx, const emu::MifareCard& card)
{
    emu::ReaderModel m;
    m.mifare.card = card;
    return fx.FoundReader(2, m);
}

TfrmCard& OpenCard(Fixture& fx)
{
    fx.ui()->mnuCard->trigger();
    if (!fx.window().CardWindow())
        qFatal("no card window");
    return *fx.window().CardWindow();
}

QVariant Cell(TfrmCard& card, int block, int column, int role = Qt::DisplayRole)
{
    return card.Table()->index(block, column).data(role);
}

// The 16 bytes of every row as shown, and its ASCII column.
QStringList Rows(TfrmCard& card, bool ascii = true)
{
    QStringList rows;
    for (int block = 0; block < card.Table()->rowCount(); ++block) {
        QString row;
        for (int i = 0; i < 16; ++i)
            row += Cell(card, block, CardTableModel::kFirstByteColumn + i).toString();
        rows << row + (ascii ? "|" + Cell(card, block, CardTableModel::kAsciiColumn).toString()
                             : QString());
    }
    return rows;
}

QStringList Results(TfrmCard& card)
{
    QStringList lines;
    for (int i = 0; i < card.form()->lstResults->count(); ++i)
        lines << card.form()->lstResults->item(i)->text();
    return lines;
}

void WriteText(const QString& path, const QByteArray& text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

int Count(const emu::ReaderEmulator& r, const std::string& prefix)
{
    const auto sent = r.ReceivedPayloads();
    return int(std::count_if(sent.begin(), sent.end(),
                             [&](const std::string& p) { return p.rfind(prefix, 0) == 0; }));
}

QString Hex(const emu::MifareCard& card, int block)
{
    return QString::fromStdString(card.RawHex(block));
}

} // namespace

class TestCardWindow : public QObject
{
    Q_OBJECT

private slots:
    void readSaveOpenCompare()
    {
        Fixture fx;
        emu::ReaderEmulator& r = CardReader(fx, emu::DemoCard(emu::MifareSize::k1K));
        TfrmCard& card = OpenCard(fx);
        QTemporaryDir dir;
        // The public keys in one file, sector 8's own in another; sector 9's in none.
        const QString site = dir.filePath("site.keys"), own = dir.filePath("own.keys");
        WriteText(site, "# site\nFFFFFFFFFFFF\na0a1a2a3a4a5  # sectors 2, 7\n\nD3F7D3F7D3F7\n"
                        "AABBCCDDEEFF\n000000000000\n");
        WriteText(own, "3B9F21C05D7E\n");
        WriteText(dir.filePath("bad.keys"), "FFFFFFFFFFFF\n\nFFFFFFFFFFF\n");
        QVERIFY(!card.AddKeyFile(dir.filePath("bad.keys")));
        QCOMPARE(card.form()->lblMessage->text(),
                 "Key file " + dir.filePath("bad.keys") +
                     ", line 3: not a key of 12 hexadecimal digits.");
        QVERIFY(card.AddKeyFile(site) && card.AddKeyFile(own));
        QCOMPARE(card.form()->lstKeyFiles->count(), 2);
        card.form()->chkDefaultKeys->setChecked(false);

        fx.Click(card.form()->btnRead);
        VerifyDuring(fx, "Read whole card", r.ReceivedPayloads());
        VerifyReleased(fx, r);
        // A sector left closed is no failure: the count tells, the light is yellow.
        QCOMPARE(fx.ui()->pnMsg->text(), QString("Read whole card ok."));
        QCOMPARE(fx.window().CommColor(), 0x00FFFFu); // yellow
        QCOMPARE(card.form()->lblMessage->text(), QString("15 of 16 sectors opened."));
        const QStringList results = Results(card);
        QVERIFY(results.contains("Sector 9: not opened."));
        QVERIFY2(results.filter(QRegularExpression("^Sector 8: 4 of 4 blocks read\\. Key A "
                                                   "3B9F21C05D7E"))
                         .size() == 1,
                 qPrintable(results.join('\n')));

        // Every byte shown is the card's; every data block outside sector 9 is
        // known, and sector 9 is unknown, in grey.
        const emu::MifareCard real = *r.Model().mifare.card;
        const QStringList rows = Rows(card, false);
        for (int block = 0; block < 64; ++block) {
            const bool shut = mifare::SectorOfBlock(block) == 9;
            for (int i = 0; i < 16; ++i) {
                const QString shown = rows[block].mid(2 * i, 2);
                const int column = CardTableModel::kFirstByteColumn + i;
                QVERIFY(shown == "--" ? Cell(card, block, column, Qt::ForegroundRole) ==
                                            CardTableModel::UnknownColor()
                                      : shown == Hex(real, block).mid(2 * i, 2));
                QVERIFY(shut ? shown == "--"
                             : block % 4 == 3 || shown != "--"); // trailers: keys may stay unknown
            }
        }
        QCOMPARE(rows[11].left(12), QString("A0A1A2A3A4A5")); // key A, filled from the key used
        QCOMPARE(Cell(card, 29, CardTableModel::kAsciiColumn).toString(),
                 QString("Value 100, address 1"));
        QCOMPARE(Cell(card, 4, CardTableModel::kAsciiColumn).toString(),
                 QString("Tesmora demo 1K "));
        card.form()->tblCard->setCurrentIndex(card.Table()->index(29, 0));
        QCOMPARE(card.form()->lblAccess->text(),
                 QString("Sector 7, block 1 (condition 110): read: Key A or Key B; write: Key B; "
                         "increment: Key B; decrement, transfer, restore: Key A or Key B"));

        // Saved in each format and opened again: the same table, but for the
        // binary dump, which has no unknown bytes.
        const QStringList shown = Rows(card);
        QStringList binary = Rows(card, false);
        binary.replaceInStrings("--", "00");
        for (const QString name : {"card.mct", "card.json", "card.mfd"})
            QVERIFY(card.SaveDumpFile(dir.filePath(name)));
        const QString zeroed =
            QString(" %1 unknown bytes saved as 00: a binary dump cannot mark them.")
                .arg(Rows(card, false).join("").split("--").size() - 1);
        QCOMPARE(card.form()->lblMessage->text().right(zeroed.size()), zeroed);
        QVERIFY(!card.SaveDumpFile(dir.filePath("card.dat")));
        QVERIFY(
            mifare::SaveDump(dir.filePath("empty.json"), mifare::CardImage(mifare::CardSize::k4K)));
        for (const QString name : {"card.mct", "card.json", "card.mfd"}) {
            // The image's size shows in the table; "Automatic" stays for the next card.
            QVERIFY(card.OpenDumpFile(dir.filePath("empty.json")));
            QCOMPARE(Rows(card).size(), 256);
            QVERIFY(card.OpenDumpFile(dir.filePath(name)));
            QCOMPARE(Rows(card).size(), 64);
            QCOMPARE(card.form()->cmbSize->currentText(), QString("Automatic"));
            QCOMPARE(name.endsWith(".mfd") ? Rows(card, false) : Rows(card),
                     name.endsWith(".mfd") ? binary : shown);
        }

        // Compared with a dump that has one byte changed and one forgotten.
        auto other = mifare::LoadDump(dir.filePath("card.json"));
        QVERIFY(card.OpenDumpFile(dir.filePath("card.json")));
        other->SetByte(4, 0, 0x55);
        other->SetByte(5, 3, std::nullopt);
        QVERIFY(mifare::SaveDump(dir.filePath("changed.mct"), *other));
        QVERIFY(card.CompareWithFile(dir.filePath("changed.mct")));
        const int first = CardTableModel::kFirstByteColumn;
        QCOMPARE(Cell(card, 4, first, Qt::BackgroundRole),
                 QVariant(CardTableModel::DiffColor(ByteDiff::Different)));
        QCOMPARE(Cell(card, 5, first + 3, Qt::BackgroundRole),
                 QVariant(CardTableModel::DiffColor(ByteDiff::KnownOnlyInFirst)));
        QVERIFY(CardTableModel::DiffColor(ByteDiff::Different) !=
                CardTableModel::DiffColor(ByteDiff::KnownOnlyInFirst));
        QCOMPARE(Cell(card, 4, first + 1, Qt::BackgroundRole),
                 QVariant(CardTableModel::KindColor(CardTableModel::Kind::Data)));
        QCOMPARE(card.form()->lblMessage->text(),
                 "Compared with " + dir.filePath("changed.mct") +
                     ": 2 bytes differ in 2 blocks, 1 of them known on one side only.");
        // scripts/card-screenshot.sh keeps this one.
        const QString shots = qEnvironmentVariable("TESMORA_SCREENSHOT_DIR");
        if (!shots.isEmpty()) {
            card.form()->tblCard->scrollTo(card.Table()->index(28, 0));
            QVERIFY(card.grab().save(shots + "/card-window.png"));
        }
    }

    // Cancel stops the read after the command that runs, mode off goes, the
    // port is free and what was read stays.
    void cancelDuringRead()
    {
        Fixture fx;
        emu::ReaderEmulator& r = CardReader(fx, emu::MifareCard(emu::MifareSize::k1K));
        TfrmCard& card = OpenCard(fx);
        fx.ui()->mnuTraditional->trigger();
        QCOMPARE(card.windowTitle(), QString("卡片"));
        QCOMPARE(card.form()->btnRead->text(), QString("讀取整張卡片"));
        QCOMPARE(card.Table()->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(),
                 QString("區段"));
        fx.ui()->mnuEnglish->trigger();

        size_t atCancel = 0;
        bool othersDisabled = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (atCancel || r.ReceivedPayloads().size() < 16)
                return;
            othersDisabled =
                !card.form()->btnRead->isEnabled() && !card.form()->btnOpen->isEnabled() &&
                !card.form()->gbKeys->isEnabled() && card.form()->pbProgress->value() > 0;
            QTest::mouseClick(card.form()->btnCancel, Qt::LeftButton);
            atCancel = r.ReceivedPayloads().size();
        });
        poll.start(5);
        fx.Click(card.form()->btnRead);
        poll.stop();

        const auto sent = r.ReceivedPayloads();
        QVERIFY(atCancel >= 16);
        QVERIFY(othersDisabled);
        QVERIFY2(sent.size() <= atCancel + 2, qPrintable(QString::number(sent.size() - atCancel)));
        QCOMPARE(sent.back(), std::string("A01b00"));
        QCOMPARE(int(std::count(sent.begin(), sent.end(), std::string("A01b00"))), 1);
        VerifyReleased(fx, r);
        QVERIFY(!card.Running());
        QVERIFY(card.form()->btnRead->isEnabled() && !card.form()->btnCancel->isEnabled());
        QVERIFY(card.form()->lblMessage->text().endsWith(" Cancelled."));
        QCOMPARE(Results(card).value(0), QString("Sector 0: 4 of 4 blocks read. Key A "
                                                 "FFFFFFFFFFFF"));
        QCOMPARE(Rows(card, false).value(1), QString(32, '0'));

        fx.window().close();
        QVERIFY(!card.isVisible());
    }

    // A write asks first, naming the sector it would fix for good; it backs
    // the card up, writes what the image knows and never block 0. A format
    // puts the rest back and says what it skipped.
    void writeAndFormat()
    {
        Fixture fx;
        QTemporaryDir state, dir;
        qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
        emu::ReaderEmulator& r = CardReader(fx, emu::MifareCard(emu::MifareSize::k1K));
        const QString block0 = Hex(*r.Model().mifare.card, 0);
        TfrmCard& card = OpenCard(fx);
        mifare::CardImage source(mifare::CardSize::k1K);
        const QString text = "546573746F7261207772697465732121"; // "Tesmora writes!!"
        // Sector 1's block 4 read-only (condition 010) once its trailer is written.
        const QString trailer =
            "A0A1A2A3A4A5" + mifare::AccessBitsText({2, 0, 0, 1}) + "B0B1B2B3B4B5";
        const std::pair<int, QString> blocks[] = {
            {0, QString(32, '1')}, {4, text}, {8, text}, {7, trailer}};
        for (const auto& [block, hex] : blocks)
            QVERIFY(source.SetHex(block, hex));
        QVERIFY(mifare::SaveDump(dir.filePath("source.mct"), source));
        QVERIFY(card.OpenDumpFile(dir.filePath("source.mct")));

        QStringList questions;
        bool answer = false;
        TfrmCard::SetConfirmHook([&](const QString& q) {
            questions << q;
            return answer;
        });
        fx.Click(card.form()->btnWrite);
        QCOMPARE(questions.size(), 1);
        QVERIFY2(questions[0].endsWith("no key can write: 1. Write them all the same?"),
                 qPrintable(questions[0]));
        QVERIFY(r.ReceivedPayloads().empty());

        answer = true;
        fx.Click(card.form()->btnWrite);
        VerifyReleased(fx, r);
        emu::MifareCard after = *r.Model().mifare.card;
        QCOMPARE(Hex(after, 0), block0);
        QCOMPARE(Hex(after, 4), text);
        QCOMPARE(Hex(after, 8), text);
        QCOMPARE(Hex(after, 7), trailer);
        const QDir backups(*BackupFolder());
        QCOMPARE(backups.path(), state.path() + "/tesmora/backups");
        struct stat folder
        {
        };
        QCOMPARE(::stat(qPrintable(backups.path()), &folder), 0);
        QCOMPARE(folder.st_mode & 0777, 0700u);
        const QString backup = card.LastBackup();
        QCOMPARE(backups.entryList({"card-*.json"}), QStringList{QFileInfo(backup).fileName()});
        QVERIFY(card.form()->lblMessage->text().contains("Backup saved: " + backup));
        const auto before = mifare::LoadDump(backup);
        QVERIFY(before && before->Hex(4) == QString(32, '0') && before->Hex(0) == block0);
        QVERIFY(Results(card).contains("Block 4: written."));

        questions.clear();
        fx.Click(card.form()->btnFormat);
        QCOMPARE(questions.size(), 1);
        QVERIFY(!questions[0].contains("Write them all the same?"));
        VerifyReleased(fx, r);
        after = *r.Model().mifare.card;
        QCOMPARE(Hex(after, 0), block0);
        QCOMPARE(Hex(after, 8), QString(32, '0'));
        QCOMPARE(Hex(after, 11), QString("FFFFFFFFFFFFFF078069FFFFFFFFFFFF"));
        // Block 4 is written by no key any more; its sector's trailer still goes.
        QCOMPARE(Hex(after, 4), text);
        QCOMPARE(Hex(after, 7), Hex(after, 11));
        QVERIFY(Results(card).filter(QRegularExpression("^Block 4: skipped: .+")).size() == 1);
        QCOMPARE(fx.ui()->pnMsg->text(), QString("Format card error!"));
        QCOMPARE(backups.entryList({"card-*.json"}).size(), 2);

        // Cancel in the middle of the writes: the run stops between two
        // blocks, counts what it never tried and names its backup; the bar,
        // by sectors read and written, is full only when the run has ended.
        QVERIFY(card.OpenDumpFile(dir.filePath("source.mct")));
        r.ClearTrace();
        QList<int> bar;
        QObject::connect(card.form()->pbProgress, &QProgressBar::valueChanged,
                         [&](int v) { bar << v; });
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (Count(r, "A01i") >= 1)
                card.form()->btnCancel->click();
        });
        poll.start(5);
        fx.Click(card.form()->btnWrite);
        poll.stop();
        VerifyReleased(fx, r);
        QCOMPARE(card.form()->pbProgress->maximum(), 32);
        QVERIFY(std::is_sorted(bar.begin(), bar.end()));
        QCOMPARE(bar.count(32), 1);
        QCOMPARE(bar.last(), 32);
        const QString said = card.form()->lblMessage->text();
        QVERIFY2(QRegularExpression("Written: 1, unchanged: \\d+, not written: \\d+, not tried: "
                                    "[1-9]\\d*\\.\nCancelled\\.\nBackup saved: .+card-")
                     .match(said)
                     .hasMatch(),
                 qPrintable(said));
        QCOMPARE(Count(r, "A01i"), 1);
        TfrmCard::SetConfirmHook(nullptr);
    }

    // The reader's line lost under a read: said so, not that the card went away.
    void portLostDuringRead()
    {
        Fixture fx;
        emu::ReaderEmulator& r = CardReader(fx, emu::MifareCard(emu::MifareSize::k1K));
        TfrmCard& card = OpenCard(fx);
        r.ArmFaultFor('h', emu::Fault::HangUp);
        fx.Click(card.form()->btnRead);
        QVERIFY2(card.form()->lblMessage->text().contains("The port was lost: "),
                 qPrintable(card.form()->lblMessage->text()));
    }

    // Cancel during a batch stops it as Stop does: the card on the reader is
    // issued whole, and no later card is tried or logged.
    void cancelDuringBatch()
    {
        Fixture fx;
        emu::ReaderModel m;
        // Block 0 read at its poll, the backup, before sector 1 and twice in the read-back.
        m.queue.MifareUntilRead(emu::MifareCard({0x11, 0x11, 0x11, 0x11}, emu::MifareSize::k1K), 5)
            .MifareUntilRead(emu::MifareCard({0x22, 0x22, 0x22, 0x22}, emu::MifareSize::k1K), 4);
        emu::ReaderEmulator& r = fx.FoundReader(2, m);
        TfrmCard& card = OpenCard(fx);
        QTemporaryDir dir;
        emu::MifareCard image(emu::MifareSize::k1K);
        image.SetRawHex(1, std::string(32, '1'));
        WriteText(dir.filePath("site.mct"), QByteArray::fromStdString(emu::CardDumpText(image)));
        QVERIFY(card.OpenDumpFile(dir.filePath("site.mct")));
        card.btnIssueClick();
        Ui::dlgIssue* d = card.IssueDialog()->form();
        d->edLog->setText(dir.filePath("issued.csv"));
        QTimer cancel;
        QObject::connect(&cancel, &QTimer::timeout, [&] {
            if (Count(r, "A01i") > 0 && card.form()->btnCancel->isEnabled())
                QTest::mouseClick(card.form()->btnCancel, Qt::LeftButton);
        });
        cancel.start(5);
        QTimer::singleShot(60000, [&] { d->btnStop->click(); }); // never hangs
        d->btnStart->click();                                    // returns when the batch has ended
        QFile log(dir.filePath("issued.csv"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QList<QByteArray> rows = log.readAll().split('\n');
        QCOMPARE(rows.size(), 4); // the header, the card's two rows, the last newline
        QVERIFY2(rows[2].contains(",11111111,,issued,"), rows[2].constData());
        QVERIFY(!card.Running() && d->btnStart->isEnabled() && !d->btnStop->isEnabled());
        // No later card was tried.
        const auto sent = r.ReceivedPayloads();
        QCOMPARE(std::count(sent.begin(), sent.end(), std::string("A01B")), 3);
    }

    // Typed access bytes set the buttons as clicks on their conditions would,
    // and leave the captions and the text alone; bad ones are refused with the
    // trailer refusal's reason. The next click writes the whole text again.
    void editorBothWays_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<Pictures>("pictures"); // empty: the buttons stay
        QTest::addColumn<QString>("message");   // pnMsg afterwards; empty: as before
        QTest::newRow("transport, lower case") << "ff0780aa" << Pictures{0, 0, 0, 1} << "";
        QTest::newRow("only key B") << "0F00FF69" << Pictures{3, 3, 3, 3} << "";
        QTest::newRow("value block") << "5D278A69" << Pictures{0, 6, 0, 3} << "";
        QTest::newRow("written by B") << "787788C1" << Pictures{4, 4, 4, 3} << "";
        QTest::newRow("inconsistent")
            << "FF0781AA" << Pictures{} << "Access bits inconsistent: the sector would be blocked.";
        QTest::newRow("not hexadecimal")
            << "FF0780ZZ" << Pictures{} << "Access bits must be 8 hexadecimal digits.";
        QTest::newRow("nine digits")
            << "FF0780AA0" << Pictures{0, 0, 0, 1} << "Access bits must be 8 hexadecimal digits.";
        QTest::newRow("seven digits") << "FF0780A" << Pictures{} << "";
    }

    void editorBothWays()
    {
        QFETCH(QString, typed);
        QFETCH(Pictures, pictures);
        QFETCH(QString, message);
        Fixture fx;
        fx.OpenWindow();
        QLineEdit* edit = fx.ui()->edM1CardKeyAccess;
        auto radio = [&](int n) {
            return fx.ui()->GroupBox2->findChild<QRadioButton*>(QString("RadioButton%1").arg(n));
        };
        auto shown = [&] {
            Pictures p;
            for (int block = 0; block < 4; ++block)
                p << mifare::BlockCondition(block, [&](const mifare::AccessButton& b) {
                         return radio(b.number)->isChecked();
                     }).value_or(-1);
            return p;
        };
        auto captions = [&] {
            QStringList c;
            for (const mifare::AccessButton& b : mifare::kAccessButtons)
                c << radio(b.number)->text();
            return c;
        };
        const QStringList captionsBefore = captions();
        const QString messageBefore = fx.ui()->pnMsg->text();
        edit->clear();
        QTest::keyClicks(edit, "7F0788AA");
        const Pictures before = shown();
        QCOMPARE(before, (Pictures{0, 0, 0, 3}));
        edit->clear();
        QTest::keyClicks(edit, typed);

        QCOMPARE(shown(), pictures.isEmpty() ? before : pictures);
        QCOMPARE(captions(), captionsBefore);
        QCOMPARE(edit->text(), typed.toUpper());
        QCOMPARE(fx.ui()->pnMsg->text(), message.isEmpty() ? messageBefore : message);
        if (pictures.isEmpty())
            return;
        // A click that shows 000 on block 1 re-encodes all four blocks.
        for (const mifare::AccessButton& b : mifare::kAccessButtons)
            if (b.block == 1 && b.selects == 0) {
                QRadioButton* r = radio(b.number);
                QTest::mouseClick(r, Qt::LeftButton, {}, QPoint(6, r->height() / 2));
                pictures[1] = 0;
                break;
            }
        QCOMPARE(shown(), pictures);
        QCOMPARE(edit->text(),
                 mifare::AccessBitsText({pictures[0], pictures[1], pictures[2], pictures[3]}));
    }
};

TESMORA_TEST_MAIN(TestCardWindow)
#include "tst_cardwindow.moc"
