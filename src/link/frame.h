#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// link::X is reached through the inline namespace: a plain global namespace
// `link` would clash with POSIX link() from <unistd.h>, which <atomic> pulls in.
inline namespace tesmora {
namespace link {

constexpr size_t kMaxPayload = 255;
constexpr int kResponseDeadlineMs = 300;
// How long an answer in flight is still awaited once a stop was requested.
constexpr int kStopGraceMs = 100;

// Two upper-case hexadecimal digits, high digit first.
std::string ByteToHex(uint8_t b);

// 0x09, payload, checksum high, checksum low, 0x0D. nullopt for a payload over 255 bytes.
std::optional<std::string> BuildCommandFrame(std::string_view payload);

// Panel 0 text of a sent frame: "[09]" + payload + checksum + "[0D]".
std::string SentDisplay(std::string_view payload);

// Panel 1 text: bytes 0x20..0x7F as characters, every other byte as "[XX]".
std::string ReceivedDisplay(const uint8_t* data, size_t count);

// Checksum test of a complete response frame of `count` bytes (exact, upper-case only).
bool ResponseChecksumValid(const uint8_t* data, size_t count);

// The first 8 characters read as hexadecimal (other characters and missing ones count 0).
int32_t HexText8ToNumber(std::string_view text);

// 16 hexadecimal characters through the two-way mask, as 16 upper-case digits.
std::string UnscrambleHex16(std::string_view text);

} // namespace link
} // namespace tesmora
