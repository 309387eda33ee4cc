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

// Collects the bytes of one response in the 1024-byte receive buffer. The
// count wraps to 0 when it reaches the buffer size, so storing continues at the
// start. A frame is complete when a 0x0D arrives and the first byte is 0x0A.
class ResponseCollector
{
public:
    void Clear();
    // Stores one byte; true when it completed a frame.
    bool Feed(uint8_t b);
    int Length() const { return length_; }
    const uint8_t* Data() const { return buffer_.data(); }
    std::string Text() const; // the first Length() bytes

private:
    std::array<uint8_t, kReceiveBufferSize> buffer_{};
    int length_ = 0;
};

} // namespace link
} // namespace tesmora
