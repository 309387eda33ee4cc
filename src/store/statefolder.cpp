#include "statefolder.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

std::optional<QString> BackupFolder(QString* error)
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
            if (!QDir().mkpath(dir) ||
                !QFile::setPermissions(dir,
                                       QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
                if (error)
                    *error = QStringLiteral("cannot make the backup folder %1").arg(dir);
                return std::nullopt;
            }
        }
    } else if (!info.isDir() || !info.isWritable()) {
        if (error)
            *error = QStringLiteral("cannot write the backup folder %1").arg(folder);
        return std::nullopt;
    }
    return folder;
}

std::optional<QString> NewBackupPath(const QString& stem, const QString& extension, QString* error)
{
    const auto folder = BackupFolder(error);
    if (!folder)
        return std::nullopt;
    const QString base = *folder + QLatin1Char('/') + stem + QLatin1Char('-') +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString path = base + QLatin1Char('.') + extension;
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = base + QStringLiteral("-%1.").arg(n) + extension;
    return path;
}
