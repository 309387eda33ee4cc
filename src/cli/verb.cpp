#include "verb.h"

#include <cctype>

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

static QString RefusalReason(link::Outcome last, const std::string& response)
{
    if (last != link::Outcome::Accepted)
        return QStringLiteral("last answer: ") + link::OutcomeText(last);
    // A whole frame came: what it said is the reason. Block and key answers
    // carry a status at 5-6, and a block's data from 7.
    const std::string status = response.size() >= 7 ? response.substr(5, 2) : std::string();
    const bool hex = status.size() == 2 && std::isxdigit((unsigned char)status[0]) &&
                     std::isxdigit((unsigned char)status[1]);
    if (hex && status != "00")
        return QStringLiteral("the reader answered status %1: authentication or access refused")
            .arg(ReaderText(QString::fromLatin1(status)));
    if (hex)
        return QStringLiteral("the reader answered status 00, with other data than was sent");
    return QStringLiteral("the reader's answer was not the one expected (%1 bytes)")
        .arg(response.size());
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
                      RefusalReason(last, link.LastResponse()));
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
