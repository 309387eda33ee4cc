#include "democard.h"

#include <algorithm>

namespace emu {

namespace {

constexpr MifareKey kFF = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr MifareKey kZero = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr MifareKey kA0 = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
constexpr MifareKey kB0 = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};
constexpr MifareKey kD3 = {0xD3, 0xF7, 0xD3, 0xF7, 0xD3, 0xF7};
constexpr MifareKey kAA = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

// Access bytes 6-8 and the general-purpose byte 9 by the conditions they give.
constexpr MifareAccess kDelivery = {0xFF, 0x07, 0x80, 0x69}; // data 000, trailer 001
constexpr MifareAccess kWriteB = {0x78, 0x77, 0x88, 0x69};   // data 100, trailer 011
constexpr MifareAccess kOpen = {0x7F, 0x07, 0x88, 0x69};     // data 000, trailer 011
constexpr MifareAccess kOnlyB = {0x0F, 0x00, 0xFF, 0x69};    // data 011, trailer 011
constexpr MifareAccess kValue = {0x5D, 0x27, 0x8A, 0x69};    // data 000 110 000, trailer 011

const std::vector<DemoSector> kSectors = {
    {2, kA0, kWriteB, kB0, false},
    {3, kD3, kOpen, kD3, false},
    {4, kAA, kOnlyB, kZero, false},
    {5, kD3, kDelivery, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB}, true},
    {6, kZero, kDelivery, kB0, true},
    {7, kA0, kValue, kB0, false},
    {8, {0x3B, 0x9F, 0x21, 0xC0, 0x5D, 0x7E}, kOpen, {0x8C, 0x4A, 0x6E, 0x1F, 0x0B, 0x93}, false},
    {9, {0xE2, 0x71, 0x5A, 0x3C, 0xD0, 0x8F}, kOpen, {0x16, 0xBD, 0x4F, 0x92, 0xA7, 0xC5}, false},
    {32, kAA, kOpen, kZero, false},
    {39, {0x5D, 0x0C, 0x8E, 0x3A, 0x17, 0xF2}, kOpen, {0xA9, 0x4B, 0x26, 0xE0, 0xC7, 0xD1}, false},
};

MifareBlock Text(const std::string& s)
{
    MifareBlock b{};
    std::copy_n(s.begin(), std::min(s.size(), b.size()), b.begin());
    return b;
}

} // namespace

std::vector<DemoSector> DemoCardSectors(MifareSize size)
{
    const MifareCard blank(size);
    std::vector<DemoSector> all;
    for (int s = 0; s < blank.Sectors(); ++s) {
        const auto it = std::find_if(kSectors.begin(), kSectors.end(),
                                     [s](const DemoSector& d) { return d.sector == s; });
        all.push_back(it != kSectors.end() ? *it : DemoSector{s, kFF, kDelivery, kFF, true});
    }
    return all;
}

std::vector<DemoBlock> DemoCardBlocks(MifareSize size)
{
    std::vector<DemoBlock> b = {
        {4, Text(size == MifareSize::k1K ? "Tesmora demo 1K " : "Tesmora demo 4K ")},
        {8, Text("written by key B")},
        {16, Text("only key B reads")},
        {29, MifareValueBlock(100, 1)},
    };
    if (size == MifareSize::k4K)
        b.push_back({133, Text("16-block sector ")});
    return b;
}

MifareCard DemoCard(MifareSize size)
{
    MifareCard card(size);
    for (const DemoSector& s : DemoCardSectors(size))
        card.SetTrailer(s.sector, s.keyA, s.access, s.keyB);
    for (const DemoBlock& b : DemoCardBlocks(size))
        card.SetRaw(b.block, b.data);
    return card;
}

} // namespace emu
