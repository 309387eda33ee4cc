// The top row: the reader's ID and line setting, each run in the operation
// frame.
#include "frmmodule.h"
#include "link/modelist.h"
#include "reader/configuration.h"
#include "ui_frmmodule.h"

using link::Addressee;
using link::CommandLink;

void TfrmModule::btnIDClick()
{
    const QString newId = form()->pnID->text();
    RunOperation({"Set reader ID", "Set reader ID ok.", "Set reader ID error!"},
                 [&](CommandLink& link, const Addressee& to) {
                     return reader::SetReaderId(link, to, newId);
                 });
}

void TfrmModule::btnBaudRateClick()
{
    const int index = form()->cmbBaudRate->currentIndex();
    const bool ok = RunOperation(
        {"Set reader baud rate", "Set Reader baud rate ok.", "Set reader baud rate error!"},
        [&](CommandLink& link, const Addressee& to) {
            return reader::SetBaudRate(link, to, index);
        },
        // A stored index outside the list leaves no line setting selected: there
        // is no code to send.
        [&] { return index >= 0 && index < kModeCount; });
    if (ok) {
        // The port is reopened with it from the next operation on; it is saved
        // with the other scan settings.
        ScanBaudRateNo = index;
        ScanBaudRate = QLatin1String(kModeList[static_cast<size_t>(index)]);
    }
}
