// config read, apply and diff: a reader's settings as a profile file, and a
// profile applied to one reader or to every reader, only what differs.
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <cstdio>
#include <latch>
#include <numeric>
#include <thread>
#include <vector>

#include "cardoptions.h"
#include "cli.h"
#include "profile/profile.h"
#include "reader/readertypes.h"
#include "store/safefile.h"
#include "verb.h"

namespace cli {

namespace {

enum class Action { Apply, Check, Diff };

// What became of one reader.
struct ReaderRun
{
    int port = 0;
    reader::ScanResult scan;
    std::optional<QString> newId; // from --id-from
    std::vector<profile::Change> changed;
    bool known = false; // `changed` was found
    bool applied = false;
    QString backup, notice, error, reason;
    int exit = kExitOk;
    link::OpenError openError = link::OpenError::None; // of a reader not found
};

// A file a user was handed, or stdin: bounded either way.
QByteArray ReadProfileFile(const QString& path)
{
    QString error;
    if (path != QLatin1String("-")) {
        const auto data = ReadUserFile(path, kUserFileLimit, &error);
        if (!data)
            throw UsageError{QStringLiteral("cannot read ") + error};
        return *data;
    }
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly))
        throw UsageError{QStringLiteral("cannot read stdin: ") + in.errorString()};
    const QByteArray data = in.read(kUserFileLimit + 1);
    if (data.size() > kUserFileLimit)
        throw UsageError{
            QStringLiteral("cannot read stdin: too large (at most %1 bytes)").arg(kUserFileLimit)};
    return data;
}

profile::Profile LoadProfile(const Context& c, const QString& path)
{
    std::optional<int> type;
    if (const auto t = c.Int("type", 1, 8))
        type = *t - 1;
    const profile::Parsed parsed = profile::Parse(ReadProfileFile(path), type);
    if (parsed.refusal)
        throw UsageError{QStringLiteral("%1: %2").arg(path, parsed.refusal->message)};
    return *parsed.profile;
}

QJsonArray ChangesJson(const std::vector<profile::Change>& changes)
{
    QJsonArray list;
    for (const profile::Change& ch : changes)
        list.append(QJsonObject{{"field", ch.field}, {"from", ch.from}, {"to", ch.to}});
    return list;
}

void Report(Context& c, const ReaderRun& r, Action action)
{
    const QString com = PortLabel(r.port);
    // The backup, and once a run that the folder was made private.
    QString backup;
    if (!r.backup.isEmpty())
        backup = QStringLiteral("backup ") + r.backup +
                 (r.notice.isEmpty() ? QString() : QStringLiteral(" (") + r.notice + ')');
    if (!r.error.isEmpty()) {
        if (!c.out.json) {
            QStringList reason{r.reason, backup};
            reason.removeAll(QString());
            c.out.Failure(c.Name(), com + QStringLiteral(": ") + r.error,
                          reason.join(QStringLiteral("; ")));
            return;
        }
        QJsonObject o{{"verb", c.Name()}, {"port", PortJson(r.port)}, {"error", r.error}};
        if (!r.reason.isEmpty())
            o.insert("reason", r.reason);
        if (r.known) {
            o.insert("changed", ChangesJson(r.changed));
            o.insert("applied", r.applied);
        }
        if (!r.backup.isEmpty())
            o.insert("backup", r.backup);
        if (!r.notice.isEmpty())
            o.insert("notice", r.notice);
        c.out.Result({}, o);
        return;
    }
    QString plain = com + QLatin1Char(' ') + profile::ChangesText(r.changed);
    QJsonObject o{{"port", PortJson(r.port)}, {"changed", ChangesJson(r.changed)}};
    if (action != Action::Diff)
        o.insert("applied", r.applied);
    if (action == Action::Check && !r.changed.empty())
        plain += QStringLiteral(" (--check: nothing sent)");
    if (!r.backup.isEmpty()) {
        plain += QStringLiteral("; ") + backup;
        o.insert("backup", r.backup);
    }
    if (!r.notice.isEmpty())
        o.insert("notice", r.notice);
    c.out.Result(plain, o);
}

// After the scan: the comparison, and for an apply the set operations and the
// verifying scan, on the worker's own link.
void Process(link::Link& link, const profile::Profile& profileIn, Action action, ReaderRun& r)
{
    if (!r.scan.complete) {
        r.error = QStringLiteral("reader data error");
        r.reason = r.scan.reached ? QStringLiteral("the settings were not read")
                                  : QStringLiteral("the version was not answered");
        r.exit = kExitReader;
        return;
    }
    profile::Profile want = profileIn;
    if (r.newId)
        want.id = *r.newId;
    const profile::Profile have =
        profile::FromScan(r.scan, want.type, QDateTime::currentDateTimeUtc());
    if (action != Action::Apply) {
        r.changed = profile::Compare(want, have);
        r.known = true;
        r.exit = action == Action::Diff && !r.changed.empty() ? kExitReader : kExitOk;
        return;
    }
    const profile::ApplyResult a = profile::Apply(link, r.port, want, have);
    r.changed = a.changed;
    r.known = true;
    r.applied = a.applied;
    r.backup = a.backup;
    r.notice = a.backupNotice;
    r.error = a.error;
    r.reason = a.reason;
    r.exit = a.verified ? kExitOk : kExitReader;
}

int Single(Context& c, const profile::Profile* wanted, Action action,
           const std::function<void(ReaderRun&)>& done)
{
    reader::ScanRequest q;
    q.readerType = wanted ? wanted->type : ResolveType(c);
    q.prefix = QString::fromLatin1(ReaderTypeFor(q.readerType).prefix.data(), 1);
    std::tie(q.storedModeIndex, q.storedMode) = ResolveMode(c);
    // An apply looks first where the profile puts the reader.
    if (wanted) {
        q.storedModeIndex = wanted->modeIndex;
        q.storedMode = profile::ModeText(wanted->modeIndex);
    }
    q.locked = c.Flag("lock");
    const auto port = c.Port();
    if (wanted && action == Action::Apply)
        RefuseFixedLineSetting(c, port ? *port : c.stored.scanCommNo, wanted->modeIndex,
                               QStringLiteral("the profile's line setting"));
    const auto idFrom = action != Action::Diff ? c.Int("id-from", 1, 99) : std::nullopt;
    if (port)
        q.storedPort = q.firstPort = q.lastPort = *port;
    else if (c.stored.scanCommNo >= 1 && c.stored.scanCommNo <= 16)
        q.storedPort = c.stored.scanCommNo;
    link::Link link;
    link::TrafficRecorder traffic(c.history);
    link.SetObserver(&traffic);
    reader::ScanProgress quiet;
    ReaderRun r;
    r.scan = reader::Scan(link, q, quiet);
    if (!r.scan.identified) {
        if (port && link.LastOpenError() != link::OpenError::None) {
            c.out.Failure(c.Name(), QStringLiteral("cannot open %1").arg(PortLabel(*port)),
                          OpenReason(link.LastOpenError(), *port));
            return kExitPort;
        }
        c.out.Failure(c.Name(), QStringLiteral("no reader found"));
        return kExitReader;
    }
    r.port = r.scan.port;
    if (idFrom)
        r.newId = QString::asprintf("%02d", *idFrom);
    if (wanted)
        Process(link, *wanted, action, r);
    done(r);
    return r.exit;
}

// Every device at once, one worker each, as scan --all probes them; each
// reader found is then compared or applied to on its own worker.
int All(Context& c, const profile::Profile& wanted, Action action)
{
    // --check compares with the IDs the apply would give.
    const auto idFrom = action != Action::Diff ? c.Int("id-from", 1, 99) : std::nullopt;
    std::vector<int> ports(16);
    std::iota(ports.begin(), ports.end(), 1);
    const std::vector<std::vector<int>> devices = DevicePorts(ports);
    const size_t count = devices.size();
    std::vector<ReaderRun> runs(count);
    // With --id-from every scan ends before anything is sent: the IDs follow
    // the order of the ports that have readers.
    std::latch scanned{std::ptrdiff_t(count)};
    std::vector<std::thread> workers;
    std::atomic<bool> tooMany = false;
    const bool locked = c.Flag("lock");
    for (size_t i = 0; i < count; ++i) {
        workers.emplace_back([&, i] {
            ReaderRun& r = runs[i];
            r.port = devices[i].front();
            link::Link link;
            link::TrafficRecorder traffic(c.history);
            link.SetObserver(&traffic);
            reader::ScanProgress quiet;
            r.scan =
                profile::ReadReader(link, r.port, wanted.type, wanted.modeIndex, locked, quiet);
            r.openError = link.LastOpenError();
            if (idFrom) {
                scanned.arrive_and_wait();
                int before = 0, found = 0;
                for (size_t j = 0; j < count; ++j) {
                    found += runs[j].scan.identified;
                    before += j < i && runs[j].scan.identified;
                }
                if (*idFrom + found - 1 > 99) {
                    tooMany = true; // every worker finds the same
                    return;
                }
                r.newId = QString::asprintf("%02d", *idFrom + before);
            }
            if (r.scan.identified)
                Process(link, wanted, action, r);
        });
    }
    for (std::thread& w : workers)
        w.join();
    int found = 0;
    for (const ReaderRun& r : runs)
        found += r.scan.identified;
    if (tooMany)
        throw UsageError{QStringLiteral("--id-from %1 gives the %2 readers found IDs past 99; "
                                        "nothing was sent")
                             .arg(*idFrom)
                             .arg(found)};
    // Workers that saw the backup folder open at the same time each made it
    // private: said once.
    bool noticed = false;
    for (ReaderRun& r : runs) {
        if (noticed)
            r.notice.clear();
        noticed = noticed || !r.notice.isEmpty();
    }
    // A device that is there but did not open was never reached: that fails the run.
    int exit = kExitOk;
    for (size_t i = 0; i < count; ++i) {
        if (runs[i].scan.identified) {
            Report(c, runs[i], action);
            exit = std::max(exit, runs[i].exit);
        } else if (ReportNotOpened(c, devices[i], runs[i].openError)) {
            exit = std::max<int>(exit, kExitReader);
        }
    }
    if (found == 0) {
        c.out.Failure(c.Name(), QStringLiteral("no reader found"));
        return kExitReader;
    }
    return exit;
}

int ApplyOrCompare(Context& c, Action action)
{
    const profile::Profile wanted = LoadProfile(c, c.args[0]);
    if (c.Flag("all")) {
        if (c.Flag("port"))
            throw UsageError{QStringLiteral("--port and --all exclude each other")};
        for (int p = 1; action == Action::Apply && p <= 16; ++p)
            RefuseFixedLineSetting(c, p, wanted.modeIndex,
                                   QStringLiteral("the profile's line setting"));
        return All(c, wanted, action);
    }
    return Single(c, &wanted, action, [&](ReaderRun& r) { Report(c, r, action); });
}

} // namespace

int ConfigRead(Context& c)
{
    const int type = ResolveType(c);
    const QString output = c.p.value(QStringLiteral("output"));
    if (c.Flag("output"))
        CheckFolderFor(QStringLiteral("output"), output);
    return Single(c, nullptr, Action::Diff, [&](ReaderRun& r) {
        if (!r.scan.complete) {
            c.out.Failure(c.Name(), QStringLiteral("reader data error on COM%1").arg(r.port),
                          r.scan.reached ? QStringLiteral("the settings were not read")
                                         : QStringLiteral("the version was not answered"));
            r.exit = kExitReader;
            return;
        }
        const profile::Profile p = profile::FromScan(r.scan, type, QDateTime::currentDateTimeUtc());
        const QByteArray text = profile::ToJson(p);
        // A setting the reader left unanswered would make a file no apply takes.
        if (const profile::Parsed check = profile::Parse(text); check.refusal) {
            c.out.Failure(c.Name(),
                          QStringLiteral("COM%1 did not answer every setting").arg(r.port),
                          check.refusal->message);
            r.exit = kExitReader;
            return;
        }
        if (c.Flag("output")) {
            // Replaced whole or not at all: a failed write keeps the old file.
            QString error;
            if (!SaveFileAtomically(output, text, &error)) {
                c.out.Failure(c.Name(), QStringLiteral("cannot write ") + error);
                r.exit = kExitUsage;
                return;
            }
            c.out.Result(QStringLiteral("COM%1 %2").arg(r.port).arg(output),
                         {{"port", PortJson(r.port)}, {"output", output}});
            return;
        }
        if (c.out.json) {
            c.out.Result({}, QJsonDocument::fromJson(text).object());
            return;
        }
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
        std::fflush(stdout);
    });
}

int ConfigApply(Context& c)
{
    if (c.Flag("check"))
        return ApplyOrCompare(c, Action::Check);
    return ApplyOrCompare(c, Action::Apply);
}

int ConfigDiff(Context& c)
{
    return ApplyOrCompare(c, Action::Diff);
}

} // namespace cli
