// The card decoders on an answer of L bytes. Input: one byte of flags (bit 0:
// the two-way command), one byte counting the trailing bytes, the frame, then
// those trailing bytes, which lie past the answer.
#include <QString>

#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "reader/carddecode.h"

namespace {

bool Same(const reader::CardShown& a, const reader::CardShown& b)
{
    return a.light == b.light && a.text == b.text && a.acknowledge == b.acknowledge;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const bool twoWay = data[0] & 1;
    const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    const size_t trailing = data[1] < rest.size() ? data[1] : rest.size();
    const std::string frame(rest.substr(0, rest.size() - trailing));
    const int L = static_cast<int>(frame.size());
    const auto decode = twoWay ? reader::DecodeTwoWay : reader::DecodeReadCard;
    const QString cardId = QStringLiteral("Card ID");

    const reader::CardShown shown = decode(frame, L, cardId);
    // Bytes past the answer never change what it shows.
    std::string longer = frame + std::string(rest.substr(frame.size()));
    FUZZ_CHECK(Same(decode(longer, L, cardId), shown));
    for (size_t i = frame.size(); i < longer.size(); ++i)
        longer[i] = static_cast<char>(~longer[i]);
    longer += std::string(26, 'K');
    FUZZ_CHECK(Same(decode(longer, L, cardId), shown));

    // Only a two-way answer of 10 bytes or more that carries no key ("K" at
    // offset 6) is answered; a read-card answer never is.
    const bool callsForIt = twoWay && L >= 10 && frame[6] != 'K';
    FUZZ_CHECK(shown.acknowledge == callsForIt);
    return 0;
}
