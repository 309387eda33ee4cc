// The "Common" page: the reader's output interface and the command test.
#include <QComboBox>

#include <initializer_list>

#include "frmmodule.h"
#include "link/payload.h"
#include "reader/configuration.h"
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
