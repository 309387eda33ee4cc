#include "readertypes.h"

namespace {

using P = OtherPage;
using R = ScanRead;

using C = FactoryControl;

// The factory commands of each type: "A001" and "L04" required, the rest optional.
constexpr reader::FactoryCommand kInterface{"A001", true};
constexpr reader::FactoryCommand kCardType{"A0", false};
constexpr reader::FactoryCommand kKeyNumber{"L04", true};
constexpr reader::FactoryCommand kKeyParity{"M0", false};
constexpr reader::FactoryCommand kKeyStatus{"N0003", false};
constexpr reader::FactoryCommand kIdLocation{"a0000000001", false};

const ReaderTypeRow kRows[] = {
    {"A", {P::EM}, P::EM, true, {R::Interface}, {kInterface, kCardType}, {C::CardType}},
    {"H",
     {P::EM, P::Keypad},
     P::Keypad,
     true,
     {R::Interface, R::KeyNumber, R::KeyParity},
     {kInterface, kKeyNumber, kKeyParity, kCardType},
     {C::CardType, C::KeyParity, C::KeyNumber}},
    {"A",
     {P::Mifare, P::MifareKey},
     P::Mifare,
     false,
     {R::Interface, R::IdLocation},
     {kInterface, kIdLocation},
     {C::CardType, C::IdLocation}},
    {"H",
     {P::Keypad, P::Mifare, P::MifareKey},
     P::Mifare,
     false,
     {R::Interface, R::KeyNumber, R::KeyParity, R::KeyStatus, R::IdLocation},
     {kInterface, kKeyNumber, kKeyParity, kKeyStatus, kIdLocation},
     {C::CardType, C::KeyParity, C::KeyNumber, C::KeyStatus, C::IdLocation}},
    {"J", {}, std::nullopt, true, {R::Interface}, {kInterface}, {C::CardType}},
    {"I", {}, std::nullopt, true, {R::Interface}, {kInterface}, {C::CardType}},
    {"J", {}, std::nullopt, false, {R::Interface}, {kInterface}, {C::CardType}},
    {"I", {}, std::nullopt, false, {R::Interface}, {kInterface}, {C::CardType}},
};

// No page active: prefix "A", only "Command" offered and selected. The scan
// still asks for the interface, and the factory default sets it, as for the
// types without pages of their own.
const ReaderTypeRow kNoType = {"A",          {},           P::Command, false, {R::Interface},
                               {kInterface}, {C::CardType}};

} // namespace

const ReaderTypeRow& ReaderTypeFor(int index)
{
    if (index < 0 || index >= static_cast<int>(std::size(kRows)))
        return kNoType;
    return kRows[index];
}
