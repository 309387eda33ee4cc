#pragma once

// The MIFARE operations as command sequences over the link: the reader's key
// store and ID location, and block and trailer access to the card in its field.

#include <QString>

#include <functional>
#include <optional>

#include "link/commandlink.h"

namespace mifare {

using link::Addressee;
using link::CommandLink;

// "d60"/"d61" + sector + key into the reader's EEPROM: accepted only with a
// 10-byte answer whose status is "00".
bool WriteKeyToEeprom(CommandLink& link, const Addressee& to, bool keyB, int sector,
                      const QString& key);

// "a" + sector, block, byte, key type and key-error indication, two hex digits each.
bool SetIdLocation(CommandLink& link, const Addressee& to, int sector, int block, int byte,
                   bool keyB, int indication);

// The block's 32 digits, handed over as soon as the reader gave them, before
// mode off and before the operation's outcome.
using BlockShown = std::function<void(const QString& data)>;

// Identify, mode on, load key, then "h60"/"h61" + block: the block's 32 digits
// from a 42-byte answer with status "00". Mode off once at the end.
std::optional<QString> ReadBlock(CommandLink& link, const Addressee& to, bool keyB, int block,
                                 const QString& key, const BlockShown& shown = {});

// The same with "i60"/"i61" + block + data: the answer must also echo the data.
std::optional<QString> WriteBlock(CommandLink& link, const Addressee& to, bool keyB, int block,
                                  const QString& key, const QString& data,
                                  const BlockShown& shown = {});

// Identify, mode on, then "i60"/"i61" + old key + trailer block + contents: a
// 42-byte answer with status "00"; its echo is not compared. Mode off at the end.
bool WriteTrailer(CommandLink& link, const Addressee& to, bool oldKeyB, const QString& oldKey,
                  int trailerBlock, const QString& contents);

} // namespace mifare
