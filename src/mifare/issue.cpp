#include "issue.h"

#include <QElapsedTimer>

#include <map>

#include "blocks.h"
#include "link/answers.h"
#include "link/interrupt.h"
#include "link/payload.h"
#include "readback.h"
#include "reader/configuration.h"
#include "reader/enrollment.h"
#include "session.h"
#include "valueblock.h"

namespace mifare {

namespace {

constexpr int kPollPeriodMs = 333; // about three polls a second
constexpr char kAuthFailed[] = "03";
constexpr char kForbidden[] = "04";

bool BlockRead(const CommandLink& link, bool exchanged)
{
    return link::StatusAccepted(exchanged, link.LastResponse(), link.ResponseLength(),
                                kBlockAnswerLength);
}

bool StatusIs(const CommandLink& link, bool exchanged, const char* status)
{
    return exchanged && link.ResponseLength() == kBlockAnswerLength &&
           link.LastResponse().compare(kStatusOffset, 2, status) == 0;
}

QString ReadData(const CommandLink& link)
{
    return link::PayloadText(link.LastResponse().substr(kDataOffset, kDataDigits));
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
    const bool trailer = block == TrailerBlock(SectorOfBlock(block));
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

// A log row's result, and how its detail ends: the last words of a whole row,
// and the run's end that writes them, where one does.
struct Ending
{
    const char* result;
    const char* words;
    std::optional<RunEnd> end;
};
constexpr char kWriting[] = "writing";
constexpr char kInterrupted[] = "the run ended while it was written";
constexpr Ending kEndings[] = {
    {"issued", "verified", {}},
    {"incomplete", "the card went away", RunEnd::CardGone},
    {"incomplete", "another card came", RunEnd::CardChanged},
    {"incomplete", kInterrupted, {}},
    {"stopped", "stopped", RunEnd::Stopped},
    {"failed", "not read back as written", {}},
    {"failed", "not all written", {}},
    {"failed", "no reader", RunEnd::NoReader},
    {"failed", "write failed", RunEnd::WriteFailed},
    {"failed", "no backup", RunEnd::NoBackup},
    {"failed", "card size unknown", RunEnd::SizeUnknown},
    {"failed", "card size differs", RunEnd::SizeMismatch},
    {kWriting, kWriting, {}},
};

// The log's result and ending of a card: what was written, and how it ended.
std::pair<const char*, const char*> Outcome(const IssueResult& r)
{
    if (r.Issued())
        return {"issued", "verified"};
    RunEnd end = r.write.end != RunEnd::Done ? r.write.end : r.readBack;
    if (end == RunEnd::Done)
        return {"failed", r.unverified.isEmpty() ? "not all written" : "not read back as written"};
    // Cancel and a signal are one stop to the log.
    if (end == RunEnd::Cancelled)
        end = RunEnd::Stopped;
    for (const Ending& e : kEndings)
        if (e.end == end)
            return {e.result, e.words};
    return {"failed", RunEndText(end)};
}

// The detail: the blocks written and not, the backup, and the ending last.
QString Detail(const IssueResult& r, const QString& backup, const QString& backupError,
               const char* ending)
{
    using K = WriteStep::Kind;
    QList<int> written, unsure;
    QStringList notWritten;
    for (qsizetype i = 0; i < r.write.steps.size(); ++i) {
        const WriteStep& s = r.write.steps[i];
        // Written after block 0 last showed this card, where another came:
        // on this card or on that one.
        if (s.kind == K::Written)
            (i >= r.write.confirmed && !r.otherUid.isEmpty() ? unsure : written) << s.block;
        if (s.kind == K::Skipped || s.kind == K::Failed)
            notWritten << QStringLiteral("%1 (%2)").arg(s.block).arg(s.reason);
    }
    QStringList parts{QStringLiteral("written %1").arg(IssueBlockList(written))};
    if (!notWritten.isEmpty())
        parts << QStringLiteral("not written ") + notWritten.join(QStringLiteral(", "));
    if (!r.unverified.isEmpty())
        parts << QStringLiteral("not read back as written %1").arg(IssueBlockList(r.unverified));
    if (!r.otherUid.isEmpty())
        parts << QStringLiteral("then %1 on the reader").arg(r.otherUid) +
                     (unsure.isEmpty() ? QString()
                                       : QStringLiteral(", which may have taken %1 instead")
                                             .arg(IssueBlockList(unsure)));
    if (!backup.isEmpty())
        parts << QStringLiteral("backup ") + backup;
    if (!backupError.isEmpty())
        parts << QStringLiteral("backup not saved (%1)").arg(backupError);
    parts << QLatin1String(ending);
    return parts.join(QStringLiteral("; "));
}

// Whether the number went onto the card, or may have: its block was written,
// sent without an answer, or held it already.
bool NumberUsed(const IssueResult& r, int block)
{
    using K = WriteStep::Kind;
    for (const WriteStep& s : r.write.steps)
        if (s.block == block &&
            (s.kind == K::Written || s.kind == K::Failed || s.kind == K::Unchanged))
            return true;
    return false;
}

// Forwards what a card's run shows, but never cancels it half way: a batch
// stops between two cards.
class WholeCardOnly final : public CardProgress
{
public:
    explicit WholeCardOnly(CardProgress& to) : to_(to) {}
    void SectorRead(const SectorReport& r) override { to_.SectorRead(r); }
    void BlockDone(const WriteStep& s) override { to_.BlockDone(s); }
    void Position(const RunPosition& at) override { to_.Position(at); }
    bool Cancelled() override { return false; }

private:
    CardProgress& to_;
};

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
        bool exchanged = reader::Send(link, to, ReadCommand(false, 0));
        // Block 0 that only key B may read (an issued card's own conditions).
        if (StatusIs(link, exchanged, kForbidden))
            exchanged = reader::Send(link, to, ReadCommand(true, 0));
        if (BlockRead(link, exchanged)) {
            key_ = k;
            return ReadData(link);
        }
        if (!StatusIs(link, exchanged, kAuthFailed) && !StatusIs(link, exchanged, kForbidden)) {
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
    r.otherUid = r.write.otherUid;
    if (r.write.end != RunEnd::Done)
        return r;
    std::map<int, QList<int>> written; // by sector
    for (const WriteStep& s : r.write.steps)
        if (s.kind == WriteStep::Kind::Written)
            written[SectorOfBlock(s.block)].append(s.block);

    Session s(link, to, progress, false);
    const QStringList& keys = options.keys;
    // The card's UID, before and after: every block read between is this card's.
    const auto sameCard = [&] {
        return !options.uid || SameCard(s, *options.uid, source, r.write.steps,
                                        r.write.target.image, keys, &r.otherUid);
    };
    if (s.Begin() && sameCard()) {
        r.write.confirmed = r.write.steps.size();
        for (const auto& [sector, blocks] : written) {
            const InForce f =
                TrailerInForce(sector, source, r.write.steps, r.write.target.image, keys);
            for (int block : blocks) {
                const auto data = ReadInForce(s, block, f);
                if (s.Over())
                    break;
                if (!data || !SameKnownBytes(source, *data, block))
                    r.unverified.append(block);
            }
            if (s.Over())
                break;
        }
        if (!s.Over())
            sameCard();
    }
    r.readBack = s.end;
    r.verified = s.end == RunEnd::Done;
    s.Finish();
    return r;
}

bool WholeIssueRow(const QStringList& row)
{
    if (row.size() != 6)
        return false;
    for (const Ending& e : kEndings)
        if (row[4] == QLatin1String(e.result) &&
            (row[5] == QLatin1String(e.words) ||
             row[5].endsWith(QStringLiteral("; ") + QLatin1String(e.words))))
            return true;
    return false;
}

bool IssueBatch::AddRow(const QStringList& row, QString* error)
{
    const auto rowNumber = reader::RowNumber(row[0], error);
    if (!rowNumber)
        return false;
    const int n = *rowNumber;
    bool ok = false;
    qint64 number = -1;
    if (!row[3].isEmpty()) {
        number = row[3].toLongLong(&ok);
        if (!ok || number < 0) {
            *error = QStringLiteral("\"%1\" is no number").arg(row[3]);
            return false;
        }
    }
    last = std::max(last, n);
    // A card's end row follows its "writing" row with the same n.
    interrupted.removeIf([n](const QStringList& r) { return r[0].toInt() == n; });
    if (row[4] == QLatin1String(kWriting))
        interrupted << row;
    if (row[4] == QLatin1String("issued"))
        issued.insert(row[2]);
    // Every number a row holds is on a card, or may be: never given again.
    if (numberBlock && number >= 0)
        next = std::max<int64_t>(next, number + 1);
    return true;
}

QString IssueBatch::NumberRefusal() const
{
    if (!numberBlock)
        return {};
    const int64_t lastNumber = next + (count ? *count - 1 : 0);
    if (lastNumber <= kLargestNumber)
        return {};
    return count && next <= kLargestNumber
               ? QStringLiteral("%1 cards numbered from %2 would pass %3, the largest number a "
                                "value block holds")
                     .arg(*count)
                     .arg(next)
                     .arg(kLargestNumber)
               : QStringLiteral("the next number, %1, would pass %2, the largest number a value "
                                "block holds")
                     .arg(next)
                     .arg(kLargestNumber);
}

BatchEnd RunIssueBatch(CommandLink& link, const Addressee& to, IssueBatch& batch,
                       const IssueHooks& hooks, CardProgress& shown)
{
    BatchEnd end;
    WholeCardOnly progress(shown);
    // The cards a run stopped in get their end rows first: incomplete, their number used.
    for (QStringList row : std::as_const(batch.interrupted)) {
        QString detail = row[5];
        detail.chop(int(qstrlen(kWriting)));
        row[1] = hooks.now();
        row[4] = QStringLiteral("incomplete");
        row[5] = detail + QLatin1String(kInterrupted);
        if (!hooks.log(row, &end.logError))
            return end;
    }
    batch.interrupted.clear();

    CardWatch watch(batch.options.keys);
    QElapsedTimer poll;
    const auto stopped = [&] { return link::StopRequested() || (hooks.stop && hooks.stop()); };
    const auto waitPeriod = [&] {
        link.Pause(int(std::max<qint64>(0, kPollPeriodMs - poll.elapsed())));
    };
    std::optional<QString> seen; // block 0 of a card found while another was waited out
    // Until the card `uid` has left; another card seen meanwhile is the next one.
    const auto waitGone = [&](const QString& uid) {
        if (hooks.waiting)
            hooks.waiting(false);
        while (!stopped()) {
            poll.start();
            const auto block0 = watch.Poll(link, to);
            if (!block0)
                break;
            if (UidOfBlock0(*block0) != uid) {
                seen = block0;
                break;
            }
            waitPeriod();
        }
    };
    while (!stopped() && !(batch.count && end.issued >= *batch.count)) {
        if (batch.numberBlock && batch.next > kLargestNumber) {
            end.numbersUsedUp = true;
            break;
        }
        std::optional<QString> block0 = std::exchange(seen, std::nullopt);
        if (!block0) {
            if (hooks.waiting)
                hooks.waiting(true);
            poll.start();
            block0 = watch.Poll(link, to);
        }
        if (!block0) {
            waitPeriod();
            continue;
        }
        const QString uid = UidOfBlock0(*block0);
        if (batch.issued.contains(uid) && !batch.again) {
            if (hooks.repeat)
                hooks.repeat(uid);
            waitGone(uid);
            continue;
        }
        watch.Release(link, to);
        const int32_t number = int32_t(batch.next);
        const CardImage image =
            batch.numberBlock ? WithNumber(batch.source, *batch.numberBlock, number) : batch.source;
        WriteOptions options = batch.options;
        options.uid = uid;
        QString backup, backupError;
        int n = 0;
        // The backup, then the card's "writing" row: both before its first write.
        const Backup save = [&](const CardImage& target) {
            const auto path = hooks.backup(target, &backupError);
            if (!path)
                return false;
            backup = *path;
            n = ++batch.last;
            const QString numberText = batch.numberBlock ? QString::number(number) : QString();
            return hooks.log({QString::number(n), hooks.now(), uid, numberText, kWriting,
                              QStringLiteral("backup %1; %2").arg(backup, kWriting)},
                             &end.logError);
        };
        const IssueResult r = IssueCard(link, to, image, options, save, progress);
        if (!end.logError.isEmpty())
            break;
        const auto [result, ending] = Outcome(r);
        const bool ok = r.Issued();
        const bool used = batch.numberBlock && NumberUsed(r, *batch.numberBlock);
        const QStringList row{QString::number(n > 0 ? n : ++batch.last),
                              hooks.now(),
                              uid,
                              used ? QString::number(number) : QString(),
                              QLatin1String(result),
                              Detail(r, backup, backupError, ending)};
        if (!hooks.log(row, &end.logError))
            break;
        if (used)
            ++batch.next;
        if (ok) {
            ++end.issued;
            batch.issued.insert(uid);
        } else {
            ++end.failed;
        }
        if (hooks.done)
            hooks.done(row, ok);
        if (stopped() || (batch.count && end.issued >= *batch.count))
            break;
        // Another card already there is the next one, with a poll of its own.
        if (r.write.end != RunEnd::CardChanged && r.readBack != RunEnd::CardChanged)
            waitGone(uid);
    }
    watch.Release(link, to);
    return end;
}

} // namespace mifare
