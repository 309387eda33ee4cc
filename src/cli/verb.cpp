#include "verb.h"

#include "cli.h"
#include "link/interrupt.h"
#include "link/modelist.h"
#include "link/payload.h"
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

} // namespace

std::optional<int> Context::Port() const
{
    if (!Flag("port"))
        return std::nullopt;
    const QString text = p.value(QStringLiteral("port"));
    if (!link::LooksLikePortUrl(text.toStdString()))
        return RefusedIfPlain(Number(text, QStringLiteral("--port"), 1, 16));
    if (!link::ParsePortUrl(text.toStdString()))
        throw UsageError{QStringLiteral("--port takes a COM number 1-16, rfc2217://HOST:PORT, "
                                        "rfc2217s://HOST:PORT, tcp://HOST:PORT or "
                                        "tcps://HOST:PORT, not \"%1\"")
                             .arg(text)};
    return RefusedIfPlain(link::NumberForPort(text.toStdString()));
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
    // The recorder outlives the link it observes: the link reports its close.
    link::TrafficRecorder traffic(c.history);
    link::Link link;
    link.SetObserver(&traffic);
    if (!link.OpenPort(t.port, t.mode)) {
        if (link.LastOpenError() == link::OpenError::Interrupted)
            return Interrupted(c);
        c.out.Failure(c.Name(), QStringLiteral("cannot open %1").arg(PortLabel(t.port)),
                      OpenReason(link.LastOpenError(), t.port));
        return kExitPort;
    }
    QString id;
    if (givenId) {
        id = *givenId;
    } else if (const auto identity = reader::IdentifyAnyId(link, t.prefix, 2)) {
        id = identity->id;
    } else {
        link.ClosePort();
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
