#include "mifare.h"

#include <algorithm>
#include <stdexcept>

#include "handlers.h"

namespace emu {

namespace {

// Who may do something: a bit per key type.
constexpr int kNever = 0;
constexpr int kA = 1;
constexpr int kB = 2;
constexpr int kAB = kA | kB;

// Indexed by C1C2C3 (0-7, C1 the high bit): 000, 001, 010, 011, 100, 101, 110, 111.
constexpr int kDataRead[8] = {kAB, kAB, kAB, kB, kAB, kB, kAB, kNever};
constexpr int kDataWrite[8] = {kAB, kNever, kNever, kB, kB, kNever, kB, kNever};
constexpr int kKeyAWrite[8] = {kA, kA, kNever, kB, kB, kNever, kNever, kNever};
constexpr int kAccessRead[8] = {kA, kA, kA, kAB, kAB, kAB, kAB, kAB};
constexpr int kAccessWrite[8] = {kNever, kA, kNever, kB, kNever, kB, kNever, kNever};
constexpr int kKeyBRead[8] = {kA, kA, kA, kNever, kNever, kNever, kNever, kNever};
constexpr int kKeyBWrite[8] = {kA, kA, kNever, kB, kB, kNever, kNever, kNever};

// Trailer layout: key A, access bytes 6-8 and the general-purpose byte 9, key B.
constexpr size_t kKeyAAt = 0;
constexpr size_t kAccessAt = 6;
constexpr size_t kAccessLen = 4;
constexpr size_t kKeyBAt = 10;
constexpr size_t kKeyLen = 6;

bool May(int who, MifareKeyType t)
{
    return who & (t == MifareKeyType::A ? kA : kB);
}

// The condition group of a block: in the 16-block sectors one group covers five blocks.
int GroupOf(int block)
{
    const int sector = MifareCard::SectorOf(block);
    const int offset = block - MifareCard::FirstBlock(sector);
    return MifareCard::BlockCount(sector) == 4 ? offset : offset / 5;
}

void Copy(MifareBlock& to, const MifareBlock& from, size_t at, size_t n)
{
    for (size_t i = at; i < at + n; ++i)
        to[i] = from[i];
}

// A trailer as a key of this type sees it. Blocked: nothing about the keys is readable.
MifareBlock TrailerView(const MifareBlock& trailer, MifareKeyType t)
{
    MifareBlock view{};
    const std::optional<MifareConditions> c = MifareAccessConditions(&trailer[kAccessAt]);
    if (!c || May(kAccessRead[(*c)[3]], t))
        Copy(view, trailer, kAccessAt, kAccessLen);
    if (c && May(kKeyBRead[(*c)[3]], t))
        Copy(view, trailer, kKeyBAt, kKeyLen);
    return view;
}

int Nibble(uint8_t b, bool high)
{
    return high ? b >> 4 : b & 0x0F;
}

} // namespace

std::optional<MifareConditions> MifareAccessConditions(const uint8_t* b)
{
    const int c1 = Nibble(b[1], true);
    const int c2 = Nibble(b[2], false);
    const int c3 = Nibble(b[2], true);
    if (Nibble(b[0], false) != (~c1 & 0xF) || Nibble(b[0], true) != (~c2 & 0xF) ||
        Nibble(b[1], false) != (~c3 & 0xF))
        return std::nullopt;
    MifareConditions c{};
    for (int g = 0; g < 4; ++g)
        c[g] = ((c1 >> g) & 1) << 2 | ((c2 >> g) & 1) << 1 | ((c3 >> g) & 1);
    return c;
}

std::string MifareHex(const uint8_t* bytes, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 0x0F];
    }
    return s;
}

bool MifareParseHex(const std::string& hex, uint8_t* out, size_t n)
{
    if (hex.size() != 2 * n)
        return false;
    auto value = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    for (char c : hex)
        if (value(c) < 0)
            return false;
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(value(hex[2 * i]) << 4 | value(hex[2 * i + 1]));
    return true;
}

MifareBlock MifareValueBlock(int32_t value, uint8_t address)
{
    const auto v = static_cast<uint32_t>(value);
    MifareBlock b{};
    for (size_t i = 0; i < 4; ++i) {
        b[i] = b[8 + i] = static_cast<uint8_t>(v >> (8 * i));
        b[4 + i] = static_cast<uint8_t>(~b[i]);
    }
    b[12] = b[14] = address;
    b[13] = b[15] = static_cast<uint8_t>(~address);
    return b;
}

MifareCard::MifareCard(const std::array<uint8_t, 4>& uid, MifareSize size)
    : MifareCard(std::vector<uint8_t>(uid.begin(), uid.end()), size)
{
}

MifareCard::MifareCard(const std::vector<uint8_t>& uid, MifareSize size) : size_(size)
{
    if (uid.size() != 4 && uid.size() != 7)
        throw std::invalid_argument("a MIFARE Classic UID has 4 or 7 bytes");
    const bool k1 = size == MifareSize::k1K;
    MifareBlock& b0 = blocks_[0];
    std::copy(uid.begin(), uid.end(), b0.begin());
    size_t at = uid.size();
    if (uid.size() == 4)
        b0[at++] = static_cast<uint8_t>(uid[0] ^ uid[1] ^ uid[2] ^ uid[3]); // BCC
    // SAK, then ATQA: bit 6 of its low byte marks a double-size (7-byte) UID.
    b0[at++] = k1 ? 0x08 : 0x18;
    b0[at++] = static_cast<uint8_t>((k1 ? 0x04 : 0x02) | (uid.size() == 7 ? 0x40 : 0x00));
    b0[at++] = 0x00;
    // The maker's bytes fill the rest: 8 after a 4-byte UID, 6 after a 7-byte one.
    const uint8_t maker[8] = {0x46, 0x59, 0x25, 0x58, 0x49, 0x10, 0x23, 0x02};
    std::copy(maker, maker + (b0.size() - at), b0.begin() + at);
    for (int s = 0; s < Sectors(); ++s)
        SetTrailer(s, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0x07, 0x80, 0x69},
                   {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
}

int MifareCard::SectorOf(int block)
{
    return block < 128 ? block / 4 : 32 + (block - 128) / 16;
}

int MifareCard::FirstBlock(int sector)
{
    return sector < 32 ? 4 * sector : 128 + 16 * (sector - 32);
}

int MifareCard::BlockCount(int sector)
{
    return sector < 32 ? 4 : 16;
}

std::string MifareCard::RawHex(int block) const
{
    const MifareBlock& b = Raw(block);
    return MifareHex(b.data(), b.size());
}

bool MifareCard::SetRawHex(int block, const std::string& hex)
{
    MifareBlock b{};
    if (block < 0 || block >= Blocks() || !MifareParseHex(hex, b.data(), b.size()))
        return false;
    SetRaw(block, b);
    return true;
}

void MifareCard::SetTrailer(int sector, const MifareKey& keyA, const MifareAccess& access,
                            const MifareKey& keyB)
{
    MifareBlock t{};
    std::copy(keyA.begin(), keyA.end(), t.begin() + kKeyAAt);
    std::copy(access.begin(), access.end(), t.begin() + kAccessAt);
    std::copy(keyB.begin(), keyB.end(), t.begin() + kKeyBAt);
    SetRaw(TrailerOf(sector), t);
}

void MifareCard::SetValue(int block, int32_t value, uint8_t address)
{
    SetRaw(block, MifareValueBlock(value, address));
}

bool MifareCard::Blocked(int sector) const
{
    return !MifareAccessConditions(&Raw(TrailerOf(sector))[kAccessAt]);
}

bool MifareCard::Authenticate(int sector, MifareKeyType t, const MifareKey& key) const
{
    if (sector >= Sectors())
        return false; // not on this card: nothing answers the authentication
    const MifareBlock& trailer = Raw(TrailerOf(sector));
    const std::optional<MifareConditions> c = MifareAccessConditions(&trailer[kAccessAt]);
    if (!c)
        return false;
    // Where key A may read key B, key B is plain data and no key.
    if (t == MifareKeyType::B && kKeyBRead[(*c)[3]] != kNever)
        return false;
    const size_t at = t == MifareKeyType::A ? kKeyAAt : kKeyBAt;
    for (size_t i = 0; i < kKeyLen; ++i)
        if (trailer[at + i] != key[i])
            return false;
    return true;
}

std::string MifareCard::Read(int block, MifareKeyType t, const MifareKey& key,
                             MifareBlock* out) const
{
    *out = {};
    const int sector = SectorOf(block);
    if (!Authenticate(sector, t, key))
        return kMifareAuthFailed;
    if (block == TrailerOf(sector)) {
        *out = TrailerView(Raw(block), t);
        return kMifareOk;
    }
    const MifareConditions c = *MifareAccessConditions(&Raw(TrailerOf(sector))[kAccessAt]);
    if (!May(kDataRead[c[GroupOf(block)]], t))
        return kMifareForbidden;
    *out = Raw(block);
    return kMifareOk;
}

std::string MifareCard::Write(int block, MifareKeyType t, const MifareKey& key,
                              const MifareBlock& data, MifareBlock* echo)
{
    *echo = {};
    const int sector = SectorOf(block);
    if (!Authenticate(sector, t, key))
        return kMifareAuthFailed;
    if (block == 0)
        return kMifareForbidden;
    const int trailer = TrailerOf(sector);
    const MifareConditions c = *MifareAccessConditions(&Raw(trailer)[kAccessAt]);
    if (block != trailer) {
        if (!May(kDataWrite[c[GroupOf(block)]], t))
            return kMifareForbidden;
        SetRaw(block, data);
        return Read(block, t, key, echo);
    }
    const bool keyA = May(kKeyAWrite[c[3]], t);
    const bool access = May(kAccessWrite[c[3]], t);
    const bool keyB = May(kKeyBWrite[c[3]], t);
    if (!keyA && !access && !keyB)
        return kMifareForbidden;
    MifareBlock next = Raw(trailer);
    if (keyA)
        Copy(next, data, kKeyAAt, kKeyLen);
    if (access)
        Copy(next, data, kAccessAt, kAccessLen);
    if (keyB)
        Copy(next, data, kKeyBAt, kKeyLen);
    SetRaw(trailer, next);
    // Not Read(): new keys or a blocked sector would fail it, and the write did happen.
    *echo = TrailerView(next, t);
    return kMifareOk;
}

MifareReader::MifareReader()
{
    eepromA.fill({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    eepromB = eepromA;
}

std::optional<std::string> MifareCardId(const ReaderModel& m)
{
    const MifareReader& r = m.mifare;
    uint8_t sector = 0, block = 0, byte = 0;
    if (!r.card || !MifareParseHex(m.idSector, &sector, 1) ||
        !MifareParseHex(m.idBlock, &block, 1) || !MifareParseHex(m.idByte, &byte, 1) ||
        sector >= MifareCard::kSectors || byte > 31)
        return std::nullopt;
    // The ID may run into the next block, but not out of the sector: that needs another key.
    const int first = block + byte / 16;
    const int last = block + (byte + 3) / 16;
    if (last >= MifareCard::BlockCount(sector))
        return std::nullopt;
    const bool keyA = m.idKeyType == "00";
    const MifareKeyType t = keyA ? MifareKeyType::A : MifareKeyType::B;
    const MifareKey& key = keyA ? r.eepromA[sector] : r.eepromB[sector];
    uint8_t bytes[32] = {};
    for (int b = first; b <= last; ++b) {
        MifareBlock data{};
        if (r.card->Read(MifareCard::FirstBlock(sector) + b, t, key, &data) != kMifareOk)
            return std::nullopt;
        for (size_t i = 0; i < data.size(); ++i)
            bytes[16 * (b - first) + i] = data[i];
    }
    return MifareHex(bytes + byte % 16, 4);
}

namespace {

const std::string kNoData(32, '0');

Reply Status(const std::string& status)
{
    return Reply{status, true};
}

Reply BlockAnswer(const std::string& status, const MifareBlock& data)
{
    return Reply{status + (status == kMifareOk ? MifareHex(data.data(), data.size()) : kNoData),
                 true};
}

std::optional<Reply> NoCard(const MifareReader& r)
{
    if (r.noCardSilent)
        return std::nullopt;
    return BlockAnswer(kMifareNoCard, {});
}

std::optional<MifareKeyType> KeyType(const std::string& params)
{
    if (params.compare(0, 2, "60") == 0)
        return MifareKeyType::A;
    if (params.compare(0, 2, "61") == 0)
        return MifareKeyType::B;
    return std::nullopt;
}

} // namespace

void AddMifareHandlers(std::map<char, Handler>& h)
{
    h['b'] = [](ReaderModel& m, const Command& c) -> std::optional<Reply> {
        if (c.params != "00" && c.params != "01")
            return Status(kMifareBadParameters);
        m.mifare.mode = c.params == "01";
        return Status(kMifareOk);
    };
    h['f'] = [](ReaderModel& m, const Command& c) -> std::optional<Reply> {
        MifareKey key{};
        if (!MifareParseHex(c.params, key.data(), key.size())) {
            m.mifare.loadedKey.reset();
            return Status(kMifareBadParameters);
        }
        m.mifare.loadedKey = key;
        return Status(kMifareOk);
    };
    h['h'] = [](ReaderModel& m, const Command& c) -> std::optional<Reply> {
        MifareReader& r = m.mifare;
        const std::optional<MifareKeyType> t = KeyType(c.params);
        uint8_t block = 0;
        MifareBlock data{};
        if (!r.mode)
            return BlockAnswer(kMifareModeOff, data);
        if (!t || !MifareParseHex(c.params.substr(2), &block, 1))
            return BlockAnswer(kMifareBadParameters, data);
        if (!r.card)
            return NoCard(r);
        if (!r.loadedKey)
            return BlockAnswer(kMifareAuthFailed, data);
        return BlockAnswer(r.card->Read(block, *t, *r.loadedKey, &data), data);
    };
    h['i'] = [](ReaderModel& m, const Command& c) -> std::optional<Reply> {
        MifareReader& r = m.mifare;
        const std::optional<MifareKeyType> t = KeyType(c.params);
        // The trailer form carries the old key between key type and block.
        const bool withKey = c.params.size() == 2 + 12 + 2 + 32;
        const std::string rest = c.params.size() > 2 ? c.params.substr(withKey ? 14 : 2) : "";
        MifareKey key{};
        uint8_t block = 0;
        MifareBlock data{};
        if (!r.mode)
            return BlockAnswer(kMifareModeOff, data);
        if (!t || (withKey && !MifareParseHex(c.params.substr(2, 12), key.data(), key.size())) ||
            rest.size() != 34 || !MifareParseHex(rest.substr(0, 2), &block, 1) ||
            !MifareParseHex(rest.substr(2), data.data(), data.size()) ||
            (withKey && block != MifareCard::TrailerOf(MifareCard::SectorOf(block))))
            return BlockAnswer(kMifareBadParameters, {});
        if (!r.card)
            return NoCard(r);
        if (!withKey && !r.loadedKey)
            return BlockAnswer(kMifareAuthFailed, {});
        MifareBlock echo{};
        const std::string status =
            r.card->Write(block, *t, withKey ? key : *r.loadedKey, data, &echo);
        return BlockAnswer(status, echo);
    };
    h['d'] = [](ReaderModel& m, const Command& c) -> std::optional<Reply> {
        const std::optional<MifareKeyType> t = KeyType(c.params);
        uint8_t sector = 0;
        MifareKey key{};
        if (!t || c.params.size() != 16 || !MifareParseHex(c.params.substr(2, 2), &sector, 1) ||
            sector >= MifareCard::kSectors ||
            !MifareParseHex(c.params.substr(4), key.data(), key.size()))
            return Status(kMifareBadParameters);
        (*t == MifareKeyType::A ? m.mifare.eepromA : m.mifare.eepromB)[sector] = key;
        return Status(kMifareOk);
    };
}

} // namespace emu
