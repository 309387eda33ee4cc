#pragma once

// Cards and keypad keys that the emulated reader presents to the read-card ("F") and
// two-way ("I", "J") commands: a script with one step per poll, or a demo by the clock.
//
//   emu::ReaderModel m;
//   m.cards.Card("00BC614E").Pause(2).Keys("1234").Card("0123456789ABCDEF", 26).Silence();
//
// The script is a plain value: it travels with the model through SetModel and Model(), so a
// test can also read back how far the reader got (next) and how many "J" it answered.

#include <cstddef>
#include <string>
#include <vector>

namespace emu {

// Between the card number and the keypad text, in answers that carry both.
constexpr char kCardKeySeparator = '-';

struct CardStep
{
    enum Kind { NoCard, Card, Keys, Raw, Silence, HangUp };
    Kind kind = NoCard;
    std::string text; // Card: the number; Keys: the key text; Raw: the answer fields
    std::string keys; // Card: keypad text sent with the card
    int length = 17;  // Card without keys: L of the "F" answer
};

struct CardScript
{
    // A card number of up to 16 hex digits (shorter ones get leading zeros). "F" answers it
    // with L = length: 17 and 18 carry 8 digits ending at 13 and 14, 26 carries 16 digits at
    // 7-22; any other L is '0's followed by the digits, cut to fit. "I" answers it scrambled
    // (L = 26). A number that is not hex goes to "I" unscrambled, for tests of bad answers.
    CardScript& Card(const std::string& number, int length = 17);
    // A card with keypad text: "F" answers L = 19 + keys (7 keys make L = 26, which the
    // tool reads as a 16-digit card), "I" answers L = 27 + keys. No keys: as Card(number).
    CardScript& CardWithKeys(const std::string& number, const std::string& keys);
    CardScript& Keys(const std::string& keys);  // "K" at 6, the keys after it: L = 10 + keys
    CardScript& Raw(const std::string& fields); // these fields from offset 5, to either poll
    CardScript& Pause(int polls);               // that many polls answered "no card"
    CardScript& Silence();                      // no answer from here on, "J" included
    CardScript& HangUp();                       // half the "no card" frame, then the line dies

    bool Finished() const { return next >= steps.size(); }

    std::vector<CardStep> steps;
    std::size_t next = 0; // the step that the next poll takes
    // Once the steps are used up: a card for the first fifth of every second and "1234" every
    // five seconds, instead of "no card" (or the MIFARE card in the field).
    bool demo = false;
    int acknowledged = 0; // "J" commands answered
};

// The 16 hex digits of a card (d0 first) as the reader scrambles them for "I", in upper case;
// empty unless the input is exactly 16 hex digits.
std::string ScrambleCardHex(const std::string& hex16);

} // namespace emu
