#pragma once

// Where the tool keeps what it writes for the user's own sake: the backups
// taken before it changes a card or a reader.

#include <QString>

#include <optional>

// $XDG_STATE_HOME/tesmora/backups, else ~/.local/state/tesmora/backups, made
// private (0700) where missing; none, with the reason in `error`, when it
// cannot be made.
std::optional<QString> BackupFolder(QString* error = nullptr);

// A new file name in the backup folder: `stem`, the local time to the second
// and `extension` ("card-20261208-150913.json"); a number is added where such
// a file exists already.
std::optional<QString> NewBackupPath(const QString& stem, const QString& extension,
                                     QString* error = nullptr);
