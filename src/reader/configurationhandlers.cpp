// The reader configuration buttons: each reads its controls, runs its command
// sequence in the operation frame, and does the control work around it.
#include <QComboBox>
#include <QPushButton>

#include <initializer_list>

#include "configuration.h"
#include "frmmodule.h"
#include "link/modelist.h"
#include "link/payload.h"
#include "readertypes.h"
#include "ui_frmmodule.h"

using link::Addressee;
using link::CommandLink;

namespace {

// A list whose stored value it does not hold has no item selected: there is
// nothing to send, and the operation fails before the port is opened.
bool AllSelected(std::initializer_list<const QComboBox*> lists)
{
    for (const QComboBox* list : lists)
        if (list->currentIndex() < 0)
            return false;
    return true;
}

} // namespace

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

void TfrmModule::btnModeClick()
{
    Ui::frmModule* f = form();
    const int mode = f->cmbMode->currentIndex();
    const int wiegand = f->cmbWiegand->currentIndex();
    const int rs485 = f->cmbRS485->currentIndex();
    RunOperation(
        {"Set reader interface", "Set reader interface ok.", "Set reader interface error!"},
        [&](CommandLink& link, const Addressee& to) {
            return reader::SetInterface(link, to, mode, wiegand, rs485);
        },
        [&] {
            return AllSelected({f->cmbMode, f->cmbWiegand, f->cmbRS485});
        });
}

void TfrmModule::btnTestClick()
{
    const QString text = form()->edTest->text();
    RunOperation(
        {"Command test", "Command test ok.", "Command test error!"},
        [&](CommandLink& link, const Addressee& to) { return reader::CommandTest(link, to, text); },
        // A text that no frame can carry fails before the port is opened.
        [&] { return link::PayloadBytes(CommandPrefix + ReaderIdText + text).has_value(); });
}

void TfrmModule::btnCardTypeClick()
{
    const int index = form()->cmbCardType->currentIndex();
    RunOperation(
        {"Set card type", "Set card type ok.", "Set card type error!"},
        [&](CommandLink& link, const Addressee& to) {
            return reader::SetCardType(link, to, index);
        },
        [&] { return index >= 0; });
}

void TfrmModule::btnKeyParityClick()
{
    const int index = form()->cmbKeyParity->currentIndex();
    RunOperation(
        {"Set key parity", "Set key parity ok.", "Set key parity error!"},
        [&](CommandLink& link, const Addressee& to) {
            return reader::SetKeyParity(link, to, index);
        },
        [&] { return index >= 0; });
}

void TfrmModule::btnKeyNumberClick()
{
    const QString number = form()->pnKeyNumber->text();
    RunOperation({"Set key number", "Set key number ok.", "Set key number error!"},
                 [&](CommandLink& link, const Addressee& to) {
                     return reader::SetKeyNumber(link, to, number);
                 });
}

void TfrmModule::btnKeyStatusClick()
{
    const QString status = form()->pnKeyStatusNumber->text();
    const QString delay = form()->pnKeyDelayTime->text();
    RunOperation({"Set key status code", "Set key status code ok.", "Set key status code error!"},
                 [&](CommandLink& link, const Addressee& to) {
                     return reader::SetKeyStatus(link, to, status, delay);
                 });
}

void TfrmModule::btnFactoryClick()
{
    Ui::frmModule* f = form();
    const ReaderTypeRow& row = ReaderTypeFor(ReaderType());
    // The factory values of a type's own controls, set when an attempt reaches
    // the type's commands.
    auto setTypeControls = [&] {
        for (FactoryControl control : row.factoryControls) {
            switch (control) {
            case FactoryControl::CardType:
                f->cmbCardType->setCurrentIndex(0);
                break;
            case FactoryControl::KeyParity:
                f->cmbKeyParity->setCurrentIndex(0);
                break;
            case FactoryControl::KeyNumber:
                f->sbKeyNumber->setValue(4);
                break;
            case FactoryControl::KeyStatus:
                f->sbKeyStatusNumber->setValue(0);
                f->sbKeyDelayTime->setValue(3);
                break;
            case FactoryControl::IdLocation:
                ShowDefaultIdLocation();
                break;
            }
        }
    };
    RunOperation(
        {"Set factory default", "Set factory default ok.", "Set factory default error!"},
        [&](CommandLink& link, const Addressee& to) {
            return reader::FactoryDefault(link, to, row.factory, setTypeControls);
        },
        // The common controls, before anything is sent and whatever the outcome.
        [&] {
            f->sbID->setValue(1);
            f->cmbBaudRate->setCurrentIndex(kDefaultModeIndex);
            f->cmbMode->setCurrentIndex(0);
            f->cmbRS485->setCurrentIndex(1);
            f->cmbWiegand->setCurrentIndex(0);
            return true;
        });
}
