#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "link/link.h"

inline namespace tesmora {
namespace link {

// One event of the conversation with a reader.
struct TrafficEntry
{
    // Warning: what the link says about the port in use (keys in clear).
    // Note: what became of a run's reader (unplugged, back).
    enum class Kind { Sent, Received, Opened, Failed, Closed, Warning, Note };
    int64_t msecs = 0; // since the epoch, local time when rendered
    Kind kind = Kind::Sent;
    int port = 0;
    QString mode;      // the line setting, "" before the port was opened
    QString operation; // the front end's operation, e.g. "Scan reader"
    QString text;      // the frame or bytes as the status bar shows them; the device path
    Outcome outcome = Outcome::Accepted; // Received only
    int count = 0;                       // Received: the bytes that came
    OpenError error = OpenError::None;   // Failed only
};

// Why a port did not open, with what to do about it where there is something.
// `port`'s detail (OpenDetail) is part of it; a device this account may not
// open is named by whose it is unless its group is dialout.
QString OpenFailureText(OpenError error, int port = 0);

// That MIFARE keys cross the network unencrypted to a plain port URL, naming
// its TLS form.
QString KeysInClearText(const std::string& url);

// The entry as one line of English text, without a line end.
QString EntryLine(const TrafficEntry& entry);

// A bounded ring of traffic entries, the oldest dropped first: at most a number
// of entries and about a number of bytes, since a received entry can hold
// thousands of characters. Every link feeds it through its own TrafficRecorder;
// links on several threads may share one history.
class TrafficHistory
{
public:
    static constexpr size_t kDefaultCapacity = 10000;
    static constexpr size_t kDefaultByteCapacity = size_t(8) << 20;
    explicit TrafficHistory(size_t capacity = kDefaultCapacity,
                            size_t byteCapacity = kDefaultByteCapacity);

    // The operation that the following entries belong to ("" for none).
    void SetOperation(const QString& operation);
    QString Operation() const;

    // Stamps the entry with the time and the current operation and keeps it.
    void Add(TrafficEntry entry);
    // Called with each entry as it is added, in order, under the history's
    // lock: it must not call back into the history.
    void SetListener(std::function<void(const TrafficEntry&)> listener);

    // Entries by sequence number: the first entry ever added is 0. Those kept
    // are [FirstSequence(), EndSequence()).
    uint64_t FirstSequence() const;
    uint64_t EndSequence() const;
    std::optional<TrafficEntry> At(uint64_t sequence) const;

    std::vector<TrafficEntry> Entries() const; // oldest first
    size_t Capacity() const;
    // Keeps the newest entries that fit; an Add meanwhile is kept or dropped
    // as a whole, never lost half-way.
    void SetCapacity(size_t capacity);
    // What the entries kept take, as counted against the byte capacity.
    size_t Bytes() const;
    // The memory an entry is counted with: its own size and its texts.
    static size_t Footprint(const TrafficEntry& entry);
    void Clear();
    // Every entry, one line each, each ended by a line feed.
    QString Text() const;

private:
    // Drops the oldest entries until both bounds hold; the newest always stays.
    void TrimLocked();
    mutable std::mutex mu_;
    std::vector<TrafficEntry> ring_; // grows up to capacity_, then wraps
    size_t capacity_;
    size_t byteCapacity_;
    size_t bytes_ = 0;
    uint64_t first_ = 0; // sequence number of the oldest entry kept
    uint64_t end_ = 0;   // sequence number of the next entry
    uint64_t base_ = 0;  // sequence number held at slot 0
    QString operation_;
    std::function<void(const TrafficEntry&)> listener_;
};

// The observer of one link: records its traffic with its port and line setting.
class TrafficRecorder final : public LinkObserver
{
public:
    explicit TrafficRecorder(TrafficHistory& history) : history_(history) {}
    void FrameSent(const std::string& display) override;
    void BytesReceived(const std::string& display, Outcome outcome, int count) override;
    void PortOpened(int port, const std::string& mode, const std::string& path) override;
    void PortFailed(int port, const std::string& mode, const std::string& path,
                    OpenError error) override;
    void PortClosed(int port) override;
    void KeysInClear(int port, const std::string& path) override;
    void ReaderUnplugged(int port) override;
    void ReaderBack(int port, const std::string& path) override;
    void ReaderGivenUp(int port) override;

private:
    void Add(TrafficEntry::Kind kind, QString text);
    TrafficHistory& history_;
    int port_ = 0;
    QString mode_;
};

// Hands every report of a link on to several observers, in order: a link has one.
class ObserverFanOut final : public LinkObserver
{
public:
    explicit ObserverFanOut(std::vector<LinkObserver*> observers) : observers_(std::move(observers))
    {
    }
    void FrameSent(const std::string& display) override { Each(&LinkObserver::FrameSent, display); }
    void BytesReceived(const std::string& display, Outcome outcome, int count) override
    {
        Each(&LinkObserver::BytesReceived, display, outcome, count);
    }
    void PortOpened(int port, const std::string& mode, const std::string& path) override
    {
        Each(&LinkObserver::PortOpened, port, mode, path);
    }
    void PortFailed(int port, const std::string& mode, const std::string& path,
                    OpenError error) override
    {
        Each(&LinkObserver::PortFailed, port, mode, path, error);
    }
    void PortClosed(int port) override { Each(&LinkObserver::PortClosed, port); }
    void KeysInClear(int port, const std::string& path) override
    {
        Each(&LinkObserver::KeysInClear, port, path);
    }
    void ReaderUnplugged(int port) override { Each(&LinkObserver::ReaderUnplugged, port); }
    void ReaderBack(int port, const std::string& path) override
    {
        Each(&LinkObserver::ReaderBack, port, path);
    }
    void ReaderGivenUp(int port) override { Each(&LinkObserver::ReaderGivenUp, port); }

private:
    template <class Method, class... Args> void Each(Method m, const Args&... args)
    {
        for (LinkObserver* o : observers_)
            (o->*m)(args...);
    }
    std::vector<LinkObserver*> observers_;
};

} // namespace link
} // namespace tesmora
