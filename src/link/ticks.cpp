#include "link/ticks.h"

#include <chrono>

inline namespace tesmora {
namespace link {

int32_t TickDifference(uint32_t start, uint32_t now)
{
    // Modular difference: correct across the 32-bit wrap and across the point
    // where the counter's top bit flips, as long as less than 2^31 ms passed.
    return static_cast<int32_t>(static_cast<uint32_t>(now - start));
}

uint32_t TickCount()
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<uint32_t>(static_cast<uint64_t>(ms.count()));
}

} // namespace link
} // namespace tesmora
