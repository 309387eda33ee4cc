#include "issue.h"

#include <QElapsedTimer>

#include <map>

#include "blocks.h"
#include "link/answers.h"
#include "link/interrupt.h"
#include "link/payload.h"
#include "reader/configuration.h"
#include "valueblock.h"

namespace mifare {

namespace {

constexpr int kIssueBlockAnswer = 42;
constexpr int kPollPeriodMs = 333; // about three polls a second
constexpr char kAuthFailed[] = "03";

bool BlockRead(const CommandLink& link, bool exchanged)
{
    return link::StatusAccepted(exchanged, link.LastResponse(), link.ResponseLength(),
                                kIssueBlockAnswer);
}

bool AuthFailed(const CommandLink& link, bool exchanged)
{
    return exchanged && link.LastResponse().substr(5, 2) == kAuthFailed;
}

QString ReadData(const CommandLink& link)
{
    return link::PayloadText(link.LastResponse().substr(7, 32));
}

QString ReadCommand(bool keyB, int block)
{
    return QStringLiteral("h") + (keyB ? QStringLiteral("61") : QStringLiteral("60")) + Hex2(block);
}

// Whether a block read back holds what was written: every byte both know.
bool SameKnownBytes(const CardImage& written, const QString& readHex, int block)
{
    const auto read = ParseBlockHex(readHex);
    if (!read)
        return false;
    const bool trailer =
        block == FirstBlock(SectorOfBlock(block)) + BlocksInSector(SectorOfBlock(block)) - 1;
    for (int i = 0; i < 16; ++i) {
        // Key A never reads back; key B only where the conditions let it.
        if (trailer && (i < 6 || i >= 10))
            continue;
        const auto w = written.Byte(block, i);
        if (w && (*read)[size_t(i)] != *w)
            return false;
    }
    return true;
}

QString IssueBlockList(const QList<int>& blocks)
{
    QStringList numbers;
    for (int b : blocks)
        numbers << QString::number(b);
    return numbers.isEmpty() ? QStringLiteral("none") : numbers.join(QLatin1Char(' '));
}

// The log's result and detail of a card: what was written, and how it ended.
std::pair<QString, QString> Judge(const IssueResult& r, const QString& backup, bool stopped)
{
    using K = WriteStep::Kind;
    QList<int> written;
    QStringList notWritten;
    for (const WriteStep& s : r.write.steps) {
        if (s.kind == K::Written)
            written << s.block;
        if (s.kind == K::Skipped || s.kind == K::Failed)
            notWritten << QStringLiteral("%1 (%2)").arg(s.block).arg(s.reason);
    }
    QString detail = QStringLiteral("written %1").arg(IssueBlockList(written));
    if (!notWritten.isEmpty())
        detail += QStringLiteral("; not written ") + notWritten.join(QStringLiteral(", "));
    if (!r.unverified.isEmpty())
        detail += QStringLiteral("; not read back as written %1").arg(IssueBlockList(r.unverified));
    if (!backup.isEmpty())
        detail += QStringLiteral("; backup ") + backup;
    if (r.Issued())
        return {QStringLiteral("issued"), detail + QStringLiteral("; verified")};
    stopped = stopped || r.write.end == RunEnd::Stopped || r.write.end == RunEnd::Cancelled;
    if (r.write.end == RunEnd::CardGone || (r.write.end == RunEnd::Done && !r.verified && !stopped))
        return {QStringLiteral("incomplete"), detail + QStringLiteral("; the card went away")};
    if (stopped)
        return {QStringLiteral("stopped"), detail};
    return {QStringLiteral("failed"),
            detail + QStringLiteral("; ") + QLatin1String(RunEndText(r.write.end))};
}

} // namespace

std::optional<QString> CardWatch::Poll(CommandLink& link, const Addressee& to)
{
    if (keys_.isEmpty())
        return std::nullopt;
    if (!on_) {
        link.Pause(reader::kCommandPauseMs);
        if (!reader::Identify(link, to) || !reader::Send(link, to, QStringLiteral("b01")))
            return std::nullopt;
        on_ = true;
        loaded_ = -1;
    }
    for (int tried = 0; tried < keys_.size(); ++tried) {
        const int k = (key_ + tried) % int(keys_.size());
        if (loaded_ != k) {
            if (!reader::Send(link, to, QStringLiteral("f") + keys_[k])) {
                on_ = false;
                return std::nullopt;
            }
            loaded_ = k;
        }
        const bool exchanged = reader::Send(link, to, ReadCommand(false, 0));
        if (BlockRead(link, exchanged)) {
            key_ = k;
            return ReadData(link);
        }
        if (!AuthFailed(link, exchanged)) {
            // No card, or no answer: nothing to try other keys on.
            on_ = on_ && exchanged;
            return std::nullopt;
        }
    }
    return std::nullopt;
}

void CardWatch::Release(CommandLink& link, const Addressee& to)
{
    if (on_)
        reader::Send(link, to, QStringLiteral("b00"));
    on_ = false;
}

QString UidOfBlock0(const QString& block0)
{
    return block0.left(8).toUpper();
}

CardImage WithNumber(const CardImage& image, int block, int32_t number)
{
    CardImage numbered = image;
    numbered.SetBlock(block, EncodeValueBlock(number, uint8_t(block)));
    return numbered;
}

bool IssueResult::Issued() const
{
    return write.end == RunEnd::Done && verified && unverified.isEmpty() &&
           write.Count(WriteStep::Kind::Failed) == 0 && write.Count(WriteStep::Kind::Skipped) == 0;
}

IssueResult IssueCard(CommandLink& link, const Addressee& to, const CardImage& source,
                      const WriteOptions& options, const Backup& backup, CardProgress& progress)
{
    IssueResult r;
    r.write = WriteCard(link, to, source, options, backup, progress);
    if (r.write.end != RunEnd::Done)
        return r;
    std::map<int, QList<int>> written; // by sector
    for (const WriteStep& s : r.write.steps)
        if (s.kind == WriteStep::Kind::Written)
            written[SectorOfBlock(s.block)].append(s.block);
    link.Pause(reader::kCommandPauseMs);
    if (!reader::Identify(link, to))
        return r;
    reader::Send(link, to, QStringLiteral("b01"));
    bool reached = true;
    for (const auto& [sector, blocks] : written) {
        // The image's own keys are the card's now, where its trailer went.
        QList<std::pair<bool, QString>> keys;
        if (const auto a = source.KeyA(sector))
            keys.append({false, *a});
        if (const auto b = source.KeyB(sector))
            keys.append({true, *b});
        for (const QString& k : options.keys)
            keys.append({false, k});
        QList<int> left = blocks;
        for (const auto& [keyB, key] : keys) {
            if (left.isEmpty() || progress.Cancelled())
                break;
            if (!reader::Send(link, to, QStringLiteral("f") + key)) {
                reached = false;
                break;
            }
            QList<int> next;
            for (int block : left) {
                const bool exchanged = reader::Send(link, to, ReadCommand(keyB, block));
                if (BlockRead(link, exchanged)) {
                    if (!SameKnownBytes(source, ReadData(link), block))
                        r.unverified.append(block);
                } else if (AuthFailed(link, exchanged)) {
                    next.append(block); // another key may read it
                } else {
                    reached = false;
                    break;
                }
            }
            if (!reached)
                break;
            left = next;
        }
        r.unverified += left;
        if (!reached)
            break;
    }
    reader::Send(link, to, QStringLiteral("b00"));
    r.verified = reached;
    return r;
}

void IssueBatch::Resume(const QList<QStringList>& rows)
{
    for (const QStringList& row : rows) {
        last = std::max(last, row[0].toInt());
        if (row[4] != QLatin1String("issued"))
            continue;
        issued.insert(row[2]);
        if (numberBlock && !row[3].isEmpty())
            next = std::max<int64_t>(next, row[3].toLongLong() + 1);
    }
}

BatchEnd RunIssueBatch(CommandLink& link, const Addressee& to, IssueBatch& batch,
                       const IssueHooks& hooks, CardProgress& progress)
{
    BatchEnd end;
    CardWatch watch(batch.options.keys);
    QElapsedTimer poll;
    const auto stopped = [&] { return link::StopRequested() || (hooks.stop && hooks.stop()); };
    const auto waitPeriod = [&] {
        link.Pause(int(std::max<qint64>(0, kPollPeriodMs - poll.elapsed())));
    };
    // Until the card in the field has gone.
    const auto waitGone = [&] {
        if (hooks.waiting)
            hooks.waiting(false);
        while (!stopped()) {
            poll.start();
            if (!watch.Poll(link, to))
                break;
            waitPeriod();
        }
    };
    while (!stopped() && !(batch.count && end.issued >= *batch.count)) {
        if (hooks.waiting)
            hooks.waiting(true);
        poll.start();
        const auto block0 = watch.Poll(link, to);
        if (!block0) {
            waitPeriod();
            continue;
        }
        const QString uid = UidOfBlock0(*block0);
        if (batch.issued.contains(uid) && !batch.again) {
            if (hooks.repeat)
                hooks.repeat(uid);
            waitGone();
            continue;
        }
        watch.Release(link, to);
        const CardImage image =
            batch.numberBlock ? WithNumber(batch.source, *batch.numberBlock, int32_t(batch.next))
                              : batch.source;
        QString backup, backupError;
        const Backup save = [&](const CardImage& target) {
            const auto path = hooks.backup(target, &backupError);
            backup = path.value_or(QString());
            return path.has_value();
        };
        const IssueResult r = IssueCard(link, to, image, batch.options, save, progress);
        auto [result, detail] = Judge(r, backup, stopped());
        if (r.write.end == RunEnd::NoBackup)
            detail += QStringLiteral(": ") + backupError;
        const bool ok = result == QLatin1String("issued");
        const QStringList row{QString::number(++batch.last),
                              hooks.now(),
                              uid,
                              ok && batch.numberBlock ? QString::number(batch.next) : QString(),
                              result,
                              detail};
        if (!hooks.log(row, &end.logError))
            break;
        if (ok) {
            ++end.issued;
            ++batch.next;
            batch.issued.insert(uid);
        } else {
            ++end.failed;
        }
        if (hooks.done)
            hooks.done(row, ok);
        if (stopped())
            break;
        waitGone();
    }
    watch.Release(link, to);
    return end;
}

} // namespace mifare
