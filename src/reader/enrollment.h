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

struct WiegandFields
{
    std::optional<uint64_t> facility; // none in a format without one
    uint64_t number = 0;
};

// As an access controller decodes the card's value: 26 bits, facility bits
// 16-23 and number bits 0-15 of the low 24 bits; 34 bits, facility 16-31 and
// number 0-15 of the low 32; 42 bits, no facility and the whole value.
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

// The cards enrolled so far, by their hexadecimal digits, with their n.
struct Enrolled
{
    QHash<QString, int> cards;
    int last = 0; // the highest n
    // The n of a card enrolled already.
    std::optional<int> Find(const QString& hex) const;
    void Add(int n, const QString& hex);
};

// From a list's rows; nullopt with `error` where an n is not a number.
std::optional<Enrolled> EnrolledOf(const QList<QStringList>& rows, QString* error);

} // namespace reader
