#include "verb.h"

#include <QDeadlineTimer>

#include <climits>
#include <cstring>
#include <thread>

#include "cli.h"
#include "link/interrupt.h"
#include "link/modelist.h"
#include "link/payload.h"
#include "link/portwatch.h"
#include "link/serialport.h"
#include "link/transport.h"
#include "reader/configuration.h"
#include "reader/readertypes.h"
#include "reader/scan.h"

namespace cli {

namespace {

// A plain network port, where the store requires TLS, is refused before
// anything is sent.
int RefusedIfPlain(int port)
{
    const std::string where = link::PortDevicePath(port);
    if (link::PlainNetworkRefused(where))
        throw UsageError{QStringLiteral("%1 is a network port without TLS, and the store "
                                        "requires TLS ([Network] RequireTls): use %2")
                             .arg(PortLabel(port),
                                  QString::fromStdString(where).replace(QStringLiteral("://"),
                                                                        QStringLiteral("s://")))};
    return port;
}

// Told on stdout (JSON) or stderr what became of a reading run's reader.
class RunNotes final : public link::LinkObserver
{
public:
    explicit RunNotes(Context& c) : c_(c) {}
    void ReaderUnplugged(int port) override
    {
        c_.out.Note(QStringLiteral("%1: reader unplugged, waiting for it").arg(PortLabel(port)),
                    {{"kind", "unplugged"}, {"port", PortJson(port)}});
    }
    void ReaderBack(int port, const std::string& path) override
    {
        const QString device = QString::fromStdString(path);
        c_.out.Note(QStringLiteral("%1: reader back at %2, reading on")
                        .arg(PortLabel(port), ReaderText(device)),
                    {{"kind", "back"}, {"port", PortJson(port)}, {"device", device}});
    }

private:
    Context& c_;
};

struct Arrivals final : link::PortObserver
{
    int port = 0;
    int came = 0;
    void DeviceAdded(const link::DeviceInfo& d) override
    {
        if (came == 0 && d.port != 0 && (port == 0 || d.port == port))
            came = d.port;
    }
};

// A device just plugged in may not open at once: udev gives it its group a
// moment later. It is tried for a second before anything is sent to it.
void SettlePlugged(int port, const QDeadlineTimer& deadline)
{
    QDeadlineTimer settle(1000);
    link::SerialPort probe;
    while (!probe.Open(port, "19200,n,8,1") && !settle.hasExpired() && !deadline.hasExpired() &&
           !link::StopRequested())
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    probe.Close();
}

// Waits for a device to be plugged in on COM `port` (any COM number for 0)
// until `deadline`, and a moment more for it to open: its COM number, or 0
// when none came or a stop was asked for.
int AwaitDevice(link::PortWatcher& watcher, int port, const QDeadlineTimer& deadline)
{
    Arrivals arrivals;
    arrivals.port = port;
    watcher.AddObserver(&arrivals);
    while (arrivals.came == 0 && !deadline.hasExpired() && !link::StopRequested())
        watcher.Wait(int(std::min<qint64>(deadline.remainingTime(), INT_MAX)));
    watcher.RemoveObserver(&arrivals);
    if (arrivals.came != 0)
        SettlePlugged(arrivals.came, deadline);
    return arrivals.came;
}

} // namespace

Waiting::Waiting(const Context& c, std::optional<int> port)
    : port_(port.value_or(0)), seconds_(c.Int("wait", 1, 86400).value_or(0)),
      deadline_(qint64(seconds_) * 1000)
{
    if (seconds_ == 0)
        return;
    if (port_ != 0 && link::LooksLikePortUrl(link::PortDevicePath(port_)))
        throw UsageError{QStringLiteral("--wait watches the local devices: %1 is a network port")
                             .arg(PortLabel(port_))};
    watcher_ = std::make_unique<link::PortWatcher>();
    if (!watcher_->Active())
        throw UsageError{QStringLiteral("--wait: the devices cannot be watched (inotify: %1)")
                             .arg(QString::fromLocal8Bit(std::strerror(watcher_->Error())))};
}

Waiting::~Waiting() = default;

int Waiting::Next(Context& c)
{
    if (!watcher_ || link::StopRequested())
        return 0;
    if (!told_)
        c.out.Info(QStringLiteral("waiting up to %1 s for a device to be plugged in%2")
                       .arg(seconds_)
                       .arg(port_ != 0 ? QStringLiteral(" on ") + PortLabel(port_) : QString()));
    told_ = true;
    return AwaitDevice(*watcher_, port_, deadline_);
}

std::optional<int> Context::Port() const
{
    if (!Flag("port"))
        return std::nullopt;
    QString text = p.value(QStringLiteral("port"));
    // "COM5", as the window and the settings name it, in any case.
    if (text.size() > 3 && text.left(3).compare(QLatin1String("com"), Qt::CaseInsensitive) == 0 &&
        text[3].isDigit())
        text = text.mid(3);
    if (!link::LooksLikePortUrl(text.toStdString()))
        return RefusedIfPlain(Number(text, QStringLiteral("--port"), 1, 16));
    if (!link::ParsePortUrl(text.toStdString()))
        throw UsageError{QStringLiteral("--port takes a COM number 1-16, rfc2217://HOST:PORT, "
                                        "rfc2217s://HOST:PORT, tcp://HOST:PORT or "
                                        "tcps://HOST:PORT, not \"%1\"")
                             .arg(text)};
    const int n = link::NumberForPort(text.toStdString());
    // The store remembers a COM number; a URL gets one in [Ports].
    if (n == link::kDirectPort && Flag("save"))
        throw UsageError{QStringLiteral("--save remembers a COM number, and %1 has none: add "
                                        "COMn=%1 to [Ports], then give --port n (nothing was sent)")
                             .arg(text)};
    return RefusedIfPlain(n);
}

QString PortLabel(int port)
{
    return QString::fromStdString(link::PortName(port));
}

QJsonValue PortJson(int port)
{
    if (port == link::kDirectPort)
        return PortLabel(port);
    return port;
}

int ResolveType(const Context& c)
{
    if (const auto t = c.Int("type", 1, 8))
        return *t - 1;
    if (c.stored.readerType < 0 || c.stored.readerType > 7)
        throw UsageError{QStringLiteral("no reader type: give --type N")};
    return c.stored.readerType;
}

std::pair<int, QString> ResolveMode(const Context& c)
{
    if (const auto m = c.Int("mode", 0, kModeCount - 1))
        return {*m, link::PayloadText(std::string(kModeList[size_t(*m)]))};
    return {c.stored.scanBaudRateNo, c.stored.scanBaudRate};
}

Target ResolveTarget(const Context& c)
{
    Target t;
    t.type = ResolveType(c);
    t.prefix = QString::fromLatin1(ReaderTypeFor(t.type).prefix.data(), 1);
    if (const auto p = c.Port())
        t.port = *p;
    else if (c.stored.scanCommNo >= 1 && c.stored.scanCommNo <= 16)
        t.port = RefusedIfPlain(c.stored.scanCommNo);
    else
        throw UsageError{QStringLiteral("no port: give --port N, or run scan --save first")};
    std::tie(t.modeIndex, t.mode) = ResolveMode(c);
    return t;
}

void RefuseFixedLineSetting(const Context& c, int port, int wantedIndex, const QString& what)
{
    const std::string where = link::PortDevicePath(port);
    if (!link::LineSettingFixedAt(where))
        return;
    if (wantedIndex >= 0 && wantedIndex == ResolveMode(c).first)
        return;
    throw UsageError{QStringLiteral("%1: %2 is a raw TCP port, whose server fixes the line "
                                    "setting; reach the reader through rfc2217://HOST:PORT to "
                                    "change it (nothing was sent)")
                         .arg(what, PortLabel(port) == QString::fromStdString(where)
                                        ? PortLabel(port)
                                        : PortLabel(port) + QStringLiteral(" (") +
                                              QString::fromStdString(where) + ')')};
}

QString ReaderIdOption(const Context& c)
{
    const QString id = c.p.value(QStringLiteral("id"));
    if (id.size() != 2 || !id[0].isDigit() || !id[1].isDigit())
        throw UsageError{QStringLiteral("--id takes two digits, not \"%1\"").arg(id)};
    return id;
}

int WithReader(Context& c, const std::function<bool(link::Link&, const Addressee&)>& command)
{
    const Target t = ResolveTarget(c);
    const std::optional<QString> givenId =
        c.Flag("id") ? std::optional<QString>(ReaderIdOption(c)) : std::nullopt;
    Waiting waiting(c, t.port);
    // The observers outlive the link they observe: the link reports its close.
    link::TrafficRecorder traffic(c.history);
    RunNotes notes(c);
    link::ObserverFanOut observers({&traffic, &notes});
    link::Link link;
    link.SetObserver(&observers);
    QString id;
    // With --wait, a port that is missing or has no reader is waited for: a
    // device plugged in there is tried. Any other refusal ends it at once.
    for (;;) {
        if (!link.OpenPort(t.port, t.mode)) {
            if (link.LastOpenError() == link::OpenError::Missing && waiting.Next(c) != 0)
                continue;
            if (link.LastOpenError() == link::OpenError::Interrupted || link::StopRequested())
                return Interrupted(c);
            c.out.Failure(c.Name(), QStringLiteral("cannot open %1").arg(PortLabel(t.port)),
                          OpenReason(link.LastOpenError(), t.port));
            return kExitPort;
        }
        if (givenId) {
            id = *givenId;
            break;
        }
        if (const auto identity = reader::IdentifyAnyId(link, t.prefix, 2)) {
            id = identity->id;
            break;
        }
        link.ClosePort();
        if (waiting.Next(c) != 0)
            continue;
        if (link::StopRequested())
            return Interrupted(c);
        c.out.Failure(
            c.Name(),
            QStringLiteral("no reader answered on %1 at %2").arg(PortLabel(t.port), t.mode));
        return kExitReader;
    }
    const bool ok = command(link, Addressee{t.prefix, id});
    const link::Outcome last = link.LastOutcome();
    if (link.PortLost())
        c.lost = QString::fromStdString(link::LostText(link::PortDevicePath(t.port)));
    link.ClosePort();
    if (link::StopRequested() && !ok)
        return Interrupted(c);
    if (!ok) {
        c.out.Failure(c.Name(), QStringLiteral("the reader did not accept it"),
                      !c.lost.isEmpty() ? c.lost
                      : c.refusal.isEmpty()
                          ? QStringLiteral("last answer: ") + link::OutcomeText(last)
                          : c.refusal);
        return kExitReader;
    }
    return kExitOk;
}

bool ReaderAnswered(Context& c, link::Link& link, const Addressee& to)
{
    if (!c.Flag("id"))
        return true;
    link.Pause(reader::kCommandPauseMs);
    if (reader::Identify(link, to))
        return true;
    c.refusal = QStringLiteral("the reader did not answer");
    return false;
}

int Interrupted(Context& c)
{
    c.out.Failure(c.Name(), QStringLiteral("interrupted"),
                  QStringLiteral("signal %1, the port restored").arg(link::StopSignal()));
    return kExitReader;
}

int Setting(Context& c, const std::function<bool(link::Link&, const Addressee&)>& command)
{
    const int code = WithReader(c, command);
    if (code == kExitOk)
        c.out.Result(c.Name() + QStringLiteral(": ok"), {{"verb", c.Name()}, {"ok", true}});
    return code;
}

} // namespace cli
