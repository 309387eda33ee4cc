// Reader profiles a user was handed. Input: one byte, a required type (0-7)
// or none, then the file. Property: a profile read, saved and read again is
// the same profile, saved the same way.
#include <cstdint>

#include "check.h"
#include "profile/profile.h"

namespace {

bool Same(const profile::Profile& a, const profile::Profile& b)
{
    return a.type == b.type && a.id == b.id && a.modeIndex == b.modeIndex &&
           profile::Compare(a, b).empty() && a.serial == b.serial && a.version == b.version &&
           a.port == b.port && a.time == b.time;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const std::optional<int> type = data[0] < 8 ? std::optional<int>(data[0]) : std::nullopt;
    const profile::Parsed parsed = profile::Parse(
        QByteArray(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1)), type);
    FUZZ_CHECK(parsed.profile.has_value() != parsed.refusal.has_value());
    if (!parsed.profile)
        return 0;
    const QByteArray saved = profile::ToJson(*parsed.profile);
    const profile::Parsed again = profile::Parse(saved, type);
    FUZZ_CHECK(again.profile.has_value());
    FUZZ_CHECK(Same(*again.profile, *parsed.profile));
    FUZZ_CHECK(profile::ToJson(*again.profile) == saved);
    return 0;
}
