#pragma once

// Enrollment: a box of cards read into a list for an access controller, with
// the facility and number that controller decodes from the reader's Wiegand
// output.

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

#include "carddecode.h"
#include "link/commandlink.h"

namespace reader {

// The reader's Wiegand setting (0, 1, 2) as its output's bits: 26, 34, 42.
std::optional<int> WiegandBitsOfSetting(int setting);

// The reader's Wiegand output as its interface setting ("A") tells it.
std::optional<int> ReadWiegandBits(link::CommandLink& link, const link::Addressee& to);

// The largest row number a list or log is resumed from. Far below the largest
// int: the rows a run adds after it can never wrap its count.
constexpr int kLastRowNumber = 1'000'000'000;
// A list's or log's row number from its first field: 1 to kLastRowNumber;
// none, with `error`, for anything else.
std::optional<int> RowNumber(const QString& field, QString* error);

struct WiegandFields
{
    std::optional<uint64_t> facility; // none in a format without one
    uint64_t number = 0;
};

// As an access controller decodes the card's value: 26 bits, facility bits
// 16-23 and number bits 0-15 of the low 24 bits; 34 bits, facility 16-31 and
// number 0-15 of the low 32; 42 bits, no facility and the low 40 bits, all a
// 42-bit frame carries between its two parity bits.
// nullopt for other bit counts.
std::optional<WiegandFields> DecodeWiegand(int bits, uint64_t value);

inline constexpr char kEnrollHeader[] = "n,time,card,decimal,wiegand,facility,number";

// A row of the list: n, time, card, decimal, wiegand, facility, number.
QStringList EnrollRow(int n, const QString& time, const QString& hex,
                      const std::optional<uint64_t>& decimal, int bits);

// A card lying on the reader is read again in every cycle: this tells it once
// each time it is laid on. Keypad keys are no card.
class CardPresence
{
public:
    // The card's digits when it was just laid on; none otherwise.
    std::optional<QString> NewlyLaid(CardShown::Kind kind, const QString& hex);

private:
    QString present_;
};

// Whether a row of a list is whole: its facility and number are what its card
// and Wiegand format give, so a row cut short in its last field is told.
bool WholeEnrollRow(const QStringList& row);

// The cards enrolled so far, by their hexadecimal digits and by the credential
// (facility and number) an access controller reads from them, with their n.
struct Enrolled
{
    QHash<QString, int> cards;
    QHash<QString, int> credentials; // "bits:facility:number"
    int last = 0;                    // the highest n
    std::optional<int> bits;         // the list's Wiegand format: its last row's
    // The n of a card enrolled already.
    std::optional<int> Find(const QString& hex) const;
    // The n of another card that gives the same credential in `bits`.
    std::optional<int> SameCredential(const QString& hex, int bits) const;
    void Add(int n, const QString& hex, int bits);
    // What a card laid on is to the list: a new row (n the next), or a repeat
    // of an enrolled card, or of its credential, with that row's n.
    struct Check
    {
        enum class Kind { New, SameCard, SameCredential } kind;
        int n;
    };
    Check CheckCard(const QString& hex, int bits) const;
    // One row of a list; false with `error` where its n or format is no number.
    bool AddRow(const QStringList& row, QString* error);
};

} // namespace reader
