#include "blocks.h"

namespace mifare {

bool HexDigits(const QString& text, int count)
{
    if (text.size() != count)
        return false;
    for (QChar c : text)
        if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F')))
            return false;
    return true;
}

int AbsoluteBlock(int sector, int block)
{
    return sector < kSmallSectors ? 4 * sector + block
                                  : 128 + 16 * (sector - kSmallSectors) + block;
}

int TrailerBlock(int sector)
{
    return AbsoluteBlock(sector, sector < kSmallSectors ? 3 : 15);
}

bool IsTrailer(int sector, int block)
{
    return AbsoluteBlock(sector, block) == TrailerBlock(sector);
}

QString Hex2(int value)
{
    return QString::asprintf("%02X", static_cast<unsigned>(value) & 0xFFu);
}

TrailerFault CheckTrailer(const QString& keyA, const QString& accessBits, const QString& keyB)
{
    if (!HexDigits(keyA, 12) || !HexDigits(keyB, 12))
        return TrailerFault::Keys;
    if (!HexDigits(accessBits, 8))
        return TrailerFault::AccessLength;
    return TrailerSound(keyA, accessBits, keyB) ? TrailerFault::None : TrailerFault::Inconsistent;
}

TrailerFault CheckTrailerBlock(const QString& block)
{
    return CheckTrailer(block.mid(0, 12), block.mid(12, 8), block.mid(20));
}

bool AccessBytesConsistent(uint8_t b6, uint8_t b7, uint8_t b8)
{
    // Byte 6: NOT C2 | NOT C1; byte 7: C1 | NOT C3; byte 8: C3 | C2 (high | low nibble).
    const unsigned notC1 = b6 & 0x0Fu, notC2 = b6 >> 4;
    const unsigned c1 = b7 >> 4, notC3 = b7 & 0x0Fu;
    const unsigned c3 = b8 >> 4, c2 = b8 & 0x0Fu;
    return (notC1 ^ c1) == 0x0F && (notC2 ^ c2) == 0x0F && (notC3 ^ c3) == 0x0F;
}

bool TrailerSound(const QString& keyA, const QString& accessBits, const QString& keyB)
{
    if (!HexDigits(keyA, 12) || !HexDigits(keyB, 12) || !HexDigits(accessBits, 8))
        return false;
    const auto byte = [&](int i) {
        return static_cast<uint8_t>(accessBits.mid(2 * i, 2).toUInt(nullptr, 16));
    };
    return AccessBytesConsistent(byte(0), byte(1), byte(2));
}

bool TrailerBlockSound(const QString& block)
{
    return block.size() == 32 &&
           TrailerSound(block.mid(0, 12), block.mid(12, 8), block.mid(20, 12));
}

} // namespace mifare
