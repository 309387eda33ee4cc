#include "link/payload.h"

#include "link/frame.h"

inline namespace tesmora {
namespace link {

std::optional<std::string> PayloadBytes(const QString& payload)
{
    if (payload.size() > static_cast<qsizetype>(kMaxPayload))
        return std::nullopt;
    std::string bytes;
    bytes.reserve(static_cast<size_t>(payload.size()));
    for (QChar c : payload) {
        if (c.unicode() > 0xFF)
            return std::nullopt;
        bytes += static_cast<char>(c.unicode());
    }
    return bytes;
}

QString PayloadText(const std::string& bytes)
{
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

} // namespace link
} // namespace tesmora
