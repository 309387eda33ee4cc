// The scan button: the scan runs as a sequence over the link; the window shows
// its progress and its result in the controls.
#include <QApplication>

#include "beep.h"
#include "frmmodule.h"
#include "link/decimal.h"
#include "link/modelist.h"
#include "reader/readertypes.h"
#include "reader/scan.h"
#include "ui_frmmodule.h"

namespace {

// Puts everything back however the scan ends, an escaping error included.
struct ScanGuard
{
    TfrmModule* window;
    ~ScanGuard()
    {
        window->OperationRunning = false;
        window->ClosePort();
        if (window->tmrBusy->isActive())
            window->SetBusy(false);
        window->UpdateProfileMenu();
        QApplication::restoreOverrideCursor();
    }
};

// The scan's progress in the window's controls.
class WindowScanProgress final : public reader::ScanProgress
{
public:
    explicit WindowScanProgress(TfrmModule& w) : w_(w), f_(w.form()) {}

    void ModeSelected(int index) override { w_.SelectBaudRateItem(index); }
    void PortTried(int port) override
    {
        f_->pnMsg->setText(w_.Msg("Scan COM") + QStringLiteral(" : #") + QString::number(port));
    }
    void FoundBySearch(int port, int modeIndex, const QString& mode) override
    {
        w_.ScanCommNo = port;
        w_.ScanBaudRate = mode;
        w_.ScanBaudRateNo = modeIndex;
        w_.SaveScanSettings();
    }
    void Identified(const reader::ScanResult& r) override
    {
        w_.SelectBaudRateItem(w_.ScanBaudRateNo);
        f_->pnSerial->setText(w_.Msg("S/N") + QStringLiteral(" : ") + r.serial);
        f_->pnID->setText(r.id);
        w_.ReaderIdText = r.id;
        // An ID that is not decimal keeps the scroll bar where it is; the reader
        // is still addressed by the two characters it reported.
        if (auto number = link::ParseDecimal(r.id.toStdString()))
            f_->sbID->setValue(*number);
    }
    void VersionRead(const QString& version) override
    {
        f_->pnVersion->setText(w_.Msg("VER") + QStringLiteral(" : ") + version);
    }
    void SettingsRead(const reader::ReaderSettings& s) override { w_.ShowSettings(s); }
    void Reached() override
    {
        w_.ReaderFound = true;
        w_.SetBusy(false);
        w_.SetCommColor(kColorYellow);
    }

private:
    TfrmModule& w_;
    Ui::frmModule* f_;
};

} // namespace

void TfrmModule::ShowDefaultIdLocation()
{
    Ui::frmModule* f = form();
    f->sbM1IDSector->setValue(0);
    f->sbM1IDBlock->setValue(0);
    f->sbM1IDByte->setValue(0);
    f->rbM1IDKeyA->setChecked(true);
    f->cmbM1IDKeyErr->setCurrentIndex(1);
}

void TfrmModule::ShowSettings(const reader::ReaderSettings& s)
{
    Ui::frmModule* f = form();
    auto select = [](QComboBox* list, const std::optional<int>& v) {
        if (v)
            list->setCurrentIndex(*v);
    };
    auto position = [](QScrollBar* bar, const std::optional<int>& v) {
        if (v)
            bar->setValue(*v);
    };
    select(f->cmbMode, s.interfaceMode);
    select(f->cmbWiegand, s.wiegand);
    select(f->cmbRS485, s.rs485);
    select(f->cmbCardType, s.cardType);
    position(f->sbKeyNumber, s.keyNumber);
    select(f->cmbKeyParity, s.keyParity);
    position(f->sbKeyStatusNumber, s.keyStatus);
    position(f->sbKeyDelayTime, s.keyDelay);
    position(f->sbM1IDSector, s.idSector);
    position(f->sbM1IDBlock, s.idBlock);
    position(f->sbM1IDByte, s.idByte);
    if (s.idKeyB)
        (*s.idKeyB ? f->rbM1IDKeyB : f->rbM1IDKeyA)->setChecked(true);
    select(f->cmbM1IDKeyErr, s.idKeyErr);
}

void TfrmModule::btnScanClick()
{
    Ui::frmModule* f = form();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    SetBusy(true);
    OperationRunning = true;
    // Declared before the guard: the port it closes still belongs to the scan.
    HistoryOperation named(History(), "Scan reader");
    ScanGuard guard{this};

    f->pnMsg->setText(Msg("Scan reader") + QStringLiteral(" ...."));
    ShowReaderPlaceholders();
    f->pnID->setText(QStringLiteral("__"));
    QCoreApplication::processEvents();
    ReaderFound = false;

    reader::ScanRequest request;
    request.prefix = CommandPrefix;
    request.readerType = ReaderType();
    request.storedPort = ScanCommNo;
    request.storedModeIndex = ScanBaudRateNo;
    request.storedMode = ScanBaudRate;
    request.locked = f->chkLock->isChecked();
    WindowScanProgress progress(*this);
    const reader::ScanResult result = reader::Scan(Link(), request, progress);

    if (!result.identified) {
        SelectBaudRateItem(kDefaultModeIndex);
        const QString refused =
            result.anyPort ? RefusedPortsLine(result.refused)
                           : Msg("No COM port exists on this machine: see tesmora-cli ports.");
        f->pnMsg->setText(Msg("Reader not find") +
                          (refused.isEmpty() ? QString() : QLatin1Char('\n') + refused));
        SetBusy(false);
        SetCommColor(kColorRed);
        Beep(300, 300);
        return;
    }
    const QString port = QStringLiteral(" : #") + QString::number(ScanCommNo) + QStringLiteral(")");
    if (result.complete) {
        f->pnMsg->setText(Msg("Reader find ok. (COM") + port);
        Beep(1000, 300);
    } else {
        f->pnMsg->setText(Msg("Reader data error! (COM") + port);
        SetBusy(false);
        SetCommColor(kColorRed);
        Beep(300, 300);
    }
}
