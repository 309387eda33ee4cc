// mifare issue: one card image onto card after card, each logged, numbered
// and verified.
#include <QElapsedTimer>
#include <QJsonObject>
#include <QSet>

#include <cstdio>
#include <unistd.h>

#include "cardoptions.h"
#include "cli.h"
#include "link/interrupt.h"
#include "mifare/issue.h"
#include "store/csvlog.h"
#include "store/statefolder.h"
#include "verb.h"

namespace cli {

namespace {

constexpr char kIssueHeader[] = "n,time,uid,number,result,detail";
constexpr int kPollPeriodMs = 333; // about three polls a second

struct NumberPlace
{
    int block = 0;
    qint64 start = 0;
};

// --number SECTOR:BLOCK:START: a data block of the template's card.
std::optional<NumberPlace> NumberOption(const Context& c, const mifare::CardImage& image)
{
    if (!c.Flag("number"))
        return std::nullopt;
    const QString text = c.p.value(QStringLiteral("number"));
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != 3)
        throw UsageError{QStringLiteral("--number takes SECTOR:BLOCK:START, not \"%1\"").arg(text)};
    const int sector =
        Context::Number(parts[0], QStringLiteral("--number's sector"), 0, image.Sectors() - 1);
    const int last = mifare::BlocksInSector(sector) - 2; // the trailer is no place for it
    const int block =
        Context::Number(parts[1], QStringLiteral("--number's block"), sector == 0 ? 1 : 0, last);
    bool ok = false;
    const qint64 start = parts[2].toLongLong(&ok);
    if (!ok || start < 0 || start > INT32_MAX)
        throw UsageError{QStringLiteral("--number's START takes 0 to %1, not \"%2\"")
                             .arg(INT32_MAX)
                             .arg(parts[2])};
    return NumberPlace{mifare::FirstBlock(sector) + block, start};
}

QString BlockList(const QList<int>& blocks)
{
    QStringList numbers;
    for (int b : blocks)
        numbers << QString::number(b);
    return numbers.isEmpty() ? QStringLiteral("none") : numbers.join(QLatin1Char(' '));
}

// A terminal's bell, as the reader's own beep cannot be asked for.
void Bell()
{
    if (::isatty(STDERR_FILENO))
        std::fputs("\a", stderr);
}

class IssueProgress final : public mifare::CardProgress
{
public:
    explicit IssueProgress(Context& c) : c_(c) {}
    void Position(const mifare::RunPosition& at) override
    {
        c_.out.Progress(at.done == at.total
                            ? QString()
                            : QStringLiteral("%1: %2sector %3 of %4")
                                  .arg(c_.Name(), QLatin1String(at.writing ? "writing " : ""))
                                  .arg(at.sector + 1)
                                  .arg(at.sectors));
    }

private:
    Context& c_;
};

struct Outcome
{
    QString result; // issued, incomplete, stopped, failed
    QString detail;
};

Outcome Judge(const mifare::IssueResult& r, const QString& backup)
{
    using K = mifare::WriteStep::Kind;
    using mifare::RunEnd;
    QList<int> written;
    QStringList notWritten;
    for (const mifare::WriteStep& s : r.write.steps) {
        if (s.kind == K::Written)
            written << s.block;
        if (s.kind == K::Skipped || s.kind == K::Failed)
            notWritten << QStringLiteral("%1 (%2)").arg(s.block).arg(s.reason);
    }
    QString detail = QStringLiteral("written %1").arg(BlockList(written));
    if (!notWritten.isEmpty())
        detail += QStringLiteral("; not written ") + notWritten.join(QStringLiteral(", "));
    if (!r.unverified.isEmpty())
        detail += QStringLiteral("; not read back as written %1").arg(BlockList(r.unverified));
    if (!backup.isEmpty())
        detail += QStringLiteral("; backup ") + backup;
    if (r.Issued())
        return {QStringLiteral("issued"), detail + QStringLiteral("; verified")};
    if (r.write.end == RunEnd::CardGone ||
        (r.write.end == RunEnd::Done && !r.verified && !link::StopRequested()))
        return {QStringLiteral("incomplete"), detail + QStringLiteral("; the card went away")};
    if (r.write.end == RunEnd::Stopped || link::StopRequested())
        return {QStringLiteral("stopped"), detail};
    return {QStringLiteral("failed"),
            detail + QStringLiteral("; ") + QLatin1String(mifare::RunEndText(r.write.end))};
}

} // namespace

int MifareIssue(Context& c)
{
    const mifare::CardImage source = Load(c.args[0], std::nullopt);
    const QString logPath = c.p.value(QStringLiteral("log"));
    if (logPath.isEmpty())
        throw UsageError{QStringLiteral("--log FILE is required")};
    const auto count = c.Int("count", 1, 1000000000);
    const auto place = NumberOption(c, source);
    const bool again = c.Flag("again");
    const mifare::WriteOptions options{Keys(c), c.Flag("allow-permanent"), Size(c)};
    // Asked once for the whole batch, before any card.
    if (const QList<int> fixed = mifare::SectorsFixedForGood(source);
        !fixed.isEmpty() && !options.allowPermanent)
        throw UsageError{QStringLiteral("the template would fix sector(s) %1 for good on every "
                                        "card: give --allow-permanent to write them")
                             .arg(BlockList(fixed))};
    QString error, notice;
    if (!BackupFolder(&error, &notice))
        throw UsageError{error};
    CsvList log;
    if (!log.Open(logPath, QLatin1String(kIssueHeader), &error))
        throw UsageError{error};
    // A resumed log: its issued cards are done, and their numbers used.
    QSet<QString> done;
    int last = 0;
    qint64 next = place ? place->start : 0;
    for (const QStringList& row : log.Rows()) {
        last = std::max(last, row[0].toInt());
        if (row[4] == QLatin1String("issued")) {
            done.insert(row[2]);
            if (place && !row[3].isEmpty())
                next = std::max(next, row[3].toLongLong() + 1);
        }
    }
    if (!notice.isEmpty())
        c.out.Note(notice, {{"verb", c.Name()}, {"notice", notice}});

    int issued = 0, failed = 0;
    IssueProgress progress(c);
    const int code = WithReader(c, [&](link::Link& l, const Addressee& to) {
        mifare::CardWatch watch(options.keys);
        QElapsedTimer poll;
        // Until the card in the field has gone.
        const auto waitGone = [&] {
            c.out.Progress(QStringLiteral("%1: take the card away").arg(c.Name()));
            while (!link::StopRequested()) {
                poll.start();
                if (!watch.Poll(l, to))
                    break;
                l.Pause(int(std::max<qint64>(0, kPollPeriodMs - poll.elapsed())));
            }
            c.out.Progress(QString());
        };
        while (!link::StopRequested() && !(count && issued >= *count)) {
            c.out.Progress(QStringLiteral("%1: waiting for a card").arg(c.Name()));
            poll.start();
            const auto block0 = watch.Poll(l, to);
            if (!block0) {
                l.Pause(int(std::max<qint64>(0, kPollPeriodMs - poll.elapsed())));
                continue;
            }
            const QString uid = mifare::UidOfBlock0(*block0);
            if (done.contains(uid) && !again) {
                c.out.Result(QStringLiteral("%1 is in the log already: left alone").arg(uid),
                             {{"verb", c.Name()}, {"uid", uid}, {"result", "repeat"}});
                waitGone();
                continue;
            }
            watch.Release(l, to);
            const mifare::CardImage image =
                place ? mifare::WithNumber(source, place->block, int32_t(next)) : source;
            QString backup, backupError;
            const mifare::Backup save = [&](const mifare::CardImage& target) {
                const auto path =
                    SaveBackup(mifare::BackupStem(target), QStringLiteral("json"),
                               mifare::WriteDump(target, mifare::DumpFormat::Json), &backupError);
                backup = path.value_or(QString());
                return path.has_value();
            };
            const mifare::IssueResult r = mifare::IssueCard(l, to, image, options, save, progress);
            Outcome o = Judge(r, backup);
            if (r.write.end == mifare::RunEnd::NoBackup)
                o.detail += QStringLiteral(": ") + backupError;
            const bool ok = o.result == QLatin1String("issued");
            const QString number = ok && place ? QString::number(next) : QString();
            const QStringList row{
                QString::number(++last), CsvTime(), uid, number, o.result, o.detail};
            QString logError;
            if (!log.Append(row, &logError)) {
                c.refusal = logError;
                return false;
            }
            QJsonObject object{{"verb", c.Name()},
                               {"n", last},
                               {"uid", uid},
                               {"result", o.result},
                               {"detail", o.detail}};
            if (!number.isEmpty())
                object.insert("number", number.toLongLong());
            c.out.Result(
                QStringLiteral("%1 %2 %3%4: %5")
                    .arg(last)
                    .arg(uid, o.result,
                         number.isEmpty() ? QString() : QStringLiteral(" number ") + number,
                         o.detail),
                object);
            Bell();
            if (ok) {
                ++issued;
                ++next;
                done.insert(uid);
            } else {
                ++failed;
            }
            if (r.write.end == mifare::RunEnd::Stopped || link::StopRequested())
                break;
            waitGone();
        }
        watch.Release(l, to);
        return true;
    });
    if (code != kExitOk)
        return code;
    c.out.Result(QStringLiteral("%1 card(s) issued, %2 not, logged in %3")
                     .arg(issued)
                     .arg(failed)
                     .arg(logPath),
                 {{"verb", c.Name()}, {"issued", issued}, {"failed", failed}, {"log", logPath}});
    if (link::StopRequested())
        return Interrupted(c);
    return failed > 0 ? kExitReader : kExitOk;
}

} // namespace cli
