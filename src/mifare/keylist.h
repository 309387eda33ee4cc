#pragma once

// Lists of candidate keys: the well-known public defaults, key files of one
// key a line, and merging. A key is 12 upper-case hexadecimal digits.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace mifare {

// The public default and transport keys, the most common first.
const QStringList& DefaultKeys();

// One key of 12 hexadecimal digits a line, either case; '#' starts a comment,
// also after a key; blank lines and surrounding spaces are ignored. None, with
// "FILE, line N: ..." in `error`, at the first line that is not a key.
std::optional<QStringList> ParseKeyFile(const QByteArray& text, const QString& fileName,
                                        QString* error = nullptr);
// The same from a file; an unreadable file is an error naming it.
std::optional<QStringList> ReadKeyFile(const QString& path, QString* error = nullptr);

// The lists one after the other, each key once, where it first appears.
QStringList MergeKeys(const QList<QStringList>& lists);

} // namespace mifare
