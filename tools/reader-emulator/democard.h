#pragma once

// A preset MIFARE Classic card whose sectors differ, for the demo and the benchmarks. Sectors
// not listed below are in the delivery state (key A and B FFFFFFFFFFFF, access FF078069,
// where key A reads key B, so key B opens nothing).
//
//   sector  key A         access    key B         what
//   0       FFFFFFFFFFFF  FF078069  FFFFFFFFFFFF  delivery state, block 0 the maker's
//   1       FFFFFFFFFFFF  FF078069  FFFFFFFFFFFF  delivery state; block 4: text
//   2       A0A1A2A3A4A5  78778869  B0B1B2B3B4B5  data read A|B, write B; block 8: text
//   3       D3F7D3F7D3F7  7F078869  D3F7D3F7D3F7  data read and write A|B, keys set with B
//   4       AABBCCDDEEFF  0F00FF69  000000000000  data read and written only with key B;
//                                                 block 16: text
//   5       D3F7D3F7D3F7  FF078069  0123456789AB  key B readable with key A (so no key)
//   6       000000000000  FF078069  B0B1B2B3B4B5  key B readable: a listed key that fails
//   7       A0A1A2A3A4A5  5D278A69  B0B1B2B3B4B5  block 29: value block 100, address 1
//                                                 (read A|B, write and increment B,
//                                                 decrement A|B)
//   8, 9    keys of our own that no public list has (see the table)
//   4K only:
//   32      AABBCCDDEEFF  7F078869  000000000000  a 16-block sector; block 133: text
//   39      keys of our own
//
// The tables below hold the same as data, for tests that read the card with key lists.

#include <string>
#include <vector>

#include "mifare.h"

namespace emu {

struct DemoSector
{
    int sector;
    MifareKey keyA;
    MifareAccess access; // bytes 6-9 of the trailer
    MifareKey keyB;
    bool keyBReadable; // key A reads key B, so key B opens nothing
};

struct DemoBlock
{
    int block;
    MifareBlock data;
};

// Every sector of the preset of that size, in order.
std::vector<DemoSector> DemoCardSectors(MifareSize size);
// The data blocks that are not zero (block 0 aside): text and the value block.
std::vector<DemoBlock> DemoCardBlocks(MifareSize size);
MifareCard DemoCard(MifareSize size = MifareSize::k4K);

} // namespace emu
