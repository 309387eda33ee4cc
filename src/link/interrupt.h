#pragma once

// A request to stop, made from a signal handler: every link then refuses to
// open a port, to start an exchange or to go on pausing, so that whatever
// runs ends at its next step and its guards restore and close the port.

#include <csignal>

inline namespace tesmora {
namespace link {

// The signals that stop a run (Ctrl-C and its kind): the command line catches
// them, and a wait lets them in only where it can see them.
inline constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Async-signal-safe: only an atomic store.
void RequestStop(int signal) noexcept;
// The signal that asked to stop; 0 while none has.
int StopSignal() noexcept;
bool StopRequested() noexcept;
// Forgets a request (tests run several in one process).
void ClearStop() noexcept;

} // namespace link
} // namespace tesmora
