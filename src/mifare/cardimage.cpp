#include "cardimage.h"

#include <algorithm>

#include "blocks.h"

namespace mifare {

namespace {

constexpr uint16_t kAllKnown = 0xFFFF;

// A hexadecimal digit's value, -1 for '-', -2 for anything else.
int Digit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    return u == u'-' ? -1 : -2;
}

} // namespace

std::optional<PartialBytes> ParseBlockHex(const QString& hex)
{
    if (hex.size() != 32)
        return std::nullopt;
    PartialBytes bytes;
    for (int i = 0; i < 16; ++i) {
        const int high = Digit(hex[2 * i]), low = Digit(hex[2 * i + 1]);
        if (high == -2 || low == -2 || (high < 0) != (low < 0))
            return std::nullopt;
        if (high >= 0)
            bytes[size_t(i)] = uint8_t(high << 4 | low);
    }
    return bytes;
}

std::optional<int> HalfKnownByte(const QString& hex)
{
    for (int i = 0; i < 16 && 2 * i + 1 < hex.size(); ++i) {
        const int high = Digit(hex[2 * i]), low = Digit(hex[2 * i + 1]);
        if ((high == -1 && low >= 0) || (high >= 0 && low == -1))
            return i;
    }
    return std::nullopt;
}

QString BlockHex(const PartialBytes& bytes)
{
    QString text;
    text.reserve(32);
    for (const auto& byte : bytes)
        text += byte ? QString::asprintf("%02X", *byte) : QStringLiteral("--");
    return text;
}

QString BlockHex(const BlockBytes& bytes)
{
    PartialBytes partial;
    for (size_t i = 0; i < 16; ++i)
        partial[i] = bytes[i];
    return BlockHex(partial);
}

int SectorCount(CardSize size)
{
    return size == CardSize::k1K ? 16 : kSectors;
}

int BlockCount(CardSize size)
{
    return size == CardSize::k1K ? 64 : 256;
}

int BlocksInSector(int sector)
{
    return sector < kSmallSectors ? 4 : 16;
}

int FirstBlock(int sector)
{
    return AbsoluteBlock(sector, 0);
}

int SectorOfBlock(int block)
{
    return block < 4 * kSmallSectors ? block / 4 : kSmallSectors + (block - 4 * kSmallSectors) / 16;
}

int AccessGroup(int sector, int blockInSector)
{
    if (blockInSector == BlocksInSector(sector) - 1)
        return 3;
    return sector < kSmallSectors ? blockInSector : blockInSector / 5;
}

CardImage::CardImage(CardSize size) : size_(size), blocks_(size_t(BlockCount(size))) {}

std::optional<uint8_t> CardImage::Byte(int block, int index) const
{
    const Block& b = blocks_.at(size_t(block));
    if (!(b.known >> index & 1))
        return std::nullopt;
    return b.bytes.at(size_t(index));
}

void CardImage::SetByte(int block, int index, std::optional<uint8_t> value)
{
    Block& b = blocks_.at(size_t(block));
    b.bytes.at(size_t(index)) = value.value_or(0);
    const uint16_t bit = uint16_t(1u << index);
    b.known = value ? b.known | bit : b.known & ~bit;
}

bool CardImage::Known(int block) const
{
    return blocks_.at(size_t(block)).known == kAllKnown;
}

bool CardImage::AnyKnown(int block) const
{
    return blocks_.at(size_t(block)).known != 0;
}

PartialBytes CardImage::Partial(int block) const
{
    PartialBytes bytes;
    for (int i = 0; i < 16; ++i)
        bytes[size_t(i)] = Byte(block, i);
    return bytes;
}

std::optional<BlockBytes> CardImage::Bytes(int block) const
{
    if (!Known(block))
        return std::nullopt;
    return blocks_[size_t(block)].bytes;
}

void CardImage::SetBlock(int block, const BlockBytes& bytes)
{
    Block& b = blocks_.at(size_t(block));
    b.bytes = bytes;
    b.known = kAllKnown;
}

void CardImage::SetBlock(int block, const PartialBytes& bytes)
{
    for (int i = 0; i < 16; ++i)
        SetByte(block, i, bytes[size_t(i)]);
}

QString CardImage::Hex(int block) const
{
    PartialBytes bytes;
    for (int i = 0; i < 16; ++i)
        bytes[size_t(i)] = Byte(block, i);
    return BlockHex(bytes);
}

bool CardImage::SetHex(int block, const QString& hex)
{
    const auto bytes = ParseBlockHex(hex);
    if (bytes)
        SetBlock(block, *bytes);
    return bytes.has_value();
}

void CardImage::Forget(int block)
{
    blocks_.at(size_t(block)) = Block{};
}

std::optional<KeyUse> CardImage::ReadBy(int block) const
{
    return blocks_.at(size_t(block)).readBy;
}

void CardImage::SetReadBy(int block, const std::optional<KeyUse>& by)
{
    blocks_.at(size_t(block)).readBy = by;
}

std::optional<QString> CardImage::Part(int sector, int from, int count) const
{
    const QString hex = Hex(TrailerBlock(sector)).mid(2 * from, 2 * count);
    if (hex.contains(u'-'))
        return std::nullopt;
    return hex;
}

void CardImage::FillPart(int sector, int from, const QString& hex)
{
    const int trailer = TrailerBlock(sector);
    const QString digits = hex.toUpper();
    const bool known = HexDigits(digits, 12);
    for (int i = 0; i < 6; ++i)
        SetByte(trailer, from + i,
                known ? std::optional<uint8_t>(digits.mid(2 * i, 2).toUInt(nullptr, 16))
                      : std::nullopt);
}

std::optional<QString> CardImage::KeyA(int sector) const
{
    return Part(sector, 0, 6);
}

std::optional<QString> CardImage::AccessBits(int sector) const
{
    return Part(sector, 6, 4);
}

std::optional<QString> CardImage::KeyB(int sector) const
{
    return Part(sector, 10, 6);
}

void CardImage::FillKeyA(int sector, const QString& key)
{
    FillPart(sector, 0, key);
}

void CardImage::FillKeyB(int sector, const QString& key)
{
    FillPart(sector, 10, key);
}

std::optional<Conditions> CardImage::AccessConditions(int sector) const
{
    const int trailer = TrailerBlock(sector);
    const auto b6 = Byte(trailer, 6), b7 = Byte(trailer, 7), b8 = Byte(trailer, 8);
    if (!b6 || !b7 || !b8)
        return std::nullopt;
    return DecodeAccessBytes(*b6, *b7, *b8);
}

Condition ConditionIn(const Conditions& conditions, int block)
{
    const int sector = SectorOfBlock(block);
    return conditions[size_t(AccessGroup(sector, block - FirstBlock(sector)))];
}

std::optional<Condition> CardImage::ConditionOf(int block) const
{
    const int sector = SectorOfBlock(block);
    const auto conditions = AccessConditions(sector);
    if (!conditions)
        return std::nullopt;
    return ConditionIn(*conditions, block);
}

bool CardImage::SetTrailerRead(int sector, const QString& hex, const KeyUse& by)
{
    const int trailer = TrailerBlock(sector);
    if (!SetHex(trailer, hex))
        return false;
    FillKeyA(sector, by.type == KeyType::A ? by.key : QString());
    const auto conditions = AccessConditions(sector);
    const bool keyBRead =
        conditions && Allows(RightOf(Group::KeyBRead, (*conditions)[3], (*conditions)[3]), by.type);
    if (!keyBRead)
        FillKeyB(sector, by.type == KeyType::B ? by.key : QString());
    SetReadBy(trailer, by);
    return true;
}

ImageDiff Compare(const CardImage& first, const CardImage& second)
{
    ImageDiff diff;
    diff.blocks = std::max(first.Blocks(), second.Blocks());
    const auto byte = [](const CardImage& image, int block, int i) {
        return block < image.Blocks() ? image.Byte(block, i) : std::nullopt;
    };
    for (int block = 0; block < diff.blocks; ++block) {
        BlockDiff d{block, {}};
        bool any = false;
        for (int i = 0; i < 16; ++i) {
            const auto a = byte(first, block, i), b = byte(second, block, i);
            ByteDiff& k = d.bytes[size_t(i)];
            k = a && b ? (*a == *b ? ByteDiff::Same : ByteDiff::Different)
                : a    ? ByteDiff::KnownOnlyInFirst
                : b    ? ByteDiff::KnownOnlyInSecond
                       : ByteDiff::Same;
            any = any || k != ByteDiff::Same;
        }
        if (any)
            diff.differ.append(d);
    }
    return diff;
}

CardImage CardImage::Resized(CardSize size) const
{
    CardImage resized(size);
    for (size_t b = 0; b < blocks_.size() && b < resized.blocks_.size(); ++b)
        resized.blocks_[b] = blocks_[b];
    return resized;
}

Block0Layout LayoutOfBlock0(const PartialBytes& b)
{
    const auto at = [&](int i) { return b[size_t(i)].value_or(0); };
    const bool known = std::all_of(b.begin(), b.begin() + 10, [](auto v) { return v.has_value(); });
    // A 4-byte UID's check byte, then the ATQA, its UID size bits (00 single,
    // 01 double) and its high byte 00; a 7-byte UID whose fifth byte happens
    // to be the check byte has its SAK where that high byte would be.
    const bool single =
        known && (at(0) ^ at(1) ^ at(2) ^ at(3)) == at(4) && (at(6) & 0xC0) == 0 && at(7) == 0;
    const bool doubled = known && (at(8) & 0xC0) == 0x40 && at(9) == 0;
    if (!single && doubled)
        return {7, 7};
    return {4, 5};
}

QString UidOfBlock0(const PartialBytes& bytes)
{
    QString uid;
    for (int i = 0; i < LayoutOfBlock0(bytes).uidBytes; ++i) {
        if (!bytes[size_t(i)])
            return {};
        uid += QStringLiteral("%1").arg(*bytes[size_t(i)], 2, 16, QLatin1Char('0')).toUpper();
    }
    return uid;
}

QString UidOfBlock0(const QString& block0)
{
    const auto bytes = ParseBlockHex(block0);
    return bytes ? UidOfBlock0(*bytes) : QString();
}

QString CardUid(const CardImage& image)
{
    return UidOfBlock0(image.Partial(0));
}

QString BackupStem(const CardImage& image)
{
    const QString uid = CardUid(image);
    return uid.isEmpty() ? QStringLiteral("card") : QStringLiteral("card-") + uid;
}

} // namespace mifare
