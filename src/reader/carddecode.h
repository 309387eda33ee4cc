#pragma once

// What a card-reading answer shows: pure functions from the answer frame to the
// text of the message panel and the card indicator.

#include <QString>

#include <cstdint>
#include <optional>
#include <string_view>

namespace reader {

struct CardShown
{
    // What the answer carried, for front ends that show it their own way.
    enum class Kind { Nothing, Card, Key } kind = Kind::Nothing;
    QString hex;                   // Card: the hexadecimal digits as shown
    std::optional<uint64_t> value; // Card: the decimal part's value, when it has one
    QString keys;                  // Key, or the keypad text sent with a card

    bool light = false;          // the card indicator turns yellow
    std::optional<QString> text; // the message panel's new text; none: unchanged
    bool acknowledge = false;    // two-way: answer it with "J" (every answer without "K")
};

// " : 0012345678(D)  ": the decimal part of a card value, unsigned, ten digits at least.
QString DecimalPart(uint64_t value);

// An answer to the read-card command, `length` bytes (L). cardId: the
// catalogue's "Card ID" in the current language.
CardShown DecodeReadCard(std::string_view response, int length, const QString& cardId);

// An answer to the two-way read command.
CardShown DecodeTwoWay(std::string_view response, int length, const QString& cardId);

} // namespace reader
