#include "carddump.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

namespace emu {

namespace {

std::string Trimmed(const std::string& s)
{
    const size_t end = s.find('#');
    const std::string t = s.substr(0, end);
    const size_t first = t.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return t.substr(first, t.find_last_not_of(" \t\r") + 1 - first);
}

std::string Upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

std::optional<MifareCard> ParseCardDump(const std::string& text, std::string* error)
{
    const std::string kHeader = "+Sector:";
    std::vector<MifareBlock> blocks(MifareCard::kBlocks);
    std::vector<bool> seen(MifareCard::kSectors);
    int sector = -1;
    int filled = 0; // blocks of the current sector so far
    int lineNo = 0;
    auto fail = [&](const std::string& why) {
        *error = "line " + std::to_string(lineNo) + ": " + why;
        return std::nullopt;
    };
    auto shortOf = [&]() {
        return "sector " + std::to_string(sector) + " has " + std::to_string(filled) + " of its " +
               std::to_string(MifareCard::BlockCount(sector)) + " blocks";
    };
    std::istringstream in(text);
    std::string raw;
    while (std::getline(in, raw)) {
        ++lineNo;
        const std::string line = Trimmed(raw);
        if (line.empty())
            continue;
        if (line.compare(0, kHeader.size(), kHeader) == 0) {
            if (sector >= 0 && filled < MifareCard::BlockCount(sector))
                return fail(shortOf());
            const std::string n = Trimmed(line.substr(kHeader.size()));
            if (n.empty() || n.size() > 2 || n.find_first_not_of("0123456789") != n.npos ||
                std::stoi(n) >= MifareCard::kSectors)
                return fail("not a sector number from 0 to 39: " + line);
            sector = std::stoi(n);
            if (seen[static_cast<size_t>(sector)])
                return fail("sector " + n + " appears twice");
            seen[static_cast<size_t>(sector)] = true;
            filled = 0;
            continue;
        }
        if (sector < 0)
            return fail("a block before the first \"+Sector: N\" line");
        if (filled == MifareCard::BlockCount(sector))
            return fail("sector " + std::to_string(sector) + " has more than " +
                        std::to_string(filled) + " blocks");
        if (line.find('-') != std::string::npos)
            return fail("unknown bytes (-) cannot be put on an emulated card");
        MifareBlock& b = blocks[static_cast<size_t>(MifareCard::FirstBlock(sector) + filled)];
        if (!MifareParseHex(Upper(line), b.data(), b.size()))
            return fail("not a block of 32 hexadecimal digits: " + line);
        ++filled;
    }
    if (sector >= 0 && filled < MifareCard::BlockCount(sector))
        return fail(shortOf());
    // A sector past 15 makes it a 4K card; then sectors 0 to 39 must all be there.
    const bool k4 = std::find(seen.begin() + 16, seen.end(), true) != seen.end();
    MifareCard card(k4 ? MifareSize::k4K : MifareSize::k1K);
    std::string missing;
    for (int s = 0; s < card.Sectors(); ++s)
        if (!seen[static_cast<size_t>(s)])
            missing += (missing.empty() ? "" : ", ") + std::to_string(s);
    if (!missing.empty()) {
        *error = std::string("sectors missing from a ") + (k4 ? "4K" : "1K") + " card: " + missing;
        return std::nullopt;
    }
    for (int b = 0; b < card.Blocks(); ++b)
        card.SetRaw(b, blocks[static_cast<size_t>(b)]);
    return card;
}

std::string CardDumpText(const MifareCard& card)
{
    std::string text;
    for (int s = 0; s < card.Sectors(); ++s) {
        text += "+Sector: " + std::to_string(s) + "\n";
        for (int b = 0; b < MifareCard::BlockCount(s); ++b)
            text += card.RawHex(MifareCard::FirstBlock(s) + b) + "\n";
    }
    return text;
}

} // namespace emu
