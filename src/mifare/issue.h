#pragma once

// Issuing: one card image written onto card after card. A watch on the field
// between cards, and each card's write followed by a read-back of every block
// it wrote.

#include <QList>
#include <QString>
#include <QStringList>

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

} // namespace mifare
