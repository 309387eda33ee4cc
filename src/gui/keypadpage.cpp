// The "Keypad" page: the key parity, the key number and the key status code.
#include <QComboBox>

#include "frmmodule.h"
#include "reader/configuration.h"
#include "ui_frmmodule.h"

using link::Addressee;
using link::CommandLink;

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
