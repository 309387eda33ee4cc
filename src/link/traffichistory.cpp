#include "link/traffichistory.h"

#include <QDateTime>

#include <algorithm>

#include "link/devices.h"
#include "link/payload.h"

inline namespace tesmora {
namespace link {

QString OpenFailureText(OpenError error, int port)
{
    QString text = QString::fromStdString(OpenErrorLine(error, OpenDetail(port)));
    if (error == OpenError::Busy)
        text += QStringLiteral(": held by another program");
    if (error == OpenError::PermissionDenied) {
        const Ownership o = OwnershipOf(PortDevicePath(port));
        if (DialoutDevice(o))
            text += QStringLiteral(": add the account to the dialout group (adduser $USER "
                                   "dialout), then log in again");
        else if (o.known)
            text += QStringLiteral(": ") + QString::fromStdString(OwnershipText(o));
    }
    return text;
}

QString KeysInClearText(const std::string& url)
{
    QString tls = QString::fromStdString(url);
    const qsizetype scheme = tls.indexOf(QStringLiteral("://"));
    if (scheme > 0)
        tls.insert(scheme, QLatin1Char('s'));
    return QStringLiteral("MIFARE keys cross the network unencrypted to %1: reach the reader "
                          "through %2 (TLS)")
        .arg(QString::fromStdString(url), tls);
}

namespace {

QString Received(const TrafficEntry& e)
{
    if (e.outcome == Outcome::Refused)
        return QStringLiteral("refused before sending");
    if (e.outcome == Outcome::Interrupted)
        return QStringLiteral("not sent: interrupted");
    const QString bytes = e.count > 0 ? e.text : QStringLiteral("nothing");
    QString line = QStringLiteral("received ") + bytes + QStringLiteral(" - ") +
                   QString::fromLatin1(OutcomeText(e.outcome));
    if (e.outcome == Outcome::Deadline && e.count > 0)
        line += QStringLiteral(", %1 byte(s) had come").arg(e.count);
    return line;
}

QString Event(const TrafficEntry& e)
{
    switch (e.kind) {
    case TrafficEntry::Kind::Sent:
        return QStringLiteral("sent ") + e.text;
    case TrafficEntry::Kind::Received:
        return Received(e);
    case TrafficEntry::Kind::Opened:
        return QStringLiteral("opened ") + e.text;
    case TrafficEntry::Kind::Failed:
        if (e.error == OpenError::BadEntry)
            return QStringLiteral("not opened: ") +
                   QString::fromStdString(PortEntryRefusal(e.port));
        return QStringLiteral("not opened ") + e.text + QStringLiteral(": ") +
               OpenFailureText(e.error, e.port);
    case TrafficEntry::Kind::Closed:
        return QStringLiteral("closed");
    case TrafficEntry::Kind::Warning:
    case TrafficEntry::Kind::Note:
        return e.text;
    }
    return {};
}

} // namespace

QString EntryLine(const TrafficEntry& e)
{
    QString line =
        QDateTime::fromMSecsSinceEpoch(e.msecs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    line += e.port > 0 ? QStringLiteral(" ") + QString::fromStdString(PortName(e.port))
                       : QStringLiteral(" COM-");
    line += QLatin1Char(' ') + (e.mode.isEmpty() ? QStringLiteral("-") : e.mode);
    if (!e.operation.isEmpty())
        line += QStringLiteral(" (") + e.operation + QLatin1Char(')');
    return line + QLatin1Char(' ') + Event(e);
}

// --- the ring ---------------------------------------------------------------------

TrafficHistory::TrafficHistory(size_t capacity, size_t byteCapacity)
    : capacity_(std::max<size_t>(capacity, 1)), byteCapacity_(byteCapacity)
{
}

size_t TrafficHistory::Footprint(const TrafficEntry& e)
{
    return sizeof(TrafficEntry) +
           sizeof(QChar) * size_t(e.mode.size() + e.operation.size() + e.text.size());
}

void TrafficHistory::TrimLocked()
{
    while (end_ - first_ > 1 && (end_ - first_ > capacity_ || bytes_ > byteCapacity_)) {
        TrafficEntry& oldest = ring_[(first_ - base_) % capacity_];
        bytes_ -= Footprint(oldest);
        oldest = {}; // its texts go now, not when the slot is next written
        ++first_;
    }
}

size_t TrafficHistory::Bytes() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return bytes_;
}

void TrafficHistory::SetOperation(const QString& operation)
{
    std::lock_guard<std::mutex> lock(mu_);
    operation_ = operation;
}

QString TrafficHistory::Operation() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return operation_;
}

void TrafficHistory::SetListener(std::function<void(const TrafficEntry&)> listener)
{
    std::lock_guard<std::mutex> lock(mu_);
    listener_ = std::move(listener);
}

void TrafficHistory::Add(TrafficEntry entry)
{
    entry.msecs = QDateTime::currentMSecsSinceEpoch();
    std::lock_guard<std::mutex> lock(mu_);
    entry.operation = operation_;
    if (listener_)
        listener_(entry);
    // The oldest makes room first when the ring is full: its slot is the next one.
    if (end_ - first_ == capacity_) {
        bytes_ -= Footprint(ring_[(first_ - base_) % capacity_]);
        ++first_;
    }
    bytes_ += Footprint(entry);
    // Slot of a sequence number: counted from the oldest kept, which the ring
    // held at its slot 0 when it was last emptied.
    if (ring_.size() < capacity_)
        ring_.push_back(std::move(entry));
    else
        ring_[(end_ - base_) % capacity_] = std::move(entry);
    ++end_;
    TrimLocked();
}

uint64_t TrafficHistory::FirstSequence() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return first_;
}

uint64_t TrafficHistory::EndSequence() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return end_;
}

std::optional<TrafficEntry> TrafficHistory::At(uint64_t sequence) const
{
    std::lock_guard<std::mutex> lock(mu_);
    if (sequence < first_ || sequence >= end_)
        return std::nullopt;
    return ring_[(sequence - base_) % capacity_];
}

std::vector<TrafficEntry> TrafficHistory::Entries() const
{
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<TrafficEntry> out;
    out.reserve(end_ - first_);
    for (uint64_t s = first_; s < end_; ++s)
        out.push_back(ring_[(s - base_) % capacity_]);
    return out;
}

size_t TrafficHistory::Capacity() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return capacity_;
}

void TrafficHistory::SetCapacity(size_t capacity)
{
    std::lock_guard<std::mutex> lock(mu_);
    const size_t newCapacity = std::max<size_t>(capacity, 1);
    const uint64_t keep = std::min<uint64_t>(end_ - first_, newCapacity);
    std::vector<TrafficEntry> kept;
    kept.reserve(keep);
    bytes_ = 0;
    for (uint64_t s = end_ - keep; s < end_; ++s) {
        bytes_ += Footprint(ring_[(s - base_) % capacity_]);
        kept.push_back(std::move(ring_[(s - base_) % capacity_]));
    }
    capacity_ = newCapacity;
    first_ = base_ = end_ - keep;
    ring_ = std::move(kept);
}

void TrafficHistory::Clear()
{
    std::lock_guard<std::mutex> lock(mu_);
    ring_.clear();
    bytes_ = 0;
    first_ = base_ = end_;
}

QString TrafficHistory::Text() const
{
    QString text;
    for (const TrafficEntry& e : Entries())
        text += EntryLine(e) + QLatin1Char('\n');
    return text;
}

// --- the recorder ----------------------------------------------------------------

void TrafficRecorder::Add(TrafficEntry::Kind kind, QString text)
{
    TrafficEntry e;
    e.kind = kind;
    e.port = port_;
    e.mode = mode_;
    e.text = std::move(text);
    history_.Add(std::move(e));
}

void TrafficRecorder::FrameSent(const std::string& display)
{
    Add(TrafficEntry::Kind::Sent, PayloadText(display));
}

void TrafficRecorder::BytesReceived(const std::string& display, Outcome outcome, int count)
{
    TrafficEntry e;
    e.kind = TrafficEntry::Kind::Received;
    e.port = port_;
    e.mode = mode_;
    e.text = QString::fromStdString(display);
    e.outcome = outcome;
    e.count = count;
    history_.Add(std::move(e));
}

void TrafficRecorder::PortOpened(int port, const std::string& mode, const std::string& path)
{
    port_ = port;
    mode_ = QString::fromStdString(mode);
    // A USB adapter is named by what it is, so that two of a kind are told apart.
    QString text = QString::fromStdString(path);
    if (!LooksLikePortUrl(path))
        if (const std::string what = DeviceText(DescribeDevice(path)); !what.empty())
            text += QStringLiteral(" (") + QString::fromStdString(what) + ')';
    Add(TrafficEntry::Kind::Opened, text);
}

void TrafficRecorder::PortFailed(int port, const std::string& mode, const std::string& path,
                                 OpenError error)
{
    port_ = port;
    mode_ = QString::fromStdString(mode);
    TrafficEntry e;
    e.kind = TrafficEntry::Kind::Failed;
    e.port = port;
    e.mode = mode_;
    e.text = QString::fromStdString(path);
    e.error = error;
    history_.Add(std::move(e));
}

void TrafficRecorder::PortClosed(int port)
{
    port_ = port;
    Add(TrafficEntry::Kind::Closed, {});
}

void TrafficRecorder::KeysInClear(int port, const std::string& path)
{
    port_ = port;
    Add(TrafficEntry::Kind::Warning, KeysInClearText(path));
}

void TrafficRecorder::ReaderUnplugged(int port)
{
    port_ = port;
    Add(TrafficEntry::Kind::Note, QStringLiteral("reader unplugged, waiting for it"));
}

void TrafficRecorder::ReaderBack(int port, const std::string& path)
{
    port_ = port;
    Add(TrafficEntry::Kind::Note, QStringLiteral("reader back at ") + QString::fromStdString(path));
}

void TrafficRecorder::ReaderGivenUp(int port)
{
    port_ = port;
    Add(TrafficEntry::Kind::Note, QStringLiteral("stopped waiting for the reader"));
}

} // namespace link
} // namespace tesmora
