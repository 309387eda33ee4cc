// watch: serial devices as they are plugged in and out, a line each, until
// Ctrl-C, a count or a time.
#include <QDateTime>
#include <QDeadlineTimer>
#include <QJsonObject>

#include <climits>
#include <cstring>

#include "cli.h"
#include "link/interrupt.h"
#include "link/portwatch.h"
#include "verb.h"

namespace cli {

namespace {

QString EventTime(int64_t msecs)
{
    QDateTime at = QDateTime::fromMSecsSinceEpoch(msecs);
    at.setOffsetFromUtc(at.offsetFromUtc());
    return at.toString(Qt::ISODateWithMs);
}

class EventPrinter final : public link::PortObserver
{
public:
    EventPrinter(Context& c, std::optional<int> count) : c_(c), count_(count) {}
    void DeviceAdded(const link::DeviceInfo& d) override { Print(QStringLiteral("added"), d); }
    void DeviceRemoved(const link::DeviceInfo& d) override { Print(QStringLiteral("removed"), d); }
    bool Done() const { return count_ && printed_ >= *count_; }

private:
    void Print(const QString& event, const link::DeviceInfo& d)
    {
        if (Done())
            return;
        ++printed_;
        const QString time = EventTime(d.msecs);
        const QString device = QString::fromStdString(d.device);
        QJsonObject o{{"event", event}, {"device", device}, {"time", time}};
        if (d.port != 0)
            o.insert("port", d.port);
        if (!d.byId.empty())
            o.insert("byId", QString::fromStdString(d.byId));
        if (d.usb.Known())
            o.insert("usb", UsbJson(d.usb));
        QString plain =
            QStringLiteral("%1 %2 %3 %4")
                .arg(time, event,
                     d.port != 0 ? QStringLiteral("COM%1").arg(d.port) : QStringLiteral("-"),
                     device);
        if (const std::string what = link::DeviceText(d); !what.empty())
            plain += QStringLiteral(": ") + QString::fromStdString(what);
        // USB strings come from the device: shown as the reader's text is.
        c_.out.Result(ReaderText(plain), o);
    }

    Context& c_;
    std::optional<int> count_;
    int printed_ = 0;
};

} // namespace

int Watch(Context& c)
{
    const auto count = c.Int("count", 1, 1000000000);
    const auto seconds = c.Int("seconds", 1, 1000000000);
    link::PortWatcher watcher;
    if (!watcher.Active()) {
        c.out.Failure(c.Name(), QStringLiteral("cannot watch the devices"),
                      QStringLiteral("inotify: ") +
                          QString::fromLocal8Bit(std::strerror(watcher.Error())));
        return kExitReader;
    }
    EventPrinter printer(c, count);
    watcher.AddObserver(&printer);
    const std::vector<std::string> folders = watcher.Folders();
    c.out.Info(QStringLiteral("watching %1 and %2 (Ctrl-C ends)")
                   .arg(QString::fromStdString(folders[0]), QString::fromStdString(folders[1])));
    const QDeadlineTimer deadline =
        seconds ? QDeadlineTimer(qint64(*seconds) * 1000) : QDeadlineTimer(QDeadlineTimer::Forever);
    while (!printer.Done() && !deadline.hasExpired() && !link::StopRequested() &&
           c.out.StdoutError() == 0)
        watcher.Wait(
            deadline.isForever() ? -1 : int(std::min<qint64>(deadline.remainingTime(), INT_MAX)));
    watcher.RemoveObserver(&printer);
    return kExitOk;
}

} // namespace cli
