#pragma once

#include <string_view>

// link::X is reached through the inline namespace: a plain global namespace
// `link` would clash with POSIX link() from <unistd.h>, which <atomic> pulls in.
inline namespace tesmora {
namespace link {

constexpr int kIdentifyAnswerLength = 16;

// The identify answer counts only with exactly 16 bytes.
bool IdentifyAccepted(bool exchanged, int responseLength);

// Status "00" at offsets 5 and 6 of a frame of exactly the required length.
bool StatusAccepted(bool exchanged, std::string_view response, int responseLength,
                    int requiredLength);

// A block write's answer: 42 bytes, status "00", and offsets 7-38 equal to the data written.
bool BlockEchoAccepted(bool exchanged, std::string_view response, int responseLength,
                       std::string_view dataWritten);

} // namespace link
} // namespace tesmora
