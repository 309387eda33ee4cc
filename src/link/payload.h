#pragma once

#include <QString>

#include <optional>
#include <string>

inline namespace tesmora {
namespace link {

// The bytes of a payload: each character one byte, as Latin-1 reads them back.
// nullopt for a character with no single-byte form, or for more than 255 of them,
// which no frame can carry.
std::optional<std::string> PayloadBytes(const QString& payload);

// Answer bytes as text, one character per byte: the inverse of PayloadBytes.
QString PayloadText(const std::string& bytes);

} // namespace link
} // namespace tesmora
