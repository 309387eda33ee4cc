#pragma once

// A list a long run keeps row by row (an enrollment, an issuing log): CSV with
// a fixed header, each row appended in one write and synced before the run
// goes on, so that a crash or a pulled plug loses no row written. An existing
// list is resumed: read as a stream, row by row, so that its size is no limit;
// a file that is not such a list is refused and left alone. One run holds a
// list at a time (an exclusive lock on it, refused as "in use by another
// run"). A new list is made only once the run has its reader, whole, 0600.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// One line's fields (its newline left out): plain up to the last, which may be
// quoted and hold commas. None where the line is no row of `count` fields.
std::optional<QStringList> CsvRow(const QString& line, int count);
// One line, its newline included; a field with a comma, a quote or a line
// break is quoted.
QByteArray CsvLine(const QStringList& fields);
// Now, as ISO 8601 with the zone ("2026-12-09T15:39:18+01:00").
QString CsvTime();

// What a list is: its header, and what a whole row of it looks like, to tell a
// last line cut short (a crash, a full disk) from one an editor saved without
// its newline. Without `whole`, any row of the header's fields is whole.
struct CsvFormat
{
    QString header;
    std::function<bool(const QStringList& row)> whole = {};
};

class CsvList
{
public:
    CsvList() = default;
    ~CsvList();
    CsvList(const CsvList&) = delete;
    CsvList& operator=(const CsvList&) = delete;

    // Each row of an existing list, in order, with its line number; false with
    // `error` refuses the list.
    using RowSink = std::function<bool(const QStringList& row, int line, QString* error)>;

    // Where `path` (through links) exists: locks it, reads it row by row into
    // `row`, and keeps it open to append. A last line without its newline is
    // given one where it is a whole row, and otherwise moved to "PATH.partial"
    // (Repair() says so). Where it does not exist, its folder is checked and
    // nothing is made: Create() makes it. Errors start with the path.
    bool Open(const QString& path, const CsvFormat& format, const RowSink& row, QString* error);
    // Whether the list is on the disk, open to append.
    bool Exists() const { return fd_ >= 0; }
    // Makes the new list with its header, whole, where no file is yet, locked.
    bool Create(QString* error);
    // Appends one row and syncs it to the disk; a row that did not go in whole
    // is taken out again.
    bool Append(const QStringList& fields, QString* error);
    QString Path() const { return path_; }
    // What Open did to the list's last line; "" when nothing.
    QString Repair() const { return repair_; }
    // Whether `path` names the very file this list is.
    bool IsFile(const QString& path) const;
    // The list's rows as a file: its header and every row, whole.
    static QByteArray Text(const QString& header, const QList<QStringList>& rows);

private:
    bool Read(const RowSink& row, QString* error);
    bool MendLastLine(const QByteArray& line, qint64 at, int number, const RowSink& row,
                      QString* error);
    bool Fail(QString* error, const QString& why) const;

    QString path_;
    CsvFormat format_;
    int fd_ = -1;
    qint64 size_ = 0; // what the file holds: a row cut short is cut back to it
    QString repair_;
};

// Longer than any row this tool writes; a longer line is no row of a list.
inline constexpr int kCsvLineLimit = 64 * 1024;
