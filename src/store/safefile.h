#pragma once

// Files a user keeps: dumps, backups, profiles, saved settings. They are
// written whole or not at all, never readable by others (they may hold keys),
// and read with a bound, since a user may be handed any path.

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// Replaces `path` with `data`: a private temporary file in the same folder,
// synced, then renamed over it. The result is 0600 whatever the umask or the
// old file's mode. A symbolic link stays: the file it leads to is replaced.
// Errors start with the path.
bool SaveFileAtomically(const QString& path, const QByteArray& data, QString* error = nullptr);

// Creates `path` with `data`, whole, where no file of that name exists; an
// existing one is refused ("exists") and left alone. 0600. Where the file
// system has no hard links, the file is created with O_EXCL, written and synced
// under its name instead (a failure removes it again).
bool SaveFileExclusively(const QString& path, const QByteArray& data, QString* error = nullptr);

// Makes `path` with `data`, whole, where no file of that name is, and keeps
// it open: written and synced under a private temporary name, `ready` run on
// it first (a list locks itself), then linked into place, which never replaces
// a file; where the file system has no hard links, created with O_EXCL under
// its name instead; its folder synced. The descriptor, or -1 with `err`
// (EEXIST: the name is taken).
int CreateWhole(const QString& path, const QByteArray& data,
                const std::function<bool(int fd)>& ready, int& err);

// A new file in `folder` named "STEM-TIME.EXT" (TIME in UTC to the
// millisecond), "-2", "-3"... added where that name is taken: it is created
// exclusively, never over another file, so two runs in the same millisecond
// each keep their own. 0600. Returns the path.
std::optional<QString> SaveNewFile(const QString& folder, const QString& stem,
                                   const QString& extension, const QByteArray& data,
                                   QString* error = nullptr);

// Where `path` leads through symbolic links: the file that would be written.
QString ThroughLinks(const QString& path);

// Why `path` (links resolved) may not be replaced by a saved file: a folder,
// a device or a pipe; "" for a regular file or none at all.
QString NotAFileToReplace(const QString& path);
// Why a new file cannot be made at `path`: "no folder F" or "cannot write in
// F"; "" where its folder takes it.
QString FolderRefusal(const QString& path);

// `stem` with everything but ASCII letters, digits and '-' made '_', and
// "unknown" for nothing: safe as part of a file name.
QString FileNamePart(const QString& stem);

// Reads a file a user named: a regular file (not a device, a pipe or a folder)
// of at most `limit` bytes. Errors start with the path and say why.
std::optional<QByteArray> ReadUserFile(const QString& path, qint64 limit, QString* error = nullptr);

// Larger than any key, dump or profile file this tool reads (a 4K card's JSON
// image is about 40 KiB).
inline constexpr qint64 kUserFileLimit = 4 * 1024 * 1024;
