// The factory default button: the type's command set in the operation frame,
// and the controls set to the factory values.
#include <QComboBox>

#include "frmmodule.h"
#include "link/modelist.h"
#include "reader/configuration.h"
#include "reader/readertypes.h"
#include "ui_frmmodule.h"

using link::Addressee;
using link::CommandLink;

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
