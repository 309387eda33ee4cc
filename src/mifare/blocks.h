#pragma once

// MIFARE Classic 4K numbering and the sector trailer's layout.

#include <QString>

#include <cstdint>

namespace mifare {

constexpr int kSectors = 40;
constexpr int kSmallSectors = 32; // sectors 0-31 have 4 blocks, 32-39 have 16
// A block command's whole answer: the frame with its status and 32 data digits.
constexpr int kBlockAnswerLength = 42;

// Absolute block number of block b (0-3) of sector s (0-39).
int AbsoluteBlock(int sector, int block);
// Absolute block number of sector s's trailer.
int TrailerBlock(int sector);
// Whether block b of sector s is the sector's trailer.
bool IsTrailer(int sector, int block);
// Whether a text is exactly `count` upper-case hexadecimal digits.
bool HexDigits(const QString& text, int count);
// Two upper-case hexadecimal digits, as block numbers and sectors are sent.
QString Hex2(int value);

// Why a trailer must not be written, checked in this order.
enum class TrailerFault {
    None,
    Keys,         // a key is not 12 hexadecimal digits
    AccessLength, // the access bits are not 8 hexadecimal digits
    Inconsistent, // the access bytes are not the inverted copies a card requires
};
TrailerFault CheckTrailer(const QString& keyA, const QString& accessBits, const QString& keyB);
// The same for the 32 digits of a whole trailer block: key A, access bits, key B.
TrailerFault CheckTrailerBlock(const QString& block);
// Whether access bytes 6, 7 and 8 hold each of C1, C2 and C3 once plain and once
// inverted, as a card requires: exactly the 8^4 encodings of four conditions.
bool AccessBytesConsistent(uint8_t b6, uint8_t b7, uint8_t b8);

// Whether a trailer can be written without blocking its sector for good: both
// keys 12 hexadecimal digits, and access bits of 8 hexadecimal digits whose
// first three bytes are the consistent inverted copies a card requires. The
// general-purpose byte may be anything.
bool TrailerSound(const QString& keyA, const QString& accessBits, const QString& keyB);
// The same for the 32 digits of a whole trailer block.
bool TrailerBlockSound(const QString& block);

} // namespace mifare
