#include "frmmodule.h"

#include <QAction>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLayout>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QValidator>

#include "badgedesk.h"
#include "cardwindow.h"
#include "fonts.h"
#include "history.h"
#include "link/modelist.h"
#include "link/payload.h"
#include "store/settings.h"
#include "ui_frmmodule.h"

namespace {

// Typed letters become capitals at once; the cursor stays where it is.
class UpperCaseValidator : public QValidator
{
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override
    {
        input = input.toUpper();
        return Acceptable;
    }
};

// A hidden tab past the eight reader types stands for "no page active", which
// a stored reader type outside 0..7 leads to.
constexpr int kReaderTypeCount = 8;
constexpr int kNoReaderTypeTab = kReaderTypeCount;

QString Two(int value)
{
    return QString::asprintf("%02d", value);
}

} // namespace

TfrmModule::TfrmModule(QWidget* parent) : QMainWindow(parent), ui(std::make_unique<Ui::frmModule>())
{
    ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);

    for (int i = 0; i < kReaderTypeCount; ++i)
        ui->pcReader->addTab(QStringLiteral("Type %1").arg(i + 1));
    ui->pcReader->addTab(QString());
    // Hidden and disabled: the tab bar's wheel and arrow keys skip disabled tabs
    // only, and nothing but the stored reader type may select these.
    for (int i = 4; i <= kNoReaderTypeTab; ++i) {
        ui->pcReader->setTabVisible(i, false);
        ui->pcReader->setTabEnabled(i, false);
    }

    // The indicators sit inside the message panel.
    for (TShape* shape : {ui->shCard, ui->shComm}) {
        QPoint at = shape->pos() - ui->pnMsg->pos();
        shape->setParent(ui->pnMsg);
        shape->move(at);
        shape->show();
        shape->raise();
    }
    ui->shCard->setKind(TShape::Kind::RoundRect);
    ui->shCard->setBrushColor(0xFFFFFF);
    ui->shComm->setKind(TShape::Kind::Circle);
    ui->shComm->setBrushColor(0x0000FF);

    ui->GroupBox2->setFont(MakeAccessBitsFont());
    ApplyUpperCase();

    tmrBusy = new QTimer(this);
    tmrBusy->setObjectName(QStringLiteral("tmrBusy"));
    tmrBusy->setInterval(200);
    tmrCard = new QTimer(this);
    tmrCard->setObjectName(QStringLiteral("tmrCard"));
    tmrCard->setInterval(1000);

    centralWidget()->setFixedSize(771, 613);
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    link_.SetObserver(&traffic_);
    link_.SetEventHook([] { QCoreApplication::processEvents(); });

    ConnectHandlers();
    FormCreate();
    WatchPorts(true);
}

TfrmModule::~TfrmModule()
{
    // The notifier goes before the descriptor it watches.
    WatchPorts(false);
}

HistoryOperation::HistoryOperation(link::TrafficHistory& history, MsgKey title)
    : history_(history), before_(history.Operation())
{
    history_.SetOperation(CatalogText(title, 0));
}

HistoryOperation::~HistoryOperation()
{
    history_.SetOperation(before_);
}

void TfrmModule::ApplyUpperCase()
{
    for (QLineEdit* edit : {ui->edM1Key, ui->edM1RWKey, ui->edM1Write, ui->edM1CardOldKey,
                            ui->edM1CardKeyA, ui->edM1CardKeyB, ui->edM1CardKeyAccess})
        edit->setValidator(new UpperCaseValidator(edit));
}

void TfrmModule::ConnectHandlers()
{
    connect(ui->mnuExit, &QAction::triggered, this, &TfrmModule::mnuExitClick);
    connect(ui->mnuEnglish, &QAction::triggered, this, &TfrmModule::mnuEnglishClick);
    connect(ui->mnuSimplified, &QAction::triggered, this, &TfrmModule::mnuSimplifiedClick);
    connect(ui->mnuTraditional, &QAction::triggered, this, &TfrmModule::mnuTraditionalClick);
    connect(ui->mnuHistory, &QAction::triggered, this, &TfrmModule::mnuHistoryClick);
    connect(ui->mnuCard, &QAction::triggered, this, &TfrmModule::mnuCardClick);
    connect(ui->mnuBadgeDesk, &QAction::triggered, this, &TfrmModule::mnuBadgeDeskClick);
    connect(ui->mnuSaveProfile, &QAction::triggered, this, &TfrmModule::mnuSaveProfileClick);
    connect(ui->mnuApplyProfile, &QAction::triggered, this, &TfrmModule::mnuApplyProfileClick);

    connect(ui->pcReader, &QTabBar::currentChanged, this, &TfrmModule::pcReaderChange);
    connect(tmrBusy, &QTimer::timeout, this, &TfrmModule::tmrBusyTimer);
    connect(tmrCard, &QTimer::timeout, this, &TfrmModule::tmrCardTimer);
    const std::pair<QPushButton*, void (TfrmModule::*)()> buttons[] = {
        {ui->btnScan, &TfrmModule::btnScanClick},
        {ui->btnID, &TfrmModule::btnIDClick},
        {ui->btnBaudRate, &TfrmModule::btnBaudRateClick},
        {ui->btnMode, &TfrmModule::btnModeClick},
        {ui->btnTest, &TfrmModule::btnTestClick},
        {ui->btnCardType, &TfrmModule::btnCardTypeClick},
        {ui->btnKeyParity, &TfrmModule::btnKeyParityClick},
        {ui->btnKeyNumber, &TfrmModule::btnKeyNumberClick},
        {ui->btnKeyStatus, &TfrmModule::btnKeyStatusClick},
        {ui->btnFactory, &TfrmModule::btnFactoryClick},
        {ui->btnReadCard, &TfrmModule::btnReadCardClick},
        {ui->btnEncode, &TfrmModule::btnEncodeClick},
        {ui->btnM1Key, &TfrmModule::btnM1KeyClick},
        {ui->btnM1IDSector, &TfrmModule::btnM1IDSectorClick},
        {ui->btnM1Read, &TfrmModule::btnM1ReadClick},
        {ui->btnM1Write, &TfrmModule::btnM1WriteClick},
        {ui->btnM1CardKey, &TfrmModule::btnM1CardKeyClick},
    };
    for (const auto& [button, handler] : buttons)
        connect(button, &QPushButton::clicked, this, handler);

    const std::pair<QScrollBar*, void (TfrmModule::*)()> scrollBars[] = {
        {ui->sbID, &TfrmModule::sbIDChange},
        {ui->sbKeyNumber, &TfrmModule::sbKeyNumberChange},
        {ui->sbKeyStatusNumber, &TfrmModule::sbKeyStatusNumberChange},
        {ui->sbKeyDelayTime, &TfrmModule::sbKeyDelayTimeChange},
        {ui->sbM1E2Sector, &TfrmModule::sbM1E2SectorChange},
        {ui->sbM1IDSector, &TfrmModule::sbM1IDSectorChange},
        {ui->sbM1IDBlock, &TfrmModule::sbM1IDBlockChange},
        {ui->sbM1IDByte, &TfrmModule::sbM1IDByteChange},
        {ui->sbM1Sector, &TfrmModule::sbM1SectorChange},
        {ui->sbM1Block, &TfrmModule::sbM1BlockChange},
        {ui->sbM1CardSector, &TfrmModule::sbM1CardSectorChange},
    };
    for (const auto& [bar, handler] : scrollBars)
        connect(bar, &QScrollBar::valueChanged, this, handler);

    ConnectAccessButtons();
}

QString TfrmModule::Msg(MsgKey key) const
{
    return CatalogText(key, LanguageIndex);
}

// --- start-up and close -------------------------------------------------------

void TfrmModule::FormCreate()
{
    ScanCommNo = 0;
    ScanBaudRate = QStringLiteral("19200,e,8,1");
    ScanBaudRateNo = 5;
    Language = QStringLiteral("English");
    LanguageIndex = 0;
    loadedReaderType = 0;

    LoadSettings();

    CardReadRunning = false;
    ReaderFound = false;

    SelectBaudRateItem(ScanBaudRateNo);
    ui->cmbMode->setCurrentIndex(0);
    ui->cmbWiegand->setCurrentIndex(0);
    ui->cmbRS485->setCurrentIndex(1);
    CommandPrefix = QStringLiteral("A");
    ui->cmbCardType->setCurrentIndex(0);
    ui->cmbKeyParity->setCurrentIndex(0);

    // The type is selected before the first show, which applies its row.
    QSignalBlocker block(ui->pcReader);
    SelectReaderType(loadedReaderType);
}

int TfrmModule::ReaderType() const
{
    int index = ui->pcReader->currentIndex();
    return index >= 0 && index < kReaderTypeCount ? index : -1;
}

void TfrmModule::SelectReaderType(int index)
{
    ui->pcReader->setCurrentIndex(index >= 0 && index < kReaderTypeCount ? index
                                                                         : kNoReaderTypeTab);
}

void TfrmModule::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (event->spontaneous())
        return;
    if (firstShow) {
        firstShow = false;
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    FormShow();
}

void TfrmModule::FormShow()
{
    ui->mnuEnglish->setChecked(LanguageIndex == 0);
    ui->mnuSimplified->setChecked(LanguageIndex == 1);
    ui->mnuTraditional->setChecked(LanguageIndex == 2);

    setFont(MakeLanguageFont(LanguageIndex));
    setWindowTitle(Msg("Tesmora V5.00"));

    ui->mnuLanguage->setTitle(Msg("&Language"));
    ui->mnuEnglish->setText(QString::fromUtf8(kLanguageMenuCaptions[0]));
    ui->mnuSimplified->setText(QString::fromUtf8(kLanguageMenuCaptions[1]));
    ui->mnuTraditional->setText(QString::fromUtf8(kLanguageMenuCaptions[2]));
    ui->mnuFile->setTitle(Msg("&File"));
    ui->mnuExit->setText(Msg("E&xit"));
    ui->mnuHistory->setText(Msg("&History"));
    ui->mnuSaveProfile->setText(Msg("Save reader settings..."));
    ui->mnuApplyProfile->setText(Msg("Apply reader settings..."));
    if (historyWindow_)
        historyWindow_->ApplyLanguage(LanguageIndex);
    ui->mnuCard->setText(Msg("&Card"));
    if (cardWindow_)
        cardWindow_->ApplyLanguage(LanguageIndex);
    ui->mnuBadgeDesk->setText(Msg("&Badge desk"));
    if (badgeDesk_)
        badgeDesk_->ApplyLanguage(LanguageIndex);

    ui->pnMsg->setText(Msg("Start select reader type."));
    ShowReaderPlaceholders();
    ui->lblID->setText(Msg("ID") + QStringLiteral(":"));

    auto tab = [this](QWidget* page, MsgKey key) {
        ui->pcOther->setTabText(ui->pcOther->indexOf(page), Msg(key));
    };
    ui->btnScan->setText(Msg("Scan reader"));
    ui->btnID->setText(Msg("Set reader ID"));
    ui->chkLock->setText(Msg("Lock"));
    ui->btnBaudRate->setText(Msg("Set reader baud rate"));
    ui->btnReadCard->setText(Msg("Read card"));
    ui->btnEncode->setText(Msg("Read card two-way"));
    ui->btnFactory->setText(Msg("Set factory default"));
    ui->gbOther->setTitle(Msg("Special setting"));
    tab(ui->tsCommand, "Common");
    ui->gbMode->setTitle(Msg("Set reader interface"));
    ui->btnMode->setText(Msg("Set reader interface"));
    ui->lblInterface->setText(Msg("Interface:"));
    ui->lblWiegand->setText(Msg("Wiegand:"));
    ui->gbTest->setTitle(Msg("Command test"));
    ui->btnTest->setText(Msg("Command test"));
    ui->gbCardType->setTitle(Msg("Set card type"));
    ui->lblCardType->setText(Msg("Card type:"));
    ui->btnCardType->setText(Msg("Set card type"));
    tab(ui->tsKeypad, "Keypad");
    ui->gbKeyParity->setTitle(Msg("Set key parity"));
    ui->lblKeyParity->setText(Msg("Wiegand key:"));
    ui->btnKeyParity->setText(Msg("Set key parity"));
    ui->gbKeyNumber->setTitle(Msg("Set key number"));
    ui->lblKeyNumber->setText(Msg("Key Number:"));
    ui->btnKeyNumber->setText(Msg("Set key number"));
    ui->gbKeyStatus->setTitle(Msg("Set key status code"));
    ui->lblKeyStatusNumber->setText(Msg("Key Number:"));
    ui->lblKeyDelayTime->setText(Msg("Delay time:"));
    ui->lblKeySec->setText(Msg("Sec"));
    ui->btnKeyStatus->setText(Msg("Set key status code"));
    ui->gbM1IDSector->setTitle(Msg("Card ID sector/block/byte"));
    ui->lblM1IDSector->setText(Msg("Sector:"));
    ui->lblM1IDBlock->setText(Msg("Block:"));
    ui->lblM1IDByte->setText(Msg("Byte:"));
    ui->btnM1IDSector->setText(Msg("Set sector/block/byte"));
    ui->rbM1IDKeyA->setText(Msg("Key A"));
    ui->rbM1IDKeyB->setText(Msg("Key B"));
    ui->lblM1IDErr->setText(Msg("Key error Msg:"));
    ui->gbM1E2->setTitle(Msg("Write key to EEPROM"));
    ui->lblM1E2Sector->setText(Msg("Sector:"));
    ui->lblM1E2Key->setText(Msg("Key:"));
    ui->btnM1Key->setText(Msg("Set key EEPROM"));
    ui->gbM1RW->setTitle(Msg("Card data read/write test"));
    ui->lblM1Sector->setText(Msg("Sector:"));
    ui->lblM1Block->setText(Msg("Block:"));
    ui->lblM1Write->setText(Msg("Write card data"));
    ui->btnM1Write->setText(Msg("Write card data"));
    ui->lblM1Read->setText(Msg("Read card data"));
    ui->btnM1Read->setText(Msg("Read card data"));
    ui->gbM1Key->setTitle(Msg("Write key to card"));
    ui->lblM1CardSector->setText(Msg("Sector:"));
    ui->gbCardKeyOld->setTitle(Msg("Old key:"));
    ui->gbM1NewCardKey->setTitle(Msg("New key:"));
    ui->btnM1CardKey->setText(Msg("Set card key"));
    // A language switch while reading runs keeps the stop caption on its button.
    if (CardReadRunning)
        ReadingButton(readingTwoWay_)->setText(Msg("Cancel read card"));

    pcReaderChange();
}

void TfrmModule::closeEvent(QCloseEvent* event)
{
    // Exit with another window's run going: it stops at its next safe point,
    // then everything closes.
    if (runs_.HoldClose(this, true)) {
        event->ignore();
        return;
    }
    if (!FormClose()) {
        event->ignore();
        return;
    }
    event->accept();
    if (historyWindow_)
        historyWindow_->close();
    if (cardWindow_)
        cardWindow_->close();
    if (badgeDesk_)
        badgeDesk_->close();
}

bool TfrmModule::FormClose()
{
    // A window manager delivers the close even to a disabled window; closing in
    // the middle of an operation would leave it running unseen, holding the port.
    if (CardReadRunning || OperationRunning)
        return false;
    SaveScanSettings();
    return true;
}

void TfrmModule::mnuExitClick()
{
    close();
}

void TfrmModule::mnuHistoryClick()
{
    if (!historyWindow_) {
        historyWindow_ = std::make_unique<TfrmHistory>(history_);
        historyWindow_->ApplyLanguage(LanguageIndex);
    }
    historyWindow_->show();
    historyWindow_->raise();
    historyWindow_->activateWindow();
}

void TfrmModule::mnuCardClick()
{
    if (!cardWindow_) {
        cardWindow_ = std::make_unique<TfrmCard>(*this);
        cardWindow_->ApplyLanguage(LanguageIndex);
    }
    cardWindow_->show();
    cardWindow_->raise();
    cardWindow_->activateWindow();
}

void TfrmModule::mnuBadgeDeskClick()
{
    if (!badgeDesk_) {
        badgeDesk_ = std::make_unique<TfrmBadgeDesk>(*this);
        badgeDesk_->ApplyLanguage(LanguageIndex);
    }
    badgeDesk_->show();
    badgeDesk_->raise();
    badgeDesk_->activateWindow();
}

void TfrmModule::keyPressEvent(QKeyEvent* event)
{
    // Enter presses the focused button, or else the default button.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        auto* focused = qobject_cast<QPushButton*>(focusWidget());
        QPushButton* target = focused ? focused : ui->btnScan;
        if (target->isEnabled())
            target->click();
        event->accept();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

// --- language ----------------------------------------------------------------

void TfrmModule::SetLanguage(int index)
{
    LanguageIndex = index;
    Language = QString::fromLatin1(kLanguageNames[index]);
    SaveLanguage();
    FormShow();
}

void TfrmModule::mnuEnglishClick()
{
    SetLanguage(0);
}

void TfrmModule::mnuSimplifiedClick()
{
    SetLanguage(1);
}

void TfrmModule::mnuTraditionalClick()
{
    SetLanguage(2);
}

// --- settings store ------------------------------------------------------------

void TfrmModule::LoadSettings()
{
    StoredSettings s;
    s.readerType = loadedReaderType;
    s.scanCommNo = ScanCommNo;
    s.scanBaudRate = ScanBaudRate;
    s.scanBaudRateNo = ScanBaudRateNo;
    s.language = Language;
    s.languageIndex = LanguageIndex;
    LoadStoredSettings(s);
    // The link is told which device each COM number stands for.
    ApplyStoredPortMap();
    loadedReaderType = s.readerType;
    ScanCommNo = s.scanCommNo;
    ScanBaudRate = s.scanBaudRate;
    ScanBaudRateNo = s.scanBaudRateNo;
    Language = s.language;
    LanguageIndex = s.languageIndex;
}

void TfrmModule::SaveScanSettings()
{
    SaveStoredScanSettings(ReaderType(), ScanCommNo, ScanBaudRateNo, ScanBaudRate);
}

void TfrmModule::SaveLanguage()
{
    SaveStoredLanguage(Language);
}

void TfrmModule::SelectBaudRateItem(int index)
{
    ui->cmbBaudRate->setCurrentIndex(index >= 0 && index < kModeCount ? index : -1);
}

void TfrmModule::ShowReaderPlaceholders()
{
    ui->pnSerial->setText(Msg("S/N") + QStringLiteral(" : ________"));
    ui->pnVersion->setText(Msg("VER") + QStringLiteral(" : __.__-__"));
}

// --- display-only scroll-bar handlers -------------------------------------------

void TfrmModule::sbIDChange()
{
    ui->pnID->setText(Two(ui->sbID->value()));
}

void TfrmModule::sbKeyNumberChange()
{
    ui->pnKeyNumber->setText(Two(ui->sbKeyNumber->value()));
}

void TfrmModule::sbKeyStatusNumberChange()
{
    ui->pnKeyStatusNumber->setText(Two(ui->sbKeyStatusNumber->value()));
}

void TfrmModule::sbKeyDelayTimeChange()
{
    ui->pnKeyDelayTime->setText(Two(ui->sbKeyDelayTime->value()));
}

void TfrmModule::sbM1E2SectorChange()
{
    ui->pnM1E2Sector->setText(Two(ui->sbM1E2Sector->value()));
}

void TfrmModule::sbM1IDSectorChange()
{
    ui->pnM1IDSector->setText(Two(ui->sbM1IDSector->value()));
}

void TfrmModule::sbM1IDBlockChange()
{
    ui->pnM1IDBlock->setText(QString::number(ui->sbM1IDBlock->value()));
}

void TfrmModule::sbM1IDByteChange()
{
    ui->pnM1IDByte->setText(QString::number(ui->sbM1IDByte->value()));
}

void TfrmModule::sbM1SectorChange()
{
    ui->pnM1Sector->setText(Two(ui->sbM1Sector->value()));
}

void TfrmModule::sbM1BlockChange()
{
    ui->pnM1Block->setText(QString::number(ui->sbM1Block->value()));
}

void TfrmModule::sbM1CardSectorChange()
{
    ui->pnM1CardSector->setText(Two(ui->sbM1CardSector->value()));
}

// --- traffic display -------------------------------------------------------------

void TfrmModule::CommPanels::FrameSent(const std::string& display)
{
    w_.SetCommPanel(0, link::PayloadText(display));
}

void TfrmModule::CommPanels::BytesReceived(const std::string& display, link::Outcome outcome, int)
{
    // A payload refused or interrupted before sending leaves both panels as they were.
    if (outcome != link::Outcome::Refused && outcome != link::Outcome::Interrupted)
        w_.SetCommPanel(1, QString::fromStdString(display));
}

void TfrmModule::SetCommPanel(int index, const QString& text)
{
    ui->sbComm->setPanelText(index, text);
}

QString TfrmModule::CommPanel(int index) const
{
    return ui->sbComm->panelText(index);
}
