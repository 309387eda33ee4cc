#include "csvlog.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "safefile.h"

namespace {

QString CsvReason(int err)
{
    return QString::fromLocal8Bit(std::strerror(err)).toLower();
}

// The fields of a line: plain up to the last, which may be quoted.
std::optional<QStringList> CsvFields(const QString& line, int count)
{
    QStringList fields;
    int at = 0;
    for (int i = 0; i + 1 < count; ++i) {
        const int comma = line.indexOf(QLatin1Char(','), at);
        if (comma < 0)
            return std::nullopt;
        fields << line.mid(at, comma - at);
        at = comma + 1;
    }
    QString last = line.mid(at);
    if (last.startsWith(QLatin1Char('"'))) {
        if (last.size() < 2 || !last.endsWith(QLatin1Char('"')))
            return std::nullopt;
        last = last.mid(1, last.size() - 2).replace(QStringLiteral("\"\""), QStringLiteral("\""));
    } else if (last.contains(QLatin1Char(',')) || last.contains(QLatin1Char('"'))) {
        return std::nullopt;
    }
    fields << last;
    return fields;
}

} // namespace

std::optional<QList<QStringList>> ParseCsvList(const QByteArray& text, const QString& header,
                                               QString* error)
{
    QList<QStringList> rows;
    if (text.isEmpty())
        return rows;
    const int count = int(header.count(QLatin1Char(','))) + 1;
    QList<QByteArray> lines = text.split('\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = QString::fromUtf8(lines[i]).remove(QLatin1Char('\r'));
        const auto fields = CsvFields(line, count);
        if (i == 0 ? line != header : !fields) {
            if (error)
                *error =
                    i == 0
                        ? QStringLiteral("its first line is not \"%1\"").arg(header)
                        : QStringLiteral("line %1 is not a row of %2 fields").arg(i + 1).arg(count);
            return std::nullopt;
        }
        if (i > 0)
            rows << *fields;
    }
    return rows;
}

QByteArray CsvLine(const QStringList& fields)
{
    QStringList out;
    for (QString f : fields) {
        if (f.contains(QLatin1Char(',')) || f.contains(QLatin1Char('"')) ||
            f.contains(QLatin1Char('\n')))
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

bool CsvList::Open(const QString& path, const QString& header, QString* error)
{
    path_ = path;
    const QByteArray name = QFile::encodeName(path);
    const bool exists = QFileInfo::exists(path) || QFileInfo(path).isSymLink();
    QByteArray text;
    if (exists) {
        const auto read = ReadUserFile(path, kUserFileLimit, error);
        if (!read)
            return false;
        text = *read;
        QString why;
        const auto rows = ParseCsvList(text, header, &why);
        if (!rows) {
            if (error)
                *error = QStringLiteral("%1: %2").arg(path, why);
            return false;
        }
        rows_ = *rows;
    }
    // A new file is made private before anything is in it.
    fd_ = ::open(name.constData(),
                 O_WRONLY | O_APPEND | O_CLOEXEC | (exists ? 0 : O_CREAT | O_EXCL), 0600);
    if (fd_ < 0) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, CsvReason(errno));
        return false;
    }
    if (text.isEmpty() && !Append(header.split(QLatin1Char(',')), error))
        return false;
    return true;
}

bool CsvList::Append(const QStringList& fields, QString* error)
{
    const QByteArray line = CsvLine(fields);
    // One write: a reader of the file never sees half a row.
    const ssize_t n = ::write(fd_, line.constData(), size_t(line.size()));
    if (n != line.size() || ::fsync(fd_) != 0) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path_, CsvReason(errno ? errno : EIO));
        return false;
    }
    return true;
}
