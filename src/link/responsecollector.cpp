#include "link/responsecollector.h"

inline namespace tesmora {
namespace link {

void ResponseCollector::Clear()
{
    buffer_.fill(0);
    length_ = 0;
}

Fed ResponseCollector::Feed(uint8_t b)
{
    if (length_ >= kReceiveBufferSize)
        return Fed::Full;
    buffer_[static_cast<size_t>(length_)] = b;
    ++length_;
    if (length_ == kReceiveBufferSize)
        return Fed::Full;
    return b == 0x0D && buffer_[0] == 0x0A ? Fed::Complete : Fed::More;
}

std::string ResponseCollector::Text() const
{
    return std::string(reinterpret_cast<const char*>(buffer_.data()), static_cast<size_t>(length_));
}

} // namespace link
} // namespace tesmora
