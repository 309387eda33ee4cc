#pragma once

// Value blocks: a signed 32-bit value kept three times (plain, inverted, plain,
// little-endian) and an address byte four times (plain, inverted, plain,
// inverted), the form the card's increment and decrement work on.

#include <QString>

#include <cstdint>
#include <optional>

#include "cardimage.h"

namespace mifare {

struct ValueBlock
{
    int32_t value = 0;
    uint8_t address = 0;
    bool operator==(const ValueBlock&) const = default;
};

// None when any copy disagrees: the block is no value block.
std::optional<ValueBlock> DecodeValueBlock(const BlockBytes& bytes);
// From 32 hexadecimal digits of either case; none for any other text too.
std::optional<ValueBlock> DecodeValueBlockHex(const QString& hex);
BlockBytes EncodeValueBlock(int32_t value, uint8_t address);
// 32 upper-case hexadecimal digits.
QString EncodeValueBlockHex(int32_t value, uint8_t address);

} // namespace mifare
