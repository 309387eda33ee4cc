// The window, its languages, the settings store and the reader-type tabs,
// driven through the real window.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMenuBar>
#include <QSettings>
#include <QSignalSpy>
#include <QTabBar>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <csignal>
#include <stdexcept>

#include <grp.h>
#include <sys/stat.h>

#include "filemodes.h"
#include "fixture.h"
#include "gui/stopsignals.h"
#include "link/interrupt.h"
#include "reader/readertypes.h"

class TestShell : public QObject
{
    Q_OBJECT

private:
    static QStringList VisiblePages(Ui::frmModule* ui)
    {
        QStringList pages;
        for (int i = 0; i < ui->pcOther->count(); ++i)
            if (ui->pcOther->isTabVisible(i))
                pages << ui->pcOther->widget(i)->objectName();
        return pages;
    }

private slots:
    void firstStartFromEmptyStore()
    {
        Fixture fx;
        TfrmModule& w = fx.OpenWindow();
        auto* ui = fx.ui();
        QCOMPARE(w.windowTitle(), QStringLiteral("Tesmora V5.00"));
        QCOMPARE(ui->pcReader->currentIndex(), 0);
        QCOMPARE(w.CommandPrefix, QStringLiteral("A"));
        QCOMPARE(VisiblePages(ui), (QStringList{"tsEM", "tsCommand"}));
        QCOMPARE(ui->pcOther->currentWidget(), ui->tsEM);
        QCOMPARE(ui->cmbBaudRate->currentText(), QStringLiteral("19200,e,8,1"));
        QCOMPARE(ui->pnMsg->text(), QStringLiteral("Start select reader type."));
        QCOMPARE(ui->pnSerial->text(), QStringLiteral("S/N : ________"));
        QCOMPARE(ui->pnVersion->text(), QStringLiteral("VER : __.__-__"));
        QCOMPARE(ui->lblID->text(), QStringLiteral("ID:"));
        QCOMPARE(ui->btnScan->text(), QStringLiteral("Scan reader"));
        QCOMPARE(ui->lblM1Write->text(), QStringLiteral("Write card data"));
        QCOMPARE(w.CommColor(), 0x0000FFu);
        QCOMPARE(ui->shCard->brushColor(), 0xFFFFFFu);
        QCOMPARE(w.ScanCommNo, 0);
        QCOMPARE(w.ScanBaudRateNo, 5);
        QCOMPARE(w.Language, QStringLiteral("English"));
        QVERIFY(!w.ReaderFound);
        QVERIFY(ui->mnuEnglish->isChecked());
        QVERIFY(!ui->mnuSimplified->isChecked());
        // Loading never creates the store.
        QVERIFY(!fx.SystemStoreExists());
        QVERIFY(!QFile::exists(fx.UserStorePath()));
    }

    void windowGeometry()
    {
        Fixture fx;
        TfrmModule& w = fx.OpenWindow();
        auto* ui = fx.ui();
        QCOMPARE(w.centralWidget()->size(), QSize(771, 613));
        QCOMPARE(w.minimumSize(), w.maximumSize());
        QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(ui->gbType->geometry(), QRect(6, 0, 760, 609));
        QCOMPARE(ui->pnMsg->geometry(), QRect(8, 40, 745, 40));
        QCOMPARE(ui->btnScan->geometry(), QRect(8, 110, 297, 35));
        QCOMPARE(ui->sbComm->geometry(), QRect(8, 574, 745, 25));
        QCOMPARE(ui->shComm->parentWidget(), ui->pnMsg);
        QCOMPARE(ui->shComm->geometry(), QRect(702, 8, 23, 20));
        QCOMPARE(ui->shCard->geometry(), QRect(2, 3, 55, 30));
        QCOMPARE(ui->sbComm->panelWidth(0), 300);
        QCOMPARE(ui->sbComm->panelWidth(1), 500);
        QCOMPARE(ui->edTest->maxLength(), 252);
        QVERIFY(ui->edM1Read->isReadOnly());
        QVERIFY(!(ui->edM1Read->focusPolicy() & Qt::TabFocus));
    }

    void upperCaseFieldsKeepTheCursor()
    {
        Fixture fx;
        fx.OpenWindow();
        QLineEdit* edit = fx.ui()->edM1Key;
        edit->setText(QStringLiteral("FFFF"));
        edit->setFocus();
        edit->setCursorPosition(2);
        QTest::keyClicks(edit, QStringLiteral("ab"));
        QCOMPARE(edit->text(), QStringLiteral("FFABFF"));
        QCOMPARE(edit->cursorPosition(), 4);
        // The command test sends what is typed.
        fx.ui()->edTest->clear();
        QTest::keyClicks(fx.ui()->edTest, QStringLiteral("h1"));
        QCOMPARE(fx.ui()->edTest->text(), QStringLiteral("h1"));
    }

    void languages_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("flag");
        QTest::addColumn<QString>("face");
        QTest::addColumn<int>("points");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("scan");
        QTest::newRow("English") << 0 << "English"
                                 << "Courier New" << 10 << "Tesmora V5.00"
                                 << "S/N : ________"
                                 << "&File"
                                 << "Scan reader";
        QTest::newRow("Simplified") << 1 << "ChineseGB"
                                    << "宋体" << 12 << "读卡机设定程式 V5.00"
                                    << "序号 : ________"
                                    << "档案(&F)"
                                    << "扫描读卡机";
        QTest::newRow("Traditional") << 2 << "ChineseBIG5"
                                     << "細明體" << 12 << "讀卡機設定程式 V5.00"
                                     << "序號 : ________"
                                     << "檔案(&F)"
                                     << "掃描讀卡機";
    }

    void languages()
    {
        QFETCH(int, index);
        QFETCH(QString, flag);
        QFETCH(QString, face);
        QFETCH(int, points);
        QFETCH(QString, caption);
        QFETCH(QString, serial);
        QFETCH(QString, file);
        QFETCH(QString, scan);
        Fixture fx;
        TfrmModule& w = fx.OpenWindow();
        auto* ui = fx.ui();
        QAction* items[] = {ui->mnuEnglish, ui->mnuSimplified, ui->mnuTraditional};
        // Start from another language, so that the switch is visible.
        items[(index + 1) % 3]->trigger();
        items[index]->trigger();

        QCOMPARE(w.LanguageIndex, index);
        QCOMPARE(w.Language, flag);
        QCOMPARE(fx.Stored("LanguageFlag").toString(), flag);
        QCOMPARE(w.font().families().value(0), face);
        QCOMPARE(w.font().pointSize(), points);
        QCOMPARE(w.windowTitle(), caption);
        QCOMPARE(ui->pnSerial->text(), serial);
        QCOMPARE(ui->mnuFile->title(), file);
        QCOMPARE(ui->btnScan->text(), scan);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(items[i]->isChecked(), i == index);
        // The language items read the same in every language.
        QCOMPARE(ui->mnuEnglish->text(), QStringLiteral("&English"));
        QCOMPARE(ui->mnuSimplified->text(), QStringLiteral("&Simplified chinese(简体)"));
        QCOMPARE(ui->mnuTraditional->text(), QStringLiteral("&Traditional chinese(繁體)"));
        // The access-bits editor keeps its own narrow face.
        QCOMPARE(ui->GroupBox2->font().families().value(0), QStringLiteral("Arial Narrow"));
        QCOMPARE(ui->GroupBox2->font().pixelSize(), 11);
        // Fixed captions do not follow the language.
        QCOMPARE(ui->pcOther->tabText(ui->pcOther->indexOf(ui->tsEM)), QStringLiteral("EM/TEMIC"));
        QCOMPARE(ui->pcReader->tabText(1), QStringLiteral("Type 2"));
    }

    void sameLanguageAgainResetsThePanels()
    {
        Fixture fx;
        fx.OpenWindow();
        auto* ui = fx.ui();
        ui->pnMsg->setText(QStringLiteral("x"));
        ui->pnSerial->setText(QStringLiteral("S/N : 12345678"));
        ui->pnVersion->setText(QStringLiteral("VER : 05.00-01"));
        ui->pnID->setText(QStringLiteral("07"));
        ui->mnuEnglish->trigger();
        QCOMPARE(ui->pnMsg->text(), QStringLiteral("Start select reader type."));
        QCOMPARE(ui->pnSerial->text(), QStringLiteral("S/N : ________"));
        QCOMPARE(ui->pnVersion->text(), QStringLiteral("VER : __.__-__"));
        QCOMPARE(ui->pnID->text(), QStringLiteral("07"));
        QCOMPARE(fx.Stored("LanguageFlag").toString(), QStringLiteral("English"));
    }

    void storedLanguage_data()
    {
        QTest::addColumn<QString>("flag");
        QTest::addColumn<int>("index");
        QTest::newRow("ChineseGB") << "ChineseGB" << 1;
        QTest::newRow("ChineseBIG5") << "ChineseBIG5" << 2;
        QTest::newRow("lower case") << "chinesegb" << 0;
        QTest::newRow("upper case") << "CHINESEBIG5" << 0;
        QTest::newRow("other") << "Klingon" << 0;
    }

    void storedLanguage()
    {
        QFETCH(QString, flag);
        QFETCH(int, index);
        Fixture fx;
        fx.StoreSystem("LanguageFlag", flag);
        TfrmModule& w = fx.OpenWindow();
        QCOMPARE(w.LanguageIndex, index);
        // The text is kept as stored until a language is chosen.
        QCOMPARE(w.Language, flag);
        QCOMPARE(fx.ui()->mnuEnglish->isChecked(), index == 0);
        fx.CloseWindow();
        QCOMPARE(fx.Stored("LanguageFlag").toString(), flag);
    }

    void languageWritesOnlyItsFlagAndCloseTheRest()
    {
        Fixture fx;
        fx.OpenWindow();
        fx.ui()->mnuTraditional->trigger();
        QSettings after(fx.SystemStorePath(), QSettings::IniFormat);
        QCOMPARE(after.allKeys(), QStringList{"LanguageFlag"});
        QFile::remove(fx.SystemStorePath());
        fx.CloseWindow();
        QSettings closed(fx.SystemStorePath(), QSettings::IniFormat);
        QStringList keys = closed.allKeys();
        keys.sort();
        QCOMPARE(keys, (QStringList{"ReaderType", "ScanBaudRate", "ScanBaudRateNo", "ScanCommNo"}));
        QCOMPARE(closed.value("ReaderType").toString(), QStringLiteral("0"));
        QCOMPARE(closed.value("ScanCommNo").toString(), QStringLiteral("0"));
        QCOMPARE(closed.value("ScanBaudRateNo").toString(), QStringLiteral("5"));
        QCOMPARE(closed.value("ScanBaudRate").toString(), QStringLiteral("19200,e,8,1"));
    }

    void closeRefusedWhileReadingCards()
    {
        Fixture fx;
        TfrmModule& w = fx.OpenWindow();
        w.CardReadRunning = true;
        QVERIFY(!w.close());
        QVERIFY(w.isVisible());
        QVERIFY(!fx.SystemStoreExists());
        w.CardReadRunning = false;
        QVERIFY(w.close());
        QVERIFY(fx.SystemStoreExists());
    }

    void exitMenuCloses()
    {
        Fixture fx;
        TfrmModule& w = fx.OpenWindow();
        fx.ui()->mnuExit->trigger();
        QVERIFY(!w.isVisible());
        QCOMPARE(fx.StoredSystem("ScanBaudRateNo").toString(), QStringLiteral("5"));
    }

    void readerTypeTabs_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QStringList>("pages");
        QTest::addColumn<QString>("current");
        QTest::newRow("Type 1") << 0 << "A" << QStringList{"tsEM", "tsCommand"} << "tsEM";
        QTest::newRow("Type 2") << 1 << "H" << QStringList{"tsEM", "tsKeypad", "tsCommand"}
                                << "tsKeypad";
        QTest::newRow("Type 3") << 2 << "A" << QStringList{"tsMifare", "tsMifareKey", "tsCommand"}
                                << "tsMifare";
        QTest::newRow("Type 4") << 3 << "H"
                                << QStringList{"tsMifare", "tsMifareKey", "tsKeypad", "tsCommand"}
                                << "tsMifare";
    }

    // Clicking through the tabs, each from every other one, applies its row.
    void readerTypeTabs()
    {
        QFETCH(int, type);
        QFETCH(QString, prefix);
        QFETCH(QStringList, pages);
        QFETCH(QString, current);
        Fixture fx;
        TfrmModule& w = fx.OpenWindow();
        auto* ui = fx.ui();
        for (int from = 0; from < 4; ++from) {
            if (from == type)
                continue;
            ui->pcReader->setCurrentIndex(from);
            QTest::mouseClick(ui->pcReader, Qt::LeftButton, {},
                              ui->pcReader->tabRect(type).center());
            QCOMPARE(ui->pcReader->currentIndex(), type);
            QCOMPARE(w.CommandPrefix, prefix);
            QCOMPARE(VisiblePages(ui), pages);
            QCOMPARE(ui->pcOther->currentWidget()->objectName(), current);
        }
        // A change of type keeps the reader found before.
        w.ReaderFound = true;
        ui->pcReader->setCurrentIndex((type + 1) % 4);
        QVERIFY(w.ReaderFound);
    }

    // The wheel and the arrow keys move only between the shown types; a hidden
    // one stays where only the stored type can put it.
    void hiddenTypesCannotBeSelected_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("start");
        QTest::newRow("Type 4") << "3" << 3;
        QTest::newRow("Type 6 stored") << "5" << 5;
    }

    void hiddenTypesCannotBeSelected()
    {
        QFETCH(QString, stored);
        QFETCH(int, start);
        Fixture fx;
        fx.StoreSystem("ReaderType", stored);
        fx.OpenWindow();
        QTabBar* bar = fx.ui()->pcReader;
        QCOMPARE(bar->currentIndex(), start);
        QList<int> seen;
        auto wheel = [&](int delta) {
            const QPointF at = bar->rect().center();
            QWheelEvent e(at, bar->mapToGlobal(at), {}, {0, delta}, Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
            QApplication::sendEvent(bar, &e);
            seen << bar->currentIndex();
        };
        for (int i = 0; i < 6; ++i)
            wheel(-120);
        for (int i = 0; i < 12; ++i)
            wheel(120);
        bar->setCurrentIndex(3);
        bar->setFocus();
        for (int key :
             {Qt::Key_Right, Qt::Key_Right, Qt::Key_Down, Qt::Key_End, Qt::Key_PageDown}) {
            QTest::keyClick(bar, Qt::Key(key));
            seen << bar->currentIndex();
        }
        // A stored hidden type may stay put until the first move to a shown one.
        while (!seen.isEmpty() && seen.front() == start)
            seen.pop_front();
        for (int index : seen)
            QVERIFY2(index >= 0 && index < 4, qPrintable(QString::number(index)));
        QVERIFY(seen.contains(0) && seen.contains(3));
        fx.CloseWindow();
        QCOMPARE(fx.StoredSystem("ReaderType").toString(), QStringLiteral("3"));
    }

    void storedReaderType_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("4") << "4" << 4 << "J";
        QTest::newRow("5") << "5" << 5 << "I";
        QTest::newRow("6") << "6" << 6 << "J";
        QTest::newRow("7") << "7" << 7 << "I";
        QTest::newRow("8") << "8" << -1 << "A";
        QTest::newRow("-1") << "-1" << -1 << "A";
        QTest::newRow("huge") << "2147483647" << -1 << "A";
    }

    void storedReaderType()
    {
        QFETCH(QString, stored);
        QFETCH(int, type);
        QFETCH(QString, prefix);
        Fixture fx;
        fx.StoreSystem("ReaderType", stored);
        TfrmModule& w = fx.OpenWindow();
        auto* ui = fx.ui();
        QCOMPARE(w.ReaderType(), type);
        QCOMPARE(w.CommandPrefix, prefix);
        QCOMPARE(VisiblePages(ui), QStringList{"tsCommand"});
        QCOMPARE(ui->pcOther->currentWidget(), ui->tsCommand);
        // The hidden tabs stay hidden.
        for (int i = 4; i < ui->pcReader->count(); ++i)
            QVERIFY(!ui->pcReader->isTabVisible(i));
        fx.CloseWindow();
        QCOMPARE(fx.StoredSystem("ReaderType").toInt(), type);
    }

    void storedLink()
    {
        Fixture fx;
        fx.StoreSystem("ScanCommNo", "3");
        fx.StoreSystem("ScanBaudRate", "9600,e,8,1");
        fx.StoreSystem("ScanBaudRateNo", "3");
        TfrmModule& w = fx.OpenWindow();
        QCOMPARE(w.ScanCommNo, 3);
        QCOMPARE(w.ScanBaudRate, QStringLiteral("9600,e,8,1"));
        QCOMPARE(fx.ui()->cmbBaudRate->currentIndex(), 3);
    }

    void scanBaudRateNoOutOfRange_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::newRow("14") << "14";
        QTest::newRow("-3") << "-3";
    }

    void scanBaudRateNoOutOfRange()
    {
        QFETCH(QString, stored);
        Fixture fx;
        fx.StoreSystem("ScanBaudRateNo", stored);
        TfrmModule& w = fx.OpenWindow();
        QCOMPARE(w.ScanBaudRateNo, stored.toInt());
        QCOMPARE(fx.ui()->cmbBaudRate->currentIndex(), -1);
    }

    void wrongTypeStopsTheLoad_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("readerType");
        QTest::addColumn<int>("commNo");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("modeNo");
        QTest::addColumn<int>("language");
        // All five are stored; the bad one and every later one keep their defaults.
        QTest::newRow("ReaderType") << "ReaderType" << 0 << 0 << "19200,e,8,1" << 5 << 0;
        QTest::newRow("ScanCommNo") << "ScanCommNo" << 2 << 0 << "19200,e,8,1" << 5 << 0;
        QTest::newRow("ScanBaudRateNo") << "ScanBaudRateNo" << 2 << 7 << "9600,e,8,1" << 5 << 0;
    }

    void wrongTypeStopsTheLoad()
    {
        QFETCH(QString, key);
        QFETCH(int, readerType);
        QFETCH(int, commNo);
        QFETCH(QString, mode);
        QFETCH(int, modeNo);
        QFETCH(int, language);
        Fixture fx;
        fx.StoreSystem("ReaderType", "2");
        fx.StoreSystem("ScanCommNo", "7");
        fx.StoreSystem("ScanBaudRate", "9600,e,8,1");
        fx.StoreSystem("ScanBaudRateNo", "3");
        fx.StoreSystem("LanguageFlag", "ChineseGB");
        fx.StoreSystem(key, "not a number");
        TfrmModule& w = fx.OpenWindow();
        QCOMPARE(w.ReaderType(), readerType);
        QCOMPARE(w.ScanCommNo, commNo);
        QCOMPARE(w.ScanBaudRate, mode);
        QCOMPARE(w.ScanBaudRateNo, modeNo);
        QCOMPARE(w.LanguageIndex, language);
    }

    // Where the machine-wide store cannot be written, saves go to the per-user
    // one, and so its values are the newer ones.
    void perUserValuesOverReadOnlyMachineWide()
    {
        Fixture fx;
        fx.StoreSystem("ScanCommNo", "3");
        fx.StoreSystem("ScanBaudRateNo", "3");
        fx.StoreUser("ScanCommNo", "9");
        fx.StoreUser("LanguageFlag", "ChineseBIG5");
        MakeReadOnly(fx.SystemStorePath());
        FileModesHonoured modes;
        TfrmModule& w = fx.OpenWindow();
        QCOMPARE(w.ScanCommNo, 9);
        QCOMPARE(w.ScanBaudRateNo, 3);
        QCOMPARE(w.LanguageIndex, 2);
    }

    void unwritableMachineStoreSavesPerUser()
    {
        Fixture fx;
        // A folder below a plain file can be made by nobody, not even root.
        QTemporaryDir blocker;
        QFile plain(blocker.filePath("file"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope,
                           blocker.filePath("file/etc"));
        fx.OpenWindow();
        fx.ui()->mnuSimplified->trigger();
        fx.CloseWindow();
        QSettings user(fx.UserStorePath(), QSettings::IniFormat);
        QCOMPARE(user.value("LanguageFlag").toString(), QStringLiteral("ChineseGB"));
        QCOMPARE(user.value("ScanBaudRate").toString(), QStringLiteral("19200,e,8,1"));
        // And the next start reads them back.
        TfrmModule& again = fx.OpenWindow();
        QCOMPARE(again.LanguageIndex, 1);
    }

    void loadLeavesTheStoreUntouched()
    {
        Fixture fx;
        fx.StoreSystem("ScanCommNo", "4");
        QFile::setPermissions(fx.SystemStorePath(),
                              QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        QFile before(fx.SystemStorePath());
        QVERIFY(before.open(QIODevice::ReadOnly));
        QByteArray bytes = before.readAll();
        before.close();
        TfrmModule& w = fx.OpenWindow();
        QCOMPARE(w.ScanCommNo, 4);
        QFile after(fx.SystemStorePath());
        QVERIFY(after.open(QIODevice::ReadOnly));
        QCOMPARE(after.readAll(), bytes);
    }

    void badStoreNeverBlocksTheStart_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("commNo");
        QTest::addColumn<QString>("mode");
        // Its length from the array, not counted by hand: it holds a 0x00.
        static constexpr char garbage[] = "\x01\xff[[[=\n=\n\x00zz";
        QTest::newRow("garbage") << QByteArray(garbage, sizeof garbage - 1) << 0 << "19200,e,8,1";
        QTest::newRow("huge") << QByteArray("[General]\nScanCommNo=99999999999999999999\n"
                                            "ScanBaudRate=4800,n,8,1\n")
                              << 0 << "19200,e,8,1";
        QTest::newRow("negative") << QByteArray("[General]\nScanCommNo=-5\nReaderType=-2\n") << -5
                                  << "19200,e,8,1";
        QTest::newRow("unquoted mode")
            << QByteArray("[General]\nScanBaudRate=9600,n,8,1\n") << 0 << "9600,n,8,1";
    }

    void badStoreNeverBlocksTheStart()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, commNo);
        QFETCH(QString, mode);
        Fixture fx;
        QDir().mkpath(QFileInfo(fx.SystemStorePath()).path());
        QFile f(fx.SystemStorePath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
        f.close();
        TfrmModule& w = fx.OpenWindow();
        QVERIFY(w.isVisible());
        QCOMPARE(w.ScanCommNo, commNo);
        QCOMPARE(w.ScanBaudRate, mode);
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Start select reader type."));
    }

    void folderWhereTheStoreShouldBe()
    {
        Fixture fx;
        QVERIFY(QDir().mkpath(fx.SystemStorePath()));
        TfrmModule& w = fx.OpenWindow();
        QCOMPARE(w.ScanCommNo, 0);
        QCOMPARE(w.LanguageIndex, 0);
        // Closing cannot save there either, and says nothing.
        fx.CloseWindow();
        QVERIFY(QFileInfo(fx.SystemStorePath()).isDir());
    }

    void busyBlinkContinuesAcrossPeriods()
    {
        Fixture fx;
        TfrmModule& w = fx.OpenWindow();
        w.SetBusy(true);
        QVERIFY(!w.isEnabled());
        QVERIFY(!w.menuBar()->isEnabled());
        QVERIFY(w.tmrBusy->isActive());
        QTRY_COMPARE_WITH_TIMEOUT(w.tmrBusyTag, 1, 1000);
        QCOMPARE(w.CommColor(), 0x0000FFu);
        w.SetBusy(false);
        QVERIFY(w.isEnabled());
        QVERIFY(!w.tmrBusy->isActive());
        // The next period starts from the phase where this one stopped.
        w.SetBusy(true);
        QTRY_COMPARE_WITH_TIMEOUT(w.CommColor(), 0x00FFFFu, 1000);
        QCOMPARE(w.tmrBusyTag, 0);
        QTRY_COMPARE_WITH_TIMEOUT(w.CommColor(), 0x0000FFu, 1000);
        w.SetBusy(false);
    }

    void scrollBarPanels_data()
    {
        QTest::addColumn<QString>("bar");
        QTest::addColumn<QString>("panel");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("sbID") << "sbID"
                              << "pnID" << 7 << "07";
        QTest::newRow("sbKeyNumber") << "sbKeyNumber"
                                     << "pnKeyNumber" << 9 << "09";
        QTest::newRow("sbKeyStatusNumber") << "sbKeyStatusNumber"
                                           << "pnKeyStatusNumber" << 8 << "08";
        QTest::newRow("sbKeyDelayTime") << "sbKeyDelayTime"
                                        << "pnKeyDelayTime" << 99 << "99";
        QTest::newRow("sbM1E2Sector") << "sbM1E2Sector"
                                      << "pnM1E2Sector" << 5 << "05";
        QTest::newRow("sbM1IDSector") << "sbM1IDSector"
                                      << "pnM1IDSector" << 39 << "39";
        QTest::newRow("sbM1IDBlock") << "sbM1IDBlock"
                                     << "pnM1IDBlock" << 3 << "3";
        QTest::newRow("sbM1IDByte") << "sbM1IDByte"
                                    << "pnM1IDByte" << 7 << "7";
        QTest::newRow("sbM1IDByte 2 digits") << "sbM1IDByte"
                                             << "pnM1IDByte" << 31 << "31";
        QTest::newRow("sbM1Sector") << "sbM1Sector"
                                    << "pnM1Sector" << 2 << "02";
        QTest::newRow("sbM1Block") << "sbM1Block"
                                   << "pnM1Block" << 2 << "2";
        QTest::newRow("sbM1CardSector") << "sbM1CardSector"
                                        << "pnM1CardSector" << 0 << "00";
    }

    void scrollBarPanels()
    {
        QFETCH(QString, bar);
        QFETCH(QString, panel);
        QFETCH(int, value);
        QFETCH(QString, text);
        Fixture fx;
        TfrmModule& w = fx.OpenWindow();
        auto* scroll = w.findChild<QScrollBar*>(bar);
        auto* label = w.findChild<QLabel*>(panel);
        QVERIFY(scroll && label);
        scroll->setValue(value);
        QCOMPARE(label->text(), text);
    }

    void enterPressesScan()
    {
        Fixture fx; // an empty port folder: every port fails to open at once
        TfrmModule& w = fx.OpenWindow();
        QSignalSpy scan(fx.ui()->btnScan, &QPushButton::clicked);
        fx.ui()->edTest->setFocus();
        QTest::keyClick(fx.ui()->edTest, Qt::Key_Return);
        QCOMPARE(scan.count(), 1);
        // No serial device at all: the second line says where to look.
        QCOMPARE(fx.ui()->pnMsg->text(),
                 QStringLiteral("Reader not find\nNo COM port exists on this machine: see "
                                "tesmora-cli ports."));
        // A focused button takes Enter itself.
        QSignalSpy id(fx.ui()->btnID, &QPushButton::clicked);
        fx.ui()->btnID->setFocus();
        QTest::keyClick(fx.ui()->btnID, Qt::Key_Return);
        QCOMPARE(id.count(), 1);
        QCOMPARE(scan.count(), 1);
        QVERIFY(w.isEnabled());
    }

    void handlerErrorsAreReportedAndTheLoopGoesOn()
    {
        QStringList reports;
        TApplication::SetErrorReporter([&](const QString& m) { reports << m; });
        bool after = false;
        QTimer::singleShot(0, [] { throw std::runtime_error("boom"); });
        QTimer::singleShot(10, [&] { after = true; });
        QTRY_VERIFY(after);
        TApplication::SetErrorReporter(nullptr);
        QCOMPARE(reports, QStringList{"boom"});
    }

    // A termination or a hang-up (a desktop logout) in the middle of a scan, a
    // reading run or an operation ends it at once and puts the port back; the
    // application is asked to end with the signal's status.
    void signalEndsWhatRuns_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("signal");
        QTest::newRow("scan, SIGTERM") << "btnScan" << SIGTERM;
        QTest::newRow("reading run, SIGHUP") << "btnReadCard" << SIGHUP;
        QTest::newRow("factory default, SIGTERM") << "btnFactory" << SIGTERM;
    }

    void signalEndsWhatRuns()
    {
        QFETCH(QString, button);
        QFETCH(int, signal);
        StopSignals::Catch();
        Fixture fx;
        emu::ReaderEmulator& r = fx.FoundReader(1);
        if (button == "btnScan") {
            // The stored reader gone: the scan goes on searching the ports.
            emu::ReaderModel dead = r.Model();
            dead.dead = true;
            r.SetModel(dead);
        }
        QElapsedTimer t;
        QTimer::singleShot(400, [&] {
            t.start();
            std::raise(signal);
        });
        fx.Click(fx.window().findChild<QPushButton*>(button));
        const qint64 after = t.elapsed();
        QCOMPARE(StopSignals::Received(), signal);
        link::ClearStop();
        QVERIFY2(after < 700, qPrintable(QString::number(after)));
        QVERIFY(!fx.window().CardReadRunning && !fx.window().OperationRunning);
        VerifyReleased(fx, r);
    }

    // No reader, and ports that this account may not open or that another
    // program holds: the message says which, and what to do; the dialout
    // advice only for a device of that group, another named by whose it is.
    void noReaderSaysWhichPortsWereRefused()
    {
        Fixture fx;
        fx.HoldPort(3);
        emu::ReaderModel dead;
        dead.dead = true;
        for (const auto& [com, group] : {std::pair{5, "dialout"}, {6, "root"}}) {
            const std::string slave = fx.AddReader(com, dead).SlavePath();
            QCOMPARE(::chown(slave.c_str(), 0, ::getgrnam(group)->gr_gid), 0);
            QCOMPARE(::chmod(slave.c_str(), 0), 0);
        }
        fx.OpenWindow();
        {
            FileModesHonoured modes;
            fx.Click(fx.ui()->btnScan);
        }
        QCOMPARE(fx.ui()->pnMsg->text(),
                 QStringLiteral("Reader not find\nPermission denied: add your account to the "
                                "dialout group. (COM : #5)  Permission denied: the device belongs "
                                "to root, group root. (COM : #6)  Busy: held by another program. "
                                "(COM : #3)"));
    }

    // The icon, PNGs compiled in at the hicolor sizes: Qt needs no SVG plugin for it.
    void windowIcon()
    {
        Fixture fx;
        const QList<QSize> sizes = fx.OpenWindow().windowIcon().availableSizes();
        for (int n : {16, 22, 24, 32, 48, 64, 128, 256})
            QVERIFY2(sizes.contains(QSize(n, n)), qPrintable(QString::number(n)));
    }
};

TESMORA_TEST_MAIN(TestShell)
#include "tst_shell.moc"
