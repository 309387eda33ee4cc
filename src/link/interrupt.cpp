#include "link/interrupt.h"

#include <atomic>

inline namespace tesmora {
namespace link {

namespace {

std::atomic<int> gStopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

} // namespace

void RequestStop(int signal) noexcept
{
    gStopSignal.store(signal);
}

int StopSignal() noexcept
{
    return gStopSignal.load();
}

bool StopRequested() noexcept
{
    return gStopSignal.load() != 0;
}

void ClearStop() noexcept
{
    gStopSignal.store(0);
}

} // namespace link
} // namespace tesmora
