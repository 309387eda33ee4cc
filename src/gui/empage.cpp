// The "EM/TEMIC" page: the card type.
#include <QComboBox>

#include "frmmodule.h"
#include "reader/configuration.h"
#include "ui_frmmodule.h"

using link::Addressee;
using link::CommandLink;

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
