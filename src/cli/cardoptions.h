#pragma once

// The options the whole-card verbs share: the size, the key lists, the image
// to write and the folder of a file to be written.

#include <QString>
#include <QStringList>

#include <optional>

#include "mifare/cardimage.h"
#include "mifare/dumpfile.h"
#include "verb.h"

namespace cli {

// --size: 1k, 4k, or auto (none: as block 0 tells).
std::optional<mifare::CardSize> Size(const Context& c);
QString SizeName(mifare::CardSize size);
// Each --keys file's keys, then the built-in ones unless --no-default-keys.
QStringList Keys(const Context& c);
mifare::CardImage Load(const QString& path, std::optional<mifare::DumpFormat> format);
// The folder of a file the run will write must take it, and a folder, a
// device or a pipe there is no file to replace.
void CheckFolderFor(const QString& option, const QString& path);

} // namespace cli
