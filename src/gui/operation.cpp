// The operation frame that every configuration and MIFARE operation runs in.
#include <QApplication>

#include "beep.h"
#include "frmmodule.h"
#include "reader/readertypes.h"
#include "ui_frmmodule.h"

namespace {

// Puts everything back however the operation ends, an escaping error included.
struct OperationGuard
{
    TfrmModule& window;
    ~OperationGuard()
    {
        window.ClosePort();
        window.OperationRunning = false;
        window.setEnabled(true);
        QApplication::restoreOverrideCursor();
    }
};

} // namespace

bool TfrmModule::RunOperation(const OperationTexts& texts, const Commands& commands,
                              const std::function<bool()>& prepare)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    setEnabled(false);
    OperationRunning = true;
    refusalReason_.reset();
    refusalDetail_.clear();
    HistoryOperation named(history_, texts.title);
    OperationGuard guard{*this};

    if (!ReaderFound) {
        SetCommColor(kColorRed);
        Beep(300, 300);
        return false;
    }
    bool ok = false;
    QString refusedPort;
    if (!prepare || prepare()) {
        form()->pnMsg->setText(Msg(texts.title));
        if (OpenPort(ScanCommNo, ScanBaudRate)) {
            ok = commands(Link(), link::Addressee{CommandPrefix, ReaderIdText});
            ClosePort();
        } else {
            refusedPort = RefusedPortsLine({{ScanCommNo, Link().LastOpenError()}});
        }
    }
    SetCommColor(ok ? kColorYellow : kColorRed);
    QString message = Msg(ok ? texts.ok : texts.error);
    if (refusalReason_)
        message += QStringLiteral(" ") + Msg(*refusalReason_);
    if (!refusalDetail_.isEmpty())
        message += QStringLiteral(" (") + refusalDetail_ + QStringLiteral(")");
    if (!refusedPort.isEmpty())
        message += QLatin1Char('\n') + refusedPort;
    form()->pnMsg->setText(message);
    Beep(ok ? 1000 : 300, 300);
    return ok;
}
