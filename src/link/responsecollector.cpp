#include "link/responsecollector.h"

inline namespace tesmora {
namespace link {

void ResponseCollector::Clear()
{
    buffer_.fill(0);
    length_ = 0;
}

bool ResponseCollector::Feed(uint8_t b)
{
    buffer_[static_cast<size_t>(length_)] = b;
    ++length_;
    // Oversized answers do not occur; storing simply starts over at the front.
    if (length_ >= kReceiveBufferSize)
        length_ = 0;
    return b == 0x0D && buffer_[0] == 0x0A;
}

std::string ResponseCollector::Text() const
{
    return std::string(reinterpret_cast<const char*>(buffer_.data()), static_cast<size_t>(length_));
}

} // namespace link
} // namespace tesmora
