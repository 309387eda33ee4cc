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

// Reads a block with the keys that may; none when no key reads it (or the run ended).
std::optional<QString> ReadInForce(Session& s, int block, const InForce& f);

// Whether block 0 of the card in the field shows `uid`. Where it shows
// another (CardChanged) or none (CardGone), the run ends there and `other`
// holds what it showed.
bool SameCard(Session& s, const QString& uid, const CardImage& source,
              const QList<WriteStep>& steps, const CardImage& target, const QStringList& keys,
              QString* other);

} // namespace mifare
