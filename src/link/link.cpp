#include "link/link.h"

#include <chrono>
#include <optional>
#include <string_view>
#include <thread>

#include "link/frame.h"
#include "link/interrupt.h"
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
    case Outcome::Interrupted:
        return "interrupted";
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
    return OpenAt(n, PortDevicePath(n), mode);
}

bool Link::Reopen(const std::string& path)
{
    return OpenAt(portNumber_, path, mode_);
}

bool Link::OpenAt(int n, const std::string& path, const QString& mode)
{
    ClosePort();
    const std::string m = mode.toStdString();
    // After a stop request no port is opened: what runs is to end, not go on.
    if (StopRequested()) {
        lastOpenError_ = OpenError::Interrupted;
    } else if (path.empty()) {
        lastOpenError_ = PortEntryRefusal(n).empty() ? OpenError::Missing : OpenError::BadEntry;
    } else {
        port_ = MakeTransport(path);
        // A network port's waits let the front end run, as the exchange's do.
        port_->SetIdle(hook_);
        lastOpenError_ = port_->OpenPath(path, m) ? OpenError::None : port_->LastOpenError();
        SetOpenDetail(n, port_->LastOpenDetail());
    }
    if (lastOpenError_ != OpenError::None) {
        if (observer_)
            observer_->PortFailed(n, m, path, lastOpenError_);
        return false;
    }
    portNumber_ = n;
    path_ = path;
    mode_ = mode;
    keysWarned_ = false;
    if (observer_)
        observer_->PortOpened(n, m, path);
    return true;
}

void Link::ClosePort()
{
    if (!PortIsOpen())
        return;
    port_->Close();
    if (observer_)
        observer_->PortClosed(portNumber_);
}

void Link::TellUnplugged()
{
    if (observer_)
        observer_->ReaderUnplugged(portNumber_);
}

void Link::TellBack()
{
    if (observer_)
        observer_->ReaderBack(portNumber_, path_);
}

void Link::TellGivenUp()
{
    if (observer_)
        observer_->ReaderGivenUp(portNumber_);
}

void Link::KeysFollow()
{
    if (!PortIsOpen() || !port_->InClear() || keysWarned_)
        return;
    keysWarned_ = true;
    if (observer_)
        observer_->KeysInClear(portNumber_, PortDevicePath(portNumber_));
}

void Link::Pause(int ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        ProcessEvents();
        const auto now = std::chrono::steady_clock::now();
        if (now >= until || StopRequested())
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
    // After a stop request nothing more is sent; the exchange in flight ends
    // at once (below).
    frameSent_ = false;
    if (!frame || StopRequested()) {
        lastOutcome_ = frame ? Outcome::Interrupted : Outcome::Refused;
        if (observer_)
            observer_->BytesReceived({}, lastOutcome_, 0);
        return false;
    }
    frameSent_ = true;
    const std::string_view text(*bytes);

    receive_.Clear();
    std::this_thread::yield();

    // Whatever arrived before the command is not an answer to it, and is
    // dropped before it goes out: a purge after the write would race the
    // reader, whose answer can come (through a server at once, from a local
    // reader while this thread waits for a busy machine's core) before the
    // purge runs, and be thrown away. The observer and the front end get
    // their turn after the write; their time is not the reader's: the
    // deadline starts after them, and the answer waits meanwhile.
    port_->Purge();
    port_->WriteBuffer(reinterpret_cast<const uint8_t*>(frame->data()), frame->size());
    if (observer_)
        observer_->FrameSent(SentDisplay(text));
    ProcessEvents();
    std::this_thread::yield();
    responseLength_ = 0;
    const uint32_t start = TickCount();
    Outcome outcome = Outcome::Deadline;
    std::optional<uint32_t> stopSeen;

    for (;;) {
        if (const auto b = port_->ReadByte()) {
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
        // A stop does not wait out the deadline: the run is to end within a
        // fraction of a second, whatever the far end does. The answer in
        // flight gets a moment all the same, as a reader answers in a few
        // tens of milliseconds: a write that went out is then known written,
        // and a run stops between two blocks, not inside one.
        if (StopRequested()) {
            if (!stopSeen)
                stopSeen = TickCount();
            else if (TickDifference(*stopSeen, TickCount()) > kStopGraceMs) {
                outcome = Outcome::Interrupted;
                break;
            }
        }
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
