#include "link/frame.h"

#include <array>

inline namespace tesmora {
namespace link {

namespace {

constexpr uint8_t kCommandStart = 0x09;
constexpr uint8_t kFrameEnd = 0x0D;

char HexDigit(unsigned v)
{
    return static_cast<char>(v < 10 ? 0x30 + v : 0x37 + v);
}

// Upper-case hexadecimal digits only; anything else, lower case included, counts 0.
unsigned DigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<unsigned>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<unsigned>(c - 'A' + 10);
    return 0;
}

uint8_t CommandChecksum(std::string_view payload)
{
    uint8_t c = kCommandStart;
    for (char ch : payload)
        c ^= static_cast<uint8_t>(ch);
    return c;
}

} // namespace

std::string ByteToHex(uint8_t b)
{
    return {HexDigit(b >> 4), HexDigit(b & 0x0F)};
}

std::optional<std::string> BuildCommandFrame(std::string_view payload)
{
    if (payload.size() > kMaxPayload)
        return std::nullopt;
    std::string frame;
    frame.reserve(payload.size() + 4);
    frame += static_cast<char>(kCommandStart);
    frame += payload;
    frame += ByteToHex(CommandChecksum(payload));
    frame += static_cast<char>(kFrameEnd);
    return frame;
}

std::string SentDisplay(std::string_view payload)
{
    std::string text = "[09]";
    text += payload;
    text += ByteToHex(CommandChecksum(payload));
    text += "[0D]";
    return text;
}

std::string ReceivedDisplay(const uint8_t* data, size_t count)
{
    std::string text;
    text.reserve(count * 4);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = data[i];
        if (b >= 0x20 && b <= 0x7F) {
            text += static_cast<char>(b);
        } else {
            text += '[';
            text += ByteToHex(b);
            text += ']';
        }
    }
    return text;
}

bool ResponseChecksumValid(const uint8_t* data, size_t count)
{
    if (data == nullptr || count < 4)
        return false;
    uint8_t x = 0;
    for (size_t i = 0; i + 3 < count; ++i)
        x ^= data[i];
    const std::string expected = ByteToHex(x);
    return data[count - 3] == static_cast<uint8_t>(expected[0]) &&
           data[count - 2] == static_cast<uint8_t>(expected[1]);
}

int32_t HexText8ToNumber(std::string_view text)
{
    uint32_t value = 0;
    for (size_t i = 0; i < 8; ++i) {
        const unsigned digit = i < text.size() ? DigitValue(text[i]) : 0;
        value = value * 16 + digit;
    }
    return static_cast<int32_t>(value);
}

std::string UnscrambleHex16(std::string_view text)
{
    static constexpr std::array<uint8_t, 8> kMask = {0x5B, 0x2E, 0x91, 0xC4,
                                                     0x7A, 0x0D, 0xE6, 0x38};
    std::string out;
    out.reserve(16);
    for (size_t i = 0; i < 8; ++i) {
        const unsigned hi = 2 * i < text.size() ? DigitValue(text[2 * i]) : 0;
        const unsigned lo = 2 * i + 1 < text.size() ? DigitValue(text[2 * i + 1]) : 0;
        const auto b = static_cast<uint8_t>((hi << 4) | lo);
        out += ByteToHex(static_cast<uint8_t>(b ^ kMask[7 - i]));
    }
    return out;
}

} // namespace link
} // namespace tesmora
