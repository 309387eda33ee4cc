// The "MIFARE key" page: the sector trailer write, and the access bits editor,
// whose radio buttons are its model and edM1CardKeyAccess its output.
#include <QCoreApplication>
#include <QRadioButton>

#include "frmmodule.h"
#include "mifare/accessrights.h"
#include "mifare/blocks.h"
#include "mifare/operations.h"
#include "ui_frmmodule.h"

using link::Addressee;
using link::CommandLink;

namespace {

const mifare::AccessButton& Row(int number)
{
    for (const mifare::AccessButton& b : mifare::kAccessButtons)
        if (b.number == number)
            return b;
    return mifare::kAccessButtons.front();
}

} // namespace

#define TESMORA_DEFINE_MOUSE_UP(n)                                                                 \
    void TfrmModule::RadioButton##n##MouseUp()                                                     \
    {                                                                                              \
        AccessButtonClick(n);                                                                      \
    }
TESMORA_ACCESS_BUTTONS(TESMORA_DEFINE_MOUSE_UP)
#undef TESMORA_DEFINE_MOUSE_UP

void TfrmModule::ConnectAccessButtons()
{
#define TESMORA_HANDLER(n) {n, &TfrmModule::RadioButton##n##MouseUp},
    const std::pair<int, void (TfrmModule::*)()> handlers[] = {
        TESMORA_ACCESS_BUTTONS(TESMORA_HANDLER)};
#undef TESMORA_HANDLER
    static_assert(std::size(handlers) == mifare::kAccessButtonCount);
    for (const auto& [number, handler] : handlers) {
        auto* radio = form()->GroupBox2->findChild<QRadioButton*>(
            QStringLiteral("RadioButton%1").arg(number));
        accessRadios_[size_t(number)] = radio;
        // clicked: a mouse release on it, the space bar, or an arrow key that
        // moves the check to it. All of them apply the rule, so the buttons and
        // the text never disagree.
        connect(radio, &QRadioButton::clicked, this, handler);
    }
    // Typed, not set: the text a click writes does not come back to the buttons.
    connect(form()->edM1CardKeyAccess, &QLineEdit::textEdited, this,
            &TfrmModule::edM1CardKeyAccessChange);
}

void TfrmModule::AccessButtonClick(int number)
{
    const mifare::AccessButton& clicked = Row(number);
    ShowCondition(clicked.block, clicked.selects);
    if (const mifare::Relabel relabel = mifare::RelabelBy(number);
        relabel != mifare::Relabel::None) {
        const QString caption =
            relabel == mifare::Relabel::ToA ? QStringLiteral("A") : QStringLiteral("A/B");
        for (const mifare::AccessButton& b : mifare::kAccessButtons)
            if (b.block < 3 && b.caption == mifare::Caption::AB)
                AccessRadio(b.number)->setText(caption);
    }
    UpdateAccessBits();
}

void TfrmModule::ShowCondition(int block, mifare::Condition condition)
{
    for (const mifare::AccessButton& b : mifare::kAccessButtons)
        if (b.block == block && b.caption == mifare::PictureCaption(b.group, condition))
            AccessRadio(b.number)->setChecked(true); // the others of its group go out
}

void TfrmModule::edM1CardKeyAccessChange()
{
    // Checked only once the whole text is there, so that typing is not scolded
    // at every digit; the buttons change only for bytes a card would take.
    const QString text = form()->edM1CardKeyAccess->text();
    if (text.size() < 8)
        return;
    const auto conditions = mifare::DecodeAccessBits(text);
    if (!mifare::HexDigits(text, 8) || !conditions) {
        form()->pnMsg->setText(!mifare::HexDigits(text, 8)
                                   ? Msg("Access bits must be 8 hexadecimal digits.")
                                   : Msg("Access bits inconsistent: the sector would be blocked."));
        return;
    }
    for (int block = 0; block < 4; ++block)
        ShowCondition(block, (*conditions)[size_t(block)]);
    AccessByte6 = text.mid(0, 2).toUInt(nullptr, 16);
    AccessByte7 = text.mid(2, 2).toUInt(nullptr, 16);
    AccessByte8 = text.mid(4, 2).toUInt(nullptr, 16);
}

void TfrmModule::UpdateAccessBits()
{
    QCoreApplication::processEvents();
    std::array<std::optional<mifare::Condition>, 4> conditions;
    for (int block = 0; block < 4; ++block)
        conditions[size_t(block)] =
            mifare::BlockCondition(block, [this](const mifare::AccessButton& b) {
                return AccessRadio(b.number)->isChecked();
            });
    const QString text = mifare::AccessBitsText(conditions);
    AccessByte6 = text.mid(0, 2).toUInt(nullptr, 16);
    AccessByte7 = text.mid(2, 2).toUInt(nullptr, 16);
    AccessByte8 = text.mid(4, 2).toUInt(nullptr, 16);
    form()->edM1CardKeyAccess->setText(text);
}

bool TfrmModule::TrailerAllowed(mifare::TrailerFault fault)
{
    struct Reason
    {
        mifare::TrailerFault fault;
        MsgKey text;
    };
    static constexpr Reason kReasons[] = {
        {mifare::TrailerFault::Keys, "Keys must be 12 hexadecimal digits."},
        {mifare::TrailerFault::AccessLength, "Access bits must be 8 hexadecimal digits."},
        {mifare::TrailerFault::Inconsistent,
         "Access bits inconsistent: the sector would be blocked."},
    };
    for (const auto& [f, reason] : kReasons)
        if (f == fault)
            refusalReason_ = reason;
    return fault == mifare::TrailerFault::None;
}

void TfrmModule::btnM1CardKeyClick()
{
    Ui::frmModule* f = form();
    const bool oldKeyB = f->rbM1CardKeyB->isChecked();
    const QString oldKey = f->edM1CardOldKey->text();
    const int trailer = mifare::TrailerBlock(f->sbM1CardSector->value());
    const QString keyA = f->edM1CardKeyA->text();
    const QString access = f->edM1CardKeyAccess->text();
    const QString keyB = f->edM1CardKeyB->text();
    RunOperation(
        {"Set card key", "Set card key ok.", "Set card key error!"},
        [&](CommandLink& link, const Addressee& to) {
            return mifare::WriteTrailer(link, to, oldKeyB, oldKey, trailer, keyA + access + keyB);
        },
        [&] { return TrailerAllowed(mifare::CheckTrailer(keyA, access, keyB)); });
}
