#include "cardreading.h"

#include <chrono>
#include <thread>

#include "link/devices.h"
#include "link/interrupt.h"
#include "link/portwatch.h"

namespace reader {

namespace {

constexpr int kPacingPasses = 80; // events, then wait for the next millisecond
constexpr int kTwoWayPauseMs = 30;
// A device back that does not open yet (udev still setting its permissions, a
// modem manager probing it) is tried again after this, then twice as long, up
// to a second.
constexpr auto kFirstRetry = std::chrono::milliseconds(100);
constexpr auto kLastRetry = std::chrono::seconds(1);
// The waits between looks: short where a window's events run in them.
constexpr int kWindowWaitMs = 10;
constexpr int kWaitMs = 100;

enum class Return { NotAwaited, Back, Stopped };

// The reader's port was lost: unplugged, as far as a run can tell. A device
// that can be known again is waited for, through inotify, until it is there
// and opens; one that cannot ends the run as before, since another device
// plugged in there could not be told from it.
Return AwaitReturn(link::Link& link, const link::DeviceInfo& reader,
                   const std::function<bool()>& stop)
{
    if (!link.PortLost() || !reader.Recognisable() || link::StopRequested())
        return Return::NotAwaited;
    link::PortWatcher watcher;
    if (!watcher.Active())
        return Return::NotAwaited;
    link.ClosePort();
    link.TellUnplugged();
    using Clock = std::chrono::steady_clock;
    std::chrono::milliseconds retry = kFirstRetry;
    bool tried = false;
    Clock::time_point triedAt{};
    for (;;) {
        if (stop() || link::StopRequested()) {
            link.TellGivenUp();
            return Return::Stopped;
        }
        if (const auto back = watcher.Find(reader)) {
            if (!tried || Clock::now() - triedAt >= retry) {
                if (link.Reopen(back->device)) {
                    link.TellBack();
                    return Return::Back;
                }
                if (tried)
                    retry = std::min<std::chrono::milliseconds>(retry * 2, kLastRetry);
                tried = true;
                triedAt = Clock::now();
            }
        } else {
            tried = false;
            retry = kFirstRetry;
        }
        link.ProcessEvents();
        watcher.Wait(link.HasEventHook() ? kWindowWaitMs : kWaitMs);
    }
}

} // namespace

std::optional<CardShown> CardCycle(link::Link& link, const link::Addressee& to, bool twoWay,
                                   const QString& cardId, const CardSink& decoded)
{
    // Paced against the cycle's own clock, so that 80 passes take 80 ms.
    const auto start = std::chrono::steady_clock::now();
    for (int pass = 1; pass <= kPacingPasses; ++pass) {
        link.ProcessEvents();
        std::this_thread::sleep_until(start + std::chrono::milliseconds(pass));
    }
    if (!link.Exchange(to(twoWay ? QStringLiteral("I") : QStringLiteral("F"))))
        return std::nullopt;
    CardShown shown = twoWay ? DecodeTwoWay(link.LastResponse(), link.ResponseLength(), cardId)
                             : DecodeReadCard(link.LastResponse(), link.ResponseLength(), cardId);
    if (decoded)
        decoded(shown);
    if (shown.acknowledge) {
        link.Pause(kTwoWayPauseMs);
        link.Exchange(to(QStringLiteral("J")));
        link.Pause(kTwoWayPauseMs);
    }
    return shown;
}

bool ReadCards(link::Link& link, const link::Addressee& to, bool twoWay,
               const std::function<QString()>& cardId, const std::function<bool()>& stop,
               const CardSink& decoded, const CardSink& done)
{
    // Known now, while it is there: the device to wait for should it go.
    const link::DeviceInfo reader = link::DescribeDevice(link.PortPath());
    // A stop requested by a signal ends the run as the user's stop does.
    while (!stop() && !link::StopRequested()) {
        const auto cycle = CardCycle(link, to, twoWay, cardId(), decoded);
        if (!cycle) {
            const Return back = AwaitReturn(link, reader, stop);
            if (back == Return::Back)
                continue;
            return back == Return::Stopped || link::StopRequested();
        }
        if (done)
            done(*cycle);
    }
    return true;
}

} // namespace reader
