// mifare issue: one card image onto card after card, each logged, numbered
// and verified.
#include <QJsonObject>

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

QString SectorList(const QList<int>& sectors)
{
    QStringList numbers;
    for (int s : sectors)
        numbers << QString::number(s);
    return numbers.join(QStringLiteral(", "));
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

} // namespace

int MifareIssue(Context& c)
{
    const mifare::CardImage source = Load(c.args[0], std::nullopt);
    const QString logPath = c.p.value(QStringLiteral("log"));
    if (logPath.isEmpty())
        throw UsageError{QStringLiteral("--log FILE is required")};
    const auto place = NumberOption(c, source);
    const auto count = c.Int("count", 1, 1000000000);
    const mifare::WriteOptions options{Keys(c), c.Flag("allow-permanent"), Size(c)};
    // Asked once for the whole batch, before any card.
    if (const QList<int> fixed = mifare::SectorsFixedForGood(source);
        !fixed.isEmpty() && !options.allowPermanent)
        throw UsageError{QStringLiteral("the template would fix sector(s) %1 for good on every "
                                        "card: give --allow-permanent to write them")
                             .arg(SectorList(fixed))};
    QString error, notice;
    if (!BackupFolder(&error, &notice))
        throw UsageError{error};
    mifare::IssueBatch batch;
    batch.source = source;
    batch.options = options;
    if (place) {
        batch.numberBlock = place->block;
        batch.next = place->start;
    }
    batch.count = count;
    batch.again = c.Flag("again");
    // A resumed log, read row by row: its issued cards are done, and every
    // number it holds is used.
    CsvList log;
    if (!log.Open(
            logPath, {QLatin1String(mifare::kIssueLogHeader), mifare::WholeIssueRow},
            [&](const QStringList& row, int, QString* why) { return batch.AddRow(row, why); },
            &error))
        throw UsageError{error};
    if (const QString refusal = batch.NumberRefusal(); !refusal.isEmpty())
        throw UsageError{QStringLiteral("--number: %1 (nothing was written)").arg(refusal)};
    if (!log.Repair().isEmpty())
        c.out.Note(log.Repair(), {{"verb", c.Name()}, {"notice", log.Repair()}});
    for (const QStringList& row : batch.interrupted)
        c.out.Note(QStringLiteral("%1: row %2: %3 was being written when a run ended: logged as "
                                  "incomplete%4")
                       .arg(logPath, row[0], row[2],
                            row[3].isEmpty() ? QString()
                                             : QStringLiteral(", its number %1 used").arg(row[3])),
                   {{"verb", c.Name()}, {"interrupted", row[0].toInt()}, {"uid", row[2]}});
    if (!notice.isEmpty())
        c.out.Note(notice, {{"verb", c.Name()}, {"notice", notice}});

    mifare::IssueHooks hooks;
    hooks.backup = [](const mifare::CardImage& target, QString* error) {
        return SaveBackup(mifare::BackupStem(target), QStringLiteral("json"),
                          mifare::WriteDump(target, mifare::DumpFormat::Json), error);
    };
    hooks.log = [&](const QStringList& row, QString* error) { return log.Append(row, error); };
    hooks.now = CsvTime;
    hooks.waiting = [&](bool forCard) {
        c.out.Progress(QStringLiteral("%1: %2").arg(
            c.Name(), QLatin1String(forCard ? "waiting for a card" : "take the card away")));
    };
    hooks.repeat = [&](const QString& uid) {
        c.out.Result(QStringLiteral("%1 is in the log already: left alone").arg(uid),
                     {{"verb", c.Name()}, {"uid", uid}, {"result", "repeat"}});
    };
    hooks.done = [&](const QStringList& row, bool) {
        QJsonObject object{{"verb", c.Name()},
                           {"n", row[0].toInt()},
                           {"uid", row[2]},
                           {"result", row[4]},
                           {"detail", row[5]}};
        if (!row[3].isEmpty())
            object.insert("number", row[3].toLongLong());
        c.out.Result(QStringLiteral("%1 %2 %3%4: %5")
                         .arg(row[0], row[2], row[4],
                              row[3].isEmpty() ? QString() : QStringLiteral(" number ") + row[3],
                              row[5]),
                     object);
        Bell();
    };
    mifare::BatchEnd end;
    IssueProgress progress(c);
    const int code = WithReader(c, [&](link::Link& l, const Addressee& to) {
        // A new log is made only now that the reader answered.
        if (!log.Exists() && !ReaderAnswered(c, l, to))
            return false;
        if (!log.Create(&error))
            throw UsageError{error};
        end = mifare::RunIssueBatch(l, to, batch, hooks, progress);
        return true;
    });
    // The log, not the reader, refused: said as such.
    if (!end.logError.isEmpty()) {
        c.out.Failure(c.Name(), QStringLiteral("cannot write the log"), end.logError);
        return kExitReader;
    }
    if (code != kExitOk)
        return code;
    QJsonObject summary{
        {"verb", c.Name()}, {"issued", end.issued}, {"failed", end.failed}, {"log", logPath}};
    QString plain = QStringLiteral("%1 card(s) issued, %2 not, logged in %3")
                        .arg(end.issued)
                        .arg(end.failed)
                        .arg(logPath);
    if (end.numbersUsedUp) {
        summary.insert("numbersUsedUp", true);
        plain += QStringLiteral("; the numbers are used up (the next would pass %1)")
                     .arg(mifare::kLargestNumber);
    }
    c.out.Result(plain, summary);
    if (link::StopRequested())
        return Interrupted(c);
    return end.failed > 0 ? kExitReader : kExitOk;
}

} // namespace cli
