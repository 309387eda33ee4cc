#pragma once

#include <optional>
#include <string_view>

inline namespace tesmora {
namespace link {

// A whole text of decimal digits, with an optional leading sign, as an int; nullopt for
// anything else (empty, other characters, out of range). The one decimal reading of the
// program: mode strings, stored settings and the reader's answer fields.
std::optional<int> ParseDecimal(std::string_view text);

} // namespace link
} // namespace tesmora
