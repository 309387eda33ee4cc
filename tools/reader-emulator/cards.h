#pragma once

// Cards and keypad keys that the emulated reader presents to the read-card ("F") and
// two-way ("I", "J") commands.

namespace emu {

struct CardScript
{
};

} // namespace emu
