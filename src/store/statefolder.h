#pragma once

// Where the tool keeps what it writes for the user's own sake: the backups
// taken before it changes a card or a reader.

#include <QByteArray>
#include <QString>

#include <optional>

// $XDG_STATE_HOME/tesmora/backups, else ~/.local/state/tesmora/backups, made
// private (0700) where missing; none, with the reason in `error`, when it
// cannot be made. A folder that lets others in is made 0700, and `notice`
// (where given) says so.
std::optional<QString> BackupFolder(QString* error = nullptr, QString* notice = nullptr);

// Saves `data` as a new backup, "STEM-TIME.EXT" in the backup folder, never
// over another file (see SaveNewFile). Card backups take "card-UID", reader
// profiles the reader's serial number. Returns the path.
std::optional<QString> SaveBackup(const QString& stem, const QString& extension,
                                  const QByteArray& data, QString* error = nullptr,
                                  QString* notice = nullptr);
