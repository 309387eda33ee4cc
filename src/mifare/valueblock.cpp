#include "valueblock.h"

namespace mifare {

namespace {

uint32_t Word(const BlockBytes& b, int at)
{
    return uint32_t(b[size_t(at)]) | uint32_t(b[size_t(at + 1)]) << 8 |
           uint32_t(b[size_t(at + 2)]) << 16 | uint32_t(b[size_t(at + 3)]) << 24;
}

void PutWord(BlockBytes& b, int at, uint32_t w)
{
    for (int i = 0; i < 4; ++i)
        b[size_t(at + i)] = uint8_t(w >> (8 * i));
}

} // namespace

std::optional<ValueBlock> DecodeValueBlock(const BlockBytes& b)
{
    const uint32_t v = Word(b, 0);
    const uint8_t a = b[12];
    if (Word(b, 4) != ~v || Word(b, 8) != v || b[13] != uint8_t(~a) || b[14] != a ||
        b[15] != uint8_t(~a))
        return std::nullopt;
    return ValueBlock{int32_t(v), a};
}

std::optional<ValueBlock> DecodeValueBlockHex(const QString& hex)
{
    const auto partial = ParseBlockHex(hex);
    if (!partial)
        return std::nullopt;
    BlockBytes bytes{};
    for (size_t i = 0; i < 16; ++i) {
        if (!(*partial)[i])
            return std::nullopt;
        bytes[i] = *(*partial)[i];
    }
    return DecodeValueBlock(bytes);
}

BlockBytes EncodeValueBlock(int32_t value, uint8_t address)
{
    BlockBytes b{};
    const uint32_t v = uint32_t(value);
    PutWord(b, 0, v);
    PutWord(b, 4, ~v);
    PutWord(b, 8, v);
    b[12] = b[14] = address;
    b[13] = b[15] = uint8_t(~address);
    return b;
}

QString EncodeValueBlockHex(int32_t value, uint8_t address)
{
    return BlockHex(EncodeValueBlock(value, address));
}

} // namespace mifare
