#include "safefile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "diskcalls.h"

namespace {

bool Fail(QString* error, const QString& path, const QString& reason)
{
    if (error)
        *error = QStringLiteral("%1: %2").arg(path, reason);
    return false;
}

// Readies and fills a new file of ours, synced; where that fails, the file
// is closed and removed again (false with `err`).
bool Fill(int fd, const QByteArray& data, const std::function<bool(int fd)>& ready,
          const char* name, int& err)
{
    errno = 0;
    if ((!ready || ready(fd)) && WriteSynced(fd, data))
        return true;
    err = errno ? errno : EIO;
    ::close(fd);
    ::unlink(name);
    return false;
}

// A synced private temporary file beside `path`, `ready` run on it first; its
// name in `temp`. -1 with `err`.
int WriteTemporary(const QString& path, const QByteArray& data,
                   const std::function<bool(int fd)>& ready, QByteArray& temp, int& err)
{
    const QFileInfo info(path);
    temp = QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName() +
                             QStringLiteral(".XXXXXX"));
    // mkstemp makes the file 0600 whatever the umask.
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return -1;
    }
    return Fill(fd, data, ready, temp.constData(), err) ? fd : -1;
}

} // namespace

int CreateWhole(const QString& path, const QByteArray& data,
                const std::function<bool(int fd)>& ready, int& err)
{
    QByteArray temp;
    int fd = WriteTemporary(path, data, ready, temp, err);
    if (fd < 0)
        return -1;
    const QByteArray to = QFile::encodeName(path);
    const bool linked = Disk().link(temp.constData(), to.constData()) == 0;
    err = linked ? 0 : errno;
    ::unlink(temp.constData());
    if (!linked) {
        ::close(fd);
        if (!NoHardLinks(err))
            return -1;
        // No hard links here (vfat): created under its own name with O_EXCL,
        // and removed again where that fails, as it is ours.
        fd = ::open(to.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            err = errno;
            return -1;
        }
        if (!Fill(fd, data, ready, to.constData(), err))
            return -1;
    }
    // The new name lasts a crash too.
    SyncFolder(QFileInfo(path).absolutePath());
    return fd;
}

QString ThroughLinks(const QString& path)
{
    QString at = path;
    // As the kernel does: a chain of links ends somewhere, or is refused.
    // Read here: Qt's own reading puts a relative link's target under the
    // folder of a relative path twice ("d/x -> y" gave "d/d/y").
    for (int hops = 0; hops < 40; ++hops) {
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink(QFile::encodeName(at).constData(), buffer, sizeof buffer);
        if (n <= 0 || size_t(n) >= sizeof buffer)
            return at;
        const QString target = QFile::decodeName(QByteArray(buffer, int(n)));
        at = QDir::isAbsolutePath(target)
                 ? target
                 : QFileInfo(at).absolutePath() + QLatin1Char('/') + target;
    }
    return at;
}

bool SaveFileAtomically(const QString& path, const QByteArray& data, QString* error)
{
    // A link stays a link: the file it leads to is what is replaced.
    const QString target = ThroughLinks(path);
    if (const QString why = NotAFileToReplace(target); !why.isEmpty())
        return Fail(error, target, why);
    QByteArray temp;
    int err = 0;
    const int fd = WriteTemporary(target, data, {}, temp, err);
    if (fd < 0)
        return Fail(error, target, DiskReason(err));
    ::close(fd);
    if (Disk().rename(temp.constData(), QFile::encodeName(target).constData()) != 0) {
        err = errno;
        ::unlink(temp.constData());
        return Fail(error, target, DiskReason(err));
    }
    SyncFolder(QFileInfo(target).absolutePath());
    return true;
}

QString FolderRefusal(const QString& path)
{
    const QFileInfo folder(QFileInfo(path).absolutePath());
    if (!folder.isDir())
        return QStringLiteral("no folder %1").arg(folder.filePath());
    if (!folder.isWritable())
        return QStringLiteral("cannot write in %1").arg(folder.filePath());
    return {};
}

QString NotAFileToReplace(const QString& path)
{
    struct stat st
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return errno == ENOENT ? QString() : DiskReason(errno);
    // A rename would put a plain file where a device, a pipe or a folder was.
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("a folder, not a file");
    return S_ISREG(st.st_mode) ? QString() : QStringLiteral("not a regular file");
}

bool SaveFileExclusively(const QString& path, const QByteArray& data, QString* error)
{
    int err = 0;
    const int fd = CreateWhole(path, data, {}, err);
    if (fd < 0)
        return Fail(error, path, err == EEXIST ? QStringLiteral("exists") : DiskReason(err));
    ::close(fd);
    return true;
}

std::optional<QString> SaveNewFile(const QString& folder, const QString& stem,
                                   const QString& extension, const QByteArray& data, QString* error)
{
    const QString base =
        folder + QLatin1Char('/') + FileNamePart(stem) + QLatin1Char('-') +
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss.zzz'Z'"));
    // Created whole under a name no other run holds, or not at all.
    for (int n = 1; n < 1000; ++n) {
        const QString path = base + (n == 1 ? QString() : QStringLiteral("-%1").arg(n)) +
                             QLatin1Char('.') + extension;
        int err = 0;
        const int fd = CreateWhole(path, data, {}, err);
        if (fd >= 0) {
            ::close(fd);
            return path;
        }
        if (err != EEXIST) {
            Fail(error, path, DiskReason(err));
            return std::nullopt;
        }
    }
    Fail(error, base, QStringLiteral("too many files of that name"));
    return std::nullopt;
}

QString FileNamePart(const QString& stem)
{
    QString part = stem;
    for (QChar& c : part)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != u'-')
            c = u'_';
    return part.isEmpty() ? QStringLiteral("unknown") : part;
}

std::optional<QByteArray> ReadUserFile(const QString& path, qint64 limit, QString* error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        Fail(error, path, DiskReason(errno));
        return std::nullopt;
    }
    struct stat st
    {
    };
    QString refused;
    if (::fstat(fd, &st) != 0)
        refused = DiskReason(errno);
    else if (S_ISDIR(st.st_mode))
        refused = QStringLiteral("a folder, not a file");
    else if (!S_ISREG(st.st_mode))
        refused = QStringLiteral("not a regular file");
    else if (st.st_size > limit)
        refused = QStringLiteral("too large (%1 bytes; at most %2)").arg(st.st_size).arg(limit);
    QByteArray data;
    if (refused.isEmpty()) {
        // Read up to one byte past the limit: a file that grew since fstat is still refused.
        data.resize(limit + 1);
        qint64 got = 0;
        while (got <= limit) {
            const ssize_t n = ::read(fd, data.data() + got, size_t(limit + 1 - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                refused = DiskReason(errno);
                break;
            }
            if (n == 0)
                break;
            got += n;
        }
        if (refused.isEmpty() && got > limit)
            refused = QStringLiteral("too large (at most %1 bytes)").arg(limit);
        data.resize(got);
    }
    ::close(fd);
    if (!refused.isEmpty()) {
        Fail(error, path, refused);
        return std::nullopt;
    }
    return data;
}
