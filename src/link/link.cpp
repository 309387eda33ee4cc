#include "link/link.h"

#include <chrono>
#include <string_view>
#include <thread>

#include "link/frame.h"
#include "link/payload.h"
#include "link/ticks.h"

inline namespace tesmora {
namespace link {

const char* OutcomeText(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Accepted:
        return "accepted";
    case Outcome::BadChecksum:
        return "bad checksum";
    case Outcome::Deadline:
        return "deadline passed";
    case Outcome::Overflow:
        return "too long";
    case Outcome::Refused:
        return "refused before sending";
    }
    return "";
}

Link::~Link()
{
    ClosePort();
}

void Link::ProcessEvents() const
{
    if (hook_)
        hook_();
}

bool Link::OpenPort(int n, const QString& mode)
{
    ClosePort();
    const std::string m = mode.toStdString();
    if (!port_.Open(n, m)) {
        if (observer_)
            observer_->PortFailed(n, m, PortDevicePath(n), port_.LastOpenError());
        return false;
    }
    portNumber_ = n;
    if (observer_)
        observer_->PortOpened(n, m, PortDevicePath(n));
    return true;
}

void Link::ClosePort()
{
    if (!port_.IsOpen())
        return;
    port_.Close();
    if (observer_)
        observer_->PortClosed(portNumber_);
}

void Link::Pause(int ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        ProcessEvents();
        const auto now = std::chrono::steady_clock::now();
        if (now >= until)
            break;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            until - now, std::chrono::milliseconds(1)));
    }
}

bool Link::Exchange(const QString& payload)
{
    // A payload that no frame can carry (over-long, or a character without a
    // single-byte form) is refused before anything is sent or shown.
    const auto bytes = PayloadBytes(payload);
    const auto frame = bytes ? BuildCommandFrame(*bytes) : std::nullopt;
    if (!frame) {
        lastOutcome_ = Outcome::Refused;
        if (observer_)
            observer_->BytesReceived({}, Outcome::Refused, 0);
        return false;
    }
    const std::string_view text(*bytes);

    receive_.Clear();
    std::this_thread::yield();

    const auto* frameBytes = reinterpret_cast<const uint8_t*>(frame->data());
    const size_t n = text.size();
    port_.WriteByte(frameBytes[0]);
    port_.WriteBuffer(frameBytes + 1, n);
    port_.WriteByte(frameBytes[n + 1]);
    port_.WriteByte(frameBytes[n + 2]);
    port_.WriteByte(frameBytes[n + 3]);

    if (observer_)
        observer_->FrameSent(SentDisplay(text));

    // Whatever arrived before this point is not an answer to this command. The
    // front end gets its turn only after the purge: a repaint before it could
    // take longer than the reader's turnaround, and its answer would be purged too.
    port_.Purge();
    ProcessEvents();
    std::this_thread::yield();
    responseLength_ = 0;
    const uint32_t start = TickCount();
    Outcome outcome = Outcome::Deadline;

    for (;;) {
        if (const auto b = port_.ReadByte()) {
            const auto fed = receive_.Feed(*b);
            responseLength_ = receive_.Length();
            // A full buffer holds no frame that could still end: the answer is
            // refused as it stands, and the panel shows what came.
            if (fed == Fed::Full) {
                outcome = Outcome::Overflow;
                break;
            }
            if (fed == Fed::Complete) {
                lastResponse_ = receive_.Text();
                outcome =
                    ResponseChecksumValid(receive_.Data(), static_cast<size_t>(responseLength_))
                        ? Outcome::Accepted
                        : Outcome::BadChecksum;
                break;
            }
        } else {
            ProcessEvents();
        }
        // The deadline also holds while bytes keep coming: a line that streams
        // noise without a pause must not hold the front end forever.
        if (TickDifference(start, TickCount()) > kResponseDeadlineMs)
            break;
    }

    lastOutcome_ = outcome;
    if (observer_)
        observer_->BytesReceived(
            ReceivedDisplay(receive_.Data(), static_cast<size_t>(responseLength_)), outcome,
            responseLength_);
    ProcessEvents();
    return outcome == Outcome::Accepted;
}

} // namespace link
} // namespace tesmora
