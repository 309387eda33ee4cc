#pragma once

// The command handlers of the emulated reader, by command letter.

#include <map>

#include "readeremulator.h"

namespace emu {

// "B", "V" and the settings: "A", "L", "M", "N", "a" read or set them; "C" and "E".
void AddSettingHandlers(std::map<char, Handler>& h);
// "F", "I" and "J": cards and keys from the model's card script.
void AddCardHandlers(std::map<char, Handler>& h);
// "b", "f", "h", "i", "d": the MIFARE commands.
void AddMifareHandlers(std::map<char, Handler>& h);

} // namespace emu
