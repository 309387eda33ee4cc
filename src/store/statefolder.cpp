#include "statefolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "safefile.h"

namespace {

constexpr QFile::Permissions kPrivate = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
constexpr QFile::Permissions kOthers = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                       QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;

} // namespace

std::optional<QString> BackupFolder(QString* error, QString* notice)
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    // A relative XDG_STATE_HOME would depend on where the tool was started: it counts as unset.
    if (state.isEmpty() || QDir::isRelativePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    const QString folder = state + QStringLiteral("/tesmora/backups");
    const QFileInfo info(folder);
    if (!info.exists()) {
        // Backups hold keys: the folders made here are the user's alone.
        for (const QString& dir : {state + QStringLiteral("/tesmora"), folder}) {
            if (QFileInfo::exists(dir))
                continue;
            if (!QDir().mkpath(dir) || !QFile::setPermissions(dir, kPrivate)) {
                if (error)
                    *error = QStringLiteral("cannot make the backup folder %1").arg(dir);
                return std::nullopt;
            }
        }
    } else if (!info.isDir() || !info.isWritable()) {
        if (error)
            *error = QStringLiteral("cannot write the backup folder %1").arg(folder);
        return std::nullopt;
    } else if (info.permissions() & kOthers) {
        // Made by an older version, or by hand: its files hold keys.
        if (!QFile::setPermissions(folder, kPrivate)) {
            if (error)
                *error = QStringLiteral("cannot make the backup folder %1 private").arg(folder);
            return std::nullopt;
        }
        if (notice)
            *notice = QStringLiteral("the backup folder %1 was open to others; it is now 0700")
                          .arg(folder);
    }
    return folder;
}

std::optional<QString> SaveBackup(const QString& stem, const QString& extension,
                                  const QByteArray& data, QString* error, QString* notice)
{
    const auto folder = BackupFolder(error, notice);
    if (!folder)
        return std::nullopt;
    return SaveNewFile(*folder, stem, extension, data, error);
}
