#include "cardreading.h"

#include <chrono>
#include <thread>

#include "link/interrupt.h"

namespace reader {

namespace {

constexpr int kPacingPasses = 80; // events, then wait for the next millisecond
constexpr int kTwoWayPauseMs = 30;

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
    // A stop requested by a signal ends the run as the user's stop does.
    while (!stop() && !link::StopRequested()) {
        const auto cycle = CardCycle(link, to, twoWay, cardId(), decoded);
        if (!cycle)
            return link::StopRequested();
        if (done)
            done(*cycle);
    }
    return true;
}

} // namespace reader
