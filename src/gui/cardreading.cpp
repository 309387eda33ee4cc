// Card reading: polling the reader for cards and keys until the user stops it
// or the reader stops answering, with the port held for the whole run.
#include <QApplication>
#include <QPushButton>

#include "beep.h"
#include "frmmodule.h"
#include "reader/cardreading.h"
#include "reader/readertypes.h"
#include "ui_frmmodule.h"

namespace {

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

    HistoryOperation named(History(), twoWay ? MsgKey("Read card two-way") : MsgKey("Read card"));
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
        const QString refused = RefusedPortsLine({{ScanCommNo, Link().LastOpenError()}});
        f->pnMsg->setText(Msg("Open COM") + QStringLiteral(" : ") + QString::number(ScanCommNo) +
                          QStringLiteral(" ") + Msg("Error") +
                          (refused.isEmpty() ? QString() : QLatin1Char('\n') + refused));
        Beep(300, 300);
        return;
    }
    SetBusy(true);
    setEnabled(true);

    const bool stopped = reader::ReadCards(
        Link(), link::Addressee{CommandPrefix, ReaderIdText}, twoWay,
        [this] { return Msg("Card ID"); }, [this] { return cardReadStopping_; },
        [f](const reader::CardShown& shown) {
            if (shown.text)
                f->pnMsg->setText(*shown.text);
        },
        // The indicator once the cycle is over, after a two-way card's "J".
        [this, f](const reader::CardShown& shown) {
            if (shown.light) {
                f->shCard->setBrushColor(kColorYellow);
                // Started only when idle: a running period is not restarted.
                if (!tmrCard->isActive())
                    tmrCard->start();
            }
        });

    // No stop asked for: the loop ended on an exchange that failed.
    const bool failed = !stopped;
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
