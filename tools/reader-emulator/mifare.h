#pragma once

// The MIFARE side of the emulated reader: its EEPROM key store, the key loaded for block
// commands, and a MIFARE Classic 1K or 4K card in the field.
//
// Commands (after prefix and ID), each answered with a two-character status first:
//   "b01" / "b00"        block-command mode on / off
//   "f" + key            loads a key (12 hex digits) for "h" and "i"
//   "h60" / "h61" + BB   authenticates with the loaded key as key A / B, reads block BB:
//                        status + 32 hex digits (32 "0" on failure)
//   "i60" / "i61" + BB + data (32)            the same, then writes; answers the read-back
//   "i60" / "i61" + old key (12) + BB + data  trailers only: authenticates with the old key
//   "d60" / "d61" + SS + key                  stores key A / B of sector SS in the EEPROM
// A block the card does not have fails authentication, as on a reader that cannot reach the
// sector.
// Hex is upper case throughout, as the tool sends it; anything else is a bad parameter.

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace emu {

struct ReaderModel;

// The status codes; checked in this order, so a block command with the mode off answers
// kMifareModeOff whatever its parameters.
inline constexpr char kMifareOk[] = "00";
inline constexpr char kMifareModeOff[] = "05";       // "h" or "i" without "b01" first
inline constexpr char kMifareBadParameters[] = "01"; // malformed text; "f" also clears the key
inline constexpr char kMifareNoCard[] = "02";
// Wrong key, no key loaded, key B where the trailer lets key A read it, or a blocked sector.
inline constexpr char kMifareAuthFailed[] = "03";
// Authenticated, but the access conditions forbid it (or block 0, which is read-only).
inline constexpr char kMifareForbidden[] = "04";

using MifareBlock = std::array<uint8_t, 16>;
using MifareKey = std::array<uint8_t, 6>;
using MifareAccess = std::array<uint8_t, 4>; // trailer bytes 6-9: access bytes and byte 9
enum class MifareKeyType { A, B };
enum class MifareSize { k1K, k4K };

// C1C2C3 of one access-condition group as 0-7, C1 the high bit (so "100" is 4). Groups 0-2
// are the data blocks, group 3 the trailer.
using MifareConditions = std::array<int, 4>;

// The conditions of access bytes 6-8; nullopt when they are not a consistent inverted copy.
std::optional<MifareConditions> MifareAccessConditions(const uint8_t* bytes);

// Upper-case hex of bytes, and back (false unless exactly 2 * n upper-case hex digits).
std::string MifareHex(const uint8_t* bytes, size_t n);
bool MifareParseHex(const std::string& hex, uint8_t* out, size_t n);

// A block in the value format: the value (little-endian), its complement, the value again,
// then the address, its complement, the address, its complement.
MifareBlock MifareValueBlock(int32_t value, uint8_t address);

// A MIFARE Classic card. 1K: sectors 0-15 of 4 blocks, 64 blocks. 4K: 40 sectors, 0-31 of 4
// blocks and 32-39 of 16, 256 blocks. Both number their blocks alike, so the numbering
// helpers are static; a 1K card simply ends at sector 15.
class MifareCard
{
public:
    // Of a 4K card, the largest: the reader's key store has a key pair for each.
    static constexpr int kSectors = 40;
    static constexpr int kBlocks = 256;

    // A fresh card: block 0 holds the UID, SAK, ATQA and the maker's bytes; data blocks are
    // zero; every trailer is FFFFFFFFFFFF FF078069 FFFFFFFFFFFF (transport configuration).
    // A 4-byte UID is followed by its BCC, then SAK at byte 5 and ATQA at 6-7; a 7-byte UID
    // has no BCC in block 0: SAK at byte 7, ATQA at 8-9. ATQA is stored as sent, LSB first.
    explicit MifareCard(const std::array<uint8_t, 4>& uid = {0x1A, 0x2B, 0x3C, 0x4D},
                        MifareSize size = MifareSize::k4K);
    explicit MifareCard(MifareSize size) : MifareCard({0x1A, 0x2B, 0x3C, 0x4D}, size) {}
    // A UID of 4 or 7 bytes; any other length throws std::invalid_argument.
    MifareCard(const std::vector<uint8_t>& uid, MifareSize size);
    // Braced UIDs: without it, {a, b, c, d} would fit the array and the vector alike.
    MifareCard(std::initializer_list<uint8_t> uid, MifareSize size)
        : MifareCard(std::vector<uint8_t>(uid), size)
    {
    }

    MifareSize Size() const { return size_; }
    int Sectors() const { return size_ == MifareSize::k1K ? 16 : kSectors; }
    int Blocks() const { return size_ == MifareSize::k1K ? 64 : kBlocks; }

    static int SectorOf(int block);
    static int FirstBlock(int sector);
    static int BlockCount(int sector);
    static int TrailerOf(int sector) { return FirstBlock(sector) + BlockCount(sector) - 1; }

    // Raw bytes, without keys or access conditions: for test set-up and inspection.
    const MifareBlock& Raw(int block) const { return blocks_.at(static_cast<size_t>(block)); }
    void SetRaw(int block, const MifareBlock& b) { blocks_.at(static_cast<size_t>(block)) = b; }
    std::string RawHex(int block) const;
    bool SetRawHex(int block, const std::string& hex); // false beyond the card or not hex

    // Gives a sector its trailer; inconsistent access bytes block the sector, as on a card.
    void SetTrailer(int sector, const MifareKey& keyA, const MifareAccess& access,
                    const MifareKey& keyB);
    void SetValue(int block, int32_t value, uint8_t address);

    // A sector whose trailer holds inconsistent access bytes is blocked: no key opens it.
    bool Blocked(int sector) const;

    // Authenticates the block's sector, then reads or writes as the access conditions allow.
    // Read: the block as that key may see it (trailer keys it may not read are zeros).
    // Write: a trailer takes only the parts the key may write; the read-back goes to echo.
    // Both answer a status code above.
    std::string Read(int block, MifareKeyType t, const MifareKey& key, MifareBlock* out) const;
    std::string Write(int block, MifareKeyType t, const MifareKey& key, const MifareBlock& data,
                      MifareBlock* echo);

private:
    bool Authenticate(int sector, MifareKeyType t, const MifareKey& key) const;
    MifareSize size_;
    std::array<MifareBlock, kBlocks> blocks_{};
};

struct MifareReader
{
    bool mode = false;                  // "b01" / "b00"
    std::optional<MifareKey> loadedKey; // "f"; none until loaded
    std::array<MifareKey, MifareCard::kSectors> eepromA;
    std::array<MifareKey, MifareCard::kSectors> eepromB;
    std::optional<MifareCard> card; // nullopt: the field is empty

    // The card taken away: it leaves the field after this many more commands received
    // (well-formed, at the reader's line speed, addressed to it or not); -1: it stays.
    int removeCardAfter = -1;
    // Without a card, "h" and "i" get no answer at all instead of the status kMifareNoCard.
    bool noCardSilent = false;

    MifareReader();
};

// The 8 hexadecimal characters of the card ID at the reader's ID location, read with the key
// the EEPROM holds for that sector; nullopt without a card or when the key does not fit.
std::optional<std::string> MifareCardId(const ReaderModel& m);

} // namespace emu
