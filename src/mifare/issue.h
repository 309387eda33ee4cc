#pragma once

// Issuing: one card image written onto card after card. A watch on the field
// between cards, and each card's write followed by a read-back of every block
// it wrote.

#include <QList>
#include <QString>
#include <QStringList>

#include <QSet>

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

// The card's UID: the first four bytes of block 0.
QString UidOfBlock0(const QString& block0);

// `image` with a running number in `block` as a value block (its own address).
CardImage WithNumber(const CardImage& image, int block, int32_t number);

struct IssueResult
{
    WriteResult write;
    QList<int> unverified; // written, and not read back as written
    bool verified = false; // the read-back ran to its end
    bool Issued() const;
};

// WriteCard, then every block it wrote read back, sector by sector, with the
// image's keys first and then the options' keys.
IssueResult IssueCard(CommandLink& link, const Addressee& to, const CardImage& source,
                      const WriteOptions& options, const Backup& backup, CardProgress& progress);

// The log's columns.
inline constexpr char kIssueLogHeader[] = "n,time,uid,number,result,detail";

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
    // Goes on after a log's rows: its issued UIDs left alone, its numbers used.
    void Resume(const QList<QStringList>& rows);
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
    QString logError; // the log could not be written: the batch ended there
};

// Card after card until the count or a stop: polls for a card about three
// times a second; a UID issued already is announced and waited out; any other
// card is issued (its number in place), logged at once, then waited out.
BatchEnd RunIssueBatch(CommandLink& link, const Addressee& to, IssueBatch& batch,
                       const IssueHooks& hooks, CardProgress& progress);

} // namespace mifare
