#pragma once

// Who may do what to a block, from the card's two access tables (the pictures
// of accessbits.h), with the rule that a readable key B is no key; the check of
// a trailer about to be written; and the rights in English words.

#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

#include "accessbits.h"

namespace mifare {

enum class KeyType { A, B };

// The four conditions of a sector (data blocks 0-2, then the trailer).
using Conditions = std::array<Condition, 4>;

// The conditions held in access bytes 6, 7 and 8, as AccessBitsText encodes
// them; none when the bytes are not consistent.
std::optional<Conditions> DecodeAccessBytes(uint8_t b6, uint8_t b7, uint8_t b8);
// The same from the first 6 of 8 hexadecimal digits (either case).
std::optional<Conditions> DecodeAccessBits(const QString& accessBits);

// Trailer conditions 000, 010 and 001 let key B be read; a key that can be read
// cannot serve to authenticate, so a right given to key B there is nobody's.
bool KeyBReadable(Condition trailer);

// Whether `who` includes the key `key`.
bool Allows(Caption who, KeyType key);

struct Right
{
    Group group;
    Caption who;
};
// The rights of a data block (read, write, increment, decrement/transfer/
// restore) or of a trailer (read and write key A, access bits, key B) under
// `condition`, as the table prints them.
QList<Right> TableRights(bool trailer, Condition condition);
// The same as they hold on a card whose trailer condition is `trailerCondition`:
// key B struck out where it can be read.
QList<Right> Rights(bool trailer, Condition condition, Condition trailerCondition);
// One right as it holds under the sector's trailer condition.
Caption RightOf(Group group, Condition condition, Condition trailerCondition);

// The keys that may write key A, the access bits and key B together under a
// trailer condition: Never when no key may write all three.
Caption TrailerWriter(Condition trailer);

// What a trailer about to be written would fix for good.
struct TrailerRisk
{
    bool accessFrozen = false; // no key could write the access bits again
    QList<int> lockedBlocks;   // data blocks (0-2) no key could write
    bool NeedsConfirmation() const { return accessFrozen || !lockedBlocks.isEmpty(); }
};
TrailerRisk AssessTrailer(const Conditions& conditions);

// A right's keys in words: "key A or key B", "key A", "key B", "never".
QString CaptionWords(Caption who);
// What a condition allows a data block (0-2) or the trailer (3), in words, as
// the table prints it: "read: key A or key B; write: ...".
QString ConditionWords(int block, Condition condition);

} // namespace mifare
