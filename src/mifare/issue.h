#pragma once

// Issuing: one card image written onto card after card. A watch on the field
// between cards, and each card's write followed by a read-back of every block
// it wrote, with the card's UID checked before and after.

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

#include "wholecard.h"

namespace mifare {

// Watches the field by reading block 0 with the keys. Block-command mode stays
// on and the key that worked stays loaded between polls, so that a poll is one
// command while nothing changes.
class CardWatch
{
public:
    explicit CardWatch(QStringList keys) : keys_(std::move(keys)) {}
    // Block 0 of the card in the field; none when no card answers, or no key opens it.
    std::optional<QString> Poll(CommandLink& link, const Addressee& to);
    // Mode off, before another run takes the reader and at the end.
    void Release(CommandLink& link, const Addressee& to);

private:
    QStringList keys_;
    bool on_ = false;
    int loaded_ = -1; // index of the key loaded
    int key_ = 0;     // the key that worked last, tried first
};

// `image` with a running number in `block` as a value block (its own address).
CardImage WithNumber(const CardImage& image, int block, int32_t number);

// The largest number a value block holds.
inline constexpr int64_t kLargestNumber = 2147483647;

struct IssueResult
{
    WriteResult write;
    QList<int> unverified;          // written, and not read back as written (or not at all)
    RunEnd readBack = RunEnd::Done; // how the read-back ended
    bool verified = false;          // the read-back ran to its end on the same card
    QString otherUid;               // the card found instead, where another came
    bool Issued() const;
};

// WriteCard (for the card of `options.uid`), then block 0 and every block it
// wrote read back, each with a key the trailer in force lets read it, and
// block 0 once more: a card that went away or was swapped is never issued.
IssueResult IssueCard(CommandLink& link, const Addressee& to, const CardImage& source,
                      const WriteOptions& options, const Backup& backup, CardProgress& progress);

// The log's columns. A card's row goes in as "writing" before anything is
// written to it (with the number it gets) and again, with the same n, once it
// has ended: a crash between the two leaves the number used.
inline constexpr char kIssueLogHeader[] = "n,time,uid,number,result,detail";

// Whether a row of the log is whole: its result is one the log knows and its
// detail ends as that result's details end.
bool WholeIssueRow(const QStringList& row);

// A batch: the template, where its running number goes, and how far the log got.
struct IssueBatch
{
    CardImage source;
    WriteOptions options;
    std::optional<int> numberBlock; // a data block, for a value block of the number
    int64_t next = 0;               // the number of the next card issued
    std::optional<int> count;       // cards to issue; none: until stopped
    bool again = false;             // also UIDs issued already
    QSet<QString> issued;           // UIDs of the log's issued rows
    int last = 0;                   // the log's last n
    // "writing" rows of the log without their end: a run stopped in them.
    QList<QStringList> interrupted;
    // One row of a resumed log, in order: its issued UID left alone, its
    // number used. False with `error` for a row that is no row of a log.
    bool AddRow(const QStringList& row, QString* error);
    // Why the numbers cannot be given (the next, or the last of --count, would
    // pass kLargestNumber); "" when they can.
    QString NumberRefusal() const;
};

// What a front end does for the batch: the backup, the log, what it shows.
struct IssueHooks
{
    // Saves a card's backup; its path, or none with `error`.
    std::function<std::optional<QString>(const CardImage& target, QString* error)> backup;
    // Appends a row to the log and syncs it; false with `error` ends the batch.
    std::function<bool(const QStringList& row, QString* error)> log;
    std::function<QString()> now;                        // the row's time
    std::function<void(bool waiting)> waiting = {};      // for a card; false: for it to leave
    std::function<void(const QString& uid)> repeat = {}; // a UID issued already, left alone
    std::function<void(const QStringList& row, bool issued)> done = {}; // after its row
    std::function<bool()> stop = {}; // asked between cards and polls
};

struct BatchEnd
{
    int issued = 0;
    int failed = 0;
    QString logError;           // the log could not be written: the batch ended there
    bool numbersUsedUp = false; // the next number would pass kLargestNumber
};

// Card after card until the count or a stop: first the end rows of cards a
// run stopped in; then polls for a card about three times a second; a UID
// issued already is announced and waited out; any other card is issued (its
// number in place), logged at once, then waited out. Another card laid on
// while one is waited out is the next card. A card's run is never cancelled
// half way: `stop` is asked between cards, and only a signal ends a card early.
BatchEnd RunIssueBatch(CommandLink& link, const Addressee& to, IssueBatch& batch,
                       const IssueHooks& hooks, CardProgress& progress);

} // namespace mifare
