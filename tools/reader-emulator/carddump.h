#pragma once

// A card as a text dump: a "+Sector: N" line, then one line of 32 hexadecimal digits for each
// block of that sector, and so on; '#' starts a comment, blank lines are ignored.

#include <optional>
#include <string>

#include "mifare.h"

namespace emu {

// Every sector of a 1K card (0-15) or of a 4K card (0-39) must be there once, in any order,
// with all of its blocks and every byte known; the sectors give the size. nullopt otherwise,
// with the reason in error, after "line N: " where one line is at fault.
std::optional<MifareCard> ParseCardDump(const std::string& text, std::string* error);

std::string CardDumpText(const MifareCard& card);

} // namespace emu
