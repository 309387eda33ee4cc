#include "link/transport.h"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <map>
#include <mutex>

#include <poll.h>

#include "link/interrupt.h"

inline namespace tesmora {
namespace link {

namespace {

constexpr const char* kOpenErrorTexts[] = {
    "",
    "missing",
    "not a terminal",
    "busy",
    "permission denied",
    "failed",
    "interrupted",
    "refused Ports entry",
    "connection refused",
    "no answer",
    "no COM-PORT-OPTION (RFC 2217)",
    "host not found",
    "line setting not confirmed",
    "a plain network port, and the store requires TLS ([Network] RequireTls)",
    "certificate not trusted",
    "certificate does not match the host",
    "fingerprint differs",
    "the server wants a client certificate",
    "private key readable by others",
    "TLS handshake failed",
};
static_assert(std::size(kOpenErrorTexts) == static_cast<size_t>(OpenError::TlsFailed) + 1);

std::mutex detailMutex;
std::map<int, std::string> details;

// A stalled write looks again this often for a stop request.
constexpr int kWriteSliceMs = 50;

} // namespace

const char* OpenErrorText(OpenError e)
{
    const auto i = static_cast<size_t>(e);
    return i < std::size(kOpenErrorTexts) ? kOpenErrorTexts[i] : kOpenErrorTexts[0];
}

std::string OpenErrorLine(OpenError e, const std::string& detail)
{
    if (detail.empty())
        return OpenErrorText(e);
    switch (e) {
    case OpenError::HostMismatch:
        return "certificate does not match " + detail;
    case OpenError::KeyFileOpen:
        return "the private key " + detail +
               " may be read by others: chmod 600 it (nothing was sent)";
    case OpenError::TlsFailed:
    case OpenError::Other:
        return std::string(OpenErrorText(e)) + ": " + detail;
    default:
        return OpenErrorText(e);
    }
}

void SetOpenDetail(int n, const std::string& detail)
{
    std::lock_guard lock(detailMutex);
    details[n] = detail;
}

std::string OpenDetail(int n)
{
    std::lock_guard lock(detailMutex);
    const auto it = details.find(n);
    return it != details.end() ? it->second : std::string();
}

bool WriteAll(int fd, const uint8_t* data, size_t count,
              const std::function<ssize_t(const uint8_t*, size_t, short&)>& step,
              const std::function<void()>& idle)
{
    using Clock = std::chrono::steady_clock;
    size_t done = 0;
    auto stallEnd = Clock::now() + std::chrono::milliseconds(kWriteStallMs);
    while (done < count) {
        short events = POLLOUT;
        const ssize_t w = step(data + done, count - done, events);
        if (w < 0)
            return false;
        if (w > 0) {
            done += static_cast<size_t>(w);
            stallEnd = Clock::now() + std::chrono::milliseconds(kWriteStallMs);
            continue;
        }
        // Only a write that has to wait looks at a stop: one that goes
        // through at once (the restore after Ctrl-C) is still made.
        if (StopRequested() || Clock::now() >= stallEnd)
            return false;
        const int slice = idle ? 10 : kWriteSliceMs;
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, slice);
        if (r < 0 && errno != EINTR)
            return false;
        if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            return false;
        if (idle)
            idle();
    }
    return true;
}

} // namespace link
} // namespace tesmora
