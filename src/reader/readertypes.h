#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "configuration.h"

// Pages of the "Special function" area, in their tab order.
enum class OtherPage { Mifare, MifareKey, EM, Keypad, Command };

// Settings the scan reads after the version, in this order.
enum class ScanRead { Interface, KeyNumber, KeyParity, KeyStatus, IdLocation };

// Controls that the factory default sets to their factory values once an
// attempt reaches the type's commands.
enum class FactoryControl { CardType, KeyParity, KeyNumber, KeyStatus, IdLocation };

struct ReaderTypeRow
{
    std::string_view prefix;         // first letter of every payload
    std::vector<OtherPage> pages;    // offered besides "Command", in tab order
    std::optional<OtherPage> select; // page to select; none: leave it to the tab widget
    bool interfaceHasCardType;       // the interface answer may carry the card type
    std::vector<ScanRead> reads;
    std::vector<reader::FactoryCommand> factory; // after the ID, before "E5"
    std::vector<FactoryControl> factoryControls;
};

// The row of a reader-type index 0..7; any other index is the "no type" row.
const ReaderTypeRow& ReaderTypeFor(int index);

// Colours of the indicators, window colour values with the red byte lowest.
inline constexpr unsigned kColorRed = 0x0000FF;
inline constexpr unsigned kColorYellow = 0x00FFFF;
inline constexpr unsigned kColorWhite = 0xFFFFFF;
