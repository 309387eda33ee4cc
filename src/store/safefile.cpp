#include "safefile.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "diskcalls.h"

namespace {

QString Reason(int err)
{
    return QString::fromLocal8Bit(std::strerror(err)).toLower();
}

bool Fail(QString* error, const QString& path, const QString& reason)
{
    if (error)
        *error = QStringLiteral("%1: %2").arg(path, reason);
    return false;
}

bool WriteAll(int fd, const QByteArray& data)
{
    const char* p = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

// A synced private temporary file beside `path`; its name in `temp`.
int WriteTemporary(const QString& path, const QByteArray& data, QByteArray& temp, int& err)
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
    if (!WriteAll(fd, data) || Disk().sync(fd) != 0) {
        err = errno ? errno : EIO;
        ::close(fd);
        ::unlink(temp.constData());
        return -1;
    }
    return fd;
}

void SyncFolder(const QString& folder)
{
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        Disk().sync(fd);
        ::close(fd);
    }
}

// The exclusive place without a link: created with O_EXCL under its name,
// written and synced there; removed again where that fails, as it is ours.
int CreateExclusively(const QByteArray& to, const QByteArray& data)
{
    const int fd = ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    int err = 0;
    if (!WriteAll(fd, data) || Disk().sync(fd) != 0)
        err = errno ? errno : EIO;
    ::close(fd);
    if (err != 0)
        ::unlink(to.constData());
    return err;
}

// Puts the synced temporary file in place under `to` without replacing a
// file: linked, or where links cannot be made, written anew under that name.
// 0, or the reason (EEXIST where the name is taken).
int PlaceExclusively(const QByteArray& temp, const QByteArray& to, const QByteArray& data)
{
    if (Disk().link(temp.constData(), to.constData()) == 0)
        return 0;
    const int err = errno;
    return NoHardLinks(err) ? CreateExclusively(to, data) : err;
}

} // namespace

QString ThroughLinks(const QString& path)
{
    QString at = path;
    // As the kernel does: a chain of links ends somewhere, or is refused.
    for (int hops = 0; hops < 40; ++hops) {
        const QFileInfo info(at);
        if (!info.isSymLink())
            return at;
        const QString target = QFile::symLinkTarget(at);
        if (target.isEmpty())
            return at;
        at = target;
    }
    return at;
}

// Writes `data` beside `path` and puts it there whole: renamed over an existing
// file, or (exclusive) placed where no file is, which never replaces one.
static bool Place(const QString& path, const QByteArray& data, bool exclusive, QString* error)
{
    QByteArray temp;
    int err = 0;
    const int fd = WriteTemporary(path, data, temp, err);
    if (fd < 0)
        return Fail(error, path, Reason(err));
    ::close(fd);
    const QByteArray to = QFile::encodeName(path);
    if (exclusive) {
        err = PlaceExclusively(temp, to, data);
        ::unlink(temp.constData());
    } else if (Disk().rename(temp.constData(), to.constData()) != 0) {
        err = errno;
        ::unlink(temp.constData());
    }
    if (err != 0)
        return Fail(error, path,
                    exclusive && err == EEXIST ? QStringLiteral("exists") : Reason(err));
    SyncFolder(QFileInfo(path).absolutePath());
    return true;
}

bool SaveFileAtomically(const QString& path, const QByteArray& data, QString* error)
{
    // A link stays a link: the file it leads to is what is replaced.
    const QString target = ThroughLinks(path);
    if (const QString why = NotAFileToReplace(target); !why.isEmpty())
        return Fail(error, target, why);
    return Place(target, data, false, error);
}

QString NotAFileToReplace(const QString& path)
{
    struct stat st
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return errno == ENOENT ? QString() : Reason(errno);
    // A rename would put a plain file where a device, a pipe or a folder was.
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("a folder, not a file");
    return S_ISREG(st.st_mode) ? QString() : QStringLiteral("not a regular file");
}

bool SaveFileExclusively(const QString& path, const QByteArray& data, QString* error)
{
    return Place(path, data, true, error);
}

std::optional<QString> SaveNewFile(const QString& folder, const QString& stem,
                                   const QString& extension, const QByteArray& data, QString* error)
{
    const QString base =
        folder + QLatin1Char('/') + FileNamePart(stem) + QLatin1Char('-') +
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss.zzz'Z'"));
    QByteArray temp;
    int err = 0;
    const int fd = WriteTemporary(base + QLatin1Char('.') + extension, data, temp, err);
    if (fd < 0) {
        Fail(error, folder, Reason(err));
        return std::nullopt;
    }
    ::close(fd);
    // Placed exclusively: the whole file appears under a name no other run
    // holds, or not at all.
    for (int n = 1; n < 1000; ++n) {
        const QString path = base + (n == 1 ? QString() : QStringLiteral("-%1").arg(n)) +
                             QLatin1Char('.') + extension;
        err = PlaceExclusively(temp, QFile::encodeName(path), data);
        if (err == 0) {
            ::unlink(temp.constData());
            SyncFolder(folder);
            return path;
        }
        if (err != EEXIST) {
            ::unlink(temp.constData());
            Fail(error, path, Reason(err));
            return std::nullopt;
        }
    }
    ::unlink(temp.constData());
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
        Fail(error, path, Reason(errno));
        return std::nullopt;
    }
    struct stat st
    {
    };
    QString refused;
    if (::fstat(fd, &st) != 0)
        refused = Reason(errno);
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
                refused = Reason(errno);
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
