#include "readertypes.h"

namespace {

using P = OtherPage;
using R = ScanRead;

const ReaderTypeRow kRows[] = {
    {"A", {P::EM}, P::EM, true, {R::Interface}},
    {"H", {P::EM, P::Keypad}, P::Keypad, true, {R::Interface, R::KeyNumber, R::KeyParity}},
    {"A", {P::Mifare, P::MifareKey}, P::Mifare, false, {R::Interface, R::IdLocation}},
    {"H",
     {P::Keypad, P::Mifare, P::MifareKey},
     P::Mifare,
     false,
     {R::Interface, R::KeyNumber, R::KeyParity, R::KeyStatus, R::IdLocation}},
    {"J", {}, std::nullopt, true, {R::Interface}},
    {"I", {}, std::nullopt, true, {R::Interface}},
    {"J", {}, std::nullopt, false, {R::Interface}},
    {"I", {}, std::nullopt, false, {R::Interface}},
};

// No page active: prefix "A", only "Command" offered and selected. The scan
// still asks for the interface, as for every type.
const ReaderTypeRow kNoType = {"A", {}, P::Command, false, {R::Interface}};

} // namespace

const ReaderTypeRow& ReaderTypeFor(int index)
{
    if (index < 0 || index >= static_cast<int>(std::size(kRows)))
        return kNoType;
    return kRows[index];
}
