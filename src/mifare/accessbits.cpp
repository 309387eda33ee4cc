#include "accessbits.h"

#include <utility>

namespace mifare {

namespace {

using G = Group;
using C = Caption;

// The data-block table of MIFARE Classic: Read, Write, Increment, Decrement.
constexpr std::array<std::array<Caption, 4>, 8> kDataPictures = {{
    {C::AB, C::AB, C::AB, C::AB},             // 000
    {C::AB, C::Never, C::Never, C::AB},       // 001
    {C::AB, C::Never, C::Never, C::Never},    // 010
    {C::B, C::B, C::Never, C::Never},         // 011
    {C::AB, C::B, C::Never, C::Never},        // 100
    {C::B, C::Never, C::Never, C::Never},     // 101
    {C::AB, C::B, C::B, C::AB},               // 110
    {C::Never, C::Never, C::Never, C::Never}, // 111
}};

// The trailer table: key A read and write, access bits read and write, key B
// read and write. 110 and 111 look alike; the first match makes it 110.
constexpr std::array<std::array<Caption, 6>, 8> kTrailerPictures = {{
    {C::Never, C::A, C::A, C::Never, C::A, C::A},              // 000
    {C::Never, C::A, C::A, C::A, C::A, C::A},                  // 001
    {C::Never, C::Never, C::A, C::Never, C::A, C::Never},      // 010
    {C::Never, C::B, C::AB, C::B, C::Never, C::B},             // 011
    {C::Never, C::B, C::AB, C::Never, C::Never, C::B},         // 100
    {C::Never, C::Never, C::AB, C::B, C::Never, C::Never},     // 101
    {C::Never, C::Never, C::AB, C::Never, C::Never, C::Never}, // 110
    {C::Never, C::Never, C::AB, C::Never, C::Never, C::Never}, // 111
}};

} // namespace

const std::array<AccessButton, kAccessButtonCount> kAccessButtons = {{
    // Block 0.
    {1, 0, G::Read, C::AB, 0b110},
    {2, 0, G::Read, C::B, 0b011},
    {3, 0, G::Read, C::Never, 0b111},
    {31, 0, G::Write, C::AB, 0b000},
    {32, 0, G::Write, C::B, 0b100},
    {33, 0, G::Write, C::Never, 0b001},
    {7, 0, G::Increment, C::AB, 0b000},
    {11, 0, G::Increment, C::B, 0b110},
    {9, 0, G::Increment, C::Never, 0b101},
    {8, 0, G::Decrement, C::AB, 0b110},
    {10, 0, G::Decrement, C::Never, 0b010},
    // Block 1.
    {4, 1, G::Read, C::AB, 0b110},
    {5, 1, G::Read, C::B, 0b011},
    {6, 1, G::Read, C::Never, 0b111},
    {19, 1, G::Write, C::AB, 0b000},
    {20, 1, G::Write, C::B, 0b100},
    {21, 1, G::Write, C::Never, 0b001},
    {13, 1, G::Increment, C::AB, 0b000},
    {15, 1, G::Increment, C::B, 0b110},
    {14, 1, G::Increment, C::Never, 0b101},
    {16, 1, G::Decrement, C::AB, 0b110},
    {17, 1, G::Decrement, C::Never, 0b010},
    // Block 2.
    {22, 2, G::Read, C::AB, 0b110},
    {23, 2, G::Read, C::B, 0b011},
    {24, 2, G::Read, C::Never, 0b111},
    {34, 2, G::Write, C::AB, 0b000},
    {35, 2, G::Write, C::B, 0b100},
    {36, 2, G::Write, C::Never, 0b001},
    {25, 2, G::Increment, C::AB, 0b000},
    {27, 2, G::Increment, C::B, 0b110},
    {26, 2, G::Increment, C::Never, 0b101},
    {28, 2, G::Decrement, C::AB, 0b110},
    {29, 2, G::Decrement, C::Never, 0b010},
    // The trailer.
    {38, 3, G::KeyARead, C::Never, 0b001},
    {46, 3, G::KeyAWrite, C::A, 0b000},
    {47, 3, G::KeyAWrite, C::B, 0b011},
    {12, 3, G::KeyAWrite, C::Never, 0b101},
    {42, 3, G::AccessRead, C::A, 0b010},
    {49, 3, G::AccessRead, C::AB, 0b100},
    {43, 3, G::AccessWrite, C::A, 0b001},
    {44, 3, G::AccessWrite, C::B, 0b011},
    {45, 3, G::AccessWrite, C::Never, 0b110},
    {48, 3, G::KeyBRead, C::A, 0b001},
    {37, 3, G::KeyBRead, C::Never, 0b011},
    {39, 3, G::KeyBWrite, C::A, 0b001},
    {40, 3, G::KeyBWrite, C::B, 0b011},
    {41, 3, G::KeyBWrite, C::Never, 0b110},
}};

Caption PictureCaption(Group group, Condition condition)
{
    const auto g = static_cast<size_t>(group);
    const auto c = static_cast<size_t>(condition);
    return g < kDataPictures[c].size() ? kDataPictures[c][g]
                                       : kTrailerPictures[c][g - kDataPictures[c].size()];
}

std::optional<Condition> BlockCondition(int block,
                                        const std::function<bool(const AccessButton&)>& checked)
{
    for (Condition c = 0; c < 8; ++c) {
        bool all = true;
        for (const AccessButton& b : kAccessButtons)
            if (b.block == block && b.caption == PictureCaption(b.group, c))
                all = all && checked(b);
        if (all)
            return c;
    }
    return std::nullopt;
}

QString AccessBitsText(const std::array<std::optional<Condition>, 4>& conditions)
{
    unsigned b6 = 0, b7 = 0, b8 = 0;
    for (unsigned b = 0; b < 4; ++b) {
        const auto& c = conditions[b];
        if (!c)
            continue;
        const bool c1 = *c & 0b100, c2 = *c & 0b010, c3 = *c & 0b001;
        b6 |= c1 ? 0 : 1u << b;
        b7 |= c3 ? 0 : 1u << b;
        b8 |= c2 ? 1u << b : 0;
    }
    // The high nibbles from the low ones: C1 into byte 7, C3 into byte 8, NOT C2 into byte 6.
    b7 |= (~b6 & 0x0Fu) << 4;
    b8 |= (~b7 & 0x0Fu) << 4;
    b6 |= (~b8 & 0x0Fu) << 4;
    return QString::asprintf("%02X%02X%02XAA", b6, b7, b8);
}

Relabel RelabelBy(int number)
{
    static constexpr std::pair<int, Relabel> kRelabels[] = {
        {42, Relabel::ToA}, {43, Relabel::ToA}, {49, Relabel::ToAB}, {44, Relabel::ToAB}};
    for (const auto& [button, relabel] : kRelabels)
        if (button == number)
            return relabel;
    return Relabel::None;
}

} // namespace mifare
