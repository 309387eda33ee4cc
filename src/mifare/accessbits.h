#pragma once

// The access bits editor's model: the 47 radio buttons as a table, the pictures
// by which the buttons show each access condition, and the encoding of four
// conditions into the access bytes of a sector trailer.

#include <QString>

#include <array>
#include <functional>
#include <optional>

namespace mifare {

// A condition C1C2C3 as a number, C1 the high bit: 0b011 is C1 = 0, C2 = 1, C3 = 1.
using Condition = int;

// Operation groups: four of each data block, six of the trailer.
enum class Group {
    Read,
    Write,
    Increment,
    Decrement,
    KeyARead,
    KeyAWrite,
    AccessRead,
    AccessWrite,
    KeyBRead,
    KeyBWrite
};
enum class Caption { AB, A, B, Never };

struct AccessButton
{
    int number; // RadioButton<number>
    int block;  // 0-2 the data blocks, 3 the trailer
    Group group;
    Caption caption;   // what it stands for, whatever its label reads
    Condition selects; // the condition a click brings its block to
};

constexpr int kAccessButtonCount = 47;
extern const std::array<AccessButton, kAccessButtonCount> kAccessButtons;

// The editor's radio buttons by number (18 and 30 do not exist), for code that
// needs one name per button, such as the window's handlers.
// clang-format off
#define TESMORA_ACCESS_BUTTONS(X)                                                             \
    X(1) X(2) X(3) X(4) X(5) X(6) X(7) X(8) X(9) X(10) X(11) X(12) X(13) X(14) X(15) X(16)    \
    X(17) X(19) X(20) X(21) X(22) X(23) X(24) X(25) X(26) X(27) X(28) X(29) X(31) X(32)       \
    X(33) X(34) X(35) X(36) X(37) X(38) X(39) X(40) X(41) X(42) X(43) X(44) X(45) X(46)       \
    X(47) X(48) X(49)
// clang-format on

// The caption checked in `group` when the group's block shows `condition`.
Caption PictureCaption(Group group, Condition condition);

// The condition a block's buttons show: the first picture, in the order 000 to
// 111, whose buttons are all checked; none when no picture matches.
std::optional<Condition> BlockCondition(int block,
                                        const std::function<bool(const AccessButton&)>& checked);

// Access bytes 6, 7 and 8 and the general-purpose byte "AA", as 8 upper-case
// hexadecimal digits. A block without a condition adds no bits, which reads
// as condition 101.
QString AccessBitsText(const std::array<std::optional<Condition>, 4>& conditions);

// Trailer buttons whose click relabels the twelve "A/B" buttons of the data
// blocks: to "A", or back to "A/B".
enum class Relabel { None, ToA, ToAB };
Relabel RelabelBy(int number);

} // namespace mifare
