#pragma once

#include <cstdint>

inline namespace tesmora {
namespace link {

// Milliseconds from start to now, taken modulo 2^32 and read as signed 32-bit, so
// a counter wrap (or its top bit flipping) between the two readings still gives
// the true, positive difference.
int32_t TickDifference(uint32_t start, uint32_t now);

// Millisecond tick count of a steady clock, truncated to 32 bits like the system tick.
uint32_t TickCount();

} // namespace link
} // namespace tesmora
