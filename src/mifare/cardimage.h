#pragma once

// A whole MIFARE Classic card as far as it is known: every byte known or not,
// and for each block the key that read it. A 1K card is sectors 0-15 of the 4K
// numbering in blocks.h, so one numbering serves both sizes.

#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "accessrights.h"

namespace mifare {

enum class CardSize { k1K, k4K };

int SectorCount(CardSize size); // 16 or 40
int BlockCount(CardSize size);  // 64 or 256
// 4 in sectors 0-31, 16 in sectors 32-39.
int BlocksInSector(int sector);
int FirstBlock(int sector);
int SectorOfBlock(int block);
// The condition (0-2 a data block's, 3 the trailer's) that governs block b of
// sector s: in a 16-block sector data blocks 0-4, 5-9 and 10-14 share one each.
int AccessGroup(int sector, int blockInSector);

using BlockBytes = std::array<uint8_t, 16>;
using PartialBytes = std::array<std::optional<uint8_t>, 16>;

// 32 digits of either case, "--" for an unknown byte, to 16 bytes. None for
// any other text, also for a byte with one digit known and one not ("0-"):
// half a byte cannot be kept, and dropping the known digit would lose it.
std::optional<PartialBytes> ParseBlockHex(const QString& hex);
// The first byte (0-15) of 32 characters that has one digit known and one '-'.
std::optional<int> HalfKnownByte(const QString& hex);
// 32 upper-case digits, "--" for each unknown byte.
QString BlockHex(const PartialBytes& bytes);
QString BlockHex(const BlockBytes& bytes);

// A key as it was used: which of the two, and its 12 upper-case hexadecimal digits.
struct KeyUse
{
    KeyType type = KeyType::A;
    QString key;
    bool operator==(const KeyUse&) const = default;
};

// The access condition of `block` among its sector's four.
Condition ConditionIn(const Conditions& conditions, int block);

// Blocks are numbered as on the card; a block outside the image throws
// std::out_of_range.
class CardImage
{
public:
    // Every byte unknown, no block read.
    explicit CardImage(CardSize size = CardSize::k1K);

    CardSize Size() const { return size_; }
    int Sectors() const { return SectorCount(size_); }
    int Blocks() const { return BlockCount(size_); }

    std::optional<uint8_t> Byte(int block, int index) const;
    void SetByte(int block, int index, std::optional<uint8_t> value);
    // Whether every byte, or any byte, of the block is known.
    bool Known(int block) const;
    bool AnyKnown(int block) const;
    // The 16 bytes when every one is known.
    std::optional<BlockBytes> Bytes(int block) const;
    // The 16 bytes, each where it is known.
    PartialBytes Partial(int block) const;
    void SetBlock(int block, const BlockBytes& bytes);
    void SetBlock(int block, const PartialBytes& bytes);
    // 32 upper-case hexadecimal digits, "--" for each unknown byte.
    QString Hex(int block) const;
    // As ParseBlockHex reads it; any other text changes nothing and returns false.
    bool SetHex(int block, const QString& hex);
    // Every byte unknown again, and no key.
    void Forget(int block);

    std::optional<KeyUse> ReadBy(int block) const;
    void SetReadBy(int block, const std::optional<KeyUse>& by);

    // The trailer's parts, each when all its bytes are known: key A (bytes 0-5),
    // the access bytes 6-9 as 8 digits, key B (bytes 10-15).
    std::optional<QString> KeyA(int sector) const;
    std::optional<QString> AccessBits(int sector) const;
    std::optional<QString> KeyB(int sector) const;
    // Key A is never readable: it is filled in from the key that opened the
    // sector. Anything but 12 hexadecimal digits (an empty text) forgets it.
    // The same for key B, whose bytes are otherwise read like data when the
    // access conditions let it be read.
    void FillKeyA(int sector, const QString& key);
    void FillKeyB(int sector, const QString& key);
    // The sector's four conditions, when its access bytes are known and consistent.
    std::optional<Conditions> AccessConditions(int sector) const;
    // The condition that governs one block.
    std::optional<Condition> ConditionOf(int block) const;

    // The trailer as the reader returned it after opening the sector with `by`:
    // the access bytes as read; key A from `by` when it is key A, else unknown;
    // key B as read when the access conditions let `by` read it, else from `by`
    // when it is key B, else unknown. False, nothing changed, for a bad text.
    bool SetTrailerRead(int sector, const QString& hex, const KeyUse& by);

    // The same blocks in an image of `size`: those beyond it dropped, new ones unknown.
    CardImage Resized(CardSize size) const;

    bool operator==(const CardImage&) const = default;

private:
    struct Block
    {
        BlockBytes bytes{}; // 0 where unknown, so that equal images compare equal
        uint16_t known = 0; // bit i: byte i is known
        std::optional<KeyUse> readBy;
        bool operator==(const Block&) const = default;
    };
    std::optional<QString> Part(int sector, int from, int count) const;
    void FillPart(int sector, int from, const QString& hex);

    CardSize size_;
    std::vector<Block> blocks_;
};

// How a byte compares between two images; two unknown bytes are the same.
enum class ByteDiff { Same, Different, KnownOnlyInFirst, KnownOnlyInSecond };
struct BlockDiff
{
    int block;
    std::array<ByteDiff, 16> bytes;
};
struct ImageDiff
{
    int blocks = 0;          // compared: the larger image's count
    QList<BlockDiff> differ; // the blocks with any byte not the same, in order
    bool Equal() const { return differ.isEmpty(); }
};
// Block by block over the larger image; blocks the smaller lacks are unknown
// there. Which key read a block is not compared.
ImageDiff Compare(const CardImage& first, const CardImage& second);

// Where block 0 keeps the UID and the SAK. A 4-byte UID is followed by its
// check byte (the XOR of the four), the SAK at byte 5 and the ATQA (bytes 6-7,
// the high byte 00); a 7-byte UID (bytes 0-6) by the SAK at byte 7 and the
// ATQA at bytes 8-9, whose UID size bits (0x40 of byte 8) say "double".
struct Block0Layout
{
    int uidBytes = 4;
    int sakByte = 5;
};
Block0Layout LayoutOfBlock0(const PartialBytes& bytes);
// The UID of a block 0, as hex; "" where unknown.
QString UidOfBlock0(const PartialBytes& bytes);
// The same from a block 0 read as 32 digits.
QString UidOfBlock0(const QString& block0);
// The card's UID from its block 0; "" where unknown.
QString CardUid(const CardImage& image);
// "card-UID" (or "card"): the name a backup of this card starts with.
QString BackupStem(const CardImage& image);

} // namespace mifare
