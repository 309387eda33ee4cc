// Card reading: polling the reader for cards and keys until the user stops it
// or the reader stops answering, with the port held for the whole run.
#include <QApplication>
#include <QPushButton>

#include <chrono>
#include <thread>

#include "beep.h"
#include "carddecode.h"
#include "frmmodule.h"
#include "readertypes.h"
#include "ui_frmmodule.h"

namespace {

constexpr int kPacingPasses = 80; // process events, then wait for the next millisecond
constexpr int kTwoWayPauseMs = 30;

// The controls that stay disabled while reading runs, besides the other
// reading button; the pressed one stays enabled, pressing it again stops.
QList<QWidget*> LockedControls(Ui::frmModule* f)
{
    return {f->btnScan, f->btnFactory, f->btnID,  f->btnBaudRate,
            f->btnMode, f->pcReader,   f->gbOther};
}

} // namespace

void TfrmModule::btnReadCardClick()
{
    ReadCards(false);
}

void TfrmModule::btnEncodeClick()
{
    ReadCards(true);
}

void TfrmModule::tmrCardTimer()
{
    form()->shCard->setBrushColor(kColorWhite);
    tmrCard->stop();
}

QPushButton* TfrmModule::ReadingButton(bool twoWay) const
{
    return twoWay ? form()->btnEncode : form()->btnReadCard;
}

void TfrmModule::ReadCards(bool twoWay)
{
    Ui::frmModule* f = form();
    if (!ReaderFound) {
        Beep(300, 300);
        return;
    }
    if (CardReadRunning) {
        // The stop request, honoured at the next cycle. The run counts as
        // running until it has fully ended: a press while it stops is ignored,
        // so that no second run can start inside the first.
        cardReadStopping_ = true;
        return;
    }

    QPushButton* pressed = ReadingButton(twoWay);
    QPushButton* other = ReadingButton(!twoWay);
    CardReadRunning = true;
    cardReadStopping_ = false;
    readingTwoWay_ = twoWay;
    const QString caption = pressed->text();
    const int language = LanguageIndex;
    pressed->setText(Msg("Cancel read card"));
    other->setEnabled(false);
    for (QWidget* w : LockedControls(f))
        w->setEnabled(false);

    // Everything comes back however the run ends, an escaping error included.
    struct Restore
    {
        TfrmModule* window;
        QPushButton* pressed;
        QPushButton* other;
        QString caption;
        int language;
        bool twoWay;
        ~Restore()
        {
            window->CardReadRunning = false;
            window->cardReadStopping_ = false;
            if (window->tmrBusy->isActive())
                window->SetBusy(false);
            window->ClosePort();
            for (QWidget* w : LockedControls(window->form()))
                w->setEnabled(true);
            // The caption it had, in the language chosen meanwhile if that changed.
            pressed->setText(
                window->LanguageIndex == language
                    ? caption
                    : window->Msg(twoWay ? MsgKey("Read card two-way") : MsgKey("Read card")));
            other->setEnabled(true);
        }
    } restore{this, pressed, other, caption, language, twoWay};

    if (!twoWay)
        f->pnMsg->clear();
    if (!OpenPort(ScanCommNo, ScanBaudRate)) {
        SetCommColor(kColorRed);
        f->pnMsg->setText(Msg("Open COM") + QStringLiteral(" : ") + QString::number(ScanCommNo) +
                          QStringLiteral(" ") + Msg("Error"));
        Beep(300, 300);
        return;
    }
    SetBusy(true);
    setEnabled(true);

    const QString poll =
        CommandPrefix + ReaderIdText + (twoWay ? QStringLiteral("I") : QStringLiteral("F"));
    while (!cardReadStopping_) {
        // Paced against the cycle's own clock, so that 80 passes take 80 ms.
        const auto start = std::chrono::steady_clock::now();
        for (int pass = 1; pass <= kPacingPasses; ++pass) {
            QCoreApplication::processEvents();
            std::this_thread::sleep_until(start + std::chrono::milliseconds(pass));
        }
        if (!Exchange(poll))
            break;
        const QString cardId = Msg("Card ID");
        const reader::CardShown shown =
            twoWay ? reader::DecodeTwoWay(LastResponse, ResponseLength, cardId)
                   : reader::DecodeReadCard(LastResponse, ResponseLength, cardId);
        if (shown.text)
            f->pnMsg->setText(*shown.text);
        if (shown.acknowledge) {
            Pause(kTwoWayPauseMs);
            Exchange(CommandPrefix + ReaderIdText + QStringLiteral("J"));
            Pause(kTwoWayPauseMs);
        }
        if (shown.light) {
            f->shCard->setBrushColor(kColorYellow);
            // Started only when idle: a running period is not restarted.
            if (!tmrCard->isActive())
                tmrCard->start();
        }
    }

    // No stop asked for: the loop ended on an exchange that failed.
    const bool failed = !cardReadStopping_;
    SetBusy(false);
    if (failed) {
        SetCommColor(kColorRed);
        f->pnMsg->setText(Msg("Reader not find"));
        Beep(300, 300);
    } else {
        SetCommColor(kColorYellow);
        Beep(1000, 300);
    }
    f->shCard->setBrushColor(kColorWhite);
    ClosePort();
    if (twoWay && !failed)
        f->pnMsg->setText(Msg("Card ID"));
}
