// Reader types and the status area: the command prefix, the offered pages,
// the communication indicator and the busy state.
#include <QApplication>
#include <QThread>

#include <algorithm>

#include "frmmodule.h"
#include "link/devices.h"
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
    // Each cause once, with its ports: a device this account may not open
    // gets the dialout advice where its group is dialout, else it is named by
    // whose it is.
    std::vector<std::pair<QString, QStringList>> causes;
    for (const auto& [port, error] : refused) {
        QString cause;
        if (error == link::OpenError::Busy) {
            cause = Msg("Busy: held by another program.");
        } else if (error == link::OpenError::PermissionDenied) {
            const link::Ownership o = link::OwnershipOf(link::PortDevicePath(port));
            cause =
                !o.known || link::DialoutDevice(o)
                    ? Msg("Permission denied: add your account to the dialout group.")
                    : Msg("Permission denied: the device belongs to %1, group %2.")
                          .arg(QString::fromStdString(o.owner), QString::fromStdString(o.group));
        } else {
            continue;
        }
        auto it = std::find_if(causes.begin(), causes.end(),
                               [&](const auto& c) { return c.first == cause; });
        if (it == causes.end())
            it = causes.insert(causes.end(), {cause, {}});
        it->second << QStringLiteral("#%1").arg(port);
    }
    // Permission first, as before: the cause the user can mend.
    std::stable_sort(causes.begin(), causes.end(), [this](const auto& a, const auto& b) {
        const QString busy = Msg("Busy: held by another program.");
        return a.first != busy && b.first == busy;
    });
    QStringList parts;
    for (const auto& [cause, ports] : causes)
        parts << cause + QStringLiteral(" (COM : ") + ports.join(QStringLiteral(", ")) +
                     QLatin1Char(')');
    return parts.join(QStringLiteral("  "));
}
