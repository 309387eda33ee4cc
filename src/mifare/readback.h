#pragma once

// Reading a card back while it is written: each block with a key the trailer
// in force lets read it, and the UID of the card in the field, for the write
// of an issued card and its read-back.

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

#include "session.h"

namespace mifare {

// The trailer in force on a sector after the steps of a write: the image's
// where its trailer went (or was there already), else the card's as read
// before. The keys to read with: that trailer's own, then the other one's,
// then the lists'.
struct InForce
{
    std::optional<Conditions> conditions;
    QStringList keys[2]; // by type: A, B
};
InForce TrailerInForce(int sector, const CardImage& source, const QList<WriteStep>& steps,
                       const CardImage& target, const QStringList& keys);

// The types of key that may read `block` under the trailer in force; both
// where its conditions are not known.
QList<KeyType> Readers(int block, const InForce& f);

// Reads a block with the keys that may; none when no key reads it (or the run ended).
std::optional<QString> ReadInForce(Session& s, int block, const InForce& f);

// The UID in block 0 of the card in the field; "" where no key reads it.
QString UidInField(Session& s, const CardImage& source, const QList<WriteStep>& steps,
                   const CardImage& target, const QStringList& keys);

} // namespace mifare
