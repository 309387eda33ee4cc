#include "csvlog.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "diskcalls.h"
#include "safefile.h"

namespace {

int FieldCount(const QString& header)
{
    return int(header.count(QLatin1Char(','))) + 1;
}

// Takes the lock of a list, or says who holds it.
bool Lock(int fd)
{
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        if (errno != EINTR)
            return false;
    return true;
}

} // namespace

std::optional<QStringList> CsvRow(const QString& line, int count)
{
    QStringList fields;
    int at = 0;
    for (int i = 0; i + 1 < count; ++i) {
        const int comma = int(line.indexOf(QLatin1Char(','), at));
        if (comma < 0)
            return std::nullopt;
        fields << line.mid(at, comma - at);
        at = comma + 1;
    }
    QString last = line.mid(at);
    if (last.startsWith(QLatin1Char('"'))) {
        if (last.size() < 2 || !last.endsWith(QLatin1Char('"')))
            return std::nullopt;
        last = last.mid(1, last.size() - 2);
        // Inside the quotes a quote comes doubled: a lone one ends the field early.
        if (last.count(QLatin1Char('"')) % 2 != 0)
            return std::nullopt;
        last.replace(QStringLiteral("\"\""), QStringLiteral("\""));
    } else if (last.contains(QLatin1Char(',')) || last.contains(QLatin1Char('"'))) {
        return std::nullopt;
    }
    fields << last;
    return fields;
}

QByteArray CsvLine(const QStringList& fields)
{
    QStringList out;
    for (QString f : fields) {
        // A row is one line, read back a line at a time: a control character
        // (a line break in a path) is written as the status bar shows it.
        for (qsizetype i = f.size() - 1; i >= 0; --i)
            if (f[i].unicode() < 0x20)
                f.replace(
                    i, 1,
                    QStringLiteral("[%1]").arg(f[i].unicode(), 2, 16, QLatin1Char('0')).toUpper());
        if (f.contains(QLatin1Char(',')) || f.contains(QLatin1Char('"')))
            f = QLatin1Char('"') + f.replace(QStringLiteral("\""), QStringLiteral("\"\"")) +
                QLatin1Char('"');
        out << f;
    }
    return out.join(QLatin1Char(',')).toUtf8() + '\n';
}

QString CsvTime()
{
    QDateTime now = QDateTime::currentDateTime();
    now.setOffsetFromUtc(now.offsetFromUtc());
    return now.toString(Qt::ISODate);
}

CsvList::~CsvList()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool CsvList::Fail(QString* error, const QString& why) const
{
    if (error)
        *error = QStringLiteral("%1: %2").arg(path_, why);
    return false;
}

bool CsvList::Open(const QString& path, const CsvFormat& format, const RowSink& row, QString* error)
{
    path_ = ThroughLinks(path);
    format_ = format;
    const QByteArray name = QFile::encodeName(path_);
    // O_NONBLOCK: a pipe or a device named here must not hang the open.
    fd_ = ::open(name.constData(), O_RDWR | O_APPEND | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        if (errno != ENOENT)
            return Fail(error, DiskReason(errno));
        // A new list: made once the run has its reader, in a folder that takes it.
        const QString refusal = FolderRefusal(path_);
        return refusal.isEmpty() || Fail(error, refusal);
    }
    struct stat st
    {
    };
    bool ok = true;
    if (::fstat(fd_, &st) != 0)
        ok = Fail(error, DiskReason(errno));
    else if (!S_ISREG(st.st_mode))
        ok = Fail(error, QStringLiteral("not a regular file"));
    else if (!Lock(fd_))
        ok = Fail(error, QStringLiteral("in use by another run"));
    else
        ok = Read(row, error);
    if (!ok) {
        ::close(fd_);
        fd_ = -1;
    }
    return ok;
}

bool CsvList::Read(const RowSink& row, QString* error)
{
    const int count = FieldCount(format_.header);
    QByteArray pending;
    qint64 offset = 0; // of `pending`'s first byte in the file
    int number = 0;
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t n = ::pread(fd_, chunk, sizeof chunk, offset + pending.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Fail(error, DiskReason(errno));
        if (n == 0)
            break;
        pending.append(chunk, n);
        qsizetype start = 0;
        for (qsizetype end; (end = pending.indexOf('\n', start)) >= 0; start = end + 1) {
            ++number;
            const QString line =
                QString::fromUtf8(pending.constData() + start, end - start).remove(u'\r');
            if (number == 1) {
                if (line != format_.header)
                    return Fail(error,
                                QStringLiteral("its first line is not \"%1\"").arg(format_.header));
                continue;
            }
            const auto fields = CsvRow(line, count);
            if (!fields)
                return Fail(
                    error,
                    QStringLiteral("line %1 is not a row of %2 fields").arg(number).arg(count));
            QString why;
            if (!row(*fields, number, &why))
                return Fail(error, QStringLiteral("line %1: %2").arg(number).arg(why));
        }
        pending.remove(0, start);
        offset += start;
        if (pending.size() > kCsvLineLimit)
            return Fail(error, QStringLiteral("line %1 is longer than %2 bytes")
                                   .arg(number + 1)
                                   .arg(kCsvLineLimit));
    }
    size_ = offset + pending.size();
    if (!pending.isEmpty())
        return MendLastLine(pending, offset, number + 1, row, error);
    // An empty file is a list not begun: it gets its header.
    if (size_ == 0 && !Append(format_.header.split(QLatin1Char(',')), error))
        return false;
    return true;
}

bool CsvList::MendLastLine(const QByteArray& bytes, qint64 at, int number, const RowSink& row,
                           QString* error)
{
    const QString line = QString::fromUtf8(bytes).remove(u'\r');
    bool whole = false;
    if (number == 1) {
        if (line != format_.header && !format_.header.startsWith(line))
            return Fail(error, QStringLiteral("its first line is not \"%1\"").arg(format_.header));
        whole = line == format_.header;
    } else if (const auto fields = CsvRow(line, FieldCount(format_.header));
               fields && (!format_.whole || format_.whole(*fields))) {
        QString why;
        if (!row(*fields, number, &why))
            return Fail(error, QStringLiteral("line %1: %2").arg(number).arg(why));
        whole = true;
    }
    if (whole) {
        // Saved without its newline (an editor does that): the next row must
        // not be glued to it.
        if (!WriteSynced(fd_, "\n"))
            return Fail(error, DiskReason(errno));
        ++size_;
        return true;
    }
    // Cut short: kept beside the list before it leaves the list, so that a
    // crash between the two leaves it in both places, never in neither.
    const QString aside = path_ + QStringLiteral(".partial");
    const int fd = ::open(QFile::encodeName(aside).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    struct stat before
    {
    };
    const bool kept = fd >= 0 && ::fstat(fd, &before) == 0 && WriteSynced(fd, bytes + '\n');
    const int err = errno;
    // Whole or not at all there too: no piece of it for the next to be glued to.
    if (fd >= 0 && !kept && ::ftruncate(fd, before.st_size) == 0)
        Disk().sync(fd);
    if (fd >= 0)
        ::close(fd);
    if (!kept)
        return Fail(error, QStringLiteral("its last line is cut short, and %1 cannot take it: %2")
                               .arg(aside, DiskReason(err)));
    if (::ftruncate(fd_, at) != 0 || Disk().sync(fd_) != 0)
        return Fail(error, DiskReason(errno ? errno : EIO));
    size_ = at;
    repair_ = QStringLiteral("%1: line %2 was cut short; it was moved to %3")
                  .arg(path_)
                  .arg(number)
                  .arg(aside);
    if (at == 0 && !Append(format_.header.split(QLatin1Char(',')), error))
        return false;
    return true;
}

bool CsvList::Create(QString* error)
{
    if (fd_ >= 0)
        return true;
    const QByteArray header = CsvLine(format_.header.split(QLatin1Char(',')));
    int err = 0;
    // Whole and locked before it has its name: no other run sees it half made.
    const int fd = CreateWhole(
        path_, header, [](int f) { return Lock(f) && ::fcntl(f, F_SETFL, O_APPEND) == 0; }, err);
    if (fd < 0)
        return Fail(error,
                    err == EEXIST ? QStringLiteral("in use by another run") : DiskReason(err));
    fd_ = fd;
    size_ = header.size();
    return true;
}

bool CsvList::Append(const QStringList& fields, QString* error)
{
    if (fd_ < 0 && !Create(error))
        return false;
    const QByteArray line = CsvLine(fields);
    // One write: a reader of the file never sees half a row; one that did not
    // go in whole (a full disk) is taken out, so that the next is not glued to it.
    if (!WriteSynced(fd_, line)) {
        const int err = errno;
        if (::ftruncate(fd_, size_) == 0)
            Disk().sync(fd_);
        return Fail(error, DiskReason(err));
    }
    size_ += line.size();
    return true;
}

bool CsvList::IsFile(const QString& path) const
{
    struct stat mine
    {
    }, other{};
    return fd_ >= 0 && ::fstat(fd_, &mine) == 0 &&
           ::stat(QFile::encodeName(path).constData(), &other) == 0 &&
           mine.st_dev == other.st_dev && mine.st_ino == other.st_ino;
}

QByteArray CsvList::Text(const QString& header, const QList<QStringList>& rows)
{
    QByteArray text = CsvLine(header.split(QLatin1Char(',')));
    for (const QStringList& row : rows)
        text += CsvLine(row);
    return text;
}
