#include "link/answers.h"

inline namespace tesmora {
namespace link {

namespace {

constexpr int kBlockAnswerLength = 42;
constexpr size_t kStatusOffset = 5;
constexpr size_t kBlockDataOffset = 7;
constexpr size_t kBlockDataLength = 32;

bool StatusOk(std::string_view response)
{
    return response.size() >= kStatusOffset + 2 && response.substr(kStatusOffset, 2) == "00";
}

} // namespace

bool IdentifyAccepted(bool exchanged, int responseLength)
{
    return exchanged && responseLength == kIdentifyAnswerLength;
}

bool StatusAccepted(bool exchanged, std::string_view response, int responseLength,
                    int requiredLength)
{
    return exchanged && responseLength == requiredLength && StatusOk(response);
}

bool BlockEchoAccepted(bool exchanged, std::string_view response, int responseLength,
                       std::string_view dataWritten)
{
    if (!exchanged || responseLength != kBlockAnswerLength || !StatusOk(response))
        return false;
    if (response.size() < kBlockDataOffset + kBlockDataLength)
        return false;
    return response.substr(kBlockDataOffset, kBlockDataLength) == dataWritten;
}

} // namespace link
} // namespace tesmora
