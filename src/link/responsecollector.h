#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// link::X is reached through the inline namespace: a plain global namespace
// `link` would clash with POSIX link() from <unistd.h>, which <atomic> pulls in.
inline namespace tesmora {
namespace link {

constexpr int kReceiveBufferSize = 1024;

// What one byte fed to the collector did.
enum class Fed {
    More,     // stored; the frame goes on
    Complete, // stored a 0x0D that ends a frame starting with 0x0A
    Full,     // the buffer is full: this byte took the last slot, or nothing was stored
};

// Collects the bytes of one response in the 1024-byte receive buffer. A frame
// is complete when a 0x0D arrives and the first byte is 0x0A. The buffer never
// wraps: once its last slot is taken it is full and takes nothing more, so an
// over-long answer cannot pass for a short one.
class ResponseCollector
{
public:
    void Clear();
    Fed Feed(uint8_t b);
    int Length() const { return length_; }
    const uint8_t* Data() const { return buffer_.data(); }
    std::string Text() const; // the first Length() bytes

private:
    std::array<uint8_t, kReceiveBufferSize> buffer_{};
    int length_ = 0;
};

} // namespace link
} // namespace tesmora
