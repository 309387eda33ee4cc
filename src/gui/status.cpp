// Reader types and the status area: the command prefix, the offered pages,
// the communication indicator and the busy state.
#include <QApplication>
#include <QThread>

#include "frmmodule.h"
#include "reader/readertypes.h"
#include "ui_frmmodule.h"

namespace {

QWidget* PageWidget(Ui::frmModule* ui, OtherPage page)
{
    switch (page) {
    case OtherPage::Mifare:
        return ui->tsMifare;
    case OtherPage::MifareKey:
        return ui->tsMifareKey;
    case OtherPage::EM:
        return ui->tsEM;
    case OtherPage::Keypad:
        return ui->tsKeypad;
    case OtherPage::Command:
        return ui->tsCommand;
    }
    return ui->tsCommand;
}

} // namespace

void TfrmModule::pcReaderChange()
{
    Ui::frmModule* f = form();
    QTabWidget* other = f->pcOther;
    for (QWidget* page : {f->tsEM, f->tsKeypad, f->tsMifare, f->tsMifareKey})
        other->setTabVisible(other->indexOf(page), false);

    const ReaderTypeRow& row = ReaderTypeFor(ReaderType());
    CommandPrefix =
        QString::fromLatin1(row.prefix.data(), static_cast<qsizetype>(row.prefix.size()));

    for (OtherPage page : row.pages)
        other->setTabVisible(other->indexOf(PageWidget(f, page)), true);
    if (row.select)
        other->setCurrentWidget(PageWidget(f, *row.select));
}

void TfrmModule::SetBusy(bool on)
{
    if (on) {
        tmrBusy->start();
        setEnabled(false);
    } else {
        setEnabled(true);
        tmrBusy->stop();
    }
}

void TfrmModule::tmrBusyTimer()
{
    if (tmrBusyTag == 1) {
        tmrBusyTag = 0;
        SetCommColor(kColorYellow);
    } else {
        tmrBusyTag = 1;
        SetCommColor(kColorRed);
    }
}

void TfrmModule::SetCommColor(uint32_t color)
{
    form()->shComm->setBrushColor(color);
}

uint32_t TfrmModule::CommColor() const
{
    return form()->shComm->brushColor();
}

QString
TfrmModule::RefusedPortsLine(const std::vector<std::pair<int, link::OpenError>>& refused) const
{
    struct Kind
    {
        link::OpenError error;
        MsgKey text;
    };
    static constexpr Kind kKinds[] = {
        {link::OpenError::PermissionDenied,
         "Permission denied: add your account to the dialout group."},
        {link::OpenError::Busy, "Busy: held by another program."},
    };
    QStringList parts;
    for (const auto& [error, text] : kKinds) {
        QStringList ports;
        for (const auto& [port, e] : refused)
            if (e == error)
                ports << QStringLiteral("#%1").arg(port);
        if (!ports.isEmpty())
            parts << Msg(text) + QStringLiteral(" (COM : ") + ports.join(QStringLiteral(", ")) +
                         QLatin1Char(')');
    }
    return parts.join(QStringLiteral("  "));
}
