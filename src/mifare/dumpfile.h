#pragma once

// Card images in files: the text dumps of MIFARE Classic Tool, the binary
// dumps of libnfc's tools and a JSON form that also keeps which key read each
// block. Everything goes through bytes in memory; the file helpers are thin.

#include <QByteArray>
#include <QString>

#include <optional>

#include "cardimage.h"

namespace mifare {

enum class DumpFormat {
    Mct,  // "+Sector: N", then a line of 32 digits a block, '-' for each unknown digit
    Mfd,  // 1024 or 4096 bytes, block after block, unknown bytes as 00
    Json, // format name and version, size, one entry a block with its hex and readBy
};

// By the file's extension, either case: .mct and .txt, .mfd and .bin, .json.
std::optional<DumpFormat> FormatOfPath(const QString& path);
// By the names an option gives: "mct", "mfd", "json".
std::optional<DumpFormat> FormatNamed(const QString& name);
QString FormatName(DumpFormat format);

// The JSON form's name and the one version this code reads and writes.
inline constexpr char kJsonFormatName[] = "tesmora-mifare-image";
constexpr int kJsonFormatVersion = 1;

QByteArray WriteDump(const CardImage& image, DumpFormat format);
// The unknown bytes of `image` that `format` writes as known ones: a binary
// dump's 00s, which read back as data. The front ends say so.
int UnknownBytesWrittenAsZero(const CardImage& image, DumpFormat format);
// None, with the line, block or size that is wrong in `error`, for a file the
// format does not allow. A binary dump has every byte known: it cannot say
// otherwise.
std::optional<CardImage> ReadDump(const QByteArray& data, DumpFormat format,
                                  QString* error = nullptr);

// The format from the extension when none is given. The file is replaced
// whole or not at all. Errors start with the path.
bool SaveDump(const QString& path, const CardImage& image,
              std::optional<DumpFormat> format = std::nullopt, QString* error = nullptr);
std::optional<CardImage> LoadDump(const QString& path,
                                  std::optional<DumpFormat> format = std::nullopt,
                                  QString* error = nullptr);

} // namespace mifare
