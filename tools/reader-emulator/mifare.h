#pragma once

// The MIFARE side of the emulated reader: its EEPROM key store, the key loaded for block
// commands, and a MIFARE Classic 4K card in the field.

#include <optional>
#include <string>

namespace emu {

struct ReaderModel;

struct MifareReader
{
};

// The 8 hexadecimal characters of the card ID at the reader's ID location, read with the key
// the EEPROM holds for that sector; nullopt without a card or when the key does not fit.
std::optional<std::string> MifareCardId(const ReaderModel& m);

} // namespace emu
