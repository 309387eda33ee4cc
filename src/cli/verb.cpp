#include "verb.h"

#include "cli.h"
#include "link/interrupt.h"
#include "link/modelist.h"
#include "link/payload.h"
#include "reader/readertypes.h"
#include "reader/scan.h"

namespace cli {

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
    if (const auto p = c.Int("port", 1, 16))
        t.port = *p;
    else if (c.stored.scanCommNo >= 1 && c.stored.scanCommNo <= 16)
        t.port = c.stored.scanCommNo;
    else
        throw UsageError{QStringLiteral("no port: give --port N, or run scan --save first")};
    std::tie(t.modeIndex, t.mode) = ResolveMode(c);
    return t;
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
        c.out.Failure(c.Name(), QStringLiteral("cannot open COM%1").arg(t.port),
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
        c.out.Failure(c.Name(),
                      QStringLiteral("no reader answered on COM%1 at %2").arg(t.port).arg(t.mode));
        return kExitReader;
    }
    const bool ok = command(link, Addressee{t.prefix, id});
    const link::Outcome last = link.LastOutcome();
    link.ClosePort();
    if (link::StopRequested() && !ok)
        return Interrupted(c);
    if (!ok) {
        c.out.Failure(c.Name(), QStringLiteral("the reader did not accept it"),
                      c.refusal.isEmpty()
                          ? QStringLiteral("last answer: ") + link::OutcomeText(last)
                          : c.refusal);
        return kExitReader;
    }
    return kExitOk;
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
