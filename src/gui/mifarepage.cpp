// The "MIFARE" page: the reader's key store and card-ID location, and block
// reads and writes; each runs its command sequence in the operation frame and
// shows what came back.
#include "frmmodule.h"
#include "mifare/blocks.h"
#include "mifare/operations.h"
#include "ui_frmmodule.h"

using link::Addressee;
using link::CommandLink;

std::function<void(const QString&)> TfrmModule::ShowBlock()
{
    return [this](const QString& data) { form()->edM1Read->setText(data); };
}

void TfrmModule::btnM1KeyClick()
{
    Ui::frmModule* f = form();
    const bool keyB = f->rbM1KeyB->isChecked();
    const int sector = f->sbM1E2Sector->value();
    const QString key = f->edM1Key->text();
    RunOperation({"Set key EEPROM", "Set key EEPROM ok.", "Set key EEPROM error!"},
                 [&](CommandLink& link, const Addressee& to) {
                     return mifare::WriteKeyToEeprom(link, to, keyB, sector, key);
                 });
}

void TfrmModule::btnM1IDSectorClick()
{
    Ui::frmModule* f = form();
    const int sector = f->sbM1IDSector->value();
    const int block = f->sbM1IDBlock->value();
    const int byte = f->sbM1IDByte->value();
    const bool keyB = !f->rbM1IDKeyA->isChecked();
    const int indication = f->cmbM1IDKeyErr->currentIndex();
    RunOperation(
        {"Set sector/block/byte", "Set sector/block/byte ok.", "Set sector/block/byte error!"},
        [&](CommandLink& link, const Addressee& to) {
            return mifare::SetIdLocation(link, to, sector, block, byte, keyB, indication);
        },
        // A stored indication the list does not hold selects nothing: nothing to send.
        [&] { return indication >= 0; });
}

void TfrmModule::btnM1ReadClick()
{
    Ui::frmModule* f = form();
    const bool keyB = f->rbM1RWKeyB->isChecked();
    const int block = mifare::AbsoluteBlock(f->sbM1Sector->value(), f->sbM1Block->value());
    const QString key = f->edM1RWKey->text();
    RunOperation({"Read card data", "Read card data ok.", "Read card data error!"},
                 [&](CommandLink& link, const Addressee& to) {
                     return mifare::ReadBlock(link, to, keyB, block, key, ShowBlock()).has_value();
                 });
}

void TfrmModule::btnM1WriteClick()
{
    Ui::frmModule* f = form();
    const bool keyB = f->rbM1RWKeyB->isChecked();
    const int sector = f->sbM1Sector->value();
    const int block = f->sbM1Block->value();
    const QString key = f->edM1RWKey->text();
    const QString data = f->edM1Write->text();
    RunOperation(
        {"Write card data", "Write card data ok.", "Write card data error!"},
        [&](CommandLink& link, const Addressee& to) {
            return mifare::WriteBlock(link, to, keyB, mifare::AbsoluteBlock(sector, block), key,
                                      data, ShowBlock())
                .has_value();
        },
        // A trailer that would block its sector for good is never sent.
        [&] {
            return !mifare::IsTrailer(sector, block) ||
                   TrailerAllowed(mifare::CheckTrailerBlock(data));
        });
}
