// The reader scan: find a reader on COM1..COM16, identify it, and read the
// settings of the selected reader type into the window.
#include <QApplication>

#include "beep.h"
#include "frmmodule.h"
#include "link/answers.h"
#include "link/decimal.h"
#include "link/modelist.h"
#include "link/payload.h"
#include "readertypes.h"
#include "scanfields.h"
#include "ui_frmmodule.h"

namespace {

constexpr int kStoredPortTries = 3;
constexpr int kSearchTries = 2;
constexpr int kSettingsTries = 2;
constexpr int kCommandPauseMs = 100;
constexpr int kFirstPort = 1;
constexpr int kLastPort = 16;

// A character that does not convert ends the reads of the type.
struct ConversionError
{
};

int Decimal(const std::string& response, size_t offset, size_t count)
{
    std::string field = AnswerField(response, offset, count);
    if (auto v = link::ParseDecimal(field); v && field.size() == count)
        return *v;
    throw ConversionError{};
}

int Hex(const std::string& response, size_t offset, size_t count)
{
    std::string field = AnswerField(response, offset, count);
    if (auto v = HexField(field); v && field.size() == count)
        return *v;
    throw ConversionError{};
}

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
        QApplication::restoreOverrideCursor();
    }
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

void TfrmModule::btnScanClick()
{
    Ui::frmModule* f = form();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    SetBusy(true);
    OperationRunning = true;
    ScanGuard guard{this};

    f->pnMsg->setText(Msg("Scan reader") + QStringLiteral(" ...."));
    ShowReaderPlaceholders();
    f->pnID->setText(QStringLiteral("__"));
    QCoreApplication::processEvents();
    bool found = false;
    ReaderFound = false;

    auto scanMessage = [this](int port) {
        form()->pnMsg->setText(Msg("Scan COM") + QStringLiteral(" : #") + QString::number(port));
    };
    auto identify = [this]() {
        bool ok = Exchange(CommandPrefix + QStringLiteral("00B"));
        return link::IdentifyAccepted(ok, ResponseLength);
    };

    // The stored port first, so that a known reader is found again at once.
    if (ScanCommNo > 0) {
        SelectBaudRateItem(ScanBaudRateNo);
        if (OpenPort(ScanCommNo, ScanBaudRate)) {
            scanMessage(ScanCommNo);
            for (int t = 0; t < kStoredPortTries && !found; ++t)
                found = identify();
            ClosePort();
        }
    }

    if (!found) {
        for (int port = kFirstPort; port <= kLastPort && !found; ++port) {
            for (int i = 0; i < kSearchedModeCount; ++i) {
                const bool locked = f->chkLock->isChecked();
                // A stored index outside the list has no line setting of its
                // own; the lock then holds the search to the default one.
                const bool valid = ScanBaudRateNo >= 0 && ScanBaudRateNo < kModeCount;
                const int index = locked ? (valid ? ScanBaudRateNo : kDefaultModeIndex) : i;
                SelectBaudRateItem(index);
                const QString mode =
                    link::PayloadText(std::string(kModeList[static_cast<size_t>(index)]));
                if (!OpenPort(port, mode))
                    break;
                scanMessage(port);
                for (int t = 0; t < kSearchTries && !found; ++t) {
                    if (identify()) {
                        ScanCommNo = port;
                        ScanBaudRate = mode;
                        ScanBaudRateNo = index;
                        SaveScanSettings();
                        found = true;
                    }
                }
                ClosePort();
                if (found || locked)
                    break;
            }
        }
    }

    if (!found) {
        SelectBaudRateItem(kDefaultModeIndex);
        f->pnMsg->setText(Msg("Reader not find"));
        SetBusy(false);
        SetCommColor(kColorRed);
        Beep(300, 300);
        return;
    }

    // Identity, from the accepted 16-byte identify answer.
    SelectBaudRateItem(ScanBaudRateNo);
    f->pnSerial->setText(Msg("S/N") + QStringLiteral(" : ") +
                         link::PayloadText(AnswerField(LastResponse, 5, 8)));
    const std::string id = AnswerField(LastResponse, 2, 2);
    f->pnID->setText(link::PayloadText(id));
    ReaderIdText = link::PayloadText(id);
    // An ID that is not decimal keeps the scroll bar where it is; the reader
    // is still addressed by the two characters it reported.
    if (auto number = link::ParseDecimal(id))
        f->sbID->setValue(*number);

    // Settings phase, by the reader's own ID.
    found = false;
    const ReaderTypeRow& row = ReaderTypeFor(ReaderType());
    auto command = [this](const char* letters) {
        Pause(kCommandPauseMs);
        return Exchange(CommandPrefix + ReaderIdText + QLatin1String(letters));
    };
    // The settings of the selected type, in their order. False when the
    // interface goes unanswered; a field that does not convert throws.
    auto readSettings = [&]() {
        for (ScanRead read : row.reads) {
            switch (read) {
            case ScanRead::Interface:
                if (!command("A"))
                    return false;
                f->cmbMode->setCurrentIndex(Decimal(LastResponse, 5, 1));
                f->cmbWiegand->setCurrentIndex(Decimal(LastResponse, 6, 1));
                f->cmbRS485->setCurrentIndex(Decimal(LastResponse, 7, 1));
                if (row.interfaceHasCardType)
                    f->cmbCardType->setCurrentIndex(
                        ResponseLength == 12 ? Decimal(LastResponse, 8, 1) : 0);
                break;
            case ScanRead::KeyNumber:
                if (command("L"))
                    f->sbKeyNumber->setValue(Decimal(LastResponse, 5, 2));
                break;
            case ScanRead::KeyParity:
                if (command("M"))
                    f->cmbKeyParity->setCurrentIndex(Decimal(LastResponse, 5, 1));
                else
                    f->cmbKeyParity->setCurrentIndex(1);
                break;
            case ScanRead::KeyStatus:
                if (command("N")) {
                    f->sbKeyStatusNumber->setValue(Decimal(LastResponse, 5, 2));
                    f->sbKeyDelayTime->setValue(Decimal(LastResponse, 7, 2));
                } else {
                    f->sbKeyStatusNumber->setValue(0);
                    f->sbKeyDelayTime->setValue(3);
                }
                break;
            case ScanRead::IdLocation:
                if (command("a")) {
                    f->sbM1IDSector->setValue(Hex(LastResponse, 7, 2));
                    f->sbM1IDBlock->setValue(Hex(LastResponse, 9, 2));
                    f->sbM1IDByte->setValue(Hex(LastResponse, 11, 2));
                    if (Hex(LastResponse, 13, 2) == 0)
                        f->rbM1IDKeyA->setChecked(true);
                    else
                        f->rbM1IDKeyB->setChecked(true);
                    f->cmbM1IDKeyErr->setCurrentIndex(Hex(LastResponse, 15, 2));
                } else {
                    ShowDefaultIdLocation();
                }
                break;
            }
        }
        return true;
    };
    if (OpenPort(ScanCommNo, ScanBaudRate)) {
        for (int t = 0; t < kSettingsTries; ++t) {
            if (!command("V")) {
                if (t + 1 < kSettingsTries)
                    continue;
                break;
            }
            f->pnVersion->setText(Msg("VER") + QStringLiteral(" : ") +
                                  link::PayloadText(AnswerField(LastResponse, 5, 8)));
            try {
                found = readSettings();
            } catch (const ConversionError&) {
            }
            ReaderFound = true;
            SetBusy(false);
            SetCommColor(kColorYellow);
            break;
        }
        ClosePort();
    }

    const QString port = QStringLiteral(" : #") + QString::number(ScanCommNo) + QStringLiteral(")");
    if (found) {
        f->pnMsg->setText(Msg("Reader find ok. (COM") + port);
        Beep(1000, 300);
    } else {
        f->pnMsg->setText(Msg("Reader data error! (COM") + port);
        SetBusy(false);
        SetCommColor(kColorRed);
        Beep(300, 300);
    }
}
